// The three-frame queue between the capture thread and its consumers.
//
// Drop policy: the capture thread never waits for a slow consumer. It fills a
// free node when there is one; otherwise it takes back the OLDEST frame of the
// ready list and overwrites it, so the ready list always holds the newest
// frames. It takes back only frames that no waiting consumer has been woken
// for: when consumers hold two nodes, the third circulates alone, and taking
// it straight back after publishing it would leave a waiting consumer nothing
// but lost races for as long as the sensor delivers. When every node is held
// or spoken for it waits (at most 20 ms a turn, then a 1 ms pause, checking
// its stop flag between turns); a release ends that wait at once, so consumers
// that hold every node between them still get the sensor's full rate.
//
// Hand-over: a node is in exactly one place at a time: the free list (a
// stack), the ready list (a FIFO), held by the capture thread while it fills
// it, or held by a consumer between request and release. A consumer-held node
// carries the `held` mark, so a release of anything else is refused instead of
// corrupting the lists.
//
// Stop semantics: endStreaming() wakes every waiter. From then on request()
// never waits, since nothing can arrive until the next start: it hands out a
// frame still ready from before the stop, or null at once. Frames already
// held stay valid until the pool is replaced.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "quorvan/device.h"
#include "quorvan/frame_buffer.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/types.h"

namespace Quorvan {

struct LinkNode {
    LinkNode* next = nullptr;  // guarded by FrameQueue::queue_mutex
    std::unique_ptr<QuorvanFrameBuffer> buffer;
    bool held = false;  // held by a consumer; guarded by FrameQueue::queue_mutex
};

// Node counts by place, for diagnostics and tests.
struct NodeCensus {
    int free = 0;
    int ready = 0;
    int consumer_held = 0;
    int total = 0;
    bool lists_consistent = true;  // no node listed twice, tail matches the list
};

struct FrameQueue {
    // Guards free_head, ready_head, ready_tail and every node's `next` and
    // `held`. Never held together with FramePool::pool_mutex.
    mutable std::mutex queue_mutex;
    LinkNode* free_head = nullptr;
    LinkNode* ready_head = nullptr;
    LinkNode* ready_tail = nullptr;
    // Every node in creation order; fixed after construction, so searching it
    // needs no lock.
    std::vector<std::unique_ptr<LinkNode>> nodes;

    // The list operations below expect queue_mutex to be held.
    LinkNode* popFree();
    void pushFree(LinkNode* node);
    void appendReady(LinkNode* node);
    LinkNode* popReady();

    LinkNode* findNode(const QuorvanFrameBuffer* buffer) const;
};

// Asked every kInterruptPollPeriod while a consumer waits, so a language
// binding can end a long wait (Ctrl-C in Python). True ends the wait with no
// frame. Plain function and context: no allocation on the request path.
struct InterruptCheck {
    bool (*interrupted)(void* context) = nullptr;
    void* context = nullptr;
};

struct FramePool {
    // `capture` describes one whole capture (height already multiplied by the
    // sub-frame count); `plane` sizes the node buffers for capture.type.
    FramePool(const CameraInfo& capture, const PlaneDescriptor& plane);

    PlaneDescriptor descriptor{};
    // The camera's pool generation this pool was made for; fixed once set.
    uint64_t generation = 0;
    std::unique_ptr<FrameQueue> queue;
    std::unique_ptr<CacheData> cache;
    uint8_t node_count = 3;

    // Guards ready_count, waiting_consumers, released_nodes and streaming, and
    // goes with frame_ready.
    // Never held together with queue_mutex: every path drops one before
    // taking the other.
    mutable std::mutex pool_mutex;
    std::condition_variable frame_ready;
    int32_t ready_count = 0;
    int32_t ready_limit = 3;
    // Consumers blocked in request(); each ready frame up to this many is
    // theirs, not the capture thread's to take back.
    int32_t waiting_consumers = 0;
    // Releases since the capture thread last looked; a release ends its wait
    // for a node.
    int32_t released_nodes = 0;
    // Between beginStreaming and endStreaming; nothing can arrive otherwise.
    bool streaming = false;

    // What became of every capture (queued is ready_count). Guarded by
    // pool_mutex and changed in the same locked section as ready_count, so a
    // snapshot always balances.
    FrameStatistics counts{};
    // Capture thread only: the sequence number of the next capture.
    uint64_t next_sequence = 0;

    static constexpr std::chrono::milliseconds kInterruptPollPeriod{50};

    // Camera: the capture thread is about to run / has been told to stop.
    // endStreaming wakes every waiting consumer and the capture thread.
    void beginStreaming();
    void endStreaming();
    bool isStreaming() const;

    // Capture thread: a free node, or null when there is none.
    LinkNode* takeFreeNode();
    // Capture thread: the oldest ready frame that no waiting consumer needs,
    // or a node a consumer released meanwhile, waiting until `deadline`; null
    // when there was none or streaming ended.
    LinkNode* reclaimOldestReady(std::chrono::steady_clock::time_point deadline);
    // Capture thread: a filled node joins the ready list and wakes consumers.
    void publish(LinkNode* node);
    // Capture thread: a node that produced no frame goes back to the free list.
    void recycle(LinkNode* node);
    // Capture thread: a capture dropped by the skip pattern, or an attempt
    // that gave no frame.
    void countSkipped();
    void countSensorFailure();
    FrameStatistics statistics() const;

    // Consumer: oldest ready frame; negative timeout waits without limit.
    // Never waits when not streaming; null when `check` reports an interrupt.
    QuorvanFrameBuffer* request(int16_t timeout_ms, const InterruptCheck& check = {});
    // Consumer: QuorvanUnkownError unless `buffer` is held by a consumer.
    TofErrorCode release(const QuorvanFrameBuffer* buffer);
    bool isHeld(const QuorvanFrameBuffer* buffer) const;

    NodeCensus census() const;

private:
    // Claims one counted ready frame and unlinks it; pool_mutex is released.
    LinkNode* unlinkClaimedFrame();
    // Waits on frame_ready (pool_mutex held by `lock`) until `ready` holds,
    // the deadline passes (none when `unlimited`) or `check` interrupts.
    // Returns whether `ready` holds.
    template <typename Predicate>
    bool waitForConsumer(std::unique_lock<std::mutex>& lock, bool unlimited,
                         std::chrono::steady_clock::time_point deadline,
                         const InterruptCheck& check, Predicate ready);
};

}  // namespace Quorvan

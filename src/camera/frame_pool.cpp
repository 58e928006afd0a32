#include "camera/frame_pool.h"

#include <set>

namespace Quorvan {

LinkNode* FrameQueue::popFree() {
    LinkNode* node = free_head;
    if (node != nullptr) {
        free_head = node->next;
        node->next = nullptr;
    }
    return node;
}

void FrameQueue::pushFree(LinkNode* node) {
    node->next = free_head;
    free_head = node;
}

void FrameQueue::appendReady(LinkNode* node) {
    node->next = nullptr;
    if (ready_tail == nullptr) {
        ready_head = node;
    } else {
        ready_tail->next = node;
    }
    ready_tail = node;
}

LinkNode* FrameQueue::popReady() {
    LinkNode* node = ready_head;
    if (node == nullptr)
        return nullptr;
    ready_head = node->next;
    if (ready_head == nullptr)
        ready_tail = nullptr;
    node->next = nullptr;
    return node;
}

LinkNode* FrameQueue::findNode(const QuorvanFrameBuffer* buffer) const {
    if (buffer == nullptr)
        return nullptr;
    for (const auto& node : nodes) {
        if (node->buffer.get() == buffer)
            return node.get();
    }
    return nullptr;
}

namespace {

std::unique_ptr<QuorvanFrameBuffer> makeFrameBuffer(FrameType type, const PlaneDescriptor& plane) {
    const uint32_t width = static_cast<uint32_t>(plane.width);
    const uint32_t height = static_cast<uint32_t>(plane.height);
    if (type == FrameType::RAW)
        return std::make_unique<RawData>(width, height);
    const FrameDataFormat depth_format{width, height, FrameType::DEPTH, 0};
    const FrameDataFormat confidence_format{width, height, FrameType::CONFIDENCE, 0};
    return std::make_unique<DepthData>(depth_format, confidence_format);
}

}  // namespace

FramePool::FramePool(const CameraInfo& capture, const PlaneDescriptor& plane)
    : descriptor(plane),
      queue(std::make_unique<FrameQueue>()),
      cache(std::make_unique<CacheData>(capture.width, capture.height)) {
    queue->nodes.reserve(node_count);
    for (uint8_t i = 0; i < node_count; ++i) {
        auto node = std::make_unique<LinkNode>();
        node->buffer = makeFrameBuffer(capture.type, plane);
        queue->pushFree(node.get());
        queue->nodes.push_back(std::move(node));
    }
}

LinkNode* FramePool::takeFreeNode() {
    std::lock_guard<std::mutex> lock(queue->queue_mutex);
    return queue->popFree();
}

LinkNode* FramePool::unlinkClaimedFrame() {
    std::lock_guard<std::mutex> lock(queue->queue_mutex);
    // Appending precedes counting, so a claimed frame is always in the list.
    return queue->popReady();
}

void FramePool::beginStreaming() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    streaming = true;
}

void FramePool::endStreaming() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    streaming = false;
    frame_ready.notify_all();
}

bool FramePool::isStreaming() const {
    std::lock_guard<std::mutex> lock(pool_mutex);
    return streaming;
}

LinkNode* FramePool::reclaimOldestReady(std::chrono::steady_clock::time_point deadline) {
    const auto node_available = [this] {
        return ready_count > waiting_consumers || released_nodes > 0 || !streaming;
    };
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(pool_mutex);
            if (!frame_ready.wait_until(lock, deadline, node_available) || !streaming)
                return nullptr;
            if (ready_count > waiting_consumers) {
                --ready_count;
                ++counts.overwritten;
                break;
            }
            // Woken by a release. Clearing the count before looking at the
            // free list loses no release: a later one counts again.
            released_nodes = 0;
        }
        if (LinkNode* node = takeFreeNode())
            return node;
    }
    return unlinkClaimedFrame();
}

void FramePool::publish(LinkNode* node) {
    {
        std::lock_guard<std::mutex> lock(queue->queue_mutex);
        queue->appendReady(node);
    }
    std::lock_guard<std::mutex> lock(pool_mutex);
    ++counts.captured;
    if (ready_count <= ready_limit) {
        ++ready_count;
        frame_ready.notify_all();
    }
}

void FramePool::recycle(LinkNode* node) {
    std::lock_guard<std::mutex> lock(queue->queue_mutex);
    queue->pushFree(node);
}

void FramePool::countSkipped() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    ++counts.captured;
    ++counts.skipped;
}

void FramePool::countSensorFailure() {
    std::lock_guard<std::mutex> lock(pool_mutex);
    ++counts.sensor_failures;
}

FrameStatistics FramePool::statistics() const {
    std::lock_guard<std::mutex> lock(pool_mutex);
    FrameStatistics snapshot = counts;
    snapshot.queued = static_cast<uint32_t>(ready_count);
    return snapshot;
}

template <typename Predicate>
bool FramePool::waitForConsumer(std::unique_lock<std::mutex>& lock, bool unlimited,
                                std::chrono::steady_clock::time_point deadline,
                                const InterruptCheck& check, Predicate ready) {
    if (check.interrupted == nullptr) {
        if (unlimited) {
            frame_ready.wait(lock, ready);
            return true;
        }
        return frame_ready.wait_until(lock, deadline, ready);
    }
    while (!ready()) {
        auto slice_end = std::chrono::steady_clock::now() + kInterruptPollPeriod;
        if (!unlimited && deadline < slice_end)
            slice_end = deadline;
        if (frame_ready.wait_until(lock, slice_end, ready))
            return true;
        if (!unlimited && std::chrono::steady_clock::now() >= deadline)
            return false;
        // The check may take other locks (the interpreter's); not under ours.
        lock.unlock();
        const bool interrupted = check.interrupted(check.context);
        lock.lock();
        if (interrupted)
            return ready();
    }
    return true;
}

QuorvanFrameBuffer* FramePool::request(int16_t timeout_ms, const InterruptCheck& check) {
    {
        std::unique_lock<std::mutex> lock(pool_mutex);
        const auto has_frame = [this] { return ready_count > 0 || !streaming; };
        if (ready_count == 0 && !streaming)
            return nullptr;  // nothing can arrive before the next start
        if (!has_frame()) {
            ++waiting_consumers;
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            const bool arrived = waitForConsumer(lock, timeout_ms < 0, deadline, check, has_frame);
            --waiting_consumers;
            if (!arrived || ready_count == 0) {
                // A frame held back for this consumer is spare again.
                frame_ready.notify_all();
                return nullptr;
            }
        }
        --ready_count;
        ++counts.delivered;
    }
    std::lock_guard<std::mutex> lock(queue->queue_mutex);
    LinkNode* node = queue->popReady();
    if (node == nullptr)
        return nullptr;  // unreachable while the count invariant holds
    node->held = true;
    return node->buffer.get();
}

TofErrorCode FramePool::release(const QuorvanFrameBuffer* buffer) {
    LinkNode* node = queue->findNode(buffer);
    if (node == nullptr)
        return QuorvanUnkownError;
    std::unique_lock<std::mutex> lock(queue->queue_mutex);
    // A node that is free, ready or being filled is not the caller's to give
    // back; pushing it again would link it into two lists at once.
    if (!node->held)
        return QuorvanUnkownError;
    node->held = false;
    queue->pushFree(node);
    lock.unlock();
    // A capture thread waiting for a node would otherwise notice this one
    // only after its wait times out.
    std::lock_guard<std::mutex> pool_lock(pool_mutex);
    ++released_nodes;
    frame_ready.notify_all();
    return QuorvanSuccess;
}

bool FramePool::isHeld(const QuorvanFrameBuffer* buffer) const {
    const LinkNode* node = queue->findNode(buffer);
    if (node == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(queue->queue_mutex);
    return node->held;
}

NodeCensus FramePool::census() const {
    NodeCensus result;
    std::lock_guard<std::mutex> lock(queue->queue_mutex);
    std::set<const LinkNode*> seen;
    const int limit = static_cast<int>(queue->nodes.size());
    for (const LinkNode* node = queue->free_head; node != nullptr; node = node->next) {
        if (!seen.insert(node).second || node->held || ++result.free > limit) {
            result.lists_consistent = false;
            break;
        }
    }
    const LinkNode* last_ready = nullptr;
    for (const LinkNode* node = queue->ready_head; node != nullptr; node = node->next) {
        if (!seen.insert(node).second || node->held || ++result.ready > limit) {
            result.lists_consistent = false;
            break;
        }
        last_ready = node;
    }
    if (last_ready != queue->ready_tail)
        result.lists_consistent = false;
    for (const auto& node : queue->nodes) {
        if (node->held)
            ++result.consumer_held;
    }
    result.total = limit;
    return result;
}

}  // namespace Quorvan

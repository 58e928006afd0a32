#include "camera/frame_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace Quorvan {
namespace {

CameraInfo captureOf(FrameType type) {
    CameraInfo info{};
    info.type = type;
    info.width = 240;
    info.height = 720;  // four 180-row sub-frames
    return info;
}

// Plays the capture thread's part by hand: fill a node and publish it.
LinkNode* deliver(FramePool& pool, uint64_t timestamp) {
    LinkNode* node = pool.takeFreeNode();
    if (node == nullptr) {
        node = pool.reclaimOldestReady(std::chrono::steady_clock::now());
    }
    if (node != nullptr) {
        node->buffer->setTimestamp(timestamp);
        pool.publish(node);
    }
    return node;
}

uint64_t timestampOf(QuorvanFrameBuffer* buffer, FrameType type) {
    FrameDataFormat format{};
    EXPECT_EQ(buffer->getFormat(type, format), QuorvanSuccess);
    return format.timestamp;
}

TEST(FramePool, FreshPoolHasThreeFreeNodesInReverseCreationOrder) {
    FramePool pool(captureOf(FrameType::DEPTH), {2, 240, 180});
    EXPECT_EQ(pool.ready_count, 0);
    ASSERT_EQ(pool.queue->nodes.size(), 3u);
    EXPECT_EQ(pool.takeFreeNode(), pool.queue->nodes[2].get());
    EXPECT_EQ(pool.takeFreeNode(), pool.queue->nodes[1].get());
    EXPECT_EQ(pool.takeFreeNode(), pool.queue->nodes[0].get());
    EXPECT_EQ(pool.takeFreeNode(), nullptr);

    FrameDataFormat cache_format{};
    ASSERT_EQ(pool.cache->getFormat(FrameType::CACHE, cache_format), QuorvanSuccess);
    EXPECT_EQ(cache_format.height, 1440u);
    EXPECT_EQ(pool.cache->size(), 345600u);
    EXPECT_NE(pool.queue->nodes[0]->buffer->getData(FrameType::DEPTH), nullptr);
}

TEST(FramePool, RawPoolBuildsRawBuffersOfThePlaneSize) {
    FramePool pool(captureOf(FrameType::RAW), {2, 240, 720});
    FrameDataFormat format{};
    ASSERT_EQ(pool.queue->nodes[0]->buffer->getFormat(FrameType::RAW, format), QuorvanSuccess);
    EXPECT_EQ(format.width, 240u);
    EXPECT_EQ(format.height, 720u);
}

TEST(FramePool, ConsumerGetsFramesOldestFirstAndTheWorkerRecyclesTheOldest) {
    FramePool pool(captureOf(FrameType::DEPTH), {2, 240, 180});
    pool.beginStreaming();
    for (uint64_t stamp = 1; stamp <= 5; ++stamp)
        ASSERT_NE(deliver(pool, stamp), nullptr);
    // Frames 1 and 2 were overwritten; 3, 4, 5 remain in order.
    for (uint64_t expected : {3u, 4u, 5u}) {
        QuorvanFrameBuffer* frame = pool.request(0);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(timestampOf(frame, FrameType::DEPTH), expected);
    }
    EXPECT_EQ(pool.request(0), nullptr);
    NodeCensus census = pool.census();
    EXPECT_EQ(census.consumer_held, 3);
    EXPECT_EQ(census.free + census.ready, 0);
    EXPECT_TRUE(census.lists_consistent);
}

TEST(FramePool, WorkerFindsNothingWhileConsumersHoldEveryNode) {
    FramePool pool(captureOf(FrameType::RAW), {2, 240, 720});
    pool.beginStreaming();
    for (uint64_t stamp = 1; stamp <= 3; ++stamp)
        deliver(pool, stamp);
    QuorvanFrameBuffer* held[3];
    for (auto& frame : held)
        frame = pool.request(0);
    EXPECT_EQ(pool.takeFreeNode(), nullptr);
    EXPECT_EQ(pool.reclaimOldestReady(std::chrono::steady_clock::now()), nullptr);
    ASSERT_EQ(pool.release(held[1]), QuorvanSuccess);
    EXPECT_EQ(pool.takeFreeNode()->buffer.get(), held[1]);
}

TEST(FramePool, ReleaseAcceptsOnlyFramesAConsumerHolds) {
    FramePool pool(captureOf(FrameType::RAW), {2, 240, 720});
    FramePool other(captureOf(FrameType::RAW), {2, 240, 720});
    RawData stranger(240, 720);
    deliver(pool, 1);
    deliver(pool, 2);

    // Never requested: one is ready, one is free.
    QuorvanFrameBuffer* ready = pool.queue->ready_head->buffer.get();
    QuorvanFrameBuffer* free_buffer = pool.queue->free_head->buffer.get();
    EXPECT_EQ(pool.release(ready), QuorvanUnkownError);
    EXPECT_EQ(pool.release(free_buffer), QuorvanUnkownError);
    EXPECT_EQ(pool.release(nullptr), QuorvanUnkownError);
    EXPECT_EQ(pool.release(&stranger), QuorvanUnkownError);
    EXPECT_EQ(pool.release(other.queue->nodes[0]->buffer.get()), QuorvanUnkownError);

    QuorvanFrameBuffer* frame = pool.request(0);
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(pool.isHeld(frame));
    EXPECT_EQ(pool.release(frame), QuorvanSuccess);
    EXPECT_FALSE(pool.isHeld(frame));
    EXPECT_EQ(pool.release(frame), QuorvanUnkownError);  // second release

    NodeCensus census = pool.census();
    EXPECT_TRUE(census.lists_consistent);
    EXPECT_EQ(census.free, 2);
    EXPECT_EQ(census.ready, 1);
    EXPECT_EQ(census.consumer_held, 0);
    // The lists still work: the remaining ready frame comes out, then nothing.
    QuorvanFrameBuffer* last = pool.request(0);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(timestampOf(last, FrameType::RAW), 2u);
    EXPECT_EQ(pool.request(0), nullptr);
}

TEST(FramePool, RequestTimesOutWhenNothingIsReady) {
    FramePool pool(captureOf(FrameType::DEPTH), {2, 240, 180});
    pool.beginStreaming();
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(pool.request(0), nullptr);
    EXPECT_EQ(pool.request(50), nullptr);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(FramePool, NoWaitOnceStreamingHasEnded) {
    FramePool pool(captureOf(FrameType::DEPTH), {2, 240, 180});
    pool.beginStreaming();
    deliver(pool, 1);
    pool.endStreaming();
    const auto begin = std::chrono::steady_clock::now();
    // A frame ready from before the stop is still handed out; then nothing,
    // at once, even for a wait without limit.
    QuorvanFrameBuffer* kept = pool.request(-1);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(timestampOf(kept, FrameType::DEPTH), 1u);
    EXPECT_EQ(pool.request(-1), nullptr);
    EXPECT_EQ(pool.request(30000), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    // And the worker is not handed a node to fill.
    EXPECT_EQ(pool.reclaimOldestReady(std::chrono::steady_clock::now() + std::chrono::hours(1)),
              nullptr);
}

TEST(FramePool, EndingTheStreamWakesAConsumerWaitingWithoutLimit) {
    FramePool pool(captureOf(FrameType::DEPTH), {2, 240, 180});
    pool.beginStreaming();
    std::atomic<bool> returned{false};
    QuorvanFrameBuffer* got = nullptr;
    std::thread consumer([&] {
        got = pool.request(-1);
        returned = true;
    });
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(pool.pool_mutex);
            if (pool.waiting_consumers == 1)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(returned);
    pool.endStreaming();
    consumer.join();
    EXPECT_EQ(got, nullptr);
}

TEST(FramePool, AReleaseEndsTheWorkersWaitForANode) {
    FramePool pool(captureOf(FrameType::RAW), {2, 240, 720});
    pool.beginStreaming();
    for (uint64_t stamp = 1; stamp <= 3; ++stamp)
        deliver(pool, stamp);
    QuorvanFrameBuffer* held[3];
    for (auto& frame : held)
        frame = pool.request(0);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(pool.release(held[2]), QuorvanSuccess);
    });
    // Without the wake-up the worker would sit out the whole (long) wait.
    const auto begin = std::chrono::steady_clock::now();
    LinkNode* node = pool.reclaimOldestReady(begin + std::chrono::seconds(30));
    const auto waited = std::chrono::steady_clock::now() - begin;
    releaser.join();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->buffer.get(), held[2]);
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(FramePool, AnInterruptEndsAConsumersWait) {
    FramePool pool(captureOf(FrameType::DEPTH), {2, 240, 180});
    pool.beginStreaming();
    std::atomic<int> polls{0};
    InterruptCheck check;
    check.context = &polls;
    check.interrupted = [](void* context) {
        return ++*static_cast<std::atomic<int>*>(context) == 3;
    };
    EXPECT_EQ(pool.request(-1, check), nullptr);
    EXPECT_EQ(polls.load(), 3);
    // A bounded wait still ends at its deadline when nothing interrupts.
    check.interrupted = [](void*) { return false; };
    EXPECT_EQ(pool.request(120, check), nullptr);
    // And a frame that arrives is handed out as usual.
    deliver(pool, 7);
    QuorvanFrameBuffer* frame = pool.request(-1, check);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(timestampOf(frame, FrameType::DEPTH), 7u);
    NodeCensus census = pool.census();
    EXPECT_TRUE(census.lists_consistent);
    std::lock_guard<std::mutex> lock(pool.pool_mutex);
    EXPECT_EQ(pool.waiting_consumers, 0);
}

}  // namespace
}  // namespace Quorvan

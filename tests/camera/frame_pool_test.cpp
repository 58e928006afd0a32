#include "camera/frame_pool.h"

#include <gtest/gtest.h>

#include <chrono>

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
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(pool.request(0), nullptr);
    EXPECT_EQ(pool.request(50), nullptr);
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

}  // namespace
}  // namespace Quorvan

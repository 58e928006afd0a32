// The hand-over between the application and the playback sensor.
#include "device/playback_feed.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "device/playback_raw_plane.h"

namespace Quorvan {
namespace {

constexpr size_t kSamples = 6;

TEST(PlaybackFeed, RefusesPushesUntilOpenedAndCapturesOfTheWrongSize) {
    PlaybackFeed feed;
    const std::vector<uint16_t> capture(kSamples, 7);
    EXPECT_EQ(feed.push(capture.data(), kSamples, 1, 0), QuorvanUnkownError);
    feed.open(kSamples);
    EXPECT_EQ(feed.push(capture.data(), kSamples - 1, 1, 0), QuorvanInvalidParameter);
    EXPECT_EQ(feed.push(nullptr, kSamples, 1, 0), QuorvanInvalidParameter);
    EXPECT_EQ(feed.queued(), 0u);
    feed.close();
    EXPECT_EQ(feed.push(capture.data(), kSamples, 1, 0), QuorvanUnkownError);
}

TEST(PlaybackFeed, HandsOverCapturesInOrderAndBoundsTheQueue) {
    PlaybackFeed feed;
    feed.open(kSamples);
    for (uint16_t i = 0; i < PlaybackFeed::kQueuedCaptures; ++i) {
        const std::vector<uint16_t> capture(kSamples, i);
        ASSERT_EQ(feed.push(capture.data(), kSamples, 100 + i, 0), QuorvanSuccess);
    }
    const std::vector<uint16_t> extra(kSamples, 99);
    EXPECT_EQ(feed.push(extra.data(), kSamples, 999, 10), QuorvanUnkownError) << "queue is full";

    std::vector<uint16_t> cache(kSamples);
    uint64_t timestamp = 0;
    for (uint16_t i = 0; i < PlaybackFeed::kQueuedCaptures; ++i) {
        ASSERT_EQ(feed.take(cache.data(), &timestamp, 0), QuorvanSuccess);
        EXPECT_EQ(timestamp, 100u + i);
        EXPECT_EQ(cache, std::vector<uint16_t>(kSamples, i));
    }
    EXPECT_EQ(feed.take(cache.data(), &timestamp, 10), QuorvanUnkownError) << "nothing queued";
}

TEST(PlaybackFeed, ClosingWakesAWaitingPusherAndClearForgetsQueuedCaptures) {
    PlaybackFeed feed;
    feed.open(kSamples);
    const std::vector<uint16_t> capture(kSamples, 1);
    for (size_t i = 0; i < PlaybackFeed::kQueuedCaptures; ++i)
        ASSERT_EQ(feed.push(capture.data(), kSamples, i, 0), QuorvanSuccess);
    feed.clear();
    EXPECT_EQ(feed.queued(), 0u);
    for (size_t i = 0; i < PlaybackFeed::kQueuedCaptures; ++i)
        ASSERT_EQ(feed.push(capture.data(), kSamples, i, 0), QuorvanSuccess);

    TofErrorCode blocked_result = QuorvanSuccess;
    std::thread pusher([&] { blocked_result = feed.push(capture.data(), kSamples, 9, 60000); });
    feed.close();
    pusher.join();
    EXPECT_EQ(blocked_result, QuorvanUnkownError);
}

// Two feeder threads converting at once: each capture must arrive whole, as
// its pusher filled it, never mixed with the other's samples.
TEST(PlaybackFeed, ConcurrentPushersNeverShareABuffer) {
    constexpr size_t kLarge = 4096;
    constexpr uint16_t kEach = 50;
    PlaybackFeed feed;
    feed.open(kLarge);
    const auto pusher = [&feed](uint16_t value) {
        for (uint16_t i = 0; i < kEach; ++i) {
            const PlaybackFeed::Fill fill = [value](uint16_t* cache, size_t samples) {
                for (size_t s = 0; s < samples; ++s)
                    cache[s] = value;
                return true;
            };
            ASSERT_EQ(feed.push(fill, value, 60000), QuorvanSuccess);
        }
    };
    std::thread first(pusher, uint16_t{1});
    std::thread second(pusher, uint16_t{2});
    std::vector<uint16_t> cache(kLarge);
    size_t whole = 0;
    for (size_t taken = 0; taken < 2 * kEach; ++taken) {
        uint64_t timestamp = 0;
        ASSERT_EQ(feed.take(cache.data(), &timestamp, 60000), QuorvanSuccess);
        whole += cache == std::vector<uint16_t>(kLarge, static_cast<uint16_t>(timestamp)) ? 1 : 0;
    }
    first.join();
    second.join();
    EXPECT_EQ(whole, 2 * kEach);
}

TEST(PlaybackFeed, AFillThatDoesNotFitIsRefusedAndQueuesNothing) {
    PlaybackFeed feed;
    feed.open(kSamples);
    const PlaybackFeed::Fill refuse = [](uint16_t*, size_t) { return false; };
    EXPECT_EQ(feed.push(refuse, 1, 0), QuorvanInvalidParameter);
    EXPECT_EQ(feed.queued(), 0u);
}

TEST(PlaybackRawPlane, RefusesPlanesThatDoNotFitTheDevice) {
    std::vector<int16_t> raw(240 * 180 * 4);
    std::vector<uint16_t> cache(raw.size());
    EXPECT_FALSE(rawPlaneToCache(HQVGA, raw.data(), raw.size() - 1, cache.data(), cache.size()));
    EXPECT_FALSE(rawPlaneToCache(VGA, raw.data(), raw.size(), cache.data(), cache.size() - 1));
    EXPECT_FALSE(rawPlaneToCache(VGA, nullptr, 0, cache.data(), 0));
    EXPECT_TRUE(rawPlaneToCache(VGA, raw.data(), raw.size(), cache.data(), cache.size()));
}

}  // namespace
}  // namespace Quorvan

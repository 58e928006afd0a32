#include "quorvan/frame_set_matcher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>
#include <vector>

namespace Quorvan {
namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kPeriod = 33333333;  // 30 frames per second

// Every id added comes out exactly once, in a set or unmatched.
void expectEachFrameOnce(const std::vector<FrameSet>& sets,
                         const std::vector<FrameSetMember>& unmatched, size_t added) {
    std::set<std::pair<uint32_t, uint64_t>> seen;
    for (const auto& set : sets)
        for (const auto& member : set)
            EXPECT_TRUE(seen.insert({member.camera, member.id}).second);
    for (const auto& member : unmatched)
        EXPECT_TRUE(seen.insert({member.camera, member.id}).second);
    EXPECT_EQ(seen.size(), added);
}

TEST(FrameSetMatcher, PairsTwoFreeRunningCamerasAndReportsTheOddFrames) {
    FrameSetMatcher matcher(2, FrameSetMatcher::defaultTolerance(30.0));
    ASSERT_TRUE(matcher.valid());
    EXPECT_EQ(matcher.tolerance(), 16666667);
    // Camera 1 runs 11 ms behind camera 0 and misses its frame 4; camera 0
    // misses frame 7. Camera 1 delivers in bursts, after camera 0.
    size_t added = 0;
    for (uint64_t k = 0; k < 10; ++k) {
        if (k != 7) {
            ASSERT_EQ(matcher.add(0, 1000 * kMs + k * kPeriod, k), QuorvanSuccess);
            ++added;
        }
        if (k % 3 != 2)
            continue;
        for (uint64_t j = k - 2; j <= k; ++j) {
            if (j == 4)
                continue;
            ASSERT_EQ(matcher.add(1, 1011 * kMs + j * kPeriod, j), QuorvanSuccess);
            ++added;
        }
    }
    matcher.flush();
    const auto sets = matcher.takeSets();
    const auto unmatched = matcher.takeUnmatched();
    ASSERT_EQ(sets.size(), 7u);
    for (const auto& set : sets) {
        ASSERT_EQ(set.size(), 2u);
        EXPECT_EQ(set[0].camera, 0u);
        EXPECT_EQ(set[1].camera, 1u);
        EXPECT_EQ(set[0].id, set[1].id);
    }
    // Camera 0's frame 4 and camera 1's frame 7 had no partner; camera 0's
    // frame 9 was left waiting at the end.
    std::set<std::pair<uint32_t, uint64_t>> odd;
    for (const auto& member : unmatched)
        odd.insert({member.camera, member.id});
    EXPECT_EQ(odd, (std::set<std::pair<uint32_t, uint64_t>>{{0, 4}, {1, 7}, {0, 9}}));
    expectEachFrameOnce(sets, unmatched, added);
    EXPECT_EQ(matcher.pending(), 0u);
}

TEST(FrameSetMatcher, ThreeCamerasWithADriftingPhase) {
    // Three cameras at 30 fps; camera 1 runs 9 ms after camera 0, camera 2
    // starts 10 ms after it and slips 0.01 ms a frame (300 ppm).
    FrameSetMatcher matcher(3, FrameSetMatcher::defaultTolerance(30.0));
    size_t added = 0;
    for (int64_t k = 0; k < 900; ++k) {
        const int64_t base = 5000 * kMs + k * kPeriod;
        ASSERT_EQ(matcher.add(0, base, static_cast<uint64_t>(k)), QuorvanSuccess);
        ASSERT_EQ(matcher.add(1, base + 9 * kMs, static_cast<uint64_t>(k)), QuorvanSuccess);
        ASSERT_EQ(matcher.add(2, base + 10 * kMs + k * 10000, static_cast<uint64_t>(k)),
                  QuorvanSuccess);
        added += 3;
    }
    matcher.flush();
    const auto sets = matcher.takeSets();
    const auto unmatched = matcher.takeUnmatched();
    expectEachFrameOnce(sets, unmatched, added);
    // Frames k of all three stay within 16.67 ms up to k = 666; past that no
    // three frames of the cameras lie that close, so every frame is unmatched.
    ASSERT_EQ(sets.size(), 667u);
    for (size_t k = 0; k < sets.size(); ++k) {
        ASSERT_EQ(sets[k].size(), 3u);
        for (const auto& member : sets[k])
            EXPECT_EQ(member.id, k);
    }
}

TEST(FrameSetMatcher, ASilentCameraLetsTheOthersFramesExpire) {
    FrameSetMatcher matcher(2, 5 * kMs, 100 * kMs);
    for (uint64_t k = 0; k < 10; ++k)
        ASSERT_EQ(matcher.add(0, static_cast<int64_t>(k) * 20 * kMs, k), QuorvanSuccess);
    // Frames more than 100 ms older than the newest (180 ms) have been given up on.
    const auto unmatched = matcher.takeUnmatched();
    ASSERT_EQ(unmatched.size(), 4u);
    EXPECT_EQ(unmatched.front().id, 0u);
    EXPECT_EQ(unmatched.back().id, 3u);
    EXPECT_EQ(matcher.pending(), 6u);
    EXPECT_TRUE(matcher.takeSets().empty());
    // The late camera still finds a partner among those that wait.
    ASSERT_EQ(matcher.add(1, 161 * kMs, 0), QuorvanSuccess);
    const auto sets = matcher.takeSets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0][0].id, 8u);
    EXPECT_EQ(matcher.takeUnmatched().size(), 4u);  // 4 to 7 can no longer be matched
}

TEST(FrameSetMatcher, RefusesWhatItCannotOrder) {
    FrameSetMatcher matcher(2, kMs);
    EXPECT_EQ(matcher.add(2, 0, 0), QuorvanInvalidParameter);
    ASSERT_EQ(matcher.add(0, 50 * kMs, 0), QuorvanSuccess);
    EXPECT_EQ(matcher.add(0, 49 * kMs, 1), QuorvanInvalidParameter);
    EXPECT_EQ(matcher.pending(), 1u);
    // Equal times are in order.
    EXPECT_EQ(matcher.add(0, 50 * kMs, 2), QuorvanSuccess);

    EXPECT_FALSE(FrameSetMatcher(0, kMs).valid());
    EXPECT_FALSE(FrameSetMatcher(2, -1).valid());
    FrameSetMatcher invalid(2, kMs, -5);
    EXPECT_EQ(invalid.add(0, 0, 0), QuorvanInvalidParameter);
    EXPECT_EQ(FrameSetMatcher::defaultTolerance(0.0), 0);
}

TEST(FrameSetMatcher, OneCameraMakesASetOfEveryFrame) {
    FrameSetMatcher matcher(1, 0);
    for (uint64_t k = 0; k < 5; ++k)
        ASSERT_EQ(matcher.add(0, static_cast<int64_t>(k) * kPeriod, k), QuorvanSuccess);
    EXPECT_EQ(matcher.takeSets().size(), 5u);
    EXPECT_TRUE(matcher.takeUnmatched().empty());
}

}  // namespace
}  // namespace Quorvan

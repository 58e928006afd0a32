#include "camera/frame_rate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Quorvan {
namespace {

constexpr int64_t kMs = 1000000;

TEST(FrameRateMeter, FirstIntervalRunsFromRestartInWholeMilliseconds) {
    FrameRateMeter meter;
    meter.restart(1000 * kMs);
    // 40.9 ms truncates to 40.
    EXPECT_FLOAT_EQ(meter.update(1000 * kMs + 40 * kMs + 900000), 25.0f);
    EXPECT_FLOAT_EQ(meter.frameInterval(), 40.0f);
    EXPECT_EQ(meter.frameCount(), 1);
}

TEST(FrameRateMeter, SecondFrameWeighsPointOneLaterOnesOneThirtieth) {
    FrameRateMeter meter;
    meter.restart(0);
    int64_t now = 40 * kMs;
    meter.update(now);
    now += 20 * kMs;
    meter.update(now);
    const float second = 0.1f * 20.0f + 0.9f * 40.0f;  // 38
    EXPECT_FLOAT_EQ(meter.frameInterval(), second);
    now += 10 * kMs;
    const float fps = meter.update(now);
    const float third = (1.0f / 30.0f) * 10.0f + (1.0f - 1.0f / 30.0f) * second;
    EXPECT_FLOAT_EQ(meter.frameInterval(), third);
    EXPECT_FLOAT_EQ(fps, 1000.0f / third);
}

TEST(FrameRateMeter, ZeroFirstIntervalGivesInfiniteRateAndRecovers) {
    FrameRateMeter meter;
    meter.restart(5 * kMs);
    EXPECT_TRUE(std::isinf(meter.update(5 * kMs)));
    EXPECT_FLOAT_EQ(meter.update(105 * kMs), 100.0f);  // 0.1 * 100 + 0.9 * 0 = 10 ms
}

TEST(FrameRateCorrection, WrittenExamples) {
    EXPECT_EQ(frameRateCorrection(14.7f, 30), std::optional<int32_t>(14));
    EXPECT_EQ(frameRateCorrection(28.2f, 30), std::nullopt);
    EXPECT_EQ(frameRateCorrection(6.9f, 5), std::nullopt);
}

TEST(FrameRateCorrection, ToleranceAndUnusableMeasurements) {
    EXPECT_EQ(frameRateCorrection(33.9f, 30), std::nullopt);                // 3 <= 3
    EXPECT_EQ(frameRateCorrection(34.0f, 30), std::optional<int32_t>(34));  // 4 > 3
    EXPECT_EQ(frameRateCorrection(7.0f, 5), std::optional<int32_t>(7));     // 2 > 1
    EXPECT_EQ(frameRateCorrection(0.4f, 30), std::optional<int32_t>(1));    // below 1
    EXPECT_EQ(frameRateCorrection(NAN, 30), std::optional<int32_t>(1));
    EXPECT_EQ(frameRateCorrection(INFINITY, 30), std::optional<int32_t>(1));
    EXPECT_EQ(frameRateCorrection(3e10f, 30), std::optional<int32_t>(1));  // out of range
    EXPECT_EQ(frameRateCorrection(30.0f, 0), std::optional<int32_t>(30));  // failed read
    EXPECT_EQ(frameRateCorrection(1.0f, std::numeric_limits<int32_t>::min()),
              std::optional<int32_t>(1));
}

}  // namespace
}  // namespace Quorvan

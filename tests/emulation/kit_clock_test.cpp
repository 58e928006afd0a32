// The kit's own clock: its configuration, its model, and a real stream whose
// stamps and pacing follow it, checked against the truth the model gives.
#include "kit_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "camera/host_clock.h"
#include "emulated_kit.h"
#include "kit_config.h"

namespace Quorvan {
namespace {

using evk::KitClock;
using evk::KitClockSettings;
using evk::KitConfig;
using Clock = std::chrono::steady_clock;

TEST(KitClock, ConfigurationKeysAndTheirLimits) {
    KitConfig config;
    std::string error;
    ASSERT_TRUE(evk::parseKitConfig(
        "clock_offset_ms = -1500.25\nclock_drift_ppm = 200\ndelivery_jitter_ms = 8\n", &config,
        &error))
        << error;
    EXPECT_DOUBLE_EQ(config.clock.offset_ms, -1500.25);
    EXPECT_DOUBLE_EQ(config.clock.drift_ppm, 200.0);
    EXPECT_DOUBLE_EQ(config.clock.delivery_jitter_ms, 8.0);

    for (const char* bad : {"clock_drift_ppm = 10001", "clock_drift_ppm = fast",
                            "delivery_jitter_ms = -1", "clock_offset_ms = 1e13"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(evk::parseKitConfig(bad, &config, &error));
        EXPECT_NE(error.find(std::string(bad).substr(0, std::string(bad).find(' '))),
                  std::string::npos)
            << error;
    }
}

TEST(KitClock, AKitWhoseClockWouldReadBeforeZeroIsRefused) {
    KitConfig config;
    config.clock.offset_ms = -1e9;  // eleven days behind a host that booted just now
    const auto uptime = Clock::now().time_since_epoch();
    if (uptime > std::chrono::hours(24 * 11))
        config.clock.offset_ms = -std::chrono::duration<double, std::milli>(uptime).count() - 1e6;
    std::string error;
    EXPECT_EQ(evk::EmulatedKit::create(config, 4, &error), nullptr);
    EXPECT_NE(error.find("clock_offset_ms"), std::string::npos) << error;
}

TEST(KitClock, HostAndDeviceTimeAreInverse) {
    const KitClock clock(KitClockSettings{-86400000.0, 250.0, 0.0}, 1);
    const Clock::time_point host(std::chrono::nanoseconds(5LL * 86400 * 1000000000 + 17));
    const auto device = clock.deviceTime(host);
    // A day behind, and 250 ppm of five days ahead (108 s).
    EXPECT_NEAR(std::chrono::duration<double>(device - host).count(), -86400.0 + 108.0, 1e-6);
    EXPECT_LE(std::abs((clock.hostTime(device) - host).count()), 1);
    // Stamps in whole milliseconds map to the moment the clock showed them.
    const auto device_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(device.time_since_epoch()).count();
    const int64_t truth = clock.hostNanosecondsAt(static_cast<uint64_t>(device_ms));
    const auto shown = clock.deviceTime(Clock::time_point(std::chrono::nanoseconds(truth)));
    EXPECT_LE(std::abs(shown.time_since_epoch().count() - device_ms * 1000000), 1);
}

TEST(KitClock, DeliveryDelaysAreRepeatableAndSpreadOverTheJitter) {
    const KitClock clock(KitClockSettings{0.0, 0.0, 8.0}, 3);
    const KitClock again(KitClockSettings{0.0, 0.0, 8.0}, 3);
    const KitClock other_seed(KitClockSettings{0.0, 0.0, 8.0}, 4);
    double sum_ms = 0;
    double largest_ms = 0;
    int differing = 0;
    for (uint64_t frame = 1; frame <= 4000; ++frame) {
        const double ms =
            std::chrono::duration<double, std::milli>(clock.deliveryDelay(frame)).count();
        ASSERT_GE(ms, 0.0);
        ASSERT_LT(ms, 8.0);
        ASSERT_EQ(clock.deliveryDelay(frame), again.deliveryDelay(frame));
        differing += clock.deliveryDelay(frame) != other_seed.deliveryDelay(frame);
        sum_ms += ms;
        largest_ms = std::max(largest_ms, ms);
    }
    EXPECT_NEAR(sum_ms / 4000, 4.0, 0.3);
    EXPECT_GT(largest_ms, 7.8);
    EXPECT_GT(differing, 3990);
    EXPECT_EQ(KitClock(KitClockSettings{}, 3).deliveryDelay(5), Clock::duration::zero());
}

// A real stream of a kit running 3000 ppm fast, 1000 s ahead, with 5 ms of
// jitter: its stamps follow its clock, nothing arrives before it was stamped,
// and the host clock recovers the truth from stamps and arrivals alone.
TEST(KitClock, AStreamFollowsTheKitsClockAndTheHostClockRecoversIt) {
    KitConfig config;
    // A period of no whole milliseconds, so the part of a millisecond the
    // whole-millisecond stamps drop varies from frame to frame.
    config.frame_rate = 90.0;
    config.noise = false;
    config.clock = KitClockSettings{1e6, 3000.0, 5.0};
    std::string error;
    const auto kit = evk::EmulatedKit::create(config, 4, &error);
    ASSERT_NE(kit, nullptr) << error;
    const KitClock truth(config.clock, config.seed);
    ASSERT_EQ(kit->init(), QUORVAN_EVK_OK);
    ASSERT_EQ(kit->start(), QUORVAN_EVK_OK);

    HostClock host_clock;
    const auto started = Clock::now();
    std::vector<double> settled_errors_ms;
    HostTime last{};
    int frames = 0;
    while (Clock::now() - started < std::chrono::milliseconds(4000)) {
        QuorvanImage image{};
        uint64_t stamp = 0;
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(kit->capture(&image, 1000), QUORVAN_EVK_OK);
            stamp = image.timestamp;
            ASSERT_EQ(kit->release(image), QUORVAN_EVK_OK);
        }
        const HostArrival arrival = HostArrival::now();
        const int64_t truth_ns = truth.hostNanosecondsAt(stamp);
        ASSERT_GE(arrival.monotonic_ns, truth_ns) << "a frame arrived before it was stamped";
        if (frames++ == 0) {
            // Stamped on the kit's clock, not the host's.
            using Milliseconds = std::chrono::duration<double, std::milli>;
            const double kit_now_ms =
                Milliseconds(truth.deviceTime(Clock::now()).time_since_epoch()).count();
            EXPECT_NEAR(static_cast<double>(stamp), kit_now_ms, 100.0);
        }
        last = host_clock.map(stamp, arrival);
        if (last.settled)
            settled_errors_ms.push_back(
                std::fabs(static_cast<double>(last.monotonic_ns - truth_ns)) / 1e6);
    }
    kit->stop();
    ASSERT_GT(frames, 200);
    ASSERT_FALSE(settled_errors_ms.empty());
    std::sort(settled_errors_ms.begin(), settled_errors_ms.end());
    // Generous: the machine may be busy, which only ever delays arrivals;
    // the figures that count come from bench/multicamera.py.
    EXPECT_LT(settled_errors_ms[settled_errors_ms.size() / 2], 2.0);
    EXPECT_LT(settled_errors_ms.back(), 5.0);
    EXPECT_NEAR(last.drift_ppm, 3000.0, 300.0);
}

}  // namespace
}  // namespace Quorvan

// The host-clock mapping against the emulated kit's clock model, which knows
// when in host time each of its timestamps was taken. Frames are simulated
// on that model (no waiting), so minutes of stream take milliseconds.
#include "camera/host_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "kit_clock.h"

namespace Quorvan {
namespace {

using evk::KitClock;
using evk::KitClockSettings;
using Clock = std::chrono::steady_clock;

constexpr int64_t kMs = 1000000;
constexpr int64_t kSecond = 1000 * kMs;
// The host's steady clock when the simulated stream starts: days of uptime.
constexpr int64_t kStreamStartNs = 3LL * 86400 * kSecond + 123456789;
// Transfer and scheduling: every frame takes at least this long to arrive.
constexpr int64_t kBaseLatencyNs = 300000;
constexpr int64_t kRealtimeOffsetNs = 1765000000LL * kSecond;

struct MappedFrame {
    double seconds = 0;  // since the stream started
    int64_t truth_ns = 0;
    int64_t arrival_ns = 0;
    HostTime mapped;
    double errorMs() const { return static_cast<double>(mapped.monotonic_ns - truth_ns) / 1e6; }
};

// A kit streaming at `frame_rate` on its own clock; frame k leaves it after
// its stamp by the base latency, its delivery jitter and `extra_delay(k)`.
// `skip(k)` leaves frame k out (a gap); `stamp_shift_ms(k)` moves its stamp.
struct SimulatedStream {
    KitClockSettings clock;
    double frame_rate = 30.0;
    double seconds = 60.0;
    std::function<int64_t(uint64_t)> extra_delay = [](uint64_t) { return int64_t{0}; };
    std::function<bool(uint64_t)> skip = [](uint64_t) { return false; };
    std::function<int64_t(uint64_t)> stamp_shift_ms = [](uint64_t) { return int64_t{0}; };

    std::vector<MappedFrame> run(HostClock& host_clock) const {
        const KitClock kit(clock, 7);
        const auto start =
            kit.deviceTime(Clock::time_point(std::chrono::nanoseconds(kStreamStartNs)));
        const int64_t device_start = start.time_since_epoch().count();
        const auto frames = static_cast<uint64_t>(seconds * frame_rate);
        std::vector<MappedFrame> out;
        for (uint64_t k = 0; k < frames; ++k) {
            if (skip(k))
                continue;
            const int64_t device_ns =
                device_start + static_cast<int64_t>(static_cast<double>(k) * 1e9 / frame_rate);
            const auto stamp_ms = static_cast<uint64_t>(device_ns / kMs + stamp_shift_ms(k));
            const int64_t due_host =
                kit.hostTime(Clock::time_point(std::chrono::nanoseconds(device_ns)))
                    .time_since_epoch()
                    .count();
            MappedFrame frame;
            frame.truth_ns = kit.hostNanosecondsAt(device_ns / kMs);
            frame.arrival_ns =
                due_host + kBaseLatencyNs + kit.deliveryDelay(k + 1).count() + extra_delay(k);
            frame.seconds = static_cast<double>(frame.arrival_ns - kStreamStartNs) / 1e9;
            frame.mapped =
                host_clock.map(stamp_ms, HostArrival{frame.arrival_ns, kRealtimeOffsetNs});
            out.push_back(frame);
        }
        return out;
    }
};

// The q-quantile of the absolute errors of frames after `warm_up_s`.
double errorQuantileMs(const std::vector<MappedFrame>& frames, double q, double warm_up_s = 5.0) {
    std::vector<double> errors;
    for (const auto& frame : frames)
        if (frame.seconds >= warm_up_s)
            errors.push_back(std::fabs(frame.errorMs()));
    if (errors.empty())
        return INFINITY;
    std::sort(errors.begin(), errors.end());
    return errors[std::min(errors.size() - 1, static_cast<size_t>(q * errors.size()))];
}

TEST(HostClock, LearnsOffsetAndDriftUnderDeliveryJitter) {
    for (const double drift_ppm : {-390.0, 0.0, 100.0, 2500.0}) {
        SCOPED_TRACE(drift_ppm);
        HostClock host_clock;
        SimulatedStream stream;
        stream.clock = {-8.6e7, drift_ppm, 8.0};  // a day behind, 0-8 ms jitter
        const auto frames = stream.run(host_clock);
        // The line lies under the earliest arrivals, so what is left is the
        // least delay in the window: the base latency plus the part of a
        // millisecond the whole-millisecond stamps drop.
        EXPECT_LT(errorQuantileMs(frames, 0.99), 1.0);
        EXPECT_LT(errorQuantileMs(frames, 1.0), 1.5);
        EXPECT_NEAR(frames.back().mapped.drift_ppm, drift_ppm, 20.0);
        EXPECT_TRUE(frames.back().mapped.settled);
        for (const auto& frame : frames) {
            // Never after the frame was seen, and real time follows monotonic.
            EXPECT_LE(frame.mapped.monotonic_ns, frame.arrival_ns);
            EXPECT_EQ(frame.mapped.realtime_ns - frame.mapped.monotonic_ns, kRealtimeOffsetNs);
        }
    }
}

TEST(HostClock, WarmsUpFromTheArrivalToTheModel) {
    HostClock host_clock;
    SimulatedStream stream;
    stream.clock = {0.0, 200.0, 8.0};
    stream.seconds = 6.0;
    const auto frames = stream.run(host_clock);
    // The first frame has nothing but its own arrival to go by.
    EXPECT_EQ(frames.front().mapped.monotonic_ns, frames.front().arrival_ns);
    EXPECT_FALSE(frames.front().mapped.settled);
    EXPECT_EQ(frames.front().mapped.drift_ppm, 0.0);
    const auto settled = std::find_if(frames.begin(), frames.end(),
                                      [](const MappedFrame& f) { return f.mapped.settled; });
    ASSERT_NE(settled, frames.end());
    EXPECT_NEAR(settled->seconds, std::chrono::duration<double>(HostClock::kSettleSpan).count(),
                0.2);
    EXPECT_LT(errorQuantileMs(frames, 1.0, settled->seconds), 1.5);
}

TEST(HostClock, LateDeliveriesDoNotMoveTheMapping) {
    HostClock host_clock;
    SimulatedStream stream;
    stream.clock = {5000.0, -150.0, 8.0};
    // Every 7th frame 60 ms late, and a stall of a second where all are 400 ms late.
    stream.extra_delay = [](uint64_t k) -> int64_t {
        if (k >= 600 && k < 630)
            return 400 * kMs;
        return k % 7 == 3 ? 60 * kMs : 0;
    };
    const auto frames = stream.run(host_clock);
    // Late frames included: their host time comes from their stamp.
    EXPECT_LT(errorQuantileMs(frames, 0.99), 1.0);
    EXPECT_LT(errorQuantileMs(frames, 1.0), 1.5);
}

TEST(HostClock, AGapInTheStreamKeepsTheMapping) {
    HostClock host_clock;
    SimulatedStream stream;
    stream.clock = {0.0, 300.0, 8.0};
    // Three seconds without a frame (an unplugged cable, a stalled consumer).
    stream.skip = [](uint64_t k) { return k >= 450 && k < 540; };
    const auto frames = stream.run(host_clock);
    EXPECT_LT(errorQuantileMs(frames, 0.99), 1.0);
    EXPECT_LT(errorQuantileMs(frames, 1.0), 1.5);
    EXPECT_TRUE(std::all_of(frames.begin() + 200, frames.end(),
                            [](const MappedFrame& f) { return f.mapped.settled; }));
}

TEST(HostClock, AStampThatCannotBeTrueIsLeftOutOfTheFit) {
    HostClock host_clock;
    SimulatedStream stream;
    stream.clock = {0.0, 50.0, 8.0};
    // A few frames stamped 20 ms later than they were taken (a kit that
    // lost images and jumped its counter): they arrive "before" their stamp.
    stream.stamp_shift_ms = [](uint64_t k) -> int64_t { return k % 300 == 250 ? 20 : 0; };
    const auto frames = stream.run(host_clock);
    std::vector<MappedFrame> honest;
    for (size_t i = 0; i < frames.size(); ++i)
        if (i % 300 != 250)
            honest.push_back(frames[i]);
    EXPECT_LT(errorQuantileMs(honest, 1.0), 1.5);
}

TEST(HostClock, AClockThatJumpsStartsOver) {
    HostClock host_clock;
    SimulatedStream before;
    before.clock = {1e6, 100.0, 4.0};
    before.seconds = 10.0;
    ASSERT_TRUE(before.run(host_clock).back().mapped.settled);

    // The kit restarted: its clock is back near zero, running at another rate.
    SimulatedStream after;
    after.clock = {-8.6e7, -250.0, 4.0};
    after.seconds = 10.0;
    const auto frames = after.run(host_clock);
    EXPECT_FALSE(frames.front().mapped.settled);
    EXPECT_EQ(frames.front().mapped.monotonic_ns, frames.front().arrival_ns);
    EXPECT_LT(errorQuantileMs(frames, 0.99), 1.0);
    EXPECT_NEAR(frames.back().mapped.drift_ppm, -250.0, 50.0);

    // And forward by more than the reset threshold, in the same stream.
    SimulatedStream forward = after;
    forward.clock.offset_ms += 30000.0;
    EXPECT_FALSE(forward.run(host_clock).front().mapped.settled);
}

}  // namespace
}  // namespace Quorvan

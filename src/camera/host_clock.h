// Maps a sensor's frame timestamps to the host's clocks.
//
// A sensor stamps frames with its own clock: at an unknown offset from the
// host's and running a little fast or slow. The host sees each frame arrive
// some time after it was stamped: transfer, the kit's buffering and the
// scheduler add a delay that is never negative and often large. Taking the
// arrival time as the capture time would carry all of that delay and its
// jitter into every frame; taking the sensor's timestamp alone would leave
// the offset and the drift.
//
// The model: host = device + c + s * (device - origin), a straight line
// (offset c, rate error s) fitted under the arrivals. Every arrival lies on
// or above the line (a frame never arrives before it was stamped), so the
// fit uses the earliest arrivals only: arrivals are kept in buckets of
// kBucket of sensor time, one per bucket, the earliest, over a window of
// kWindowBuckets. The lower convex hull's edge above the middle of the window
// gives a first slope (the line under every kept arrival and closest to them
// on average); a least-squares fit through the earliest arrival of each
// eighth of the window refines it, and the line is lowered onto the earliest
// arrival. A late delivery therefore never moves the line; a gap only leaves
// empty buckets. Settled, an arrival impossibly early for the line (a stamp
// that jumped ahead) is left out.
//
// Warm-up: until the window spans kSlopeSpan of sensor time the rate error
// is taken as 0 and only the offset is learnt (the earliest arrival so far);
// the mapping counts as settled once the window spans kSettleSpan. A frame
// is never mapped to a time after its own arrival.
//
// A timestamp that goes backwards, or an arrival more than kResetResidual
// away from the line, means the sensor's clock restarted or jumped (a
// reconnect, a replay that looped): the history is dropped and warm-up
// starts again.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "quorvan/host_time.h"

namespace Quorvan {

// One arrival, read from the host's clocks as the frame came in.
struct HostArrival {
    int64_t monotonic_ns = 0;
    // Real-time clock minus monotonic clock at that moment: how to turn a
    // monotonic time into a real-time one (it moves when the clock is set).
    int64_t realtime_offset_ns = 0;

    static HostArrival now();
};

class HostClock {
public:
    static constexpr std::chrono::nanoseconds kBucket = std::chrono::milliseconds(50);
    static constexpr uint32_t kWindowBuckets = 400;  // 20 s of sensor time
    static constexpr std::chrono::nanoseconds kSlopeSpan = std::chrono::seconds(1);
    static constexpr std::chrono::nanoseconds kSettleSpan = std::chrono::seconds(3);
    static constexpr std::chrono::nanoseconds kResetResidual = std::chrono::seconds(1);
    // Rate errors beyond this are no clock at all; the fit is clamped to it.
    static constexpr double kLargestRateError = 0.01;

    HostClock();

    // The host time of a frame the sensor stamped `device_ms` (milliseconds
    // of its clock) that arrived at `arrival`. Allocates nothing.
    HostTime map(uint64_t device_ms, const HostArrival& arrival);
    // Forgets the history (the next frame starts warm-up again).
    void reset();

private:
    struct Point {
        double x = 0;  // sensor time since origin, ns
        double y = 0;  // arrival minus sensor time, relative to the first one, ns
        int64_t bucket = 0;
    };
    struct Line {
        double y0 = 0;  // at x = 0
        double slope = 0;
    };

    void insert(const Point& point);
    Line fit();
    double predict(const Line& line, double x) const { return line.y0 + line.slope * x; }
    Point& at(uint32_t index) { return buckets_[(first_ + index) % kWindowBuckets]; }
    const Point& at(uint32_t index) const { return buckets_[(first_ + index) % kWindowBuckets]; }
    // Sensor time from the oldest bucket to the newest, ns.
    double span() const;
    bool settled() const { return span() >= static_cast<double>(kSettleSpan.count()); }

    bool started_ = false;
    int64_t origin_device_ns_ = 0;
    int64_t origin_gap_ns_ = 0;  // arrival minus sensor time of the first frame
    int64_t last_device_ns_ = 0;
    Line line_;
    // Ring of the window's buckets, oldest at first_; size_ in use.
    std::vector<Point> buckets_;
    uint32_t first_ = 0;
    uint32_t size_ = 0;
    uint32_t early_streak_ = 0;  // arrivals in a row left out as impossibly early
    std::vector<Point> hull_;    // scratch for fit()
};

}  // namespace Quorvan

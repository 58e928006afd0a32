// The kit's own clock. A real kit stamps images with a free-running counter
// of its own: it sits at some offset from the host's clock and runs a little
// fast or slow (its crystal is off by some parts per million), and its
// images reach the host after a delay that varies from image to image. The
// emulated kit reproduces all three, and because it knows them exactly, it
// can say when in host time any of its timestamps was taken.
//
// The model: the kit's clock reads
//
//     device = host * (1 + drift_ppm * 1e-6) + offset
//
// where `host` is the host's steady clock (CLOCK_MONOTONIC) since its epoch,
// both in nanoseconds. Frames are paced on the kit's clock, so a kit that
// runs fast also delivers slightly more frames per host second. An image due
// at device time d leaves the kit at host time hostTime(d) plus its frame's
// delivery delay, a deterministic draw from [0, delivery_jitter_ms) per frame.
//
// With offset and drift zero the kit's clock is the steady clock itself.
#pragma once

#include <chrono>
#include <cstdint>

namespace Quorvan {
namespace evk {

struct KitClockSettings {
    double offset_ms = 0.0;           // kit's clock minus the host's steady clock, at its epoch
    double drift_ppm = 0.0;           // how much faster the kit's clock runs (negative: slower)
    double delivery_jitter_ms = 0.0;  // upper bound of each image's extra delivery delay
};

class KitClock {
public:
    using Clock = std::chrono::steady_clock;

    KitClock(const KitClockSettings& settings, uint64_t seed);

    // What the kit's clock shows at host steady time `host`, as a time point
    // of the same type (its nanoseconds are the kit's).
    Clock::time_point deviceTime(Clock::time_point host) const;
    // The host steady time at which the kit's clock shows `device`.
    Clock::time_point hostTime(Clock::time_point device) const;
    // The extra delay before the images of frame number `frame` (counted
    // from 1) leave the kit; the same number always gets the same delay.
    Clock::duration deliveryDelay(uint64_t frame) const;

    // The host steady time, in nanoseconds, at which the kit's clock read
    // `device_ms` milliseconds: the truth behind a kit timestamp.
    int64_t hostNanosecondsAt(uint64_t device_ms) const;

private:
    const int64_t offset_ns_;
    const double rate_;  // drift as a fraction: device runs at (1 + rate_) x host
    const int64_t jitter_ns_;
    const uint64_t seed_;
};

}  // namespace evk
}  // namespace Quorvan

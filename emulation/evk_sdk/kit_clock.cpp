#include "kit_clock.h"

#include <cmath>

namespace Quorvan {
namespace evk {

namespace {

// A counter-based generator: the delay of a frame depends only on the seed
// and the frame number, so a run repeats exactly whatever the caller's timing.
uint64_t mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

}  // namespace

KitClock::KitClock(const KitClockSettings& settings, uint64_t seed)
    : offset_ns_(std::llround(settings.offset_ms * 1e6)),
      rate_(settings.drift_ppm * 1e-6),
      jitter_ns_(std::llround(settings.delivery_jitter_ms * 1e6)),
      seed_(mix(seed ^ 0x6B6974636C6F636Bull)) {}

// The drift term is computed apart from the whole time and rounded, so a
// host clock of many days' uptime keeps nanosecond precision.
KitClock::Clock::time_point KitClock::deviceTime(Clock::time_point host) const {
    const int64_t host_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(host.time_since_epoch()).count();
    const auto drift_ns = std::llround(static_cast<double>(host_ns) * rate_);
    return Clock::time_point(std::chrono::nanoseconds(host_ns + drift_ns + offset_ns_));
}

KitClock::Clock::time_point KitClock::hostTime(Clock::time_point device) const {
    const int64_t device_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(device.time_since_epoch()).count();
    const int64_t since_epoch = device_ns - offset_ns_;
    const auto drift_ns = std::llround(static_cast<double>(since_epoch) * rate_ / (1.0 + rate_));
    return Clock::time_point(std::chrono::nanoseconds(since_epoch - drift_ns));
}

KitClock::Clock::duration KitClock::deliveryDelay(uint64_t frame) const {
    if (jitter_ns_ <= 0)
        return Clock::duration::zero();
    // The top 53 bits as a fraction in [0, 1).
    const double fraction = static_cast<double>(mix(seed_ + frame) >> 11) * 0x1.0p-53;
    return std::chrono::nanoseconds(
        static_cast<int64_t>(fraction * static_cast<double>(jitter_ns_)));
}

int64_t KitClock::hostNanosecondsAt(uint64_t device_ms) const {
    const Clock::time_point device(std::chrono::milliseconds(static_cast<int64_t>(device_ms)));
    return std::chrono::duration_cast<std::chrono::nanoseconds>(hostTime(device).time_since_epoch())
        .count();
}

}  // namespace evk
}  // namespace Quorvan

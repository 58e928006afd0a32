// A knob for showing that nothing depends on how fast the emulator renders:
// QUORVAN_EMULATOR_SLOWDOWN=N (a whole number, 1..20, default 1) makes every
// render of samples take N times as long as it does. After the real work the
// renderer spins, on the CPU like a slower core would, for N - 1 times what
// the work took. Read once per process.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace Quorvan {
namespace emulation {

inline int renderSlowdown() {
    static const int factor = [] {
        const char* text = std::getenv("QUORVAN_EMULATOR_SLOWDOWN");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return static_cast<int>(std::clamp(value, 1L, 20L));
    }();
    return factor;
}

// Lives for the span of one render; its destructor adds the extra time.
class ScopedRenderSlowdown {
public:
    ScopedRenderSlowdown() : start_(renderSlowdown() > 1 ? Clock::now() : Clock::time_point{}) {}
    ~ScopedRenderSlowdown() {
        const int factor = renderSlowdown();
        if (factor <= 1)
            return;
        const Clock::time_point worked = Clock::now();
        const Clock::time_point until = worked + (worked - start_) * (factor - 1);
        while (Clock::now() < until) {
        }
    }
    ScopedRenderSlowdown(const ScopedRenderSlowdown&) = delete;
    ScopedRenderSlowdown& operator=(const ScopedRenderSlowdown&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point start_;
};

}  // namespace emulation
}  // namespace Quorvan

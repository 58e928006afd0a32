// Frame deadlines in the tests are sanity bounds for a native run. Under
// emulation (qemu-user runs this code ten to fifty times slower: every float
// operation goes through a software routine) the same bounds would fail for
// no fault of ours, so QUORVAN_TEST_TIME_SCALE (a whole number, default 1)
// stretches them. Only deadlines that wait for work are scaled; a test that
// checks a call returns promptly keeps its bound.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace Quorvan {
namespace testing_support {

inline int testTimeScale() {
    static const int scale = [] {
        const char* text = std::getenv("QUORVAN_TEST_TIME_SCALE");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return static_cast<int>(std::clamp(value, 1L, 100L));
    }();
    return scale;
}

// A requestFrame timeout: `milliseconds` times the scale, within int16_t.
inline int16_t frameDeadlineMs(int milliseconds) {
    const long scaled = static_cast<long>(milliseconds) * testTimeScale();
    return static_cast<int16_t>(std::min<long>(scaled, INT16_MAX));
}

}  // namespace testing_support
}  // namespace Quorvan

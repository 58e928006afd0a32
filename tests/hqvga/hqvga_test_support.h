// Builds raw capture caches of the 240x180 sensor: four phase images of
// 240x180 16-bit samples, back to back.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/hqvga_kernels.h"

namespace Quorvan {
namespace hqvga_test {

// Every pixel of phase image p holds phases[p].
inline std::vector<uint8_t> uniformCapture(const std::array<uint16_t, 4>& phases) {
    using hqvga::kPixels;
    std::vector<uint8_t> cache(4 * kPixels * 2);
    for (int phase = 0; phase < 4; ++phase) {
        for (int i = 0; i < kPixels; ++i) {
            std::memcpy(&cache[(phase * kPixels + i) * 2], &phases[phase], 2);
        }
    }
    return cache;
}

}  // namespace hqvga_test
}  // namespace Quorvan

#include "device/hqvga_kernels.h"

#include <cmath>

namespace Quorvan {
namespace hqvga {

void unpackRaw(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            for (int phase = 0; phase < kPhases; ++phase) {
                const uint16_t sample = cache[phase * kPixels + row * kWidth + column];
                raw[(row * kPhases + phase) * kWidth + column] = convertSample(sample, shift);
            }
        }
    }
}

void computeDepth(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                  int32_t range, float modulation_frequency, uint8_t shift) {
    const float scale = 300000000.0f / (12.566371f * modulation_frequency);
    const bool alternate = range == 2000;
    for (int i = 0; i < kPixels; ++i) {
        const int c0 = convertSample(cache[i], shift);
        const int c1 = convertSample(cache[kPixels + i], shift);
        const int c2 = convertSample(cache[2 * kPixels + i], shift);
        const int c3 = convertSample(cache[3 * kPixels + i], shift);
        const int y = alternate ? c1 - c3 : c2 - c0;
        const int x = alternate ? c2 - c0 : c3 - c1;
        float phase = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (phase < 0.0f)
            phase += 6.2831855f;
        depth[i] = (phase * scale) * 1000.0f;
        const float a = static_cast<float>(
            0.5 * std::sqrt(static_cast<double>(y) * y + static_cast<double>(x) * x));
        amplitude[i] = a;
        confidence[i] = a;
    }
}

}  // namespace hqvga
}  // namespace Quorvan

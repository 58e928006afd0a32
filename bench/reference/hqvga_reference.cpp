#include "reference/hqvga_reference.h"

#include <cmath>

namespace Quorvan {
namespace reference {

int16_t convertHqvgaSample(uint16_t raw, uint8_t shift) {
    const unsigned shifted = shift < 16 ? static_cast<unsigned>(raw) >> shift : 0u;
    return static_cast<int16_t>(static_cast<int16_t>(static_cast<uint16_t>(shifted << 5)) >> 1);
}

void unpackHqvgaRaw(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    for (int row = 0; row < kHqvgaHeight; ++row) {
        for (int column = 0; column < kHqvgaWidth; ++column) {
            for (int phase = 0; phase < 4; ++phase) {
                const uint16_t sample = cache[phase * kHqvgaPixels + row * kHqvgaWidth + column];
                raw[(row * 4 + phase) * kHqvgaWidth + column] = convertHqvgaSample(sample, shift);
            }
        }
    }
}

void computeHqvgaDepth(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                       int32_t range, float modulation_frequency, uint8_t shift) {
    const float scale = 300000000.0f / (12.566371f * modulation_frequency);
    const bool alternate = range == 2000;
    for (int i = 0; i < kHqvgaPixels; ++i) {
        const int c0 = convertHqvgaSample(cache[i], shift);
        const int c1 = convertHqvgaSample(cache[kHqvgaPixels + i], shift);
        const int c2 = convertHqvgaSample(cache[2 * kHqvgaPixels + i], shift);
        const int c3 = convertHqvgaSample(cache[3 * kHqvgaPixels + i], shift);
        const int y = alternate ? c1 - c3 : c2 - c0;
        const int x = alternate ? c2 - c0 : c3 - c1;
        float phase =
            static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        if (phase < 0.0f)
            phase += 6.2831855f;
        depth[i] = (phase * scale) * 1000.0f;
        const float a = static_cast<float>(
            0.5 * std::sqrt(static_cast<double>(y) * y + static_cast<double>(x) * x));
        amplitude[i] = a;
        confidence[i] = a;
    }
}

}  // namespace reference
}  // namespace Quorvan

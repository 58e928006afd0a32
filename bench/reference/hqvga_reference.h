// Scalar reference loops of the 240x180 kernels: the definition the
// optimised kernels in src/device must match bit for bit. Kept deliberately
// plain; tests use them as the oracle and benchmarks as the baseline.
#pragma once

#include <cstdint>

namespace Quorvan {
namespace reference {

constexpr int kHqvgaWidth = 240;
constexpr int kHqvgaHeight = 180;
constexpr int kHqvgaPixels = kHqvgaWidth * kHqvgaHeight;

// Low 11 bits of (raw >> shift) as two's complement, times 16; a shift of 16
// or more leaves 0.
int16_t convertHqvgaSample(uint16_t raw, uint8_t shift);

// Output row 4k + p is phase image p's row k, converted.
void unpackHqvgaRaw(const uint16_t* cache, int16_t* raw, uint8_t shift);

// Four-phase depth: double atan2 rounded to float, wrapped by 2 pi in float,
// scaled in float; amplitude 0.5 * sqrt(y^2 + x^2) in double, rounded.
void computeHqvgaDepth(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                       int32_t range, float modulation_frequency, uint8_t shift);

}  // namespace reference
}  // namespace Quorvan

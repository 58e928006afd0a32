// Per-frame arithmetic of the 240x180 device: sample conversion, raw unpack
// and the four-phase depth computation. Results are defined bit for bit by
// the scalar loops kept beside the benchmarks (bench/reference); the
// vectorised kernels behind these functions reproduce them exactly, which
// tests/kernels checks over the whole input domain.
#pragma once

#include <cstdint>

#include "device/sensor_sizes.h"

namespace Quorvan {
namespace hqvga {

constexpr int kWidth = kHQVGASize.width;
constexpr int kHeight = kHQVGASize.height;
constexpr int kPixels = kWidth * kHeight;  // samples per phase image
constexpr int kPhases = kHQVGASubframes;

// Low 11 bits of (raw >> shift) as a two's-complement value, times 16. A
// shift of 16 or more leaves nothing of the sample.
inline int16_t convertSample(uint16_t raw, uint8_t shift) {
    const unsigned shifted = shift < 16 ? static_cast<unsigned>(raw) >> shift : 0u;
    return static_cast<int16_t>(static_cast<int16_t>(static_cast<uint16_t>(shifted << 5)) >> 1);
}

// Interleaves the four phase images row by row (P0 row k, P1 row k, P2 row k,
// P3 row k, ...) into a 240x720 plane of converted samples.
void unpackRaw(const uint16_t* cache, int16_t* raw, uint8_t shift);

// Depth in millimetres, amplitude and confidence (identical) for each pixel.
// The short range mode (range_modes.h) selects the alternate phase pairing.
void computeDepth(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                  int32_t range, float modulation_frequency, uint8_t shift);

}  // namespace hqvga
}  // namespace Quorvan

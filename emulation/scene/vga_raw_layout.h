// Raw capture layout of the 640x480 sensor, shared by everything that
// produces it (the emulated kit, the simulated CSI sensor) and by the
// depth-processing stand-in that decodes it.
//
// One capture is a single image `width` samples wide. Per modulation frequency
// it holds five blocks of (height + 1) rows: the four phase images (sample k
// taken at a phase step of k x 90 degrees) and one gray image. Each block
// starts with one metadata row (word 0: block number counted over the whole
// capture, word 1: the frequency's unambiguous range in mm, other words 0),
// followed by `height` pixel rows, top row first. Single-frequency mode has
// one frequency (5 x (height + 1) rows), double-frequency mode two, the
// second frequency's blocks after the first's (10 x (height + 1) rows).
//
// Samples are 12-bit values right-aligned in 16 bits. Phase samples are
// offset binary around 2048: a pixel at true distance d gives
//     2048 + a * cos(phi + k * pi / 2),   phi = 2 * pi * d / unambiguous range,
// a differential correlation value (ambient light cancels) clipped to the
// sensor's signed 11-bit range, so phi = atan2(s3 - s1, s0 - s2) and
// a = |(s0 - s2, s3 - s1)| / 2. A phase sample at either clipping limit (1024
// or 3071) marks its pixel saturated. The gray image holds the intensity,
// ambient light plus a, clipped to 4095.
#pragma once

#include <cstdint>

namespace Quorvan {
namespace vga_layout {

constexpr int32_t kBlocksPerFrequency = 5;
constexpr int32_t kPhaseBlocks = 4;
constexpr int32_t kGrayBlock = 4;  // index within a frequency's blocks
constexpr int32_t kPhaseBias = 2048;
constexpr int32_t kSaturatedLow = kPhaseBias - 1024;
constexpr int32_t kSaturatedHigh = kPhaseBias + 1023;
constexpr int32_t kMaxSample = 4095;

// Unambiguous ranges in millimetres. Double mode pairs 1500 mm and 1125 mm
// (4:3), whose wraps only line up again after 4500 mm.
constexpr float kSingleRangeMm = 1250.0f;
constexpr float kDoubleRangesMm[2] = {1500.0f, 1125.0f};
constexpr float kDoubleUnwrappedRangeMm = 4500.0f;

constexpr int32_t frequencyCount(bool single) {
    return single ? 1 : 2;
}

constexpr int32_t rawRows(int32_t height, bool single) {
    return kBlocksPerFrequency * frequencyCount(single) * (height + 1);
}

constexpr float unambiguousRangeMm(bool single, int32_t frequency) {
    return single ? kSingleRangeMm : kDoubleRangesMm[frequency];
}

// First sample of a block's first pixel row (after its metadata row).
constexpr int64_t blockPixelOffset(int32_t width, int32_t height, int32_t frequency,
                                   int32_t block) {
    return (static_cast<int64_t>(frequency * kBlocksPerFrequency + block) * (height + 1) + 1) *
           width;
}

}  // namespace vga_layout
}  // namespace Quorvan

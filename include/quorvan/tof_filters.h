// Filters for time-of-flight depth, each a plain function over planes the
// caller owns: row-major float planes of width x height pixels, depth in
// millimetres. A depth of 0 marks a pixel without valid depth; every filter
// leaves such pixels at 0 and writes 0 where it rejects a pixel. None of them
// allocates, so they may run on every frame. The planes of one call must not
// overlap, except where a function works in place on one of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvan/export.h"

namespace Quorvan {
namespace filters {

constexpr float kInvalidDepth = 0.0f;

// Rejects pixels whose amplitude (or confidence) lies below `min_amplitude`:
// too little returned light for the phase to mean anything. In place.
QUORVAN_API void thresholdAmplitude(float* depth, const float* amplitude, std::size_t pixel_count,
                                    float min_amplitude);

// Where the four phase samples of a pixel come from. Sample k of pixel
// (row, column) is samples[k * phase_stride + row * row_stride + column].
// The 240x180 device's raw plane interleaves the phases row by row:
// phase_stride = width, row_stride = 4 * width.
struct PhaseSamples {
    const int16_t* samples = nullptr;
    std::size_t phase_stride = 0;
    std::size_t row_stride = 0;
};

// The raw-plane values the 240x180 sensor clips at (its 11-bit range
// -1024..1023, times 16 as the device's raw plane holds them).
constexpr int16_t kHqvgaRawClipLow = -1024 * 16;
constexpr int16_t kHqvgaRawClipHigh = 1023 * 16;

// Rejects pixels any of whose phase samples reached the sensor's clipping
// limits (<= clip_low or >= clip_high). A clipped sample flattens the
// correlation curve, and the phase then snaps towards a multiple of 45
// degrees: the depth is wrong while the amplitude looks excellent, so no
// amplitude threshold can catch it. In place.
QUORVAN_API void rejectSaturated(float* depth, int width, int height, const PhaseSamples& phases,
                                 int16_t clip_low, int16_t clip_high);

// A flying pixel mixes light from a foreground edge and the background behind
// it, and lands between the two. It differs from both neighbours along a row
// (or along a column) by more than
//     max(min_jump_mm, relative_jump * depth);
// a true edge pixel agrees with the neighbour on its own side and is kept.
// Pixels on the image border are kept. NaN and infinite depth count as no
// depth (0) wherever they are read, so they never come out as depth. `in`
// and `out` must not overlap.
struct FlyingPixelParameters {
    float min_jump_mm = 40.0f;
    float relative_jump = 0.03f;
};
QUORVAN_API void removeFlyingPixels(const float* in, float* out, int width, int height,
                                    const FlyingPixelParameters& parameters);

// Exponential smoothing over consecutive frames of a static or slowly moving
// scene: state += alpha * (depth - state). Where the depth moved by more
// than `reset_jump_mm` (something moved) or the state holds no history, the
// state restarts at the new depth, so edges do not smear. Invalid pixels
// (zero, negative, NaN or infinite depth) come out as 0 and clear their
// history. `state` (one float per pixel, zero-initialised by the
// caller before the first frame) carries the history; `depth` receives the
// filtered value.
struct TemporalParameters {
    float alpha = 0.3f;  // weight of the newest frame, (0, 1]
    float reset_jump_mm = 60.0f;
};
QUORVAN_API void temporalFilter(float* depth, float* state, std::size_t pixel_count,
                                const TemporalParameters& parameters);

// 3x3 median of the valid neighbours of each valid pixel; invalid neighbours
// count as the pixel itself, so holes neither spread nor get filled. Pixels
// on the image border are copied. `in` and `out` must not overlap.
QUORVAN_API void median3x3(const float* in, float* out, int width, int height);

}  // namespace filters
}  // namespace Quorvan

// Scalar reference loops of the depth filters and the deprojection: the
// definition the optimised variants in src/processing must match bit for bit
// (tests/processing compares them on random planes and on special values)
// and the baseline of bench/filter_bench.cpp. Plain loops, as the library
// had them before it was vectorised, with its handling of NaN and infinity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvan/point_cloud.h"
#include "quorvan/tof_filters.h"

namespace Quorvan {
namespace reference {

// A plane's width and height, as the comparisons and the benchmarks sweep them.
struct PlaneSize {
    int width, height;
    std::size_t pixels() const { return static_cast<std::size_t>(width) * height; }
    std::string text() const { return std::to_string(width) + "x" + std::to_string(height); }
};

void thresholdAmplitude(float* depth, const float* amplitude, std::size_t pixel_count,
                        float min_amplitude);
void rejectSaturated(float* depth, int width, int height, const filters::PhaseSamples& phases,
                     int16_t clip_low, int16_t clip_high);
// Non-finite depth, read anywhere, counts as 0 (no depth).
void removeFlyingPixels(const float* in, float* out, int width, int height,
                        const filters::FlyingPixelParameters& parameters);
// Non-finite depth is invalid.
void temporalFilter(float* depth, float* state, std::size_t pixel_count,
                    const filters::TemporalParameters& parameters);
void median3x3(const float* in, float* out, int width, int height);
// From the ray planes; NaN for depth that is not positive and finite.
void deprojectDepth(const RayTable& rays, const float* radial_depth_mm, float* xyz);

}  // namespace reference
}  // namespace Quorvan

// The loops are written as selects over whole rows (no early exits, no
// branches on pixel values) so that the compiler vectorises them.
#include "quorvan/tof_filters.h"

#include <algorithm>
#include <cmath>

namespace Quorvan {
namespace filters {

void thresholdAmplitude(float* depth, const float* amplitude, std::size_t pixel_count,
                        float min_amplitude) {
    for (std::size_t i = 0; i < pixel_count; ++i)
        depth[i] = amplitude[i] >= min_amplitude ? depth[i] : kInvalidDepth;
}

void rejectSaturated(float* depth, int width, int height, const PhaseSamples& phases,
                     int16_t clip_low, int16_t clip_high) {
    for (int row = 0; row < height; ++row) {
        const int16_t* p0 = phases.samples + static_cast<std::size_t>(row) * phases.row_stride;
        const int16_t* p1 = p0 + phases.phase_stride;
        const int16_t* p2 = p1 + phases.phase_stride;
        const int16_t* p3 = p2 + phases.phase_stride;
        float* out = depth + static_cast<std::size_t>(row) * width;
        for (int column = 0; column < width; ++column) {
            const int16_t low =
                std::min(std::min(p0[column], p1[column]), std::min(p2[column], p3[column]));
            const int16_t high =
                std::max(std::max(p0[column], p1[column]), std::max(p2[column], p3[column]));
            const bool clipped = low <= clip_low || high >= clip_high;
            out[column] = clipped ? kInvalidDepth : out[column];
        }
    }
}

void removeFlyingPixels(const float* in, float* out, int width, int height,
                        const FlyingPixelParameters& parameters) {
    const std::size_t w = static_cast<std::size_t>(width);
    std::copy(in, in + w, out);
    for (int row = 1; row + 1 < height; ++row) {
        const float* above = in + (row - 1) * w;
        const float* here = in + row * w;
        const float* below = in + (row + 1) * w;
        float* result = out + row * w;
        result[0] = here[0];
        for (std::size_t column = 1; column + 1 < w; ++column) {
            const float d = here[column];
            const float limit = std::max(parameters.min_jump_mm, parameters.relative_jump * d);
            const bool off_row =
                std::fabs(d - here[column - 1]) > limit && std::fabs(d - here[column + 1]) > limit;
            const bool off_column =
                std::fabs(d - above[column]) > limit && std::fabs(d - below[column]) > limit;
            result[column] = off_row || off_column ? kInvalidDepth : d;
        }
        result[w - 1] = here[w - 1];
    }
    if (height > 1)
        std::copy(in + (height - 1) * w, in + height * w, out + (height - 1) * w);
}

void temporalFilter(float* depth, float* state, std::size_t pixel_count,
                    const TemporalParameters& parameters) {
    const float alpha = parameters.alpha;
    for (std::size_t i = 0; i < pixel_count; ++i) {
        const float d = depth[i];
        const float previous = state[i];
        const bool valid = d > 0.0f;
        const bool continues =
            previous > 0.0f && std::fabs(d - previous) <= parameters.reset_jump_mm;
        const float smoothed = continues ? previous + alpha * (d - previous) : d;
        const float next = valid ? smoothed : kInvalidDepth;
        state[i] = next;
        depth[i] = next;
    }
}

namespace {

inline void sortPair(float& a, float& b) {
    const float low = std::min(a, b);
    b = std::max(a, b);
    a = low;
}

// The median of nine values with the classic 19-exchange network.
inline float medianOfNine(float p[9]) {
    sortPair(p[1], p[2]);
    sortPair(p[4], p[5]);
    sortPair(p[7], p[8]);
    sortPair(p[0], p[1]);
    sortPair(p[3], p[4]);
    sortPair(p[6], p[7]);
    sortPair(p[1], p[2]);
    sortPair(p[4], p[5]);
    sortPair(p[7], p[8]);
    sortPair(p[0], p[3]);
    sortPair(p[5], p[8]);
    sortPair(p[4], p[7]);
    sortPair(p[3], p[6]);
    sortPair(p[1], p[4]);
    sortPair(p[2], p[5]);
    sortPair(p[4], p[7]);
    sortPair(p[4], p[2]);
    sortPair(p[6], p[4]);
    sortPair(p[4], p[2]);
    return p[4];
}

}  // namespace

void median3x3(const float* in, float* out, int width, int height) {
    const std::size_t w = static_cast<std::size_t>(width);
    std::copy(in, in + w, out);
    for (int row = 1; row + 1 < height; ++row) {
        const float* rows[3] = {in + (row - 1) * w, in + row * w, in + (row + 1) * w};
        float* result = out + row * w;
        result[0] = rows[1][0];
        for (std::size_t column = 1; column + 1 < w; ++column) {
            const float centre = rows[1][column];
            float window[9];
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) {
                    const float value = rows[r][column + c - 1];
                    window[r * 3 + c] = value > 0.0f ? value : centre;
                }
            }
            const float median = medianOfNine(window);
            result[column] = centre > 0.0f ? median : kInvalidDepth;
        }
        result[w - 1] = rows[1][w - 1];
    }
    if (height > 1)
        std::copy(in + (height - 1) * w, in + height * w, out + (height - 1) * w);
}

}  // namespace filters
}  // namespace Quorvan

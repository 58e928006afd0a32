#include "reference/filter_reference.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Quorvan {
namespace reference {

namespace {

float finiteOrInvalid(float value) {
    return std::isfinite(value) ? value : filters::kInvalidDepth;
}

}  // namespace

void thresholdAmplitude(float* depth, const float* amplitude, std::size_t pixel_count,
                        float min_amplitude) {
    for (std::size_t i = 0; i < pixel_count; ++i)
        depth[i] = amplitude[i] >= min_amplitude ? depth[i] : filters::kInvalidDepth;
}

void rejectSaturated(float* depth, int width, int height, const filters::PhaseSamples& phases,
                     int16_t clip_low, int16_t clip_high) {
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            bool clipped = false;
            for (int phase = 0; phase < 4; ++phase) {
                const int16_t sample =
                    phases.samples[phase * phases.phase_stride + row * phases.row_stride + column];
                clipped = clipped || sample <= clip_low || sample >= clip_high;
            }
            if (clipped)
                depth[row * width + column] = filters::kInvalidDepth;
        }
    }
}

void removeFlyingPixels(const float* in, float* out, int width, int height,
                        const filters::FlyingPixelParameters& parameters) {
    const auto at = [&](int row, int column) { return finiteOrInvalid(in[row * width + column]); };
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const float d = at(row, column);
            float result = d;
            if (row > 0 && row + 1 < height && column > 0 && column + 1 < width) {
                const float limit = std::max(parameters.min_jump_mm, parameters.relative_jump * d);
                const bool off_row = std::fabs(d - at(row, column - 1)) > limit &&
                                     std::fabs(d - at(row, column + 1)) > limit;
                const bool off_column = std::fabs(d - at(row - 1, column)) > limit &&
                                        std::fabs(d - at(row + 1, column)) > limit;
                if (off_row || off_column)
                    result = filters::kInvalidDepth;
            }
            out[row * width + column] = result;
        }
    }
}

void temporalFilter(float* depth, float* state, std::size_t pixel_count,
                    const filters::TemporalParameters& parameters) {
    for (std::size_t i = 0; i < pixel_count; ++i) {
        const float d = depth[i];
        float next = filters::kInvalidDepth;
        if (d > 0.0f && std::isfinite(d)) {
            const float previous = state[i];
            next = d;
            if (previous > 0.0f && std::fabs(d - previous) <= parameters.reset_jump_mm)
                next = previous + parameters.alpha * (d - previous);
        }
        state[i] = next;
        depth[i] = next;
    }
}

void median3x3(const float* in, float* out, int width, int height) {
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const float centre = in[row * width + column];
            if (row == 0 || row + 1 == height || column == 0 || column + 1 == width) {
                out[row * width + column] = centre;
                continue;
            }
            if (!(centre > 0.0f)) {
                out[row * width + column] = filters::kInvalidDepth;
                continue;
            }
            float window[9];
            int n = 0;
            for (int r = -1; r <= 1; ++r) {
                for (int c = -1; c <= 1; ++c) {
                    const float value = in[(row + r) * width + column + c];
                    window[n++] = value > 0.0f ? value : centre;
                }
            }
            std::nth_element(window, window + 4, window + 9);
            out[row * width + column] = window[4];
        }
    }
}

void deprojectDepth(const RayTable& rays, const float* radial_depth_mm, float* xyz) {
    for (std::size_t i = 0; i < rays.pixelCount(); ++i) {
        const float d = radial_depth_mm[i];
        const float scale =
            d > 0.0f && std::isfinite(d) ? d : std::numeric_limits<float>::quiet_NaN();
        xyz[3 * i] = rays.rayX()[i] * scale;
        xyz[3 * i + 1] = rays.rayY()[i] * scale;
        xyz[3 * i + 2] = rays.rayZ()[i] * scale;
    }
}

}  // namespace reference
}  // namespace Quorvan

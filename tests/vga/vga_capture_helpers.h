// Scene renders in the 640x480 raw layout and depth-accuracy statistics,
// shared by the depth-library and end-to-end tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "scene/tof_capture.h"
#include "scene/vga_raw_renderer.h"
#include "support/error_spread.h"

namespace Quorvan {
namespace testing_support {

struct RenderedCapture {
    emulation::GroundTruth truth;
    std::vector<uint16_t> raw;
};

inline RenderedCapture renderCapture(const std::string& scene_name,
                                     const emulation::SceneParameters& parameters, bool single,
                                     int width = 640, int height = 480,
                                     emulation::CaptureSettings settings = {}) {
    RenderedCapture capture;
    capture.truth = emulation::renderSceneView(scene_name, parameters, width, height);
    if (capture.truth.width == 0) {
        return capture;
    }
    emulation::VgaRawRenderer renderer(capture.truth, single, settings);
    capture.raw.resize(renderer.sampleCount());
    renderer.render(0, capture.raw.data());
    return capture;
}

struct DepthAccuracy {
    size_t compared = 0;  // valid pixels with a true distance inside the range
    size_t invalid = 0;   // such pixels the library marked invalid (depth 0)
    float p99_error_mm = 0.0f;
    float max_error_mm = 0.0f;
};

// Compares depth with the truth for pixels whose true distance lies from
// `near_mm` to below `range_mm` and whose amplitude reaches `min_amplitude`. Distances within 1%
// of the range are left out: there the phase wraps and 0 is as right as the
// range itself.
inline DepthAccuracy measureAccuracy(const std::vector<float>& depth,
                                     const std::vector<float>& amplitude,
                                     const emulation::GroundTruth& truth, float range_mm,
                                     float min_amplitude, float near_mm = 0.0f) {
    DepthAccuracy accuracy;
    std::vector<float> errors;
    for (size_t pixel = 0; pixel < truth.distance_mm.size(); ++pixel) {
        const float expected = truth.distance_mm[pixel];
        if (expected <= near_mm || expected >= 0.99f * range_mm ||
            amplitude[pixel] < min_amplitude) {
            continue;
        }
        if (depth[pixel] == 0.0f) {
            ++accuracy.invalid;
            continue;
        }
        errors.push_back(std::fabs(depth[pixel] - expected));
    }
    const ErrorSpread<float> spread = errorSpread(errors);
    accuracy.compared = errors.size();
    accuracy.p99_error_mm = spread.p99;
    accuracy.max_error_mm = spread.max;
    return accuracy;
}

}  // namespace testing_support
}  // namespace Quorvan

// Helpers shared by the tests of the emulated kit, the USB backend and the
// end-to-end runs: temporary configuration files and comparisons of decoded
// depth with the scene's ground truth.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scene/scene.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace testing_support {

// A configuration file that exists for the lifetime of the object.
class TempConfigFile {
public:
    explicit TempConfigFile(const std::string& text, const std::string& suffix = ".cfg") {
        std::string pattern = "/tmp/quorvan_kit_XXXXXX" + suffix;
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int descriptor = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
        if (descriptor >= 0) {
            path_ = name.data();
            const ssize_t written = ::write(descriptor, text.data(), text.size());
            (void)written;
            ::close(descriptor);
        }
    }
    ~TempConfigFile() {
        if (!path_.empty())
            std::remove(path_.c_str());
    }
    TempConfigFile(const TempConfigFile&) = delete;
    TempConfigFile& operator=(const TempConfigFile&) = delete;

    const std::string& path() const { return path_; }
    const char* c_str() const { return path_.c_str(); }

private:
    std::string path_;
};

// Ground truth of a named scene as the 240x180 kit sees it by default.
inline emulation::GroundTruth hqvgaGroundTruth(const std::string& scene_name = "default",
                                               const emulation::SceneParameters& parameters = {}) {
    std::string error;
    const auto scene = emulation::makeScene(scene_name, parameters, &error);
    const auto camera =
        emulation::PinholeCamera::withHorizontalFov(240, 180, emulation::kDefaultHorizontalFovDeg);
    return scene ? emulation::renderGroundTruth(*scene, camera) : emulation::GroundTruth{};
}

// Distance between a measured and a true depth on a circle of the
// unambiguous range, so wrapped depths compare correctly.
inline double wrappedError(double measured_mm, double truth_mm, double unambiguous_mm) {
    double error = std::fmod(measured_mm - truth_mm, unambiguous_mm);
    if (error < 0.0)
        error += unambiguous_mm;
    return std::min(error, unambiguous_mm - error);
}

struct DepthComparison {
    size_t compared = 0;  // pixels with adequate amplitude
    double p99_error_mm = 0.0;
    double max_error_mm = 0.0;
};

// Compares pixels whose amplitude is at least `minimum_amplitude`.
inline DepthComparison compareDepth(const float* depth, const float* amplitude,
                                    const emulation::GroundTruth& truth, double unambiguous_mm,
                                    float minimum_amplitude) {
    std::vector<double> errors;
    for (size_t i = 0; i < truth.distance_mm.size(); ++i) {
        if (amplitude[i] >= minimum_amplitude)
            errors.push_back(wrappedError(depth[i], truth.distance_mm[i], unambiguous_mm));
    }
    DepthComparison result;
    result.compared = errors.size();
    if (errors.empty())
        return result;
    std::sort(errors.begin(), errors.end());
    result.p99_error_mm = errors[(errors.size() - 1) * 99 / 100];
    result.max_error_mm = errors.back();
    return result;
}

}  // namespace testing_support
}  // namespace Quorvan

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
#include "support/error_spread.h"

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
    return emulation::renderSceneView(scene_name, parameters, 240, 180);
}

// Shot noise on, drawn from `seed`; everything else as the kit's default.
inline emulation::CaptureSettings noisySettings(uint64_t seed) {
    emulation::CaptureSettings settings;
    settings.shot_noise = true;
    settings.seed = seed;
    return settings;
}

// Pearson's correlation of two series of one length, e.g. the noise of two
// images: near 0 when they are independent.
inline double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    double sum_a = 0, sum_b = 0, sum_ab = 0, sum_aa = 0, sum_bb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sum_a += a[i];
        sum_b += b[i];
        sum_ab += a[i] * b[i];
        sum_aa += a[i] * a[i];
        sum_bb += b[i] * b[i];
    }
    const double n = static_cast<double>(a.size());
    const double covariance = sum_ab / n - (sum_a / n) * (sum_b / n);
    const double variance_a = sum_aa / n - (sum_a / n) * (sum_a / n);
    const double variance_b = sum_bb / n - (sum_b / n) * (sum_b / n);
    return covariance / std::sqrt(variance_a * variance_b);
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
    const ErrorSpread<double> spread = errorSpread(errors);
    return DepthComparison{errors.size(), spread.p99, spread.max};
}

}  // namespace testing_support
}  // namespace Quorvan

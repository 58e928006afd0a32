#include "scene/tof_capture.h"

#include <algorithm>
#include <cmath>

namespace Quorvan {
namespace emulation {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

uint64_t mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

}  // namespace

double unambiguousRangeMm(double modulation_hz) {
    return kSpeedOfLight / (2.0 * modulation_hz) * 1000.0;
}

double phaseForDistance(double distance_mm, double modulation_hz) {
    const double phase = 2.0 * kTwoPi * modulation_hz * (distance_mm / 1000.0) / kSpeedOfLight;
    const double wrapped = std::fmod(phase, kTwoPi);
    return wrapped < 0.0 ? wrapped + kTwoPi : wrapped;
}

PhaseLayout hqvgaPhaseLayout(double modulation_hz) {
    // With s_k = a cos(phi - theta_k):
    //   ordinary:  c2 - c0 = 2a sin(phi), c3 - c1 = 2a cos(phi)
    //   alternate: c1 - c3 = 2a sin(phi), c2 - c0 = 2a cos(phi)
    // so atan2 of each pairing is phi and half the vector length is a.
    if (modulation_hz == kFrequency75MHz)
        return PhaseLayout{{kPi, kPi / 2.0, 0.0, 3.0 * kPi / 2.0}};
    return PhaseLayout{{3.0 * kPi / 2.0, kPi, kPi / 2.0, 0.0}};
}

double deterministicUniform(uint64_t seed, uint64_t counter) {
    return static_cast<double>(mix(mix(seed) ^ counter) >> 11) * (1.0 / 9007199254740992.0);
}

double deterministicGaussian(uint64_t seed, uint64_t frame_index, uint32_t image_index,
                             uint32_t pixel) {
    // Sum of four 16-bit uniforms (Irwin-Hall), scaled to unit variance: one
    // hash per sample, close enough to normal for shot noise, and identical
    // on every platform.
    const uint64_t key =
        mix(mix(mix(seed) ^ frame_index) ^ ((static_cast<uint64_t>(image_index) << 32) | pixel));
    const double sum = static_cast<double>((key & 0xFFFF) + ((key >> 16) & 0xFFFF) +
                                           ((key >> 32) & 0xFFFF) + (key >> 48)) /
                       65536.0;
    return (sum - 2.0) * std::sqrt(3.0);
}

ToFCaptureModel::ToFCaptureModel(const GroundTruth& truth, const CaptureSettings& settings)
    : width_(truth.width), height_(truth.height), settings_(settings) {
    const std::size_t pixels = static_cast<std::size_t>(width_) * height_;
    distance_mm_ = truth.distance_mm;
    amplitude_.assign(pixels, 0.0f);
    noise_sigma_.assign(pixels, 0.0f);
    for (std::size_t i = 0; i < pixels; ++i) {
        const double distance_m = truth.distance_mm[i] / 1000.0;
        double amplitude = 0.0;
        if (distance_m > 0.0) {
            amplitude = settings.signal_gain * truth.reflectivity[i] * truth.cos_incidence[i] /
                        (distance_m * distance_m);
        }
        amplitude_[i] = static_cast<float>(amplitude);
        noise_sigma_[i] =
            static_cast<float>(settings.noise_scale * std::sqrt(settings.ambient + amplitude));
    }
}

double ToFCaptureModel::sampleAt(int pixel, double sampling_phase, uint64_t frame_index,
                                 uint32_t image_index) const {
    const double phase = phaseForDistance(distance_mm_[pixel], settings_.modulation_hz);
    double sample = amplitude_[pixel] * std::cos(phase - sampling_phase);
    if (settings_.shot_noise) {
        sample +=
            noise_sigma_[pixel] * deterministicGaussian(settings_.seed, frame_index, image_index,
                                                        static_cast<uint32_t>(pixel));
    }
    return sample;
}

void ToFCaptureModel::renderCorrelation(double sampling_phase, uint64_t frame_index,
                                        uint32_t image_index, int16_t* out) const {
    const int pixels = pixelCount();
    for (int i = 0; i < pixels; ++i) {
        const double sample = std::nearbyint(sampleAt(i, sampling_phase, frame_index, image_index));
        out[i] = static_cast<int16_t>(
            std::clamp(sample, static_cast<double>(kSampleMin), static_cast<double>(kSampleMax)));
    }
}

void ToFCaptureModel::renderPhaseImage(const PhaseLayout& layout, uint32_t image_index,
                                       uint64_t frame_index, uint16_t* out) const {
    const double sampling_phase = layout.sampling_phase[image_index % 4];
    const int pixels = pixelCount();
    for (int i = 0; i < pixels; ++i) {
        const double sample = std::nearbyint(sampleAt(i, sampling_phase, frame_index, image_index));
        out[i] = encodeSensorWord(static_cast<int>(
            std::clamp(sample, static_cast<double>(kSampleMin), static_cast<double>(kSampleMax))));
    }
}

void ToFCaptureModel::renderPhaseImages(const PhaseLayout& layout, uint64_t frame_index,
                                        uint16_t* out) const {
    for (uint32_t image = 0; image < 4; ++image)
        renderPhaseImage(layout, image, frame_index,
                         out + static_cast<std::size_t>(image) * pixelCount());
}

}  // namespace emulation
}  // namespace Quorvan

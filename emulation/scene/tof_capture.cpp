#include "scene/tof_capture.h"

#include <algorithm>
#include <cmath>

#include "scene/noisy_sample_kernel.h"
#include "scene/render_slowdown.h"
#include "scene/shot_noise.h"

namespace Quorvan {
namespace emulation {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

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
    return static_cast<double>(mixBits(mixBits(seed) ^ counter) >> 11) * (1.0 / 9007199254740992.0);
}

double deterministicGaussian(uint64_t seed, uint64_t frame_index, uint32_t image_index,
                             uint32_t pixel) {
    const uint64_t key = mixBits(noiseFrameKey(seed, frame_index) ^
                                 ((static_cast<uint64_t>(image_index) << 32) | pixel));
    const int64_t sum = static_cast<int64_t>((key & 0xFFFF) + ((key >> 16) & 0xFFFF) +
                                             ((key >> 32) & 0xFFFF) + (key >> 48));
    return static_cast<double>(sum - 131072) * (std::sqrt(3.0) / 65536.0);
}

ToFCaptureModel::ToFCaptureModel(const GroundTruth& truth, const CaptureSettings& settings)
    : width_(truth.width), height_(truth.height), settings_(settings) {
    const std::size_t pixels = static_cast<std::size_t>(width_) * height_;
    phase_.resize(pixels);
    amplitude_.resize(pixels);
    if (settings.shot_noise) {
        noise_sigma_.resize(pixels);
        in_phase_.resize(pixels);
        quadrature_.resize(pixels);
    }
    for (std::size_t i = 0; i < pixels; ++i) {
        const double distance_m = truth.distance_mm[i] / 1000.0;
        double amplitude = 0.0;
        if (distance_m > 0.0) {
            amplitude = settings.signal_gain * truth.reflectivity[i] * truth.cos_incidence[i] /
                        (distance_m * distance_m);
        }
        amplitude_[i] = static_cast<float>(amplitude);
        phase_[i] = phaseForDistance(truth.distance_mm[i], settings.modulation_hz);
        if (settings.shot_noise) {
            noise_sigma_[i] =
                static_cast<float>(settings.noise_scale * std::sqrt(settings.ambient + amplitude));
            in_phase_[i] = static_cast<float>(amplitude_[i] * std::cos(phase_[i]));
            quadrature_[i] = static_cast<float>(amplitude_[i] * std::sin(phase_[i]));
        }
    }
}

template <SampleEncoding kEncoding>
void ToFCaptureModel::renderExact(double sampling_phase, uint16_t* out) const {
    const int pixels = pixelCount();
    for (int i = 0; i < pixels; ++i) {
        const double sample = std::nearbyint(amplitude_[i] * std::cos(phase_[i] - sampling_phase));
        out[i] = encodeSample<kEncoding>(static_cast<int32_t>(
            std::clamp(sample, static_cast<double>(kSampleMin), static_cast<double>(kSampleMax))));
    }
}

void ToFCaptureModel::renderSamples(double sampling_phase, uint64_t frame_index,
                                    uint32_t image_index, SampleEncoding encoding,
                                    uint16_t* out) const {
    // Every render of samples, the 240x180 and the 640x480 ones, comes here.
    const ScopedRenderSlowdown slowdown;
    if (settings_.shot_noise) {
        const NoisySampleInputs inputs{in_phase_.data(),
                                       quadrature_.data(),
                                       noise_sigma_.data(),
                                       static_cast<uint32_t>(pixelCount()),
                                       static_cast<float>(std::cos(sampling_phase)),
                                       static_cast<float>(std::sin(sampling_phase)),
                                       noiseFrameKey(settings_.seed, frame_index),
                                       image_index};
        renderNoisySamples(inputs, encoding, out);
        return;
    }
    switch (encoding) {
        case SampleEncoding::kSigned:
            return renderExact<SampleEncoding::kSigned>(sampling_phase, out);
        case SampleEncoding::kSensorWord:
            return renderExact<SampleEncoding::kSensorWord>(sampling_phase, out);
        case SampleEncoding::kOffsetBinary:
            return renderExact<SampleEncoding::kOffsetBinary>(sampling_phase, out);
    }
}

void ToFCaptureModel::renderCorrelation(double sampling_phase, uint64_t frame_index,
                                        uint32_t image_index, int16_t* out) const {
    // int16_t and uint16_t may alias: the bits are the signed values.
    renderSamples(sampling_phase, frame_index, image_index, SampleEncoding::kSigned,
                  reinterpret_cast<uint16_t*>(out));
}

void ToFCaptureModel::renderPhaseImage(const PhaseLayout& layout, uint32_t image_index,
                                       uint64_t frame_index, uint16_t* out) const {
    renderSamples(layout.sampling_phase[image_index % 4], frame_index, image_index,
                  SampleEncoding::kSensorWord, out);
}

void ToFCaptureModel::renderPhaseImages(const PhaseLayout& layout, uint64_t frame_index,
                                        uint16_t* out) const {
    for (uint32_t image = 0; image < 4; ++image)
        renderPhaseImage(layout, image, frame_index,
                         out + static_cast<std::size_t>(image) * pixelCount());
}

}  // namespace emulation
}  // namespace Quorvan

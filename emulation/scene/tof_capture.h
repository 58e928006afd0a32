// The time-of-flight capture model: how a continuous-wave ToF pixel turns a
// true distance, a reflectivity and ambient light into correlation samples,
// and how those samples leave the sensor as 12-bit words.
//
// A pixel at radial distance d sees the modulated light delayed by the phase
//     phi = 4 pi f d / c   (c = 3e8 m/s, wrapped to [0, 2 pi)),
// so its unambiguous range is c / (2 f): 4000 mm at 37.5 MHz, 2000 mm at
// 75 MHz. Sampling the correlation at a sampling phase theta gives
//     s(theta) = a cos(phi - theta),
// a differential value (ambient light cancels between the two taps and only
// adds shot noise), with signal amplitude
//     a = signal_gain * reflectivity * cos(incidence) / d^2   (d in metres).
// Samples saturate at the 11-bit signed range -1024..1023 and leave the
// sensor as 12-bit words whose low 11 bits hold the two's-complement value.
//
// The 240x180 sensor delivers four phase images per depth frame. Their
// sampling phases are chosen per modulation frequency so that the host's
// pairing recovers phi: at 37.5 MHz it decodes atan2(c2 - c0, c3 - c1), at
// 75 MHz atan2(c1 - c3, c2 - c0) (c_k being image k converted to 16x its
// signed value); see hqvgaPhaseLayout.
//
// Everything here is deterministic: the shot noise of a sample is a pure
// function of (seed, frame, image, pixel) (scene/shot_noise.h), so renders
// can run on any thread and repeat exactly.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "scene/scene.h"

namespace Quorvan {
namespace emulation {

constexpr double kSpeedOfLight = 3.0e8;  // m/s, the value the depth computation uses
constexpr double kFrequency37_5MHz = 37.5e6;
constexpr double kFrequency75MHz = 75.0e6;
constexpr int kSampleMin = -1024;  // 11-bit two's complement
constexpr int kSampleMax = 1023;

// c / (2 f), in millimetres.
double unambiguousRangeMm(double modulation_hz);
// 4 pi f d / c wrapped to [0, 2 pi).
double phaseForDistance(double distance_mm, double modulation_hz);

// Sampling phase (radians) of each of the four phase images of one frame.
struct PhaseLayout {
    std::array<double, 4> sampling_phase{};
};

// The 240x180 sensor's layout at a modulation frequency: 75 MHz gives the
// alternate order {pi, pi/2, 0, 3pi/2}; any other frequency the ordinary
// order {3pi/2, pi, pi/2, 0}.
PhaseLayout hqvgaPhaseLayout(double modulation_hz);

// A signed sample (-1024..1023) as the sensor's 12-bit word: low 11 bits
// two's complement, bit 11 clear.
inline uint16_t encodeSensorWord(int sample) {
    return static_cast<uint16_t>(static_cast<unsigned>(sample) & 0x7FFu);
}
// The inverse: the low 11 bits of a word as a signed value.
inline int decodeSensorWord(uint16_t word) {
    const int m = word & 0x7FF;
    return m >= 1024 ? m - 2048 : m;
}

struct CaptureSettings {
    double modulation_hz = kFrequency37_5MHz;
    // Peak sample of a white (reflectivity 1) target facing the camera at 1 m.
    double signal_gain = 2800.0;
    // Ambient light in sample units; it only feeds the shot noise.
    double ambient = 40.0;
    // Shot noise standard deviation is noise_scale * sqrt(ambient + a).
    bool shot_noise = false;
    double noise_scale = 0.35;
    uint64_t seed = 1;
};

// How a signed sample s (-1024..1023) is stored.
enum class SampleEncoding {
    kSigned,        // s itself, as the bits of an int16_t
    kSensorWord,    // the 240x180 sensor's 12-bit word, encodeSensorWord(s)
    kOffsetBinary,  // 2048 + s, the 640x480 layout's phase samples
};

template <SampleEncoding kEncoding>
inline uint16_t encodeSample(int32_t sample) {
    if constexpr (kEncoding == SampleEncoding::kSensorWord)
        return encodeSensorWord(sample);
    if constexpr (kEncoding == SampleEncoding::kOffsetBinary)
        return static_cast<uint16_t>(2048 + sample);
    return static_cast<uint16_t>(sample);
}

// Renders correlation samples of one scene view. Everything about a pixel
// that does not change between frames (its phase, amplitude, noise level and
// the two quadrature components of its signal) is computed once in the
// constructor; renders only read it, so one model may serve several threads,
// and a render allocates nothing.
//
// Without shot noise a sample is exactly nearbyint(a cos(phi - theta)) in
// double precision. With shot noise the signal is formed in single precision
// as a cos(phi) cos(theta) + a sin(phi) sin(theta) (a few thousandths of a
// sample from the exact value, far below the noise) by a loop that
// vectorises (scene/noisy_sample_kernel.h).
class ToFCaptureModel {
public:
    ToFCaptureModel(const GroundTruth& truth, const CaptureSettings& settings);

    int width() const { return width_; }
    int height() const { return height_; }
    int pixelCount() const { return width_ * height_; }
    const CaptureSettings& settings() const { return settings_; }
    // Noise-free signal amplitude a of every pixel, in sample units.
    const std::vector<float>& amplitude() const { return amplitude_; }

    // Samples of every pixel (row-major) for one sampling phase, stored as
    // `encoding` says. frame_index and image_index select the noise; they do
    // not change the noise-free value.
    void renderSamples(double sampling_phase, uint64_t frame_index, uint32_t image_index,
                       SampleEncoding encoding, uint16_t* out) const;
    // The same as signed values.
    void renderCorrelation(double sampling_phase, uint64_t frame_index, uint32_t image_index,
                           int16_t* out) const;

    // One phase image of a frame as 12-bit sensor words (image_index 0..3
    // picks layout.sampling_phase[image_index]).
    void renderPhaseImage(const PhaseLayout& layout, uint32_t image_index, uint64_t frame_index,
                          uint16_t* out) const;
    // The four phase images back to back: 4 x width x height words, in the
    // order the 240x180 sensor sends them.
    void renderPhaseImages(const PhaseLayout& layout, uint64_t frame_index, uint16_t* out) const;

private:
    template <SampleEncoding kEncoding>
    void renderExact(double sampling_phase, uint16_t* out) const;

    int width_;
    int height_;
    CaptureSettings settings_;
    std::vector<double> phase_;  // phi of every pixel
    std::vector<float> amplitude_;
    // Only with shot noise: noise standard deviation, a cos(phi), a sin(phi).
    std::vector<float> noise_sigma_;
    std::vector<float> in_phase_;
    std::vector<float> quadrature_;
};

// A uniform value in [0, 1) that depends only on its arguments.
double deterministicUniform(uint64_t seed, uint64_t counter);
// A standard normal value that depends only on its arguments: the noise
// value of that sample (noiseSample in scene/shot_noise.h) in double precision.
double deterministicGaussian(uint64_t seed, uint64_t frame_index, uint32_t image_index,
                             uint32_t pixel);

}  // namespace emulation
}  // namespace Quorvan

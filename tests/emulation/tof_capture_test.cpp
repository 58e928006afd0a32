#include "scene/tof_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "device/hqvga_kernels.h"
#include "emulation/kit_test_support.h"
#include "scene/noisy_sample_kernel.h"
#include "scene/shot_noise.h"
#include "scene/vga_raw_layout.h"
#include "scene/vga_raw_renderer.h"

namespace Quorvan {
namespace {

using emulation::CaptureSettings;
using emulation::ToFCaptureModel;
using testing_support::compareDepth;
using testing_support::correlation;
using testing_support::hqvgaGroundTruth;
using testing_support::noisySettings;

constexpr int kPixels = 240 * 180;

TEST(ToFPhase, UnambiguousRangesAndPhase) {
    EXPECT_DOUBLE_EQ(emulation::unambiguousRangeMm(emulation::kFrequency37_5MHz), 4000.0);
    EXPECT_DOUBLE_EQ(emulation::unambiguousRangeMm(emulation::kFrequency75MHz), 2000.0);
    const double pi = std::acos(-1.0);
    EXPECT_NEAR(emulation::phaseForDistance(1000.0, emulation::kFrequency37_5MHz), pi / 2, 1e-12);
    EXPECT_NEAR(emulation::phaseForDistance(1000.0, emulation::kFrequency75MHz), pi, 1e-12);
    // One full unambiguous range wraps back to zero phase.
    EXPECT_NEAR(emulation::phaseForDistance(4100.0, emulation::kFrequency37_5MHz),
                emulation::phaseForDistance(100.0, emulation::kFrequency37_5MHz), 1e-9);
}

TEST(SensorWord, ElevenBitTwosComplementRoundTrips) {
    for (int sample : {0, 1, 100, 1023, -1, -100, -1024}) {
        const uint16_t word = emulation::encodeSensorWord(sample);
        EXPECT_EQ(word & 0xF800, 0) << sample;
        EXPECT_EQ(emulation::decodeSensorWord(word), sample);
        // The 240x180 device converts the same word to 16 times the value.
        EXPECT_EQ(hqvga::convertSample(word, 0), sample * 16) << sample;
    }
}

// Renders the four phase images of a noise-free scene at one frequency and
// decodes them with the 240x180 device's own computation.
struct DecodedFrame {
    std::vector<float> depth = std::vector<float>(kPixels);
    std::vector<float> amplitude = std::vector<float>(kPixels);
    std::vector<float> confidence = std::vector<float>(kPixels);
};

DecodedFrame renderAndDecode(const ToFCaptureModel& model, int32_t range, float frequency) {
    std::vector<uint16_t> images(4 * kPixels);
    model.renderPhaseImages(emulation::hqvgaPhaseLayout(model.settings().modulation_hz), 0,
                            images.data());
    DecodedFrame frame;
    hqvga::computeDepth(images.data(), frame.depth.data(), frame.amplitude.data(),
                        frame.confidence.data(), range, frequency, 0);
    return frame;
}

TEST(ToFCaptureModel, BothPairingsRecoverTheDefaultScene) {
    const auto truth = hqvgaGroundTruth();
    struct Case {
        double frequency;
        int32_t range;
    };
    for (const Case c :
         {Case{emulation::kFrequency37_5MHz, 4000}, Case{emulation::kFrequency75MHz, 2000}}) {
        CaptureSettings settings;
        settings.modulation_hz = c.frequency;
        const ToFCaptureModel model(truth, settings);
        const DecodedFrame frame = renderAndDecode(model, c.range, static_cast<float>(c.frequency));
        // Amplitude 16 x 200 keeps quantisation well inside 2 mm.
        const auto result =
            compareDepth(frame.depth.data(), frame.amplitude.data(), truth, c.range, 3200.0f);
        SCOPED_TRACE(c.range);
        EXPECT_GT(result.compared, kPixels * 2u / 5u);
        EXPECT_LT(result.p99_error_mm, 2.0);
        // The device's amplitude is 16 times the model's signal amplitude.
        for (int i : {0, 12345, kPixels / 2, kPixels - 1})
            EXPECT_NEAR(frame.amplitude[i], 16.0f * model.amplitude()[i], 16.0f);
    }
}

TEST(ToFCaptureModel, WrongPairingDoesNotDecode) {
    // Guards the layout itself: decoding 75 MHz images with the ordinary
    // pairing must fail, or the test above would not tell the layouts apart.
    const auto truth = hqvgaGroundTruth("wall", {{"distance_mm", 700.0}});
    CaptureSettings settings;
    settings.modulation_hz = emulation::kFrequency75MHz;
    const ToFCaptureModel model(truth, settings);
    const DecodedFrame frame = renderAndDecode(model, 4000, 75e6f);
    const auto result =
        compareDepth(frame.depth.data(), frame.amplitude.data(), truth, 2000.0, 1.0f);
    EXPECT_GT(result.p99_error_mm, 100.0);
}

// The centre pixel of a near, bright wall clips to the largest sample in
// phase and to the smallest in antiphase.
void expectCentreClipsBothWays(const ToFCaptureModel& model) {
    std::vector<int16_t> samples(kPixels);
    model.renderCorrelation(0.0, 0, 0, samples.data());
    EXPECT_EQ(samples[90 * 240 + 120], emulation::kSampleMax);
    model.renderCorrelation(std::acos(-1.0), 0, 0, samples.data());
    EXPECT_EQ(samples[90 * 240 + 120], emulation::kSampleMin);
}

TEST(ToFCaptureModel, BrightNearSurfacesSaturate) {
    // a = 2800 / 0.04 is far beyond the 11-bit range.
    const auto truth = hqvgaGroundTruth("wall", {{"distance_mm", 200.0}, {"reflectivity", 1.0}});
    expectCentreClipsBothWays(ToFCaptureModel(truth, CaptureSettings{}));
}

TEST(ToFCaptureModel, NoisySignalsFarBeyondTheRangeStillClip) {
    // a = 1e6 x 1 / 0.1^2: far beyond what single-precision rounding tricks
    // hold, so clipping must come first.
    const auto truth = hqvgaGroundTruth("wall", {{"distance_mm", 100.0}, {"reflectivity", 1.0}});
    CaptureSettings settings = noisySettings(1);
    settings.signal_gain = 1e6;
    expectCentreClipsBothWays(ToFCaptureModel(truth, settings));
}

TEST(ToFCaptureModel, ShotNoiseIsSeededAndUnbiased) {
    const auto truth = hqvgaGroundTruth("wall", {{"distance_mm", 1500.0}});
    CaptureSettings settings = noisySettings(7);
    const ToFCaptureModel noisy(truth, settings);
    settings.seed = 8;
    const ToFCaptureModel other_seed(truth, settings);
    settings.shot_noise = false;
    const ToFCaptureModel clean(truth, settings);

    std::vector<int16_t> a(kPixels), b(kPixels), c(kPixels), next_frame(kPixels), exact(kPixels);
    noisy.renderCorrelation(0.3, 5, 1, a.data());
    noisy.renderCorrelation(0.3, 5, 1, b.data());
    other_seed.renderCorrelation(0.3, 5, 1, c.data());
    noisy.renderCorrelation(0.3, 6, 1, next_frame.data());
    clean.renderCorrelation(0.3, 5, 1, exact.data());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_NE(a, next_frame);

    double sum = 0.0;
    double sum_squares = 0.0;
    double expected_variance = 0.0;
    for (int i = 0; i < kPixels; ++i) {
        const double difference = a[i] - exact[i];
        sum += difference;
        sum_squares += difference * difference;
        const double sigma =
            settings.noise_scale * std::sqrt(settings.ambient + clean.amplitude()[i]);
        expected_variance += sigma * sigma;
    }
    EXPECT_NEAR(sum / kPixels, 0.0, 0.1);
    // Rounding adds 1/12 to the variance.
    EXPECT_NEAR(sum_squares / kPixels, expected_variance / kPixels + 1.0 / 12.0,
                0.1 * expected_variance / kPixels);
}

// The signal of pixel i at a sampling phase, before rounding, in double
// precision from the scene's truth: a cos(phi - theta).
double exactSignal(const emulation::GroundTruth& truth, const ToFCaptureModel& model, int i,
                   double sampling_phase) {
    const double phase =
        emulation::phaseForDistance(truth.distance_mm[i], model.settings().modulation_hz);
    return model.amplitude()[i] * std::cos(phase - sampling_phase);
}

int quantised(double value) {
    return static_cast<int>(std::clamp(std::nearbyint(value), -1024.0, 1023.0));
}

TEST(ToFCaptureModel, NoiseFreeSamplesAreTheRoundedSignalInEveryEncoding) {
    const auto truth = hqvgaGroundTruth();
    const ToFCaptureModel model(truth, CaptureSettings{});
    constexpr double kSamplingPhase = 2.1;
    std::vector<uint16_t> signed_bits(kPixels), words(kPixels), offset_binary(kPixels);
    model.renderSamples(kSamplingPhase, 3, 1, emulation::SampleEncoding::kSigned,
                        signed_bits.data());
    model.renderSamples(kSamplingPhase, 3, 1, emulation::SampleEncoding::kSensorWord, words.data());
    model.renderSamples(kSamplingPhase, 3, 1, emulation::SampleEncoding::kOffsetBinary,
                        offset_binary.data());
    for (int i = 0; i < kPixels; ++i) {
        const int expected = quantised(exactSignal(truth, model, i, kSamplingPhase));
        ASSERT_EQ(static_cast<int16_t>(signed_bits[i]), expected) << i;
        ASSERT_EQ(words[i], emulation::encodeSensorWord(expected)) << i;
        ASSERT_EQ(offset_binary[i], 2048 + expected) << i;
    }
}

TEST(ToFCaptureModel, NoisySamplesAreTheRoundedSignalPlusScaledNoise) {
    // The noisy loop forms the signal in single precision (and may run as
    // any instruction-set variant); against the double-precision model a
    // sample may differ by one where the sum lies within a rounding error of
    // a half, and nowhere else.
    const auto truth = hqvgaGroundTruth();
    CaptureSettings settings = noisySettings(21);
    const ToFCaptureModel model(truth, settings);
    std::vector<int16_t> samples(kPixels);
    int differing = 0;
    for (const double sampling_phase : {0.0, 1.2, 4.0}) {
        model.renderCorrelation(sampling_phase, 5, 2, samples.data());
        for (int i = 0; i < kPixels; ++i) {
            const double sigma =
                settings.noise_scale * std::sqrt(settings.ambient + model.amplitude()[i]);
            const double noise =
                emulation::deterministicGaussian(settings.seed, 5, 2, static_cast<uint32_t>(i));
            const int expected =
                quantised(exactSignal(truth, model, i, sampling_phase) + sigma * noise);
            ASSERT_LE(std::abs(samples[i] - expected), 1) << i;
            differing += samples[i] != expected;
        }
    }
    EXPECT_LT(differing, 3 * kPixels / 1000);
}

TEST(VgaRawRenderer, NoiseIsIndependentBetweenBlocksAndTheGrayImageIsNoiseFree) {
    constexpr int kWidth = 320;
    constexpr int kHeight = 240;
    const auto view = emulation::renderSceneView("default", {}, kWidth, kHeight);
    CaptureSettings settings;
    settings.shot_noise = true;
    const emulation::VgaRawRenderer noisy(view, false, settings);
    settings.shot_noise = false;
    const emulation::VgaRawRenderer clean(view, false, settings);
    std::vector<uint16_t> a(noisy.sampleCount()), b(noisy.sampleCount()),
        exact(clean.sampleCount());
    noisy.render(7, a.data());
    noisy.render(8, b.data());
    clean.render(0, exact.data());

    const size_t pixels = static_cast<size_t>(kWidth) * kHeight;
    auto noiseOf = [&](const std::vector<uint16_t>& capture, int frequency, int block) {
        std::vector<double> noise(pixels);
        const int64_t first = vga_layout::blockPixelOffset(kWidth, kHeight, frequency, block);
        for (size_t i = 0; i < pixels; ++i)
            noise[i] = static_cast<double>(capture[first + i]) - exact[first + i];
        return noise;
    };
    // 76800 pairs: a correlation's standard error is under 0.004.
    const auto first = noiseOf(a, 0, 0);
    EXPECT_LT(std::fabs(correlation(first, noiseOf(a, 0, 1))), 0.02);
    EXPECT_LT(std::fabs(correlation(first, noiseOf(a, 1, 0))), 0.02);
    EXPECT_LT(std::fabs(correlation(first, noiseOf(b, 0, 0))), 0.02);
    double variance = 0.0;
    for (double v : first)
        variance += v * v;
    EXPECT_GT(variance / static_cast<double>(pixels), 4.0);

    // Metadata rows and gray images (ambient plus amplitude) carry no noise.
    const ToFCaptureModel model(view, settings);
    for (int frequency = 0; frequency < 2; ++frequency) {
        const int64_t metadata =
            vga_layout::blockPixelOffset(kWidth, kHeight, frequency, 0) - kWidth;
        EXPECT_TRUE(std::equal(a.begin() + metadata, a.begin() + metadata + kWidth,
                               exact.begin() + metadata));
        const int64_t gray =
            vga_layout::blockPixelOffset(kWidth, kHeight, frequency, vga_layout::kGrayBlock);
        EXPECT_TRUE(std::equal(a.begin() + gray, a.begin() + gray + pixels, exact.begin() + gray));
        const size_t centre = (kHeight / 2) * kWidth + kWidth / 2;
        EXPECT_EQ(a[gray + centre], std::round(settings.ambient + model.amplitude()[centre]));
    }
}

TEST(ToFCaptureModel, EveryInstructionSetBuildRendersTheSameNoise) {
    // The noisy loop's builds for this processor, side by side on the same
    // inputs, in every encoding.
    const auto truth = hqvgaGroundTruth();
    CaptureSettings settings;
    settings.shot_noise = true;
    const ToFCaptureModel model(truth, settings);
    std::vector<float> in_phase(kPixels), quadrature(kPixels), sigma(kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const double phase = emulation::phaseForDistance(truth.distance_mm[i], 37.5e6);
        in_phase[i] = static_cast<float>(model.amplitude()[i] * std::cos(phase));
        quadrature[i] = static_cast<float>(model.amplitude()[i] * std::sin(phase));
        sigma[i] = static_cast<float>(0.35 * std::sqrt(40.0 + model.amplitude()[i]));
    }
    // Pixel count not a multiple of any vector width: the loops' tails run too.
    const emulation::NoisySampleInputs inputs{in_phase.data(),
                                              quadrature.data(),
                                              sigma.data(),
                                              kPixels - 3,
                                              0.6f,
                                              0.8f,
                                              emulation::noiseFrameKey(3, 4),
                                              1};
    const auto host = emulation::hostInstructionSetLevel();
    for (const auto encoding :
         {emulation::SampleEncoding::kSigned, emulation::SampleEncoding::kSensorWord,
          emulation::SampleEncoding::kOffsetBinary}) {
        std::vector<uint16_t> reference(kPixels, 0);
        emulation::renderNoisySamplesAt(emulation::InstructionSetLevel::kBaseline, inputs, encoding,
                                        reference.data());
        for (const auto level : {emulation::InstructionSetLevel::kX86_64_v3,
                                 emulation::InstructionSetLevel::kX86_64_v4}) {
            if (static_cast<int>(level) > static_cast<int>(host))
                continue;
            std::vector<uint16_t> samples(kPixels, 0);
            emulation::renderNoisySamplesAt(level, inputs, encoding, samples.data());
            EXPECT_EQ(samples, reference) << static_cast<int>(level);
        }
    }
}

}  // namespace
}  // namespace Quorvan

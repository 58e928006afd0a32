#include "scene/tof_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "device/hqvga_kernels.h"
#include "emulation/kit_test_support.h"

namespace Quorvan {
namespace {

using emulation::CaptureSettings;
using emulation::ToFCaptureModel;
using testing_support::compareDepth;
using testing_support::hqvgaGroundTruth;

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

TEST(ToFCaptureModel, BrightNearSurfacesSaturate) {
    const auto truth = hqvgaGroundTruth("wall", {{"distance_mm", 200.0}, {"reflectivity", 1.0}});
    const ToFCaptureModel model(truth, CaptureSettings{});
    std::vector<int16_t> samples(kPixels);
    model.renderCorrelation(0.0, 0, 0, samples.data());
    // a = 2800 / 0.04 is far beyond the 11-bit range.
    EXPECT_EQ(samples[90 * 240 + 120], emulation::kSampleMax);
    model.renderCorrelation(std::acos(-1.0), 0, 0, samples.data());
    EXPECT_EQ(samples[90 * 240 + 120], emulation::kSampleMin);
}

TEST(ToFCaptureModel, ShotNoiseIsSeededAndUnbiased) {
    const auto truth = hqvgaGroundTruth("wall", {{"distance_mm", 1500.0}});
    CaptureSettings settings;
    settings.shot_noise = true;
    settings.seed = 7;
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

}  // namespace
}  // namespace Quorvan

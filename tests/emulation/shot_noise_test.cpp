// The shot noise as a distribution: its values, how they depend on the
// signal, and their independence between pixels, images, frames and seeds.
// Nothing here compares bytes of noise, so any generator with the same
// statistics passes.
#include "scene/shot_noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "emulation/kit_test_support.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace {

using emulation::CaptureSettings;
using emulation::noiseFrameKey;
using emulation::noiseSample;
using emulation::ToFCaptureModel;
using testing_support::correlation;
using testing_support::hqvgaGroundTruth;
using testing_support::noisySettings;

constexpr int kWidth = 240;
constexpr int kPixels = 240 * 180;

// Cumulative distribution of the sum of four uniforms on [0, 1) (Irwin-Hall,
// n = 4) at s in [0, 4].
double irwinHallCdf(double s) {
    double sum = 0.0;
    double binomial = 1.0;  // C(4, k)
    for (int k = 0; k <= 4 && k <= s; ++k) {
        sum += (k % 2 ? -1.0 : 1.0) * binomial * std::pow(s - k, 4);
        binomial = binomial * (4 - k) / (k + 1);
    }
    return sum / 24.0;
}

TEST(ShotNoise, ValuesHaveUnitVarianceAndTheIrwinHallShape) {
    constexpr int kFrames = 24;
    std::vector<double> values;
    values.reserve(static_cast<size_t>(kFrames) * kPixels);
    for (uint64_t frame = 0; frame < kFrames; ++frame) {
        const uint64_t key = noiseFrameKey(1, frame);
        for (uint32_t pixel = 0; pixel < kPixels; ++pixel)
            values.push_back(noiseSample(key, static_cast<uint32_t>(frame % 4), pixel));
    }
    double sum = 0, sum2 = 0, sum3 = 0, sum4 = 0;
    double largest = 0;
    for (double v : values) {
        sum += v;
        sum2 += v * v;
        sum3 += v * v * v;
        sum4 += v * v * v * v;
        largest = std::max(largest, std::fabs(v));
    }
    const double n = static_cast<double>(values.size());
    // About a million values: the standard error of the mean is 0.001.
    EXPECT_NEAR(sum / n, 0.0, 0.005);
    EXPECT_NEAR(sum2 / n, 1.0, 0.01);
    EXPECT_NEAR(sum3 / n, 0.0, 0.02);
    // Irwin-Hall with four terms: excess kurtosis -6 / (5 x 4).
    EXPECT_NEAR(sum4 / n - 3.0, -0.3, 0.03);
    EXPECT_LE(largest, 2.0 * std::sqrt(3.0));

    // Kolmogorov-Smirnov distance to the Irwin-Hall distribution, on a grid.
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    double worst = 0.0;
    for (int step = 1; step < 64; ++step) {
        const double x = -2.0 * std::sqrt(3.0) + step * (4.0 * std::sqrt(3.0) / 64.0);
        const double empirical =
            static_cast<double>(std::upper_bound(sorted.begin(), sorted.end(), x) -
                                sorted.begin()) /
            n;
        const double expected = irwinHallCdf(x / std::sqrt(3.0) + 2.0);
        worst = std::max(worst, std::fabs(empirical - expected));
    }
    EXPECT_LT(worst, 0.003);

    // The double-precision accessor is the same value.
    for (uint32_t pixel : {0u, 17u, 40000u})
        EXPECT_NEAR(emulation::deterministicGaussian(9, 3, 2, pixel),
                    noiseSample(noiseFrameKey(9, 3), 2, pixel), 1e-6);
}

TEST(ShotNoise, IndependentBetweenPixelsImagesFramesAndSeeds) {
    auto field = [](uint64_t seed, uint64_t frame, uint32_t image) {
        std::vector<double> values(kPixels);
        const uint64_t key = noiseFrameKey(seed, frame);
        for (uint32_t pixel = 0; pixel < kPixels; ++pixel)
            values[pixel] = noiseSample(key, image, pixel);
        return values;
    };
    const auto base = field(1, 10, 0);
    std::vector<double> right(base.begin() + 1, base.end());
    std::vector<double> below(base.begin() + kWidth, base.end());
    std::vector<double> head(base.begin(), base.end() - 1);
    std::vector<double> top(base.begin(), base.end() - kWidth);
    // 43200 pairs: a correlation's standard error is 0.005.
    constexpr double kLimit = 0.025;
    EXPECT_LT(std::fabs(correlation(head, right)), kLimit);
    EXPECT_LT(std::fabs(correlation(top, below)), kLimit);
    EXPECT_LT(std::fabs(correlation(base, field(1, 10, 1))), kLimit);
    EXPECT_LT(std::fabs(correlation(base, field(1, 11, 0))), kLimit);
    EXPECT_LT(std::fabs(correlation(base, field(1, 1010, 0))), kLimit);
    EXPECT_LT(std::fabs(correlation(base, field(2, 10, 0))), kLimit);
}

TEST(ShotNoise, VarianceFollowsTheSignalAndTheMeanIsTheCleanSample) {
    // The default scene spans a wide range of amplitudes. Per pixel, 48 frames
    // of one image give the temporal mean and variance; pixels are grouped by
    // amplitude and each group compared with sigma^2 = scale^2 (ambient + a)
    // plus the 1/12 of rounding.
    const auto truth = hqvgaGroundTruth();
    CaptureSettings settings = noisySettings(11);
    const ToFCaptureModel noisy(truth, settings);
    settings.shot_noise = false;
    const ToFCaptureModel clean(truth, settings);
    constexpr double kSamplingPhase = 0.7;
    std::vector<double> exact(kPixels);  // the signal before rounding
    for (int i = 0; i < kPixels; ++i) {
        const double phase =
            emulation::phaseForDistance(truth.distance_mm[i], settings.modulation_hz);
        exact[i] = clean.amplitude()[i] * std::cos(phase - kSamplingPhase);
    }

    constexpr int kFrames = 48;
    std::vector<double> sum(kPixels, 0.0), sum2(kPixels, 0.0);
    std::vector<int16_t> samples(kPixels);
    for (int frame = 0; frame < kFrames; ++frame) {
        noisy.renderCorrelation(kSamplingPhase, static_cast<uint64_t>(frame), 2, samples.data());
        for (int i = 0; i < kPixels; ++i) {
            const double difference = samples[i] - exact[i];
            sum[i] += difference;
            sum2[i] += difference * difference;
        }
    }
    constexpr int kGroups = 5;
    const double edges[kGroups + 1] = {0, 100, 150, 200, 300, 1e9};
    double measured[kGroups] = {}, expected[kGroups] = {}, bias[kGroups] = {};
    int counts[kGroups] = {};
    for (int i = 0; i < kPixels; ++i) {
        const double a = clean.amplitude()[i];
        const double sigma = settings.noise_scale * std::sqrt(settings.ambient + a);
        // Leave out pixels that clip within five sigma.
        if (std::fabs(exact[i]) + 5.0 * sigma > emulation::kSampleMax)
            continue;
        int group = 0;
        while (a >= edges[group + 1])
            ++group;
        const double mean = sum[i] / kFrames;
        measured[group] += (sum2[i] - kFrames * mean * mean) / (kFrames - 1);
        expected[group] += sigma * sigma + 1.0 / 12.0;
        bias[group] += mean / sigma;
        ++counts[group];
    }
    double previous = 0.0;
    for (int group = 0; group < kGroups; ++group) {
        SCOPED_TRACE(group);
        ASSERT_GT(counts[group], 400);
        const double variance = measured[group] / counts[group];
        EXPECT_NEAR(variance, expected[group] / counts[group],
                    0.05 * expected[group] / counts[group]);
        EXPECT_NEAR(bias[group] / counts[group], 0.0, 0.03);
        EXPECT_GT(variance, previous);  // more signal, more noise
        previous = variance;
    }
}

}  // namespace
}  // namespace Quorvan

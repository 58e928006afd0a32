// The optimised depth kernels against the scalar reference over the whole
// input domain: every pair of 11-bit differences and every raw sample value.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "device/hqvga_kernels.h"
#include "device/hqvga_kernels_body.h"
#include "kernels/depth_domain.h"

namespace Quorvan {
namespace {

using kernel_check::DepthConfiguration;
using kernel_check::DomainReport;

constexpr float kFrequency4000 = 37500000.0f;
constexpr float kFrequency2000 = 75000000.0f;

// Under AddressSanitizer the loops run several times slower; memory safety
// does not depend on the values, so every 8th row of differences suffices
// there. The plain build checks the whole domain.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kRowStride = 8;
#else
constexpr int kRowStride = 1;
#endif
constexpr int64_t kDifferencePairs = ((4094 / kRowStride) + 1) * 4095LL;

void expectNoMismatch(const DomainReport& report, const DepthConfiguration& configuration) {
    ASSERT_FALSE(report.kernels.empty());
    for (const kernel_check::KernelOutcome& kernel : report.kernels) {
        EXPECT_EQ(kernel.mismatches, 0)
            << kernel.name << ", " << kernel_check::describe(configuration)
            << ", first mismatch: " << kernel.first_mismatch;
    }
}

class DepthDomainTest : public ::testing::TestWithParam<DepthConfiguration> {};

TEST_P(DepthDomainTest, EveryDifferencePairMatchesReference) {
    const DepthConfiguration configuration = GetParam();
    const DomainReport report = kernel_check::checkDifferenceDomain(
        kernel_check::productionDepthKernels(), configuration, kRowStride);
    EXPECT_EQ(report.pixels, kDifferencePairs);
    expectNoMismatch(report, configuration);
}

TEST_P(DepthDomainTest, EveryRawValueInEveryPhaseMatchesReference) {
    const DepthConfiguration configuration = GetParam();
    const DomainReport report =
        kernel_check::checkRawValueDomain(kernel_check::productionDepthKernels(), configuration);
    EXPECT_EQ(report.pixels, 4 * 65536);
    expectNoMismatch(report, configuration);
}

INSTANTIATE_TEST_SUITE_P(RangesAndShifts, DepthDomainTest,
                         ::testing::Values(DepthConfiguration{4000, kFrequency4000, 0},
                                           DepthConfiguration{4000, kFrequency4000, 4},
                                           DepthConfiguration{2000, kFrequency2000, 0},
                                           DepthConfiguration{2000, kFrequency2000, 4}));

// A range other than 2000 and 4000 keeps the last frequency and the ordinary
// pairing; shifts other than 0 and 4 take the general loop. Their samples
// span fewer differences, so the raw-value domain is enough.
class UnusualSettingsTest : public ::testing::TestWithParam<DepthConfiguration> {};

TEST_P(UnusualSettingsTest, EveryRawValueInEveryPhaseMatchesReference) {
    const DepthConfiguration configuration = GetParam();
    const DomainReport report =
        kernel_check::checkRawValueDomain(kernel_check::productionDepthKernels(), configuration);
    expectNoMismatch(report, configuration);
}

INSTANTIATE_TEST_SUITE_P(UnusualSettings, UnusualSettingsTest,
                         ::testing::Values(DepthConfiguration{3000, kFrequency2000, 1},
                                           DepthConfiguration{2000, kFrequency2000, 11},
                                           DepthConfiguration{4000, kFrequency4000, 16},
                                           DepthConfiguration{4000, 12345.5f, 255}));

// Too few polynomial terms leave errors larger than the guard band; the
// exhaustive comparison must notice, or it proves nothing.
struct ArctangentFiveTerms {
    static constexpr int kTerms = 5;
    static constexpr double kCoefficients[kTerms] = {
        0x1.ffffff55ee730p-1, -0x1.5553d5907298bp-2, 0x1.990d541f21100p-3,
        -0x1.1b6ecfefd7028p-3, 0x1.457eb1770c79bp-4};
    static constexpr double kGuard = hqvga::body::ProductionArctangent::kGuard;
};

void depthWithTooFewTerms(const uint16_t* cache, float* depth, float* amplitude,
                          float* confidence, int32_t range, float modulation_frequency,
                          uint8_t shift) {
    hqvga::body::depthAnyShift<ArctangentFiveTerms>(cache, depth, amplitude, confidence, range,
                                                    modulation_frequency, shift);
}

TEST(DepthDomainCheck, DetectsAKernelWithTooFewPolynomialTerms) {
    const DepthConfiguration configuration{4000, kFrequency4000, 0};
    const DomainReport report = kernel_check::checkDifferenceDomain(
        {{"five terms", depthWithTooFewTerms}}, configuration, kRowStride);
    ASSERT_EQ(report.kernels.size(), 1u);
    EXPECT_GT(report.kernels[0].mismatches, 0);
    std::printf("five-term kernel: %lld of %lld pixels differ\n",
                static_cast<long long>(report.kernels[0].mismatches),
                static_cast<long long>(report.pixels));
}

// Values worked out by hand from the definition, so that the oracle itself is
// pinned down; every sample is repeated over the whole frame.
struct WorkedExample {
    uint16_t samples[4];
    int32_t range;
    float frequency;
    uint8_t shift;
    float depth;
    float amplitude;
};

TEST(DepthKernel, WorkedExamples) {
    const WorkedExample examples[] = {
        {{100, 200, 300, 50}, 4000, kFrequency4000, 0, 1409.6655f, 2000.0f},
        {{100, 200, 300, 50}, 2000, kFrequency2000, 0, 204.83275f, 2000.0f},
        {{300, 100, 100, 100}, 4000, kFrequency4000, 0, 3000.0f, 1600.0f},
        {{0x0640, 0x0C80, 0x12C0, 0x0320}, 4000, kFrequency4000, 4, 1409.6655f, 2000.0f},
        {{77, 77, 77, 77}, 4000, kFrequency4000, 0, 0.0f, 0.0f},
        // Bit 11 is ignored and bit 10 is the sign: 0x0800 is 0, 0x0400 is -16384.
        {{0x0800, 0, 0x0400, 0}, 4000, kFrequency4000, 0, 3000.0f, 8192.0f},
    };
    std::vector<uint16_t> cache(4 * hqvga::kPixels);
    std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels),
        confidence(hqvga::kPixels);
    for (const WorkedExample& example : examples) {
        for (int plane = 0; plane < 4; ++plane)
            std::fill_n(cache.begin() + plane * hqvga::kPixels, hqvga::kPixels,
                        example.samples[plane]);
        hqvga::computeDepth(cache.data(), depth.data(), amplitude.data(), confidence.data(),
                            example.range, example.frequency, example.shift);
        for (int i : {0, hqvga::kPixels / 2 + 7, hqvga::kPixels - 1}) {
            EXPECT_FLOAT_EQ(depth[i], example.depth) << "samples " << example.samples[0];
            EXPECT_EQ(amplitude[i], example.amplitude) << "samples " << example.samples[0];
            EXPECT_EQ(confidence[i], example.amplitude) << "samples " << example.samples[0];
        }
    }
}

}  // namespace
}  // namespace Quorvan

// The optimised depth kernels against the scalar reference over every pair
// of 11-bit differences (labelled exhaustive: a few seconds in a plain build).
#include <gtest/gtest.h>

#include <cstdio>

#include "device/hqvga_kernels_body.h"
#include "kernels/domain_expectations.h"

namespace Quorvan {
namespace kernel_check {
namespace {

// Under AddressSanitizer the loops run several times slower; memory safety
// does not depend on the values, so every 8th row of differences suffices
// there. The plain build checks the whole domain.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kRowStride = 8;
#else
constexpr int kRowStride = 1;
#endif
constexpr int64_t kDifferencePairs = ((4094 / kRowStride) + 1) * 4095LL;

class DepthDomainTest : public ::testing::TestWithParam<DepthConfiguration> {};

TEST_P(DepthDomainTest, EveryDifferencePairMatchesReference) {
    const DepthConfiguration configuration = GetParam();
    const DomainReport report = kernel_check::checkDifferenceDomain(
        kernel_check::productionDepthKernels(), configuration, kRowStride);
    EXPECT_EQ(report.pixels, kDifferencePairs);
    expectNoMismatch(report, configuration);
}

INSTANTIATE_TEST_SUITE_P(RangesAndShifts, DepthDomainTest,
                         ::testing::ValuesIn(kStreamedConfigurations));

// Too few polynomial terms leave errors larger than the guard band; the
// exhaustive comparison must notice, or it proves nothing.
struct ArctangentFiveTerms {
    static constexpr int kTerms = 5;
    static constexpr double kCoefficients[kTerms] = {0x1.ffffff55ee730p-1, -0x1.5553d5907298bp-2,
                                                     0x1.990d541f21100p-3, -0x1.1b6ecfefd7028p-3,
                                                     0x1.457eb1770c79bp-4};
    static constexpr double kGuard = hqvga::body::ProductionArctangent::kGuard;
};

void depthWithTooFewTerms(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                          int32_t range, float modulation_frequency, uint8_t shift) {
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

}  // namespace
}  // namespace kernel_check
}  // namespace Quorvan

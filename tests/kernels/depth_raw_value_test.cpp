// The optimised depth kernels against the scalar reference for every raw
// sample value in every phase position, for unusual settings, and on values
// worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/hqvga_kernels.h"
#include "kernels/domain_expectations.h"

namespace Quorvan {
namespace kernel_check {
namespace {

class RawValueDomainTest : public ::testing::TestWithParam<DepthConfiguration> {};

TEST_P(RawValueDomainTest, EveryRawValueInEveryPhaseMatchesReference) {
    const DepthConfiguration configuration = GetParam();
    const DomainReport report =
        kernel_check::checkRawValueDomain(kernel_check::productionDepthKernels(), configuration);
    EXPECT_EQ(report.pixels, 4 * 65536);
    expectNoMismatch(report, configuration);
}

INSTANTIATE_TEST_SUITE_P(RangesAndShifts, RawValueDomainTest,
                         ::testing::ValuesIn(kStreamedConfigurations));

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
    std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels), confidence(hqvga::kPixels);
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
}  // namespace kernel_check
}  // namespace Quorvan

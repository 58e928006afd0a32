// Every instruction-set variant of the depth filters and the deprojection,
// and the public functions that dispatch to one, against the scalar
// reference loops (bench/reference/filter_reference.h): random planes with
// holes, NaN, infinities, negative and tiny values, at sizes that leave
// every kind of vector remainder.
#include "processing/processing_variants.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "reference/filter_reference.h"

namespace Quorvan {
namespace {

using processing::ProcessingVariant;
using reference::PlaneSize;

// Heights of four: two interior rows, the first and the last, whose windows
// stop a column short at either end; in planes one and two columns wide
// those ends are all there is.
const PlaneSize kSizes[] = {{1, 1},  {1, 4},  {1, 6},  {6, 1},    {2, 2},
                            {2, 4},  {3, 3},  {7, 5},  {17, 9},   {31, 4},
                            {33, 3}, {64, 3}, {40, 4}, {241, 13}, {240, 180}};

// The public functions as one more "variant".
std::vector<ProcessingVariant> variantsUnderTest() {
    std::vector<ProcessingVariant> variants;
    const processing::ProcessingVariantList list = processing::runnableProcessingVariants();
    for (int v = 0; v < list.count; ++v)
        variants.push_back(list.items[v]);
    variants.push_back({"public functions", filters::thresholdAmplitude, filters::rejectSaturated,
                        filters::removeFlyingPixels, filters::temporalFilter, filters::median3x3,
                        deprojectDepth, InstructionSet::Baseline});
    return variants;
}

// Depth in millimetres with 5% holes and, when `special` says so, about 1%
// of odd values.
std::vector<float> randomDepth(std::size_t pixels, std::mt19937& generator, bool special) {
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         -250.0f,
                         -0.0f,
                         std::numeric_limits<float>::denorm_min(),
                         std::numeric_limits<float>::max(),
                         1e-30f};
    std::uniform_real_distribution<float> distance(300.0f, 4000.0f);
    std::uniform_int_distribution<int> kind(0, 199);
    std::vector<float> depth(pixels);
    for (float& d : depth) {
        const int k = kind(generator);
        if (k < 10)
            d = 0.0f;
        else if (special && k < 12)
            d = odd[generator() % (sizeof odd / sizeof odd[0])];
        else if (k < 40)
            d = 1000.0f + static_cast<float>(k);  // flat patches: equal neighbours
        else
            d = distance(generator);
    }
    return depth;
}

bool sameValue(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Index of the first difference, or -1.
long firstDifference(const std::vector<float>& got, const std::vector<float>& expected) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (!sameValue(got[i], expected[i]))
            return static_cast<long>(i);
    }
    return -1;
}

class ProcessingVariantTest : public ::testing::TestWithParam<bool> {
protected:
    std::mt19937 generator{GetParam() ? 2025u : 7u};
    bool special() const { return GetParam(); }
};

TEST_P(ProcessingVariantTest, ThresholdAmplitude) {
    for (const PlaneSize size : kSizes) {
        const std::vector<float> depth = randomDepth(size.pixels(), generator, special());
        const std::vector<float> amplitude = randomDepth(size.pixels(), generator, special());
        std::vector<float> expected = depth;
        reference::thresholdAmplitude(expected.data(), amplitude.data(), size.pixels(), 1500.0f);
        for (const ProcessingVariant& variant : variantsUnderTest()) {
            std::vector<float> got = depth;
            variant.threshold_amplitude(got.data(), amplitude.data(), size.pixels(), 1500.0f);
            EXPECT_EQ(firstDifference(got, expected), -1) << variant.name << " " << size.width;
        }
    }
}

TEST_P(ProcessingVariantTest, RejectSaturated) {
    for (const PlaneSize size : kSizes) {
        const std::vector<float> depth = randomDepth(size.pixels(), generator, special());
        std::vector<int16_t> raw(4 * size.pixels());
        for (int16_t& sample : raw)
            sample = static_cast<int16_t>(static_cast<int>(generator() % 2100) * 16 - 16800);
        const filters::PhaseSamples phases{raw.data(), static_cast<std::size_t>(size.width),
                                           4 * static_cast<std::size_t>(size.width)};
        std::vector<float> expected = depth;
        reference::rejectSaturated(expected.data(), size.width, size.height, phases,
                                   filters::kHqvgaRawClipLow, filters::kHqvgaRawClipHigh);
        for (const ProcessingVariant& variant : variantsUnderTest()) {
            std::vector<float> got = depth;
            variant.reject_saturated(got.data(), size.width, size.height, phases,
                                     filters::kHqvgaRawClipLow, filters::kHqvgaRawClipHigh);
            EXPECT_EQ(firstDifference(got, expected), -1) << variant.name << " " << size.width;
        }
    }
}

TEST_P(ProcessingVariantTest, RemoveFlyingPixels) {
    const filters::FlyingPixelParameters parameters[] = {{}, {25.0f, 0.01f}, {0.0f, 0.0f}};
    for (const PlaneSize size : kSizes) {
        for (const filters::FlyingPixelParameters& p : parameters) {
            const std::vector<float> in = randomDepth(size.pixels(), generator, special());
            std::vector<float> expected(in.size());
            reference::removeFlyingPixels(in.data(), expected.data(), size.width, size.height, p);
            for (const ProcessingVariant& variant : variantsUnderTest()) {
                std::vector<float> got(in.size(), -1.0f);
                variant.remove_flying_pixels(in.data(), got.data(), size.width, size.height, p);
                EXPECT_EQ(firstDifference(got, expected), -1)
                    << variant.name << " " << size.width << "x" << size.height;
            }
        }
    }
}

TEST_P(ProcessingVariantTest, TemporalFilter) {
    const filters::TemporalParameters parameters{0.25f, 80.0f};
    for (const PlaneSize size : kSizes) {
        std::vector<float> expected_state(size.pixels(), 0.0f);
        std::vector<std::vector<float>> states(variantsUnderTest().size(), expected_state);
        for (int frame = 0; frame < 4; ++frame) {
            const std::vector<float> depth = randomDepth(size.pixels(), generator, special());
            std::vector<float> expected = depth;
            reference::temporalFilter(expected.data(), expected_state.data(), size.pixels(),
                                      parameters);
            const std::vector<ProcessingVariant> variants = variantsUnderTest();
            for (std::size_t v = 0; v < variants.size(); ++v) {
                std::vector<float> got = depth;
                variants[v].temporal_filter(got.data(), states[v].data(), size.pixels(),
                                            parameters);
                EXPECT_EQ(firstDifference(got, expected), -1) << variants[v].name;
                EXPECT_EQ(firstDifference(states[v], expected_state), -1) << variants[v].name;
            }
        }
    }
}

TEST_P(ProcessingVariantTest, Median3x3) {
    for (const PlaneSize size : kSizes) {
        const std::vector<float> in = randomDepth(size.pixels(), generator, special());
        std::vector<float> expected(in.size());
        reference::median3x3(in.data(), expected.data(), size.width, size.height);
        for (const ProcessingVariant& variant : variantsUnderTest()) {
            std::vector<float> got(in.size(), -1.0f);
            variant.median3x3(in.data(), got.data(), size.width, size.height);
            EXPECT_EQ(firstDifference(got, expected), -1)
                << variant.name << " " << size.width << "x" << size.height;
        }
    }
}

TEST_P(ProcessingVariantTest, Deproject) {
    for (const PlaneSize size : kSizes) {
        CameraIntrinsics intrinsics;
        intrinsics.width = static_cast<uint32_t>(size.width);
        intrinsics.height = static_cast<uint32_t>(size.height);
        intrinsics.fx = intrinsics.fy = 0.8f * static_cast<float>(size.width) + 1.0f;
        intrinsics.cx = 0.5f * static_cast<float>(size.width);
        intrinsics.cy = 0.5f * static_cast<float>(size.height);
        intrinsics.distortion = {-0.1f, 0.02f, 0.001f, -0.001f, 0.0f};
        const RayTable rays(intrinsics);
        ASSERT_EQ(rays.pixelCount(), size.pixels());
        const std::vector<float> depth = randomDepth(size.pixels(), generator, special());
        std::vector<float> expected(3 * size.pixels());
        reference::deprojectDepth(rays, depth.data(), expected.data());
        for (const ProcessingVariant& variant : variantsUnderTest()) {
            std::vector<float> got(expected.size(), -1.0f);
            variant.deproject(rays, depth.data(), got.data());
            EXPECT_EQ(firstDifference(got, expected), -1) << variant.name << " " << size.width;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FiniteAndSpecialValues, ProcessingVariantTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "WithSpecialValues" : "Finite");
                         });

// The rows around a non-finite value take the substituting loop; a row whose
// lower neighbour alone holds one is found out by the optimistic pass and
// done again. Every position of a single NaN or infinity, in a plane narrower
// than one vector and in one with every variant's vector steps and remainder
// in each row.
TEST(FlyingPixelVariants, EveryPositionOfOneNonFiniteValue) {
    const int height = 6;
    std::mt19937 generator(11);
    for (const int width : {9, 37}) {
        const std::vector<float> plane = randomDepth(width * height, generator, false);
        for (const float odd :
             {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
              std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
            for (int i = 0; i < width * height; ++i) {
                std::vector<float> in = plane;
                in[i] = odd;
                std::vector<float> expected(in.size());
                reference::removeFlyingPixels(in.data(), expected.data(), width, height, {});
                for (const ProcessingVariant& variant : variantsUnderTest()) {
                    std::vector<float> got(in.size(), -1.0f);
                    variant.remove_flying_pixels(in.data(), got.data(), width, height, {});
                    EXPECT_EQ(firstDifference(got, expected), -1)
                        << variant.name << " " << width << " wide, at " << i;
                }
            }
        }
    }
}

// Finite rows whose differences overflow to infinity look, to the optimistic
// pass, like a non-finite row below; the check that follows finds the row
// finite, and the result must not change.
TEST(FlyingPixelVariants, OverflowingJumpsBetweenFiniteRows) {
    const int width = 37, height = 5;
    const float largest = std::numeric_limits<float>::max();
    std::mt19937 generator(5);
    std::vector<float> in = randomDepth(width * height, generator, false);
    for (int column = 0; column < width; ++column) {
        in[2 * width + column] = column % 3 == 0 ? -largest : largest;
        in[3 * width + column] = column % 2 == 0 ? -largest : 1200.0f;
    }
    std::vector<float> expected(in.size());
    reference::removeFlyingPixels(in.data(), expected.data(), width, height, {});
    for (const ProcessingVariant& variant : variantsUnderTest()) {
        std::vector<float> got(in.size(), -1.0f);
        variant.remove_flying_pixels(in.data(), got.data(), width, height, {});
        EXPECT_EQ(firstDifference(got, expected), -1) << variant.name;
    }
}

// Invalid neighbours take the centre, and what counts as invalid is decided
// per lane from the value's class (NaN of either sign and kind, zeros,
// negatives, -infinity) or, elsewhere, by a comparison. Planes where nearly
// half the values are odd, drawn from every class, with ties, at widths that
// leave each variant's remainder, against the reference.
TEST(MedianVariants, DenseValuesOfEveryClass) {
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                         -std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::signaling_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         0.0f,
                         -0.0f,
                         1.0f,
                         -1.0f,
                         std::numeric_limits<float>::denorm_min(),
                         -std::numeric_limits<float>::denorm_min(),
                         std::numeric_limits<float>::min(),
                         std::numeric_limits<float>::max(),
                         -std::numeric_limits<float>::max()};
    std::mt19937 generator(99);
    std::uniform_int_distribution<int> kind(0, 9);
    for (const PlaneSize size : {PlaneSize{19, 5}, PlaneSize{37, 6}, PlaneSize{50, 7}}) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<float> in(size.pixels());
            for (float& d : in) {
                const int k = kind(generator);
                if (k < 4)
                    d = odd[generator() % (sizeof odd / sizeof odd[0])];
                else if (k < 6)
                    d = 1000.0f + static_cast<float>(k);
                else
                    d = 300.0f + static_cast<float>(generator() % 3700);
            }
            std::vector<float> expected(in.size());
            reference::median3x3(in.data(), expected.data(), size.width, size.height);
            for (const ProcessingVariant& variant : variantsUnderTest()) {
                std::vector<float> got(in.size(), -1.0f);
                variant.median3x3(in.data(), got.data(), size.width, size.height);
                EXPECT_EQ(firstDifference(got, expected), -1)
                    << variant.name << " " << size.width << "x" << size.height << " trial "
                    << trial;
            }
        }
    }
}

}  // namespace
}  // namespace Quorvan

#include "quorvan/tof_filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "device/hqvga_kernels.h"
#include "scene/scene.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace {

using filters::kInvalidDepth;

// Depth and raw plane of one noise-free 240x180 capture of a wall facing the
// camera, computed by the device's own kernels.
struct HqvgaCapture {
    std::vector<float> depth, amplitude, confidence;
    std::vector<int16_t> raw;
};

HqvgaCapture captureWall(double distance_mm, double reflectivity) {
    std::string error;
    const auto scene = emulation::makeScene(
        "wall", {{"distance_mm", distance_mm}, {"reflectivity", reflectivity}}, &error);
    const auto optics = emulation::PinholeCamera::withHorizontalFov(
        hqvga::kWidth, hqvga::kHeight, emulation::kDefaultHorizontalFovDeg);
    const emulation::ToFCaptureModel model(emulation::renderGroundTruth(*scene, optics), {});
    std::vector<uint16_t> cache(4 * hqvga::kPixels);
    model.renderPhaseImages(emulation::hqvgaPhaseLayout(emulation::kFrequency37_5MHz), 0,
                            cache.data());
    HqvgaCapture capture;
    capture.depth.resize(hqvga::kPixels);
    capture.amplitude.resize(hqvga::kPixels);
    capture.confidence.resize(hqvga::kPixels);
    capture.raw.resize(4 * hqvga::kPixels);
    hqvga::computeDepth(cache.data(), capture.depth.data(), capture.amplitude.data(),
                        capture.confidence.data(), 4000, 37500000.0f, 0);
    hqvga::unpackRaw(cache.data(), capture.raw.data(), 0);
    return capture;
}

std::size_t countInvalid(const std::vector<float>& depth) {
    std::size_t invalid = 0;
    for (float d : depth)
        invalid += d == kInvalidDepth;
    return invalid;
}

void rejectSaturatedHqvga(HqvgaCapture& capture) {
    filters::rejectSaturated(capture.depth.data(), hqvga::kWidth, hqvga::kHeight,
                             {capture.raw.data(), hqvga::kWidth, 4 * hqvga::kWidth},
                             filters::kHqvgaRawClipLow, filters::kHqvgaRawClipHigh);
}

TEST(SaturationFilter, ClippedNearWallIsRejectedWhileItsDepthLooksPlausible) {
    HqvgaCapture near = captureWall(300, 0.8);
    // The failure this filter exists for: clipped samples snap the phase to
    // 45 degrees, so the centre of a 300 mm wall reads 500 mm, with a large
    // amplitude that an amplitude threshold would keep.
    const std::size_t centre = 90 * hqvga::kWidth + 120;
    EXPECT_NEAR(near.depth[centre], 500.0f, 5.0f);
    rejectSaturatedHqvga(near);
    EXPECT_EQ(countInvalid(near.depth), near.depth.size());

    HqvgaCapture far = captureWall(1500, 0.5);
    const std::vector<float> before = far.depth;
    rejectSaturatedHqvga(far);
    EXPECT_EQ(far.depth, before);
}

TEST(SaturationFilter, ASingleClippedPhaseOfOnePixelRejectsOnlyThatPixel) {
    HqvgaCapture capture = captureWall(1500, 0.5);
    const int row = 40, column = 77;
    // Phase 2 of that pixel at the low limit, in the interleaved raw layout.
    capture.raw[(row * 4 + 2) * hqvga::kWidth + column] = filters::kHqvgaRawClipLow;
    rejectSaturatedHqvga(capture);
    EXPECT_EQ(countInvalid(capture.depth), 1u);
    EXPECT_EQ(capture.depth[row * hqvga::kWidth + column], kInvalidDepth);
}

TEST(AmplitudeThreshold, RejectsWeakPixelsOnly) {
    std::vector<float> depth = {1000, 1100, 1200, 0};
    const std::vector<float> amplitude = {10, 99.9f, 100, 500};
    filters::thresholdAmplitude(depth.data(), amplitude.data(), depth.size(), 100);
    EXPECT_EQ(depth, (std::vector<float>{0, 0, 1200, 0}));
}

// A plane at 1000 mm with a foreground block at 600 mm in columns 5..9 and
// one mixed pixel between them at column 4.
std::vector<float> edgeScene(int width, int height) {
    std::vector<float> depth(static_cast<std::size_t>(width) * height, 1000.0f);
    for (int row = 0; row < height; ++row) {
        for (int column = 5; column < 10; ++column)
            depth[row * width + column] = 600.0f;
        depth[row * width + 4] = 800.0f;
    }
    return depth;
}

TEST(FlyingPixelFilter, RemovesMixedPixelsAndKeepsBothSidesOfTheEdge) {
    const int width = 16, height = 6;
    const std::vector<float> in = edgeScene(width, height);
    std::vector<float> out(in.size(), -1.0f);
    filters::removeFlyingPixels(in.data(), out.data(), width, height, {});
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const float expected = column == 4 && row > 0 && row + 1 < height
                                       ? kInvalidDepth
                                       : in[row * width + column];
            EXPECT_EQ(out[row * width + column], expected) << row << "," << column;
        }
    }
}

TEST(FlyingPixelFilter, ToleratesNoiseBelowTheRelativeJump) {
    const int width = 8, height = 8;
    std::vector<float> in(width * height);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = 2000.0f + ((i * 7) % 5) * 10.0f;  // +-40 mm < 3% of 2 m
    std::vector<float> out(in.size());
    filters::removeFlyingPixels(in.data(), out.data(), width, height, {});
    EXPECT_EQ(out, in);
}

// NaN or an infinity in a depth plane (a caller's own marker for "no depth",
// or a broken computation) is no depth: it must not come out as depth, in the
// interior or on the border, nor make a neighbour look like an edge.
TEST(FlyingPixelFilter, NonFiniteDepthComesOutAsNoDepth) {
    const int width = 6, height = 5;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    std::vector<float> in(width * height, 1000.0f);
    in[0] = nan;                    // corner
    in[3] = infinity;               // top border
    in[2 * width + 2] = nan;        // interior
    in[3 * width + 4] = -infinity;  // interior
    in[4 * width + 5] = infinity;   // bottom border
    std::vector<float> out(in.size(), -1.0f);
    filters::removeFlyingPixels(in.data(), out.data(), width, height, {});
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_TRUE(std::isfinite(out[i])) << i;
        EXPECT_EQ(out[i], std::isfinite(in[i]) ? 1000.0f : kInvalidDepth) << i;
    }
}

TEST(TemporalFilter, NonFiniteDepthIsInvalidAndClearsHistory) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    std::vector<float> state = {1000, 1000, 1000, 1000};
    std::vector<float> depth = {infinity, nan, -infinity, 1010};
    filters::temporalFilter(depth.data(), state.data(), depth.size(), {0.5f, 60.0f});
    EXPECT_EQ(depth, (std::vector<float>{0, 0, 0, 1005}));
    EXPECT_EQ(state, depth);
}

TEST(TemporalFilter, SmoothsStaticPixelsAndFollowsJumpsAtOnce) {
    std::vector<float> state(3, 0.0f);
    const filters::TemporalParameters parameters{0.5f, 60.0f};
    std::vector<float> depth = {1000, 1000, 1000};
    filters::temporalFilter(depth.data(), state.data(), 3, parameters);
    EXPECT_EQ(depth, (std::vector<float>{1000, 1000, 1000}));  // no history: taken as is
    depth = {1020, 1500, 0};
    filters::temporalFilter(depth.data(), state.data(), 3, parameters);
    EXPECT_EQ(depth, (std::vector<float>{1010, 1500, 0}));
    EXPECT_EQ(state, depth);
    depth = {1020, 1500, 900};  // the invalid pixel's history was cleared
    filters::temporalFilter(depth.data(), state.data(), 3, parameters);
    EXPECT_EQ(depth, (std::vector<float>{1015, 1500, 900}));
}

TEST(TemporalFilter, ReducesNoiseOfAStaticScene) {
    const std::size_t pixels = 1000;
    std::vector<float> state(pixels, 0.0f), depth(pixels);
    double raw_spread = 0.0, filtered_spread = 0.0;
    for (int frame = 0; frame < 60; ++frame) {
        for (std::size_t i = 0; i < pixels; ++i)
            depth[i] = 1500.0f + 10.0f * static_cast<float>(emulation::deterministicGaussian(
                                             3, frame, 0, static_cast<uint32_t>(i)));
        if (frame >= 20) {
            for (float d : depth)
                raw_spread += (d - 1500.0) * (d - 1500.0);
        }
        filters::temporalFilter(depth.data(), state.data(), pixels, {0.2f, 60.0f});
        if (frame >= 20) {
            for (float d : depth)
                filtered_spread += (d - 1500.0) * (d - 1500.0);
        }
    }
    // alpha 0.2 leaves a variance of alpha / (2 - alpha) = 1/9 of the input's.
    EXPECT_LT(filtered_spread, raw_spread / 6);
    EXPECT_GT(filtered_spread, raw_spread / 14);
}

TEST(MedianFilter, RemovesSpikesKeepsEdgesAndHoles) {
    const int width = 7, height = 5;
    std::vector<float> in(width * height, 1000.0f);
    for (int row = 0; row < height; ++row)
        for (int column = 4; column < width; ++column)
            in[row * width + column] = 2000.0f;
    in[2 * width + 2] = 1500.0f;        // a spike
    in[1 * width + 1] = kInvalidDepth;  // a hole
    std::vector<float> out(in.size());
    filters::median3x3(in.data(), out.data(), width, height);
    EXPECT_EQ(out[2 * width + 2], 1000.0f);
    EXPECT_EQ(out[1 * width + 1], kInvalidDepth);
    EXPECT_EQ(out[1 * width + 2], 1000.0f);  // the hole did not spread
    for (int row = 1; row + 1 < height; ++row) {
        EXPECT_EQ(out[row * width + 3], 1000.0f);  // the straight edge stays put
        EXPECT_EQ(out[row * width + 4], 2000.0f);
    }
    for (int column = 0; column < width; ++column)
        EXPECT_EQ(out[column], in[column]);  // border copied
}

TEST(MedianFilter, MatchesASortedWindowOnRandomData) {
    const int width = 13, height = 9;
    std::vector<float> in(width * height);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>(1 + (i * 7919) % 997);
    std::vector<float> out(in.size());
    filters::median3x3(in.data(), out.data(), width, height);
    for (int row = 1; row + 1 < height; ++row) {
        for (int column = 1; column + 1 < width; ++column) {
            std::vector<float> window;
            for (int r = -1; r <= 1; ++r)
                for (int c = -1; c <= 1; ++c)
                    window.push_back(in[(row + r) * width + column + c]);
            std::nth_element(window.begin(), window.begin() + 4, window.end());
            EXPECT_EQ(out[row * width + column], window[4]);
        }
    }
}

}  // namespace
}  // namespace Quorvan

#include "quorvan/point_cloud.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emulation/kit_test_support.h"

namespace Quorvan {
namespace {

using testing_support::TempConfigFile;

CameraIntrinsics smallCamera() {
    CameraIntrinsics intrinsics;
    intrinsics.width = 4;
    intrinsics.height = 3;
    intrinsics.fx = 2.0f;
    intrinsics.fy = 4.0f;
    intrinsics.cx = 1.5f;
    intrinsics.cy = 1.0f;
    return intrinsics;
}

TEST(Deprojection, RadialDepthBecomesAPointAtThatDistanceOnThePixelsRay) {
    const RayTable rays(smallCamera());
    ASSERT_EQ(rays.pixelCount(), 12u);
    std::vector<float> depth(12, 3000.0f);
    depth[1] = 0.0f;
    depth[2] = std::nanf("");
    depth[3] = -5.0f;
    depth[4] = INFINITY;
    std::vector<float> xyz(36);
    deprojectDepth(rays, depth.data(), xyz.data());
    for (std::size_t i = 0; i < 12; ++i) {
        const float* p = &xyz[3 * i];
        if (i >= 1 && i <= 4) {
            EXPECT_TRUE(std::isnan(p[0]) && std::isnan(p[1]) && std::isnan(p[2])) << i;
            continue;
        }
        const double u = i % 4, v = i / 4;
        // The measured distance is the length of the point, not its z.
        EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), 3000.0, 1e-2);
        EXPECT_NEAR(p[0] / p[2], (u - 1.5) / 2.0, 1e-6);
        EXPECT_NEAR(p[1] / p[2], (v - 1.0) / 4.0, 1e-6);
    }
}

TEST(Deprojection, DistortedPixelsLookAlongTheirUndistortedRays) {
    CameraIntrinsics intrinsics = intrinsicsFromHorizontalFov(64, 48, 80);
    intrinsics.distortion = {-0.2f, 0.05f, 0.001f, -0.002f, 0.01f};
    const RayTable rays(intrinsics);
    const auto& d = intrinsics.distortion;
    // Distort known directions forward and find them back through the table.
    for (const auto& direction : {std::array<double, 2>{0.3, -0.2}, {-0.5, 0.35}, {0.0, 0.0}}) {
        const double x = direction[0], y = direction[1], r2 = x * x + y * y;
        const double radial = 1 + r2 * (d[0] + r2 * (d[1] + r2 * d[4]));
        const double xd = x * radial + 2 * d[2] * x * y + d[3] * (r2 + 2 * x * x);
        const double yd = y * radial + d[2] * (r2 + 2 * y * y) + 2 * d[3] * x * y;
        // Build a one-pixel camera whose only pixel sits on that distorted spot.
        CameraIntrinsics one = intrinsics;
        one.width = one.height = 1;
        one.cx = static_cast<float>(-xd * one.fx);
        one.cy = static_cast<float>(-yd * one.fy);
        const RayTable single(one);
        EXPECT_NEAR(single.rayX()[0] / single.rayZ()[0], x, 1e-4);
        EXPECT_NEAR(single.rayY()[0] / single.rayZ()[0], y, 1e-4);
    }
    EXPECT_EQ(rays.pixelCount(), 64u * 48u);
}

TEST(Deprojection, InvalidIntrinsicsGiveAnEmptyTable) {
    CameraIntrinsics bad = smallCamera();
    bad.fx = 0.0f;
    EXPECT_EQ(RayTable(bad).pixelCount(), 0u);
    bad = smallCamera();
    bad.distortion[1] = NAN;
    EXPECT_EQ(RayTable(bad).pixelCount(), 0u);
}

TEST(IntrinsicsFile, ReadsCalibratedValuesAndRefusesBadFiles) {
    TempConfigFile good(
        "# bench calibration\nwidth = 240\nheight=180\nfx = 170.5\nfy = 171\n"
        "cx = 119.2\ncy = 90.1  # measured\nk1 = -0.12\np2 = 0.001\n",
        ".txt");
    CameraIntrinsics loaded;
    ASSERT_EQ(loadIntrinsicsFile(good.c_str(), &loaded), QuorvanSuccess);
    EXPECT_EQ(loaded.width, 240u);
    EXPECT_FLOAT_EQ(loaded.fx, 170.5f);
    EXPECT_FLOAT_EQ(loaded.cy, 90.1f);
    EXPECT_FLOAT_EQ(loaded.distortion[0], -0.12f);
    EXPECT_FLOAT_EQ(loaded.distortion[3], 0.001f);
    EXPECT_EQ(loaded.distortion[1], 0.0f);

    const CameraIntrinsics untouched = loaded;
    for (const char* text :
         {"width = 240\nheight = 180\nfx = 1\nfy = 1\ncx = 1\ncy = 1\nzoom = 2\n",
          "width = 240\nheight = 180\nfx = abc\nfy = 1\ncx = 1\ncy = 1\n",
          "width = 240\nheight = 180\nfx = -3\nfy = 1\ncx = 1\ncy = 1\n",
          "width = 240\nfx = 1\nfy = 1\ncx = 1\ncy = 1\n",
          "width = 24.5\nheight = 180\nfx = 1\nfy = 1\ncx = 1\ncy = 1\n", "fx 170\n"}) {
        TempConfigFile bad(text, ".txt");
        EXPECT_EQ(loadIntrinsicsFile(bad.c_str(), &loaded), QuorvanInvalidParameter) << text;
        EXPECT_EQ(loaded.fx, untouched.fx);
    }
    EXPECT_EQ(loadIntrinsicsFile("/nonexistent/calibration.txt", &loaded), QuorvanInvalidParameter);
    EXPECT_EQ(loadIntrinsicsFile(nullptr, &loaded), QuorvanInvalidParameter);
}

TEST(IntrinsicsFile, RefusesRepeatedKeysHiddenTextAndEndlessFiles) {
    const std::string calibration = "width = 240\nheight = 180\nfx = 1\nfy = 1\ncx = 1\ncy = 1\n";
    const std::string nul(1, '\0');
    CameraIntrinsics loaded;
    for (const std::string& text :
         {calibration + "fx = 2\n", calibration + "# about fx" + nul + "\nfx = 2\n",
          "width = 240" + nul + "0\nheight = 180\nfx = 1\nfy = 1\ncx = 1\ncy = 1\n",
          calibration + std::string(70 * 1024, '#')}) {
        TempConfigFile bad(text, ".txt");
        EXPECT_EQ(loadIntrinsicsFile(bad.c_str(), &loaded), QuorvanInvalidParameter) << text;
    }
    // A device node that never ends is refused after the bound, not read for ever.
    EXPECT_EQ(loadIntrinsicsFile("/dev/zero", &loaded), QuorvanInvalidParameter);
    TempConfigFile good(calibration, ".txt");
    EXPECT_EQ(loadIntrinsicsFile(good.c_str(), &loaded), QuorvanSuccess);
}

TEST(PlyWriter, WritesFinitePointsWithColours) {
    const std::vector<float> xyz = {1, 2, 3, NAN, NAN, NAN, -4, 5.5f, 6};
    const std::vector<uint8_t> rgb = {10, 10, 10, 20, 20, 20, 30, 30, 30};
    TempConfigFile file("", ".ply");
    ASSERT_EQ(writePly(file.c_str(), xyz.data(), 3, rgb.data()), QuorvanSuccess);
    std::ifstream in(file.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    const std::string end = "end_header\n";
    const auto body = text.find(end);
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(text.find("element vertex 2\n"), std::string::npos);
    EXPECT_NE(text.find("property uchar red\n"), std::string::npos);
    ASSERT_EQ(text.size() - body - end.size(), 2u * 15u);
    float second[3];
    std::memcpy(second, text.data() + body + end.size() + 15, sizeof second);
    EXPECT_EQ(second[0], -4.0f);
    EXPECT_EQ(second[1], 5.5f);
    EXPECT_EQ(static_cast<uint8_t>(text[body + end.size() + 15 + 12]), 30);

    EXPECT_EQ(writePly("/nonexistent/dir/cloud.ply", xyz.data(), 3, nullptr), QuorvanUnkownError);
    EXPECT_EQ(writePly(file.c_str(), nullptr, 3, nullptr), QuorvanInvalidParameter);
}

TEST(AmplitudeColours, MapTheRangeToGreyLevels) {
    const std::vector<float> amplitude = {-5, 0, 50, 100, 400, NAN};
    std::vector<uint8_t> rgb(18);
    colourByAmplitude(amplitude.data(), amplitude.size(), 0, 100, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 128, 128, 128, 255, 255, 255, 255, 255,
                                         255, 0, 0, 0}));
}

}  // namespace
}  // namespace Quorvan

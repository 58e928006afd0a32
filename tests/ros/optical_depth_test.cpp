// Z depth for ROS tools from the camera's radial depth: a fronto-parallel
// plane reads one Z in every pixel, ROS's deprojection gives back the SDK's
// points (distortion included), invalid pixels take each encoding's mark and
// misuse is refused.
#include "ros/optical_depth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"

namespace Quorvan::ros {
namespace {

CameraIntrinsics kitIntrinsics() {
    return intrinsicsFromHorizontalFov(240, 180, 70.0);
}

// The radial distances at which every pixel sees a plane at Z = z_mm.
std::vector<float> planeAt(const RayTable& rays, float z_mm) {
    std::vector<float> radial(rays.pixelCount());
    for (std::size_t i = 0; i < radial.size(); ++i)
        radial[i] = z_mm / rays.rayZ()[i];
    return radial;
}

TEST(OpticalDepth, AFlatWallReadsOneDepthInEveryPixel) {
    const RayTable rays(kitIntrinsics());
    const std::vector<float> radial = planeAt(rays, 2000.0f);
    ASSERT_GT(radial[0], 2600.0f);  // the corner's ray is a third longer
    std::vector<float> metres(rays.pixelCount());
    std::vector<uint16_t> millimetres(rays.pixelCount());
    ASSERT_EQ(opticalDepthMetres(rays, radial.data(), radial.size(), metres.data()),
              MessageStatus::Ok);
    ASSERT_EQ(opticalDepthMillimetres(rays, radial.data(), radial.size(), millimetres.data()),
              MessageStatus::Ok);
    for (std::size_t i = 0; i < radial.size(); ++i) {
        ASSERT_NEAR(metres[i], 2.0f, 1e-5f) << i;
        ASSERT_EQ(millimetres[i], 2000) << i;
    }
}

TEST(OpticalDepth, RosDeprojectionGivesTheSdksPointsWithADistortedLens) {
    CameraIntrinsics model = kitIntrinsics();
    model.distortion = {-0.12f, 0.03f, 0.001f, -0.0005f, 0.0f};
    const RayTable rays(model);
    std::vector<float> radial(rays.pixelCount());
    for (std::size_t i = 0; i < radial.size(); ++i)
        radial[i] = 500.0f + static_cast<float>(i % 977) * 3.0f;
    std::vector<float> xyz(3 * rays.pixelCount());
    deprojectDepth(rays, radial.data(), xyz.data());
    std::vector<float> metres(rays.pixelCount());
    ASSERT_EQ(opticalDepthMetres(rays, radial.data(), radial.size(), metres.data()),
              MessageStatus::Ok);
    std::vector<float> back(rays.pixelCount());
    ASSERT_EQ(radialDepthFromOpticalMetres(rays, metres.data(), metres.size(), back.data()),
              MessageStatus::Ok);
    for (std::size_t i = 0; i < radial.size(); ++i) {
        // The image carries the points' Z; the way back gives the radial distance.
        ASSERT_NEAR(metres[i] * 1000.0f, xyz[3 * i + 2], 1e-3f) << i;
        ASSERT_NEAR(back[i], radial[i], 1e-3f) << i;
    }
}

TEST(OpticalDepth, PixelsWithoutDepthTakeEachEncodingsMark) {
    const RayTable rays(intrinsicsFromHorizontalFov(3, 2, 70.0));
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> radial = {0.0f, -1.0f, std::nanf(""), inf, 80000.0f, 1500.0f};
    std::vector<float> metres(6);
    std::vector<uint16_t> millimetres(6);
    ASSERT_EQ(opticalDepthMetres(rays, radial.data(), 6, metres.data()), MessageStatus::Ok);
    ASSERT_EQ(opticalDepthMillimetres(rays, radial.data(), 6, millimetres.data()),
              MessageStatus::Ok);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(std::isnan(metres[i])) << i;
        EXPECT_EQ(millimetres[i], 0) << i;
    }
    EXPECT_TRUE(std::isfinite(metres[4]));  // far, but a depth in metres
    EXPECT_EQ(millimetres[4], 0);           // beyond what 16 bits hold
    EXPECT_GT(millimetres[5], 0);
    std::vector<float> back(6, -1.0f);
    ASSERT_EQ(radialDepthFromOpticalMetres(rays, metres.data(), 6, back.data()), MessageStatus::Ok);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(back[i], 0.0f) << i;
}

TEST(OpticalDepth, MisuseIsRefused) {
    const RayTable rays(intrinsicsFromHorizontalFov(3, 2, 70.0));
    const RayTable empty(CameraIntrinsics{});
    std::vector<float> in(6, 1000.0f);
    std::vector<float> out(6);
    std::vector<uint16_t> out16(6);
    EXPECT_EQ(opticalDepthMetres(rays, in.data(), 5, out.data()), MessageStatus::InvalidArgument);
    EXPECT_EQ(opticalDepthMetres(rays, nullptr, 6, out.data()), MessageStatus::InvalidArgument);
    EXPECT_EQ(opticalDepthMillimetres(rays, in.data(), 6, nullptr), MessageStatus::InvalidArgument);
    EXPECT_EQ(opticalDepthMillimetres(empty, in.data(), 0, out16.data()),
              MessageStatus::InvalidArgument);
    EXPECT_EQ(radialDepthFromOpticalMetres(rays, in.data(), 7, out.data()),
              MessageStatus::InvalidArgument);
}

}  // namespace
}  // namespace Quorvan::ros

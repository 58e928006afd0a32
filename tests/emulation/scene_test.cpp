#include "scene/scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "emulation/kit_test_support.h"

namespace Quorvan {
namespace {

using emulation::GroundTruth;
using emulation::PinholeCamera;
using testing_support::hqvgaGroundTruth;

TEST(PinholeCamera, RaysSpanTheFieldOfView) {
    const auto camera = PinholeCamera::withHorizontalFov(240, 180, 90.0);
    // The outermost pixel centres sit half a pixel inside the 45 degree edge.
    const auto left = camera.rayThroughPixel(0, 90);
    const auto right = camera.rayThroughPixel(239, 90);
    EXPECT_NEAR(left.direction.x / left.direction.z, -(119.5 / 120.0), 1e-12);
    EXPECT_NEAR(right.direction.x / right.direction.z, 119.5 / 120.0, 1e-12);
    // Square pixels: the vertical edge is 90/120 of the horizontal one.
    const auto top = camera.rayThroughPixel(120, 0);
    EXPECT_NEAR(top.direction.y / top.direction.z, -(89.5 / 120.0), 1e-12);
    EXPECT_NEAR(emulation::dot(top.direction, top.direction), 1.0, 1e-12);
}

TEST(GroundTruth, WallDistanceIsRadial) {
    const GroundTruth truth = hqvgaGroundTruth("wall", {{"distance_mm", 2000.0}});
    ASSERT_EQ(truth.width, 240);
    ASSERT_EQ(truth.height, 180);
    const auto camera = PinholeCamera::withHorizontalFov(240, 180, 70.0);
    for (int row : {0, 45, 90, 179}) {
        for (int column : {0, 60, 120, 239}) {
            // Range along the ray to the plane z = 2 m is 2 / cos(angle off axis).
            const double expected = 2000.0 / camera.rayThroughPixel(column, row).direction.z;
            EXPECT_NEAR(truth.distance_mm[row * 240 + column], expected, 0.01)
                << "pixel " << column << "," << row;
            EXPECT_FLOAT_EQ(truth.reflectivity[row * 240 + column], 0.8f);
        }
    }
}

TEST(GroundTruth, TiltedWallGetsFartherOnOneSide) {
    const GroundTruth truth = hqvgaGroundTruth("wall", {{"tilt_deg", 30.0}});
    const float left = truth.distance_mm[90 * 240 + 10];
    const float right = truth.distance_mm[90 * 240 + 230];
    EXPECT_GT(std::fabs(left - right), 300.0f);
    EXPECT_LT(truth.cos_incidence[90 * 240 + 120], 0.9f);
}

TEST(GroundTruth, DefaultSceneFillsTheViewBetweenPointThreeAndThreePointEightMetres) {
    const GroundTruth truth = hqvgaGroundTruth();
    const auto [nearest, farthest] =
        std::minmax_element(truth.distance_mm.begin(), truth.distance_mm.end());
    EXPECT_GT(*nearest, 280.0f);
    EXPECT_LT(*nearest, 400.0f);
    EXPECT_GT(*farthest, 3000.0f);
    EXPECT_LT(*farthest, 3800.0f);
    // Varying reflectivity: the amplitude picture has texture.
    const auto [darkest, brightest] =
        std::minmax_element(truth.reflectivity.begin(), truth.reflectivity.end());
    EXPECT_LT(*darkest, 0.1f);
    EXPECT_GT(*brightest, 0.8f);
}

TEST(GroundTruth, DefaultSceneParametersMoveTheBackWall) {
    const GroundTruth near = hqvgaGroundTruth("default", {{"wall_distance_mm", 2000.0}});
    const GroundTruth far = hqvgaGroundTruth();
    // Straight ahead above the pillar's top... the pillar reaches the ceiling,
    // so look beside it, at the wall's upper part.
    const int pixel = 20 * 240 + 150;
    EXPECT_NEAR(near.distance_mm[pixel] / far.distance_mm[pixel], 2000.0 / 3000.0, 0.01);
}

TEST(SceneCatalogue, RefusesUnknownNamesParametersAndValues) {
    std::string error;
    EXPECT_EQ(emulation::makeScene("garden", {}, &error), nullptr);
    EXPECT_NE(error.find("garden"), std::string::npos);
    EXPECT_EQ(emulation::makeScene("wall", {{"colour", 1.0}}, &error), nullptr);
    EXPECT_NE(error.find("colour"), std::string::npos);
    EXPECT_EQ(emulation::makeScene("wall", {{"reflectivity", 1.5}}, &error), nullptr);
    EXPECT_NE(error.find("reflectivity"), std::string::npos);
    EXPECT_NE(emulation::makeScene("wall", {{"reflectivity", 1.0}}, &error), nullptr);
    const auto names = emulation::sceneNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "default"), names.end());
}

}  // namespace
}  // namespace Quorvan

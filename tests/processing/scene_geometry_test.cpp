// Point clouds of the emulated kit checked against the geometry of its
// scenes: the camera's nominal optics must be the kit's true optics, and
// deprojecting the radial depth must put every point back on its surface.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "emulation/kit_test_support.h"
#include "quorvan/camera.h"
#include "scene/scene.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using testing_support::TempConfigFile;

constexpr double kDegree = 3.14159265358979323846 / 180.0;
constexpr int kWidth = 240;
constexpr int kHeight = 180;
// 16 x a sample amplitude of 150: below it quantisation noise, not the
// geometry, would dominate the residuals.
constexpr float kAdequateAmplitude = 2400.0f;

struct CloudFrame {
    std::vector<float> xyz;
    std::vector<float> amplitude;
};

// One depth frame of a noise-free kit showing `scene_lines`, as a point cloud.
bool captureCloud(const std::string& scene_lines, CloudFrame* cloud) {
    TempConfigFile config("noise = off\n" + scene_lines);
    QuorvanTOFCamera camera;
    if (camera.openWithFile(config.c_str(), 0) != QuorvanSuccess ||
        camera.start(FrameType::DEPTH) != QuorvanSuccess)
        return false;
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(3000));
    bool ok = frame != nullptr;
    if (ok) {
        cloud->xyz.assign(3 * kWidth * kHeight, 0.0f);
        ok = camera.getPointCloud(frame, cloud->xyz.data()) == QuorvanSuccess;
        const float* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
        cloud->amplitude.assign(amplitude, amplitude + kWidth * kHeight);
        camera.releaseFrame(frame);
    }
    camera.stop();
    camera.close();
    return ok;
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * (values.size() - 1))];
}

// Solves the symmetric system a x = b (Gaussian elimination, partial pivot).
template <int N>
std::array<double, N> solve(std::array<std::array<double, N>, N> a, std::array<double, N> b) {
    for (int col = 0; col < N; ++col) {
        int pivot = col;
        for (int row = col + 1; row < N; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col]))
                pivot = row;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        for (int row = col + 1; row < N; ++row) {
            const double factor = a[row][col] / a[col][col];
            for (int k = col; k < N; ++k)
                a[row][k] -= factor * a[col][k];
            b[row] -= factor * b[col];
        }
    }
    std::array<double, N> x{};
    for (int row = N - 1; row >= 0; --row) {
        double sum = b[row];
        for (int k = row + 1; k < N; ++k)
            sum -= a[row][k] * x[k];
        x[row] = sum / a[row][row];
    }
    return x;
}

// Least-squares fit of basis . p = target over the points.
template <int N, typename Row>
std::array<double, N> leastSquares(std::size_t count, Row row) {
    std::array<std::array<double, N>, N> normal{};
    std::array<double, N> rhs{};
    for (std::size_t i = 0; i < count; ++i) {
        std::array<double, N> basis{};
        double target = 0.0;
        if (!row(i, &basis, &target))
            continue;
        for (int r = 0; r < N; ++r) {
            for (int c = 0; c < N; ++c)
                normal[r][c] += basis[r] * basis[c];
            rhs[r] += basis[r] * target;
        }
    }
    return solve<N>(normal, rhs);
}

bool usable(const CloudFrame& cloud, std::size_t i) {
    return std::isfinite(cloud.xyz[3 * i]) && cloud.amplitude[i] >= kAdequateAmplitude;
}

TEST(SceneGeometry, NominalOpticsAreTheKitsOptics) {
    QuorvanTOFCamera camera;
    EXPECT_EQ(camera.getIntrinsics().width, 0u);  // nothing open yet
    TempConfigFile config("noise = off\n");
    ASSERT_EQ(camera.openWithFile(config.c_str(), 0), QuorvanSuccess);
    const CameraIntrinsics intrinsics = camera.getIntrinsics();
    EXPECT_EQ(intrinsics.width, 240u);
    EXPECT_EQ(intrinsics.height, 180u);
    // The kit's renderer looks through pixel centres; its rays must be ours.
    const auto kit =
        emulation::PinholeCamera::withHorizontalFov(240, 180, emulation::kDefaultHorizontalFovDeg);
    for (const auto& pixel : {std::array<int, 2>{0, 0}, {239, 179}, {17, 150}, {120, 90}}) {
        const emulation::Ray ray = kit.rayThroughPixel(pixel[0], pixel[1]);
        EXPECT_NEAR((pixel[0] - intrinsics.cx) / intrinsics.fx, ray.direction.x / ray.direction.z,
                    1e-6);
        EXPECT_NEAR((pixel[1] - intrinsics.cy) / intrinsics.fy, ray.direction.y / ray.direction.z,
                    1e-6);
    }
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST(SceneGeometry, WallPointsLieOnTheWallAtAnyDistanceAndTilt) {
    struct Case {
        double distance_mm;
        double tilt_deg;
        double reflectivity;  // kept low enough near the camera not to clip
    };
    for (const Case& wall : {Case{500, 0, 0.05}, Case{1200, 20, 0.3}, Case{2000, -35, 0.8},
                             Case{3000, 45, 1.0}, Case{1500, 10, 0.6}}) {
        SCOPED_TRACE(std::to_string(wall.distance_mm) + " mm, " + std::to_string(wall.tilt_deg) +
                     " deg");
        CloudFrame cloud;
        ASSERT_TRUE(
            captureCloud("scene = wall\nscene.distance_mm = " + std::to_string(wall.distance_mm) +
                             "\nscene.tilt_deg = " + std::to_string(wall.tilt_deg) +
                             "\nscene.reflectivity = " + std::to_string(wall.reflectivity) + "\n",
                         &cloud));
        // The scene's plane: n . X = n . (0, 0, d) with n = (sin t, 0, -cos t).
        const double t = wall.tilt_deg * kDegree;
        const double nx = std::sin(t), nz = -std::cos(t);
        std::vector<double> residuals;
        for (std::size_t i = 0; i < cloud.amplitude.size(); ++i) {
            if (usable(cloud, i))
                residuals.push_back(std::fabs(nx * cloud.xyz[3 * i] + nz * cloud.xyz[3 * i + 2] -
                                              nz * wall.distance_mm));
        }
        ASSERT_GT(residuals.size(), cloud.amplitude.size() / 2);
        const double p99 = percentile(residuals, 0.99);
        EXPECT_LT(p99, 2.0);

        // z = p0 + p1 x + p2 y; the fitted normal is (p1, p2, -1).
        const auto p =
            leastSquares<3>(cloud.amplitude.size(), [&](std::size_t i, auto* b, double* target) {
                if (!usable(cloud, i))
                    return false;
                *b = {1.0, cloud.xyz[3 * i], cloud.xyz[3 * i + 1]};
                *target = cloud.xyz[3 * i + 2];
                return true;
            });
        const double length = std::sqrt(p[1] * p[1] + p[2] * p[2] + 1.0);
        const double cos_between = (nx * p[1] - nz) / length;
        const double tilt_error_deg = std::acos(std::min(1.0, cos_between)) / kDegree;
        EXPECT_LT(tilt_error_deg, 0.2);
        std::printf(
            "wall %.0f mm %.0f deg: %zu points, residual p99 %.3f mm, tilt error %.4f deg\n",
            wall.distance_mm, wall.tilt_deg, residuals.size(), p99, tilt_error_deg);
    }
}

TEST(SceneGeometry, DefaultSceneBallHasItsCentreAndRadius) {
    // The ball of the default scene (scene_catalogue.cpp), in millimetres.
    const emulation::Vec3 centre{-450.0, 250.0, 1400.0};
    const double radius = 300.0;
    CloudFrame cloud;
    ASSERT_TRUE(captureCloud("scene = default\n", &cloud));

    // The pixels that see the ball: those where the ball alone is as near as
    // the whole room (the ball rests on the floor, so distance to the centre
    // alone would also pick floor points).
    std::string error;
    emulation::Scene ball_only;
    ball_only.addSphere({centre.x / 1000, centre.y / 1000, centre.z / 1000}, radius / 1000, 0.45);
    const auto optics = emulation::PinholeCamera::withHorizontalFov(
        kWidth, kHeight, emulation::kDefaultHorizontalFovDeg);
    const auto room =
        emulation::renderGroundTruth(*emulation::makeScene("default", {}, &error), optics);
    const auto ball = emulation::renderGroundTruth(ball_only, optics);
    std::vector<bool> on_ball(cloud.amplitude.size());
    std::size_t count = 0;
    for (std::size_t i = 0; i < on_ball.size(); ++i) {
        on_ball[i] = ball.distance_mm[i] > 0 &&
                     std::fabs(ball.distance_mm[i] - room.distance_mm[i]) < 0.5 && usable(cloud, i);
        count += on_ball[i];
    }
    ASSERT_GT(count, 500u);

    // |X|^2 = 2 c . X + (r^2 - |c|^2): linear in (c, k).
    const auto s = leastSquares<4>(on_ball.size(), [&](std::size_t i, auto* b, double* target) {
        if (!on_ball[i])
            return false;
        const double x = cloud.xyz[3 * i], y = cloud.xyz[3 * i + 1], z = cloud.xyz[3 * i + 2];
        *b = {2 * x, 2 * y, 2 * z, 1.0};
        *target = x * x + y * y + z * z;
        return true;
    });
    const double fitted_radius = std::sqrt(s[3] + s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    const double centre_error =
        std::sqrt((s[0] - centre.x) * (s[0] - centre.x) + (s[1] - centre.y) * (s[1] - centre.y) +
                  (s[2] - centre.z) * (s[2] - centre.z));
    std::printf("ball: %zu points, centre error %.2f mm, radius error %.2f mm\n", count,
                centre_error, std::fabs(fitted_radius - radius));
    EXPECT_LT(centre_error, 5.0);
    EXPECT_NEAR(fitted_radius, radius, 5.0);
}

}  // namespace
}  // namespace Quorvan

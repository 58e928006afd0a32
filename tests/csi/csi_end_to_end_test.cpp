// A CSI camera on every simulated host, through the whole stack: host
// detection, discovery, streaming with the host's line layout, the capture
// thread, the 240x180 device and the frame queue. Depth must match the
// scene the simulated sensor sees, and nothing may stay open or mapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "host/host_platform.h"
#include "quorvan/camera.h"
#include "support/simulated_board.h"
#include "support/simulated_board_factory.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using simulation::SceneSource;
using simulation::SimulatedBoard;

constexpr int kWidth = 240;
constexpr int kHeight = 180;
// 16 x a sample amplitude of 200: quantisation stays well inside 2 mm there.
constexpr float kAdequateAmplitude = 3200.0f;

struct DepthComparison {
    size_t compared = 0;
    double p99_error_mm = 0.0;
};

DepthComparison compareWithScene(QuorvanFrameBuffer& frame, const SceneSource& scene, int range) {
    const auto* depth = static_cast<const float*>(frame.getData(FrameType::DEPTH));
    const auto* amplitude = static_cast<const float*>(frame.getData(FrameType::AMPLITUDE));
    std::vector<double> errors;
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            const size_t pixel = static_cast<size_t>(row) * kWidth + column;
            const float truth = scene.groundTruth().distance_mm[pixel];
            if (truth <= 0.0f || amplitude[pixel] < kAdequateAmplitude)
                continue;
            // Distances beyond the unambiguous range wrap around.
            double error = std::fabs(std::fmod(depth[pixel] - truth + 10.0 * range, range));
            errors.push_back(std::min(error, range - error));
        }
    }
    DepthComparison comparison;
    comparison.compared = errors.size();
    if (!errors.empty()) {
        const size_t rank = errors.size() * 99 / 100;
        std::nth_element(errors.begin(), errors.begin() + rank, errors.end());
        comparison.p99_error_mm = errors[rank];
    }
    return comparison;
}

void streamAndCompare(QuorvanTOFCamera& camera, const SceneSource& scene, int32_t platform,
                      int range) {
    SCOPED_TRACE(range);
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, range), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    uint64_t previous_timestamp = 0;
    for (int frame = 0; frame < 3; ++frame) {
        QuorvanFrameBuffer* buffer = camera.requestFrame(testing_support::frameDeadlineMs(5000));
        ASSERT_NE(buffer, nullptr);
        const DepthComparison comparison = compareWithScene(*buffer, scene, range);
        std::printf("host %d range %d: %zu pixels compared, p99 error %.3f mm\n", platform, range,
                    comparison.compared, comparison.p99_error_mm);
        EXPECT_GT(comparison.compared, static_cast<size_t>(kWidth * kHeight) * 2 / 5);
        EXPECT_LT(comparison.p99_error_mm, 2.0);
        FrameDataFormat format{};
        ASSERT_EQ(buffer->getFormat(FrameType::DEPTH, format), QuorvanSuccess);
        // Milliseconds of the simulated clock, which starts at 1000.99 s.
        EXPECT_GT(format.timestamp, 1000990u);
        EXPECT_GT(format.timestamp, previous_timestamp);
        previous_timestamp = format.timestamp;
        ASSERT_EQ(camera.releaseFrame(buffer), QuorvanSuccess);
    }
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
}

class CsiEndToEnd : public ::testing::TestWithParam<int32_t> {};

TEST_P(CsiEndToEnd, DepthMatchesTheSceneAndNothingLeaks) {
    const int32_t platform = GetParam();
    auto scene = std::make_shared<SceneSource>();
    simulation::BoardOptions options;
    options.platform = platform;
    options.source = scene;
    SimulatedBoard board(options);
    // A millisecond per buffer keeps the capture thread from spinning.
    board.kernel().setDequeuePacing(std::chrono::milliseconds(1));
    {
        QuorvanTOFCamera camera(simulation::boardFactory(board));
        // Jetson hosts have no sensor sub-device, so the range cannot reach
        // the sensor; the failure is reported and streaming goes on.
        testing::internal::CaptureStderr();
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
        const CameraInfo info = camera.getCameraInfo();
        EXPECT_EQ(info.device_type, HQVGA);
        EXPECT_EQ(info.width, 240u);
        EXPECT_EQ(info.height, 180u);
        streamAndCompare(camera, *scene, platform, 4000);
        // The short range needs the sensor's range control, which only the
        // media-controller hosts reach.
        if (board.hasMediaGraph()) {
            streamAndCompare(camera, *scene, platform, 2000);
            EXPECT_EQ(board.sensor().range_setting, simulation::SensorState::kShortRange);
        }
        const std::string messages = testing::internal::GetCapturedStderr();
        if (board.hasMediaGraph()) {
            EXPECT_EQ(messages, "");
        }
        EXPECT_EQ(camera.close(), QuorvanSuccess);
        EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
        EXPECT_EQ(board.kernel().liveMappingCount(), 0);
    }
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
    EXPECT_EQ(board.kernel().liveMappingCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, CsiEndToEnd,
                         ::testing::Values(RASPBERRY_PI, RASPBERRY_PI_5, RADXA_ROCK,
                                           JETSON_TX1_NANO, JETSON_XAVIER_ORIN));

TEST(CsiEndToEndUnknownHost, OpenFailsWithSystemError) {
    SimulatedBoard board(OTHER);
    {
        QuorvanTOFCamera camera(simulation::boardFactory(board));
        testing::internal::CaptureStderr();
        EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvanSystemError);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: I2C bus name doesn't match any bus present!\n");
        camera.close();
    }
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
}

// Faults while the capture thread streams: the camera drops what it cannot
// use, keeps streaming where the driver recovers, and stops cleanly.
TEST(CsiEndToEndFaults, DriverHiccupsCostFramesNotTheCamera) {
    auto scene = std::make_shared<SceneSource>();
    simulation::BoardOptions options;
    options.platform = RASPBERRY_PI_5;
    options.source = scene;
    SimulatedBoard board(options);
    board.kernel().setDequeuePacing(std::chrono::milliseconds(1));
    auto& node = board.captureNode();
    node.addTimestampGap(6, 20000);
    node.reportIndexOnDequeue(20, 11);
    board.kernel().injectFault({simulation::KernelCall::Ioctl, VIDIOC_DQBUF, "", EINTR, 30, 3});
    board.kernel().injectFault({simulation::KernelCall::Ioctl, VIDIOC_DQBUF, "", EIO, 40, 1});
    {
        QuorvanTOFCamera camera(simulation::boardFactory(board));
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        int good_frames = 0;
        for (int frame = 0; frame < 12; ++frame) {
            QuorvanFrameBuffer* buffer =
                camera.requestFrame(testing_support::frameDeadlineMs(5000));
            ASSERT_NE(buffer, nullptr);
            good_frames += compareWithScene(*buffer, *scene, 4000).p99_error_mm < 2.0;
            ASSERT_EQ(camera.releaseFrame(buffer), QuorvanSuccess);
        }
        // Only the frames the faults interrupted can be wrong.
        EXPECT_GE(good_frames, 10);
        EXPECT_EQ(camera.stop(), QuorvanSuccess);
        EXPECT_EQ(camera.close(), QuorvanSuccess);
    }
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
    EXPECT_EQ(board.kernel().liveMappingCount(), 0);
}

// Controls come from the application's thread while the capture thread is
// inside the sensor; they travel on other handles and must not disturb the
// stream (ThreadSanitizer watches this run in CI).
TEST(CsiEndToEndControls, ControlsWhileStreaming) {
    auto scene = std::make_shared<SceneSource>();
    simulation::BoardOptions options;
    options.platform = RADXA_ROCK;
    options.source = scene;
    SimulatedBoard board(options);
    board.kernel().setDequeuePacing(std::chrono::milliseconds(1));
    QuorvanTOFCamera camera(simulation::boardFactory(board));
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    // The 240x180 device passes range writes and every read except the
    // range to the sensor, and refuses exposure and frame-rate writes.
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, 4000), QuorvanSuccess);
        int32_t value = 0;
        EXPECT_EQ(camera.getControl(CameraCtrl::FRAME_RATE, &value), QuorvanSuccess);
        EXPECT_EQ(value, 30);
        EXPECT_EQ(camera.getControl(CameraCtrl::EXPOSURE, &value), QuorvanSuccess);
        EXPECT_EQ(value, 100);
        EXPECT_EQ(camera.setControl(CameraCtrl::EXPOSURE, 100 + round), QuorvanInvalidParameter);
        QuorvanFrameBuffer* buffer = camera.requestFrame(testing_support::frameDeadlineMs(5000));
        ASSERT_NE(buffer, nullptr);
        ASSERT_EQ(camera.releaseFrame(buffer), QuorvanSuccess);
    }
    EXPECT_EQ(board.kernel().ioctlCount(board.sensorSubdevicePath(), VIDIOC_S_CTRL), 11);
    QuorvanFrameBuffer* buffer = camera.requestFrame(testing_support::frameDeadlineMs(5000));
    ASSERT_NE(buffer, nullptr);
    EXPECT_LT(compareWithScene(*buffer, *scene, 4000).p99_error_mm, 2.0);
    ASSERT_EQ(camera.releaseFrame(buffer), QuorvanSuccess);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
    EXPECT_EQ(board.kernel().liveMappingCount(), 0);
}

}  // namespace
}  // namespace Quorvan

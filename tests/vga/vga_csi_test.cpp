// The 640x480 sensor on a simulated CSI host: the device asks the sensor for
// the double-frequency layout, the CSI backend streams it and the depth
// library unwraps distances beyond the single-frequency range.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "host/host_platform.h"
#include "quorvan/camera.h"
#include "support/kernel_leak_checks.h"
#include "support/simulated_board.h"
#include "support/simulated_board_factory.h"
#include "support/test_deadlines.h"
#include "support/vga_layout_source.h"
#include "vga/scoped_working_directory.h"
#include "vga/vga_capture_helpers.h"

namespace Quorvan {
namespace {

using testing_support::DepthAccuracy;
using testing_support::measureAccuracy;

TEST(VgaCsiBoard, DoubleModeDepthMatchesTheSceneBeyond1250) {
    testing_support::ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    auto source = std::make_shared<simulation::VgaLayoutSource>("default");
    simulation::BoardOptions options;
    options.platform = RASPBERRY_PI;
    options.native_width = 640;
    options.native_height = 2405;
    options.source = source;
    simulation::SimulatedBoard board(options);
    {
        QuorvanTOFCamera camera(simulation::boardFactory(board));
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
        EXPECT_EQ(camera.getCameraInfo().device_type, VGA);
        ASSERT_EQ(camera.setControl(CameraCtrl::MODE, 1), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        EXPECT_EQ(camera.getCameraInfo().height, 4810u);  // the sensor took the new size

        QuorvanFrameBuffer* frame = testing_support::awaitFrame(camera, 3000);
        ASSERT_NE(frame, nullptr);
        const emulation::GroundTruth truth = source->groundTruth(640, 480);
        const size_t pixels = truth.distance_mm.size();
        const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
        const std::vector<float> depth_plane(depth, depth + pixels);
        const std::vector<float> amplitude_plane(amplitude, amplitude + pixels);
        const DepthAccuracy all =
            measureAccuracy(depth_plane, amplitude_plane, truth, 4500.0f, 20.0f);
        const DepthAccuracy beyond_single =
            measureAccuracy(depth_plane, amplitude_plane, truth, 4500.0f, 20.0f, 1250.0f);
        std::printf(
            "all: %zu pixels, p99 %.2f mm, max %.2f mm; 1250-4500 mm: %zu pixels, "
            "p99 %.2f mm, max %.2f mm\n",
            all.compared, all.p99_error_mm, all.max_error_mm, beyond_single.compared,
            beyond_single.p99_error_mm, beyond_single.max_error_mm);
        EXPECT_GT(all.compared, 250000u);
        EXPECT_EQ(all.invalid, 0u);
        EXPECT_LT(all.p99_error_mm, 5.0f);
        EXPECT_GT(beyond_single.compared, 100000u);
        EXPECT_LT(beyond_single.max_error_mm, 0.01f * 1250.0f);
        EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
        EXPECT_EQ(camera.stop(), QuorvanSuccess);
        EXPECT_EQ(camera.close(), QuorvanSuccess);
    }
    EXPECT_TRUE(testing_support::leftNothingOpen(board.kernel()));
}

}  // namespace
}  // namespace Quorvan

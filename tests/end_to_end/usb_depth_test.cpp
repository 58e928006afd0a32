// Depth from the emulated USB kit through the whole camera: kit, USB
// backend, capture thread, 240x180 device and frame queue.
#include <gtest/gtest.h>

#include <vector>

#include "emulation/kit_test_support.h"
#include "quorvan/camera.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using testing_support::compareDepth;
using testing_support::hqvgaGroundTruth;
using testing_support::TempConfigFile;

constexpr int kPixels = 240 * 180;
// 16 x a sample amplitude of 200: quantisation stays well inside 2 mm there.
constexpr float kAdequateAmplitude = 3200.0f;

struct FrameCheck {
    bool arrived = false;
    testing_support::DepthComparison comparison;
};

FrameCheck checkNextFrame(QuorvanTOFCamera& camera, int range) {
    static const auto truth = hqvgaGroundTruth();
    FrameCheck check;
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(3000));
    if (!frame)
        return check;
    FrameDataFormat format{};
    EXPECT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvanSuccess);
    EXPECT_EQ(format.width * format.height, static_cast<uint32_t>(kPixels));
    check.arrived = true;
    check.comparison = compareDepth(static_cast<const float*>(frame->getData(FrameType::DEPTH)),
                                    static_cast<const float*>(frame->getData(FrameType::AMPLITUDE)),
                                    truth, range, kAdequateAmplitude);
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    return check;
}

// A camera, and a configuration of the built-in kit without shot noise,
// whose depth matches the ground truth to within quantisation.
class UsbDepthEndToEnd : public ::testing::Test {
protected:
    TempConfigFile noise_free{"noise = off\n"};
    QuorvanTOFCamera camera;
};

TEST_F(UsbDepthEndToEnd, NoiseFreeDepthMatchesGroundTruthAtBothRanges) {
    ASSERT_EQ(camera.openWithFile(noise_free.c_str(), 0), QuorvanSuccess);
    const CameraInfo info = camera.getCameraInfo();
    ASSERT_EQ(info.width, 240u);
    ASSERT_EQ(info.height, 180u);
    EXPECT_EQ(info.device_type, HQVGA);

    for (int range : {4000, 2000, 4000}) {
        SCOPED_TRACE(range);
        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, range), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        for (int frame = 0; frame < 3; ++frame) {
            const FrameCheck check = checkNextFrame(camera, range);
            ASSERT_TRUE(check.arrived);
            EXPECT_GT(check.comparison.compared, static_cast<size_t>(kPixels) * 2 / 5);
            EXPECT_LT(check.comparison.p99_error_mm, 2.0);
        }
        ASSERT_EQ(camera.stop(), QuorvanSuccess);
    }
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(UsbDepthEndToEnd, RangeChangeWhileStreamingReachesTheKit) {
    ASSERT_EQ(camera.openWithFile(noise_free.c_str(), 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_LT(checkNextFrame(camera, 4000).comparison.p99_error_mm, 2.0);
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    // Frames already queued or captured at 37.5 MHz drain first.
    bool matched = false;
    for (int frame = 0; frame < 10 && !matched; ++frame) {
        const FrameCheck check = checkNextFrame(camera, 2000);
        ASSERT_TRUE(check.arrived);
        matched = check.comparison.p99_error_mm < 2.0;
    }
    EXPECT_TRUE(matched);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
}

TEST_F(UsbDepthEndToEnd, BuiltInKitStreamsNoisyDepthNearTheTruth) {
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    for (int frame = 0; frame < 5; ++frame) {
        const FrameCheck check = checkNextFrame(camera, 4000);
        ASSERT_TRUE(check.arrived);
        // Shot noise of a few counts on amplitudes of hundreds: centimetres
        // at worst, far from the metres a broken pipeline would give.
        EXPECT_LT(check.comparison.p99_error_mm, 40.0);
        EXPECT_GT(check.comparison.p99_error_mm, 2.0);  // the noise is really there
    }
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(UsbDepthEndToEnd, UnusableConfigurationFailsTheOpen) {
    TempConfigFile config("bits_per_pixel = 7\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(camera.openWithFile(config.c_str(), 0), QuorvanUnkownError);
    EXPECT_EQ(camera.openWithFile("/nonexistent/kit.cfg", 0), QuorvanUnkownError);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find(config.path() + ": line 1: bits_per_pixel"), std::string::npos)
        << printed;
    EXPECT_NE(printed.find("/nonexistent/kit.cfg: cannot read the file"), std::string::npos)
        << printed;
    // The camera stays usable: the next open succeeds.
    EXPECT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
}

}  // namespace
}  // namespace Quorvan

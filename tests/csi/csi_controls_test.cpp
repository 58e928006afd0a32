// Controls of the CSI sensor: what reaches the sensor sub-device and the I2C
// bus, what stays in the format record, and how failures are reported.
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/videodev2.h>

#include <string>
#include <vector>

#include "csi_rig.h"
#include "host/host_platform.h"

namespace Quorvan {
namespace {

using simulation::Fault;
using simulation::KernelCall;
using simulation::SensorState;

class CsiControls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(rig.open(), 0); }
    int sensorControlWrites() {
        return rig.board.kernel().ioctlCount(rig.board.sensorSubdevicePath(), VIDIOC_S_CTRL);
    }

    CsiRig rig{RASPBERRY_PI_5};
};

TEST_F(CsiControls, RangeInMetresOrMillimetresSelectsTheSensorSetting) {
    const struct {
        int range;
        int setting;
    } cases[] = {{2, SensorState::kShortRange},
                 {4, SensorState::kLongRange},
                 {2000, SensorState::kShortRange},
                 {4000, SensorState::kLongRange}};
    for (const auto& c : cases) {
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, c.range), 0);
        EXPECT_EQ(rig.board.sensor().range_setting, c.setting) << c.range;
    }
    const int writes = sensorControlWrites();
    for (int refused : {3, 0, -4, 3000}) {
        EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, refused), 1);
    }
    EXPECT_EQ(sensorControlWrites(), writes);

    int range = 0;
    rig.board.sensor().range_setting = SensorState::kLongRange;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, &range), 0);
    EXPECT_EQ(range, 4);
    rig.board.sensor().range_setting = SensorState::kShortRange;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, &range), 0);
    EXPECT_EQ(range, 2);
}

TEST_F(CsiControls, ExposureGoesToTheSensorUnchanged) {
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::EXPOSURE, 321), 0);
    EXPECT_EQ(rig.board.sensor().exposure, 321);
    rig.board.sensor().exposure = 77;
    int exposure = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::EXPOSURE, &exposure), 0);
    EXPECT_EQ(exposure, 77);
}

TEST_F(CsiControls, SensorControlFailuresPrintTheRequest) {
    rig.board.kernel().injectFault({KernelCall::Ioctl, VIDIOC_S_CTRL, "", EIO, 0, 1});
    rig.board.kernel().injectFault({KernelCall::Ioctl, VIDIOC_G_CTRL, "", EINVAL, 0, 1});
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::EXPOSURE, 5), -1);
    int value = 12345;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::RANGE, &value), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VIDIOC_S_CTRL: Input/output error\nVIDIOC_G_CTRL: Invalid argument\n");
    EXPECT_EQ(value, 12345);
}

TEST_F(CsiControls, FrameRateIsOneBigEndianRegisterWrite) {
    int rate = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FRAME_RATE, &rate), 0);
    EXPECT_EQ(rate, 30);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 25), 0);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 0x01020304), 0);
    const std::vector<std::vector<uint8_t>> expected = {{0x06, 0x33, 0x00, 0x00, 0x00, 0x19},
                                                        {0x06, 0x33, 0x01, 0x02, 0x03, 0x04}};
    EXPECT_EQ(rig.board.sensorBus().writes(), expected);
    EXPECT_EQ(rig.board.sensor().frame_rate, 0x01020304u);
    EXPECT_EQ(rig.board.kernel().ioctlCount(rig.board.sensorBusPath(), I2C_RDWR), 2);
}

TEST_F(CsiControls, FailedFrameRateWriteKeepsTheNewValue) {
    rig.board.kernel().injectFault({KernelCall::Ioctl, I2C_RDWR, "", EREMOTEIO, 0, 1});
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 15), -2);
    rig.board.sensorBus().completed_messages_override = 0;
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 12), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    int rate = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FRAME_RATE, &rate), 0);
    EXPECT_EQ(rate, 12);
}

TEST_F(CsiControls, CaptureSizeLivesInTheFormatRecord) {
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
    EXPECT_EQ(rig.sensor.getFormat().width, 320u);
    EXPECT_EQ(rig.sensor.getFormat().height, 240u);
    int value = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::FMT_HEIGHT, &value), 0);
    EXPECT_EQ(value, 240);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 0), 1);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, -5), 1);
    EXPECT_EQ(rig.sensor.getFormat().width, 320u);
}

TEST_F(CsiControls, OtherControlsAreRefusedWithoutTouchingAnyDevice) {
    rig.board.kernel().clearLogs();
    int value = 42;
    for (CameraCtrl control : {CameraCtrl::MODE, CameraCtrl::FRAME_MODE, CameraCtrl::SKIP_FRAME,
                               CameraCtrl::AUTO_FRAME_RATE, CameraCtrl::CONFIG_DIR_EXT}) {
        EXPECT_EQ(rig.sensor.setControl(control, 1), 1);
        EXPECT_EQ(rig.sensor.getControl(control, &value), 1);
    }
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(rig.board.kernel().ioctlLog().empty());
}

TEST(CsiControlsWithoutSubdevice, RangeAndExposureFailOnJetson) {
    CsiRig rig(JETSON_TX1_NANO);
    ASSERT_EQ(rig.open(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::RANGE, 4000), -1);
    int value = 0;
    EXPECT_EQ(rig.sensor.getControl(CameraCtrl::EXPOSURE, &value), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VIDIOC_S_CTRL: Bad file descriptor\nVIDIOC_G_CTRL: Bad file descriptor\n");
    // The frame rate still reaches the sensor over I2C.
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FRAME_RATE, 20), 0);
    EXPECT_EQ(rig.board.sensor().frame_rate, 20u);
}

}  // namespace
}  // namespace Quorvan

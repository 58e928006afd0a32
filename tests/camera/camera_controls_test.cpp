#include <gtest/gtest.h>

#include <memory>

#include "fakes/fake_backends.h"
#include "quorvan/camera.h"

namespace Quorvan {
namespace {

using fakes::FakeBackendFactory;

class CameraControls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess); }
    fakes::FakeDevice& device() { return *factory->lastDevice(); }

    std::shared_ptr<FakeBackendFactory> factory = std::make_shared<FakeBackendFactory>();
    QuorvanTOFCamera camera{factory};
};

TEST_F(CameraControls, FrameRateIsBoundedByTheDevicesCurrentValue) {
    device().frame_rate = 30;
    factory->log->clear();
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 0), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, -5), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 31), QuorvanInvalidParameter);
    EXPECT_TRUE(factory->log->entries().empty());
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 30), QuorvanSuccess);
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 1), QuorvanSuccess);
    EXPECT_EQ(device().frame_rate, 1);

    device().frame_rate_get_result = QuorvanNotImplemented;
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 1), QuorvanNotImplemented);
}

TEST_F(CameraControls, SkipSettingsAreCheckedAndKeptByTheCamera) {
    factory->log->clear();
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 0), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 256), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, -1), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 2), QuorvanInvalidParameter);  // loop is 1
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, -1), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 255), QuorvanSuccess);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 255), QuorvanSuccess);
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 256), QuorvanInvalidParameter);
    // Shrinking the loop below the skip count is allowed; the capture thread
    // then drops every frame (see the queue tests).
    EXPECT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 2), QuorvanSuccess);
    EXPECT_TRUE(factory->log->entries().empty());

    // Reading them back is the device's business.
    int32_t value = 0;
    EXPECT_EQ(camera.getControl(CameraCtrl::SKIP_FRAME, &value), QuorvanSuccess);
    EXPECT_EQ(value, 107);
    EXPECT_EQ(camera.getControl(CameraCtrl::SKIP_FRAME_LOOP, &value), QuorvanSuccess);
    EXPECT_EQ(value, 108);
}

TEST_F(CameraControls, AutoFrameRateIsABooleanTheCameraAnswers) {
    int32_t value = -1;
    EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), QuorvanSuccess);
    EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 7), QuorvanSuccess);
    EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 1);
}

TEST_F(CameraControls, OtherControlsPassThroughUnchanged) {
    factory->log->clear();
    EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    EXPECT_EQ(camera.setControl(CameraCtrl::EXPOSURE, 5), QuorvanInvalidParameter);
    EXPECT_EQ(camera.setControl(static_cast<CameraCtrl>(42), 5), QuorvanInvalidParameter);
    EXPECT_EQ(factory->log->entries(),
              (std::vector<std::string>{"device1.setControl(0,2000)", "device1.setControl(5,5)",
                                        "device1.setControl(42,5)"}));
    int32_t value = 0;
    EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 2000);
    EXPECT_EQ(camera.getControl(CameraCtrl::EXPOSURE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 105);
    EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, nullptr), QuorvanInvalidParameter);
}

TEST_F(CameraControls, TextControls) {
    factory->log->clear();
    EXPECT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/opt/config"),
              QuorvanInvalidParameter);
    EXPECT_TRUE(factory->log->contains("device1.setControlExt(256,/opt/config)"));
    EXPECT_EQ(camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), QuorvanInvalidParameter);
    const char* text = "untouched";
    EXPECT_EQ(camera.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvanSuccess);
    EXPECT_STREQ(text, "untouched");
    EXPECT_FALSE(factory->log->contains("device1.getControlExt(256)"));
}

TEST_F(CameraControls, CameraHeldSettingsSurviveReopen) {
    ASSERT_EQ(camera.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), QuorvanSuccess);
    ASSERT_EQ(camera.open(Connection::USB, 1), QuorvanSuccess);
    int32_t value = 1;
    EXPECT_EQ(camera.getControl(CameraCtrl::AUTO_FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 0);
}

}  // namespace
}  // namespace Quorvan

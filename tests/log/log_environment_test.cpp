// Run by CTest with QUORVAN_LOG set (see CMakeLists.txt): the variable
// decides the thresholds before anything logs, and "*:none" leaves failures
// of the CSI path and the I2C layer without a word on standard error.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <string>

#include "csi/csi_rig.h"
#include "csi/i2c_bus.h"
#include "host/host_platform.h"
#include "quorvan/log.h"

namespace Quorvan {
namespace {

TEST(LogEnvironment, NoneSilencesTheLibrary) {
    EXPECT_EQ(logging::threshold("csi"), logging::Level::None);
    EXPECT_EQ(logging::threshold("i2c"), logging::Level::None);
    ::testing::internal::CaptureStderr();
    CsiRig rig(RASPBERRY_PI);
    rig.board.kernel().injectFault(
        {simulation::KernelCall::Ioctl, VIDIOC_QUERYCAP, "", EIO, 0, simulation::kAlways});
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(parseI2cAddress("0x78"), -2);
    EXPECT_EQ(lookupI2cBus(rig.board.kernel(), "0x100000"), -2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace Quorvan

// Opening the CSI sensor on each simulated host: which buffer type, which
// sub-devices in which order, which I2C bus, and how each failure ends.
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <string>

#include "csi_rig.h"
#include "host/host_platform.h"
#include "system/ioctl_retry.h"

namespace Quorvan {
namespace {

using simulation::Fault;
using simulation::kAlways;
using simulation::KernelCall;
using simulation::SimulatedBoard;
using simulation::SimulatedKernel;

bool openedBefore(const std::vector<std::string>& paths, const std::string& first,
                  const std::string& second) {
    auto a = std::find(paths.begin(), paths.end(), first);
    auto b = std::find(paths.begin(), paths.end(), second);
    return a != paths.end() && b != paths.end() && a < b;
}

struct HostExpectation {
    int32_t platform;
    uint32_t buffer_type;
    int subdevices;
    int sensor_index;
    const char* bus_name;
    bool selects_input;
};

TEST(CsiOpen, DiscoversEachHostsSensor) {
    const HostExpectation hosts[] = {
        {RASPBERRY_PI, V4L2_BUF_TYPE_VIDEO_CAPTURE, 1, 0, "10", true},
        {RASPBERRY_PI_5, V4L2_BUF_TYPE_VIDEO_CAPTURE, 2, 1, "10", true},
        {RADXA_ROCK, V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE, 2, 1, "7", false},
        {JETSON_TX1_NANO, V4L2_BUF_TYPE_VIDEO_CAPTURE, 0, 0, "9", true},
        {JETSON_XAVIER_ORIN, V4L2_BUF_TYPE_VIDEO_CAPTURE, 0, 0, "30", true},
    };
    for (const HostExpectation& host : hosts) {
        SCOPED_TRACE(host.platform);
        CsiRig rig(host.platform);
        ASSERT_EQ(rig.open(), 0);
        EXPECT_EQ(rig.sensor.bufferType(), host.buffer_type);
        EXPECT_EQ(rig.sensor.subdeviceCount(), host.subdevices);
        EXPECT_EQ(rig.sensor.sensorSubdeviceIndex(), host.sensor_index);
        EXPECT_STREQ(rig.sensor.i2cBusName(), host.bus_name);
        SimulatedKernel& kernel = rig.board.kernel();
        EXPECT_EQ(kernel.ioctlCount(SimulatedBoard::kVideoNode, VIDIOC_S_INPUT),
                  host.selects_input ? 1 : 0);
        const std::vector<std::string> opened = kernel.openedPaths();
        EXPECT_NE(std::find(opened.begin(), opened.end(), rig.board.sensorBusPath()), opened.end());
        if (host.subdevices == 2) {
            // Bridges come before the sensor in entity order.
            EXPECT_TRUE(openedBefore(opened, rig.board.bridgeSubdevicePath(),
                                     rig.board.sensorSubdevicePath()));
        }
        if (host.subdevices > 0) {
            EXPECT_EQ(kernel.ioctlCount(rig.board.sensorSubdevicePath(), VIDIOC_SUBDEV_G_FMT), 1);
        }

        const CameraInfo info = rig.camera.getCameraInfo();
        EXPECT_EQ(info.width, 240u);
        EXPECT_EQ(info.height, 180u);
        EXPECT_EQ(info.bit_width, 12u);
        EXPECT_EQ(info.bpp, 2u);
        const CameraInfo format = rig.sensor.getFormat();
        EXPECT_EQ(format.width, 240u);
        EXPECT_EQ(format.bit_width, 12u);

        // Open leaves the capture node, the sub-devices and the bus open; the
        // media device is only needed during discovery.
        EXPECT_EQ(kernel.openDescriptorCount(), 2 + host.subdevices);
        EXPECT_EQ(rig.sensor.close(), 0);
        EXPECT_EQ(kernel.openDescriptorCount(), 0);
    }
}

TEST(CsiOpen, Pi5RoutesTheReceiverToTheFirstChannel) {
    CsiRig rig(RASPBERRY_PI_5);
    auto* media = rig.board.mediaDevice();
    const uint32_t receiver = media->entityId("csi2");
    const uint32_t channel = media->entityId("rp1-cfe-csi2_ch0");
    EXPECT_FALSE(media->linkEnabled(receiver, channel));
    ASSERT_EQ(rig.open(), 0);
    EXPECT_TRUE(media->linkEnabled(receiver, channel));
}

TEST(CsiOpen, Pi5WithoutTheLinkFindsNoSensor) {
    CsiRig rig(RASPBERRY_PI_5);
    rig.board.kernel().injectFault({KernelCall::Ioctl, MEDIA_IOC_SETUP_LINK, "", EINVAL, 0, 1});
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(rig.sensor.subdeviceCount(), 0);
    rig.sensor.close();
    EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
}

TEST(CsiOpen, BusNumbersInAnyBase) {
    for (const char* bus : {"0x1f", "12"}) {
        SCOPED_TRACE(bus);
        simulation::BoardOptions options = CsiRig::boardOptions(RASPBERRY_PI);
        options.sensor_bus = bus;
        CsiRig rig(options);
        ASSERT_EQ(rig.open(), 0);
        EXPECT_STREQ(rig.sensor.i2cBusName(), bus);
        const std::vector<std::string> opened = rig.board.kernel().openedPaths();
        EXPECT_NE(std::find(opened.begin(), opened.end(), rig.board.sensorBusPath()), opened.end());
    }
    simulation::BoardOptions options = CsiRig::boardOptions(JETSON_TX1_NANO);
    options.sensor_bus = "123456789";
    CsiRig jetson(options);
    // Eight digits at most are taken from the sysfs name.
    testing::internal::CaptureStderr();
    jetson.open();
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(jetson.sensor.i2cBusName(), "12345678");
}

TEST(CsiOpen, PiNodeOfferingOnlyMultiPlanarIsStillDrivenSinglePlanar) {
    simulation::BoardOptions options = CsiRig::boardOptions(RASPBERRY_PI);
    options.capture_capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    CsiRig rig(options);
    ASSERT_EQ(rig.open(), 0);
    EXPECT_EQ(rig.sensor.bufferType(), static_cast<uint32_t>(V4L2_BUF_TYPE_VIDEO_CAPTURE));
    EXPECT_EQ(rig.board.kernel().ioctlCount(SimulatedBoard::kVideoNode, VIDIOC_S_INPUT), 1);
}

TEST(CsiOpen, UnknownHostHasNoBusToOpen) {
    CsiRig rig(OTHER);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(rig.sensor.close(), 0);
    EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
}

TEST(CsiOpen, FailingCapabilityQueryReportsAndReturns) {
    for (int error : {EIO, EINTR}) {
        CsiRig rig(RASPBERRY_PI);
        rig.board.kernel().injectFault({KernelCall::Ioctl, VIDIOC_QUERYCAP, "", error, 0, kAlways});
        testing::internal::CaptureStderr();
        EXPECT_EQ(rig.open(), -2);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "VIDIOC_QUERYCAP: error - " + std::to_string(error) + "\n");
        EXPECT_EQ(rig.board.kernel().ioctlCount(SimulatedBoard::kVideoNode, VIDIOC_QUERYCAP),
                  error == EINTR ? kIoctlAttempts : 1);
        // The sensor is still usable: once the node answers, open succeeds.
        rig.board.kernel().clearFaults();
        EXPECT_EQ(rig.open(), 0);
        rig.sensor.close();
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
}

TEST(CsiOpen, RefusesNodesThatCannotStream) {
    for (uint32_t capabilities :
         {uint32_t{V4L2_CAP_VIDEO_CAPTURE}, uint32_t{V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING}}) {
        simulation::BoardOptions options = CsiRig::boardOptions(RASPBERRY_PI);
        options.capture_capabilities = capabilities;
        CsiRig rig(options);
        EXPECT_EQ(rig.open(), -2);
        rig.sensor.close();
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
}

TEST(CsiOpen, EachFailingStepGivesSystemError) {
    struct Case {
        int32_t platform;
        Fault fault;
        const char* message;
    };
    const Case cases[] = {
        {RASPBERRY_PI, {KernelCall::Open, 0, SimulatedBoard::kVideoNode, ENOENT, 0, 1}, ""},
        {RASPBERRY_PI, {KernelCall::Ioctl, VIDIOC_S_INPUT, "", EINVAL, 0, 1}, ""},
        {RASPBERRY_PI,
         {KernelCall::Open, 0, "/dev/i2c-10", EACCES, 0, 1},
         "Error: Could not open file `/dev/i2c-10': Permission denied\nRun as root?\n"},
        {RASPBERRY_PI,
         {KernelCall::Ioctl, I2C_FUNCS, "", EIO, 0, 1},
         "Error: Could not get adapter functionality: Input/output error\n"},
        {JETSON_TX1_NANO, {KernelCall::Fstat, 0, "", EIO, 0, 1}, ""},
        {JETSON_TX1_NANO, {KernelCall::Open, 0, "/sys/dev/char/81:0/name", ENOENT, 0, 1}, ""},
        // The bus is known before the sub-device opens, so only the size
        // read fails.
        {RASPBERRY_PI, {KernelCall::Open, 0, "/dev/v4l-subdev0", ENOENT, 0, 1}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault.path + " " + std::to_string(c.fault.request));
        CsiRig rig(c.platform);
        rig.board.kernel().injectFault(c.fault);
        testing::internal::CaptureStderr();
        const int result = rig.open();
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, -2);
        if (*c.message) {
            EXPECT_EQ(message, c.message);
        }
        EXPECT_EQ(rig.sensor.close(), 0);
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
}

TEST(CsiOpen, AdapterWithoutPlainTransfersIsRefused) {
    CsiRig rig(RASPBERRY_PI);
    rig.board.sensorBus().functionality = I2C_FUNC_SMBUS_BYTE;
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Adapter does not have I2C transfers capability\n");
}

TEST(CsiOpen, JetsonNameWithoutTheSensorDriverFails) {
    CsiRig rig(JETSON_XAVIER_ORIN);
    rig.board.kernel().addFile("/sys/dev/char/81:0/name", "vi-output, other 30-000c\n");
    EXPECT_EQ(rig.open(), -2);
}

TEST(CsiOpen, FailedSizeReadStillReportsTheSampleFormat) {
    CsiRig rig(RASPBERRY_PI_5);
    rig.board.kernel().injectFault({KernelCall::Ioctl, VIDIOC_SUBDEV_G_FMT, "", EIO, 0, 1});
    EXPECT_EQ(rig.open(), -2);
    const CameraInfo info = rig.camera.getCameraInfo();
    EXPECT_EQ(info.width, 0u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(info.bpp, 2u);
}

TEST(CsiOpen, DestroyingAnOpenSensorReleasesIt) {
    SimulatedBoard board(RADXA_ROCK);
    {
        QuorvanTOFCamera camera(simulation::boardFactory(board));
        QuorvanTOFCSISensor sensor(SimulatedBoard::kVideoNode, RADXA_ROCK, board.kernel());
        ASSERT_EQ(sensor.open(camera), 0);
        ASSERT_EQ(sensor.open(camera), 0);  // a second open does not leak the first
        EXPECT_EQ(board.kernel().openDescriptorCount(), 4);
    }
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
}

// The retry rule: transient errors are repeated up to five attempts in all,
// anything else ends the request at once.
TEST(IoctlRetry, RepeatsOnlyTransientErrors) {
    struct Case {
        int error;
        int failures;
        int expected_result;
        int expected_attempts;
    };
    const Case cases[] = {
        {EINTR, 4, 0, 5},  {EAGAIN, 2, 0, 3}, {ETIMEDOUT, 1, 0, 2},
        {EINTR, 5, -1, 5}, {EIO, 1, -1, 1},   {EINVAL, 3, -1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.error) + " x" + std::to_string(c.failures));
        SimulatedBoard board(RASPBERRY_PI);
        SimulatedKernel& kernel = board.kernel();
        const int fd = kernel.open(SimulatedBoard::kVideoNode, 0);
        kernel.injectFault({KernelCall::Ioctl, VIDIOC_QUERYCAP, "", c.error, 0, c.failures});
        v4l2_capability capability{};
        EXPECT_EQ(ioctlWithRetry(kernel, fd, VIDIOC_QUERYCAP, &capability), c.expected_result);
        if (c.expected_result != 0) {
            EXPECT_EQ(errno, c.error);
        }
        EXPECT_EQ(kernel.ioctlCount(SimulatedBoard::kVideoNode, VIDIOC_QUERYCAP),
                  c.expected_attempts);
        kernel.close(fd);
    }
}

}  // namespace
}  // namespace Quorvan

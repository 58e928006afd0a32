// Construction and open of the CSI backend: capture node, capabilities, the
// host-specific search for the sensor's sub-device and I2C bus, and the raw
// frame size.
#include <fcntl.h>
#include <linux/i2c.h>
#include <linux/v4l2-subdev.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "csi/csi_sensor.h"
#include "csi/host_platform.h"
#include "csi/i2c_bus.h"
#include "csi/ioctl_retry.h"
#include "csi/kernel_line_reader.h"
#include "csi/v4l2_records.h"
#include "quorvan/camera.h"

namespace Quorvan {

namespace {

constexpr uint32_t kSampleBits = 12;
constexpr uint32_t kBytesPerSample = 2;
// Until the application sets a frame rate, report the sensor's usual rate so
// the camera's upper bound for FRAME_RATE is meaningful.
constexpr int kInitialFrameRate = 30;
constexpr const char* kChipAddressText = "0x0c";
// The Jetson video node's sysfs name carries the sensor driver's name and
// its I2C client, e.g. "vi-output, quorvan 9-000c".
constexpr const char* kSensorDriverName = "quorvan";
constexpr size_t kBusNameDigits = 8;

}  // namespace

QuorvanTOFCSISensor::QuorvanTOFCSISensor(const char* node_path, int32_t platform,
                                         KernelInterface& kernel)
    : kernel(kernel),
      frame_rate(kInitialFrameRate),
      platform(platform),
      buffer_type(V4L2_BUF_TYPE_VIDEO_CAPTURE) {
    if (node_path != nullptr) {
        std::snprintf(video_node_path, sizeof(video_node_path), "%s", node_path);
    }
}

QuorvanTOFCSISensor::~QuorvanTOFCSISensor() {
    unmapBuffers();
    closeHandles();
}

bool QuorvanTOFCSISensor::captureNodeDevice(uint32_t* major_number, uint32_t* minor_number) {
    struct stat status{};
    if (kernel.fstat(video_handle, &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    *major_number = major(status.st_rdev);
    *minor_number = minor(status.st_rdev);
    return true;
}

int QuorvanTOFCSISensor::readBusNameFromSysfs() {
    uint32_t major_number = 0;
    uint32_t minor_number = 0;
    if (!captureNodeDevice(&major_number, &minor_number))
        return QuorvanSystemError;
    char path[64];
    std::snprintf(path, sizeof(path), "/sys/dev/char/%u:%u/name", major_number, minor_number);
    KernelLineReader reader(kernel, path);
    char line[256];
    if (!reader.isOpen() || !reader.readLine(line, sizeof(line)))
        return QuorvanSystemError;
    const char* match = std::strstr(line, kSensorDriverName);
    if (match == nullptr)
        return QuorvanSystemError;
    std::memset(i2c_bus_name, 0, sizeof(i2c_bus_name));
    const char* space = std::strchr(match, ' ');
    if (space == nullptr)
        return QuorvanSuccess;
    for (size_t i = 0; i < kBusNameDigits && space[1 + i] >= '0' && space[1 + i] <= '9'; ++i) {
        i2c_bus_name[i] = space[1 + i];
    }
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::open(QuorvanTOFCamera& camera) {
    // Opening again starts from nothing rather than leaking the old handles.
    unmapBuffers();
    closeHandles();

    video_handle = kernel.open(video_node_path, O_RDWR);
    if (video_handle < 0)
        return QuorvanSystemError;

    v4l2_capability capability{};
    if (ioctlWithRetry(kernel, video_handle, VIDIOC_QUERYCAP, &capability) != 0) {
        // A node that cannot describe itself is not a capture device we can
        // drive; the camera reports the failure and stays usable.
        std::fprintf(stderr, "VIDIOC_QUERYCAP: error - %d\n", errno);
        return QuorvanSystemError;
    }
    const CaptureCapabilities capabilities(capability);
    if (capabilities.hasSinglePlanarCapture()) {
        buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    } else if (capabilities.hasMultiPlanarCapture()) {
        buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    } else {
        return QuorvanSystemError;
    }
    if (!capabilities.hasStreaming())
        return QuorvanSystemError;

    // The host decides the buffer type, whatever the node advertised: the
    // Radxa receiver only streams multi-planar, the others single-planar.
    if (platform == RADXA_ROCK) {
        buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
        discoverThroughMediaController();
    } else {
        buffer_type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (platform == RASPBERRY_PI || platform == RASPBERRY_PI_5) {
            discoverThroughMediaController();
        } else {
            subdevice_count = 0;
            if (isJetsonPlatform(platform) && readBusNameFromSysfs() != QuorvanSuccess) {
                return QuorvanSystemError;
            }
        }
    }

    if (buffer_type == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        int input = video_input;
        if (ioctlWithRetry(kernel, video_handle, VIDIOC_S_INPUT, &input) != 0) {
            return QuorvanSystemError;
        }
    }

    const int bus = lookupI2cBus(kernel, i2c_bus_name);
    if (bus < 0)
        return QuorvanSystemError;
    char i2c_path[20];
    i2c_handle = i2c_open_i2c_dev(kernel, bus, i2c_path, sizeof(i2c_path), 0);
    if (i2c_handle < 0)
        return QuorvanSystemError;
    unsigned long functionality = 0;
    if (i2c_get_functionality(kernel, i2c_handle, &functionality) != 0)
        return QuorvanSystemError;
    if ((functionality & I2C_FUNC_I2C) == 0) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "I2C transfers");
        return QuorvanSystemError;
    }
    chip_address = static_cast<int16_t>(parseI2cAddress(kChipAddressText));

    // The raw size comes from the sensor itself where it has a sub-device,
    // else from the capture node. A failure here still reports the sample
    // format below.
    int result = QuorvanSuccess;
    if (isMediaControllerPlatform(platform)) {
        v4l2_subdev_format subdevice_format{};
        const int handle = sensorSubdeviceHandle();
        if (handle >= 0 && kernel.ioctl(handle, VIDIOC_SUBDEV_G_FMT, &subdevice_format) == 0) {
            camera.reportSensorSize(subdevice_format.format.width, subdevice_format.format.height);
        } else {
            result = QuorvanSystemError;
        }
    } else {
        v4l2_format capture_format{};
        capture_format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (kernel.ioctl(video_handle, VIDIOC_G_FMT, &capture_format) == 0) {
            camera.reportSensorSize(capture_format.fmt.pix.width, capture_format.fmt.pix.height);
        } else {
            result = QuorvanSystemError;
        }
    }
    camera.reportSampleFormat(kSampleBits, kBytesPerSample);
    format = camera.getCameraInfo();
    return result;
}

}  // namespace Quorvan

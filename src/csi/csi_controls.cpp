// Controls of the CSI backend: range and exposure live on the sensor's V4L2
// sub-device, the frame rate in a sensor register reached over I2C, and the
// capture size in the format record the next start applies.
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstdio>

#include "csi/csi_sensor.h"
#include "csi/ioctl_retry.h"

namespace Quorvan {

namespace {

// The sensor driver's private range control: 1 selects the short range
// (75 MHz modulation), 0 the long range (37.5 MHz).
constexpr uint32_t kRangeControl = 0x00981901;
constexpr int kShortRangeSetting = 1;
constexpr int kLongRangeSetting = 0;
// Register 0x0633 holds the frame rate; address and value travel big-endian.
constexpr uint8_t kFrameRateRegisterHigh = 0x06;
constexpr uint8_t kFrameRateRegisterLow = 0x33;

// Ranges arrive in metres from older callers and in millimetres from the
// 240x180 device; both name the same two settings.
bool rangeSetting(int range, int* setting) {
    if (range == 2 || range == 2000) {
        *setting = kShortRangeSetting;
        return true;
    }
    if (range == 4 || range == 4000) {
        *setting = kLongRangeSetting;
        return true;
    }
    return false;
}

}  // namespace

int QuorvanTOFCSISensor::setSensorControl(uint32_t control_id, int value) {
    v4l2_control control{};
    control.id = control_id;
    control.value = value;
    const int handle = sensorSubdeviceHandle();
    // Hosts without a media graph hold no sensor sub-device.
    if (handle < 0)
        errno = EBADF;
    if (handle < 0 || ioctlWithRetry(kernel, handle, VIDIOC_S_CTRL, &control) != 0) {
        std::perror("VIDIOC_S_CTRL");
        return QuorvanUnkownError;
    }
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::getSensorControl(uint32_t control_id, int* value) {
    v4l2_control control{};
    control.id = control_id;
    const int handle = sensorSubdeviceHandle();
    if (handle < 0)
        errno = EBADF;
    if (handle < 0 || ioctlWithRetry(kernel, handle, VIDIOC_G_CTRL, &control) != 0) {
        std::perror("VIDIOC_G_CTRL");
        return QuorvanUnkownError;
    }
    *value = control.value;
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::writeFrameRateRegister(int value) {
    const uint32_t rate = static_cast<uint32_t>(value);
    uint8_t bytes[6] = {kFrameRateRegisterHigh,           kFrameRateRegisterLow,
                        static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                        static_cast<uint8_t>(rate >> 8),  static_cast<uint8_t>(rate)};
    i2c_msg message{};
    message.addr = static_cast<uint16_t>(chip_address);
    message.flags = 0;
    message.len = sizeof(bytes);
    message.buf = bytes;
    i2c_rdwr_ioctl_data transfer{};
    transfer.msgs = &message;
    transfer.nmsgs = 1;
    if (i2c_handle < 0)
        return QuorvanSystemError;
    // The adapter answers with the number of messages it completed.
    if (kernel.ioctl(i2c_handle, I2C_RDWR, &transfer) < 1)
        return QuorvanSystemError;
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::setControl(CameraCtrl id, int value) {
    switch (id) {
        case CameraCtrl::RANGE: {
            int setting = 0;
            if (!rangeSetting(value, &setting))
                return QuorvanInvalidParameter;
            return setSensorControl(kRangeControl, setting);
        }
        case CameraCtrl::FMT_WIDTH:
            if (value <= 0)
                return QuorvanInvalidParameter;
            format.width = static_cast<uint32_t>(value);
            return QuorvanSuccess;
        case CameraCtrl::FMT_HEIGHT:
            if (value <= 0)
                return QuorvanInvalidParameter;
            format.height = static_cast<uint32_t>(value);
            return QuorvanSuccess;
        case CameraCtrl::EXPOSURE:
            return setSensorControl(V4L2_CID_EXPOSURE, value);
        case CameraCtrl::FRAME_RATE:
            // The new rate is kept even when the register write fails, so a
            // later read reports what was asked for.
            frame_rate = value;
            return writeFrameRateRegister(value);
        default:
            return QuorvanInvalidParameter;
    }
}

int QuorvanTOFCSISensor::getControl(CameraCtrl id, int* value) {
    if (value == nullptr)
        return QuorvanInvalidParameter;
    switch (id) {
        case CameraCtrl::RANGE: {
            int setting = 0;
            const int result = getSensorControl(kRangeControl, &setting);
            if (result != QuorvanSuccess)
                return result;
            *value = setting == kLongRangeSetting ? 4 : 2;
            return QuorvanSuccess;
        }
        case CameraCtrl::FMT_WIDTH:
            *value = static_cast<int>(format.width);
            return QuorvanSuccess;
        case CameraCtrl::FMT_HEIGHT:
            *value = static_cast<int>(format.height);
            return QuorvanSuccess;
        case CameraCtrl::EXPOSURE:
            return getSensorControl(V4L2_CID_EXPOSURE, value);
        case CameraCtrl::FRAME_RATE:
            *value = frame_rate;
            return QuorvanSuccess;
        default:
            return QuorvanInvalidParameter;
    }
}

}  // namespace Quorvan

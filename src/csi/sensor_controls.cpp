#include "csi/sensor_controls.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/videodev2.h>

#include <cstring>

#include "csi/i2c_bus.h"
#include "csi/sensor_subdevices.h"
#include "csi/v4l2_requests.h"
#include "device/range_modes.h"
#include "log/log.h"
#include "quorvan/types.h"

namespace Quorvan {

namespace {

// Until the application sets a frame rate, report the sensor's usual rate so
// the camera's upper bound for FRAME_RATE is meaningful.
constexpr int kInitialFrameRate = 30;
constexpr const char* kChipAddressText = "0x0c";
// Register 0x0633 holds the frame rate; address and value travel big-endian.
constexpr uint8_t kFrameRateRegisterHigh = 0x06;
constexpr uint8_t kFrameRateRegisterLow = 0x33;

}  // namespace

SensorControls::SensorControls(KernelInterface& kernel, const SensorSubdevices& subdevices)
    : kernel(kernel), subdevices(subdevices), frame_rate(kInitialFrameRate) {}

int SensorControls::openBus(const char* bus_name) {
    bus.reset();
    const int number = lookupI2cBus(kernel, bus_name);
    if (number < 0)
        return QuorvanSystemError;
    char path[20];
    const int handle = i2c_open_i2c_dev(kernel, number, path, sizeof(path), 0);
    if (handle < 0)
        return QuorvanSystemError;
    bus = KernelDescriptor(kernel, handle);
    unsigned long functionality = 0;
    if (i2c_get_functionality(kernel, bus.get(), &functionality) != 0)
        return QuorvanSystemError;
    if ((functionality & I2C_FUNC_I2C) == 0) {
        QUORVAN_LOGF(Csi, Error, "Error: Adapter does not have %s capability", "I2C transfers");
        return QuorvanSystemError;
    }
    chip_address = static_cast<uint16_t>(parseI2cAddress(kChipAddressText));
    return QuorvanSuccess;
}

int SensorControls::setSensorControl(uint32_t control_id, int value) {
    v4l2_control control{};
    control.id = control_id;
    control.value = value;
    // Hosts without a media graph hold no sensor sub-device; the request
    // then fails as on a closed descriptor.
    const int result = issueRequest(kernel, subdevices.sensorHandle(), request::kSetControl,
                                    Attempts::RetryTransient, &control);
    if (result < 0) {
        QUORVAN_LOGF(Csi, Error, "%s: %s", request::kSetControl.name, std::strerror(-result));
        return QuorvanUnkownError;
    }
    return QuorvanSuccess;
}

int SensorControls::getSensorControl(uint32_t control_id, int* value) {
    v4l2_control control{};
    control.id = control_id;
    const int result = issueRequest(kernel, subdevices.sensorHandle(), request::kGetControl,
                                    Attempts::RetryTransient, &control);
    if (result < 0) {
        QUORVAN_LOGF(Csi, Error, "%s: %s", request::kGetControl.name, std::strerror(-result));
        return QuorvanUnkownError;
    }
    *value = control.value;
    return QuorvanSuccess;
}

int SensorControls::setRange(int range) {
    const RangeMode* mode = rangeModeForMetresOrMillimetres(range);
    if (mode == nullptr)
        return QuorvanInvalidParameter;
    return setSensorControl(kCsiRangeControl, mode->csi_control_value);
}

int SensorControls::getRange(int* range) {
    int setting = 0;
    const int result = getSensorControl(kCsiRangeControl, &setting);
    if (result != QuorvanSuccess)
        return result;
    // The driver knows two values; anything but the long range's reads as
    // the short range.
    const RangeMode* mode = rangeModeForCsiControlValue(setting);
    *range = (mode != nullptr ? *mode : kShortRangeMode).metres;
    return QuorvanSuccess;
}

int SensorControls::setExposure(int value) {
    return setSensorControl(V4L2_CID_EXPOSURE, value);
}

int SensorControls::getExposure(int* value) {
    return getSensorControl(V4L2_CID_EXPOSURE, value);
}

int SensorControls::setFrameRate(int rate) {
    frame_rate = rate;
    const uint32_t value = static_cast<uint32_t>(rate);
    uint8_t bytes[6] = {kFrameRateRegisterHigh,
                        kFrameRateRegisterLow,
                        static_cast<uint8_t>(value >> 24),
                        static_cast<uint8_t>(value >> 16),
                        static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value)};
    i2c_msg message{};
    message.addr = chip_address;
    message.flags = 0;
    message.len = sizeof(bytes);
    message.buf = bytes;
    i2c_rdwr_ioctl_data transfer{};
    transfer.msgs = &message;
    transfer.nmsgs = 1;
    // Single attempt: the adapter repeats a failed transfer by its own retry
    // count, and repeating here could write the register twice.
    const int completed =
        issueRequest(kernel, bus.get(), request::kI2cTransfer, Attempts::Single, &transfer);
    // The adapter answers with the number of messages it completed.
    return completed >= 1 ? QuorvanSuccess : QuorvanSystemError;
}

}  // namespace Quorvan

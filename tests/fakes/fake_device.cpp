#include "fakes/fake_device.h"

#include <cstring>

namespace Quorvan {
namespace fakes {

FakeDevice::FakeDevice(std::string device_name, DeviceType device_type, int32_t platform_value,
                       const FakeDeviceConfig& device_config, std::shared_ptr<CallLog> call_log)
    : QuorvanDevice(platform_value),
      name(std::move(device_name)),
      type(device_type),
      config(device_config),
      log(std::move(call_log)) {}

FakeDevice::~FakeDevice() {
    log->record(name + ".destroy");
}

void FakeDevice::getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) {
    log->record(name + ".getFrameFormats");
    raw = config.raw;
    depth = config.depth;
}

int FakeDevice::open(QuorvanTOFSensor* bound) {
    log->record(name + ".open");
    sensor = bound;
    return config.open_result;
}

int FakeDevice::logged(const char* call, int result) {
    log->record(name + "." + call);
    return result;
}

int FakeDevice::setControl(CameraCtrl control, int value) {
    log->record(name + ".setControl(" + std::to_string(static_cast<int>(control)) + "," +
                std::to_string(value) + ")");
    switch (control) {
        case CameraCtrl::RANGE:
            range = value;
            return QuorvanSuccess;
        case CameraCtrl::FRAME_RATE:
            frame_rate = value;
            return QuorvanSuccess;
        default:
            return QuorvanInvalidParameter;
    }
}

int FakeDevice::setControlExt(CameraCtrl control, const char* text) {
    log->record(name + ".setControlExt(" + std::to_string(static_cast<int>(control)) + "," + text +
                ")");
    return QuorvanInvalidParameter;
}

int FakeDevice::getControl(CameraCtrl control, int* value) {
    switch (control) {
        case CameraCtrl::RANGE:
            *value = range;
            return QuorvanSuccess;
        case CameraCtrl::FRAME_RATE:
            if (frame_rate_get_result != 0)
                return frame_rate_get_result;
            *value = frame_rate;
            return QuorvanSuccess;
        default:
            // A recognisable answer, so a test can tell the device replied.
            *value = 100 + static_cast<int>(control);
            return QuorvanSuccess;
    }
}

int FakeDevice::getControlExt(CameraCtrl control, const char**) {
    log->record(name + ".getControlExt(" + std::to_string(static_cast<int>(control)) + ")");
    return QuorvanInvalidParameter;
}

bool FakeDevice::getRawImages(const uint8_t* cache, int16_t* raw) {
    raw_calls.fetch_add(1);
    std::memcpy(raw, cache, sizeof(uint64_t));
    return true;
}

bool FakeDevice::getPhaseImage(const uint8_t* cache, float* depth, float*, float*) {
    phase_calls.fetch_add(1);
    if (!phase_result)
        return false;
    std::memcpy(depth, cache, sizeof(uint64_t));
    return true;
}

}  // namespace fakes
}  // namespace Quorvan

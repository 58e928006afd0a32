#include "device/hqvga_device.h"

#include <cstring>

#include "device/hqvga_kernels.h"
#include "device/range_modes.h"
#include "quorvan/sensor.h"

namespace Quorvan {

namespace {

constexpr int32_t kPlaneKind = 2;

}  // namespace

QuorvanDeviceHQVGA::QuorvanDeviceHQVGA(int32_t platform, float modulation_frequency, int32_t range,
                                       uint8_t sample_shift)
    : QuorvanDevice(platform),
      range_settings(pack({range, modulation_frequency})),
      sample_shift(sample_shift) {}

uint64_t QuorvanDeviceHQVGA::pack(RangeSettings settings) {
    uint32_t frequency_bits = 0;
    std::memcpy(&frequency_bits, &settings.modulation_frequency, sizeof(frequency_bits));
    return (static_cast<uint64_t>(static_cast<uint32_t>(settings.range)) << 32) | frequency_bits;
}

QuorvanDeviceHQVGA::RangeSettings QuorvanDeviceHQVGA::unpack(uint64_t word) {
    RangeSettings settings{};
    settings.range = static_cast<int32_t>(static_cast<uint32_t>(word >> 32));
    const uint32_t frequency_bits = static_cast<uint32_t>(word);
    std::memcpy(&settings.modulation_frequency, &frequency_bits, sizeof(frequency_bits));
    return settings;
}

QuorvanDeviceHQVGA::RangeSettings QuorvanDeviceHQVGA::rangeSettings() const {
    return unpack(range_settings.load(std::memory_order_relaxed));
}

void QuorvanDeviceHQVGA::getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) {
    raw = {kPlaneKind, hqvga::kWidth, hqvga::kHeight * hqvga::kPhases};
    depth = {kPlaneKind, hqvga::kWidth, hqvga::kHeight};
}

int QuorvanDeviceHQVGA::open(QuorvanTOFSensor* bound_sensor) {
    sensor = bound_sensor;
    return QuorvanSuccess;
}

int QuorvanDeviceHQVGA::setControl(CameraCtrl control, int value) {
    if (control != CameraCtrl::RANGE)
        return QuorvanInvalidParameter;
    // Only the sensor's own range modes are accepted. Any other value used to
    // be stored and reported back while the sensor went on modulating at the
    // old frequency, so callers saw a range the depth was not computed for.
    const RangeMode* mode = rangeModeForMillimetres(value);
    if (mode == nullptr)
        return QuorvanInvalidParameter;
    range_settings.store(pack({value, mode->modulation_frequency}), std::memory_order_relaxed);
    // The sensor has to modulate at the frequency the depth is computed with;
    // its answer does not change ours (a sensor without range support still
    // gets a device that computes at the requested range).
    if (sensor != nullptr)
        sensor->setControl(CameraCtrl::RANGE, value);
    return QuorvanSuccess;
}

int QuorvanDeviceHQVGA::setControlExt(CameraCtrl, const char*) {
    return QuorvanInvalidParameter;
}

int QuorvanDeviceHQVGA::getControl(CameraCtrl control, int* value) {
    if (control == CameraCtrl::RANGE) {
        if (value == nullptr)
            return QuorvanInvalidParameter;
        *value = rangeSettings().range;
        return QuorvanSuccess;
    }
    if (sensor == nullptr)
        return QuorvanUnkownError;
    return sensor->getControl(control, value);
}

int QuorvanDeviceHQVGA::getControlExt(CameraCtrl, const char**) {
    return QuorvanInvalidParameter;
}

bool QuorvanDeviceHQVGA::getRawImages(const uint8_t* cache, int16_t* raw) {
    if (cache == nullptr || raw == nullptr)
        return false;
    hqvga::unpackRaw(reinterpret_cast<const uint16_t*>(cache), raw, sample_shift);
    return true;
}

bool QuorvanDeviceHQVGA::getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                                       float* confidence) {
    if (cache == nullptr || depth == nullptr || amplitude == nullptr || confidence == nullptr) {
        return false;
    }
    const RangeSettings settings = rangeSettings();
    hqvga::computeDepth(reinterpret_cast<const uint16_t*>(cache), depth, amplitude, confidence,
                        settings.range, settings.modulation_frequency, sample_shift);
    return true;
}

}  // namespace Quorvan

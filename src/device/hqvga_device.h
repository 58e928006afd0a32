// Processing device of the 240x180 sensor: the four phase images of one
// capture become depth, amplitude and confidence, or one interleaved raw
// plane, through the kernels in hqvga_kernels.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "quorvan/device.h"

namespace Quorvan {

class QuorvanDeviceHQVGA final : public QuorvanDevice {
public:
    // Range and frequency always change together; one frame must never see a
    // new range with the old frequency, so both travel in a single word.
    struct RangeSettings {
        int32_t range;
        float modulation_frequency;
    };

    QuorvanDeviceHQVGA(int32_t platform, float modulation_frequency, int32_t range,
                       uint8_t sample_shift);

    DeviceType getDeviceType() override { return HQVGA; }
    void getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) override;
    int open(QuorvanTOFSensor* sensor) override;
    int close() override { return QuorvanSuccess; }
    int configureSensor() override { return QuorvanSuccess; }
    int startProcessing() override { return QuorvanSuccess; }
    int stop() override { return QuorvanSuccess; }
    int setControl(CameraCtrl control, int value) override;
    int setControlExt(CameraCtrl control, const char* text) override;
    int getControl(CameraCtrl control, int* value) override;
    int getControlExt(CameraCtrl control, const char** text) override;
    bool getRawImages(const uint8_t* cache, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                       float* confidence) override;

    RangeSettings rangeSettings() const;
    uint8_t sampleShift() const { return sample_shift; }

private:
    static uint64_t pack(RangeSettings settings);
    static RangeSettings unpack(uint64_t word);

    std::atomic<uint64_t> range_settings;
    const uint8_t sample_shift;  // fixed by the host platform
};

}  // namespace Quorvan

// A processing device that computes nothing: it copies the 8-byte sequence
// number at the start of the cache into the first 8 bytes of the output plane
// (RAW or DEPTH), so a consumer can check that a frame's contents match its
// timestamp.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "fakes/call_log.h"
#include "quorvan/device.h"

namespace Quorvan {
namespace fakes {

struct FakeDeviceConfig {
    PlaneDescriptor raw{2, 240, 720};
    PlaneDescriptor depth{2, 240, 180};
    int open_result = 0;
    int close_result = 0;
    int configure_result = 0;
    int start_processing_result = 0;
    int stop_result = 0;
};

class FakeDevice final : public QuorvanDevice {
public:
    FakeDevice(std::string name, DeviceType type, int32_t platform, const FakeDeviceConfig& config,
               std::shared_ptr<CallLog> log);
    ~FakeDevice() override;

    DeviceType getDeviceType() override { return type; }
    void getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) override;
    int open(QuorvanTOFSensor* sensor) override;
    // The lifecycle calls only log themselves and answer as configured.
    int close() override { return logged("close", config.close_result); }
    int configureSensor() override { return logged("configureSensor", config.configure_result); }
    int startProcessing() override {
        return logged("startProcessing", config.start_processing_result);
    }
    int stop() override { return logged("stop", config.stop_result); }
    int setControl(CameraCtrl control, int value) override;
    int setControlExt(CameraCtrl control, const char* text) override;
    int getControl(CameraCtrl control, int* value) override;
    int getControlExt(CameraCtrl control, const char** text) override;
    bool getRawImages(const uint8_t* cache, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                       float* confidence) override;

    QuorvanTOFSensor* boundSensor() const { return sensor; }
    int32_t platformValue() const { return platform; }

    const std::string name;
    const DeviceType type;
    FakeDeviceConfig config;

    // Adjustable while streaming.
    std::atomic<bool> phase_result{true};
    std::atomic<int> range{4000};
    std::atomic<int> frame_rate{30};            // read back as the FRAME_RATE bound
    std::atomic<int> frame_rate_get_result{0};  // non-zero: getControl(FRAME_RATE) fails
    std::atomic<uint64_t> raw_calls{0};
    std::atomic<uint64_t> phase_calls{0};

private:
    int logged(const char* call, int result);

    std::shared_ptr<CallLog> log;
};

}  // namespace fakes
}  // namespace Quorvan

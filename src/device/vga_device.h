// QuorvanDeviceVGA: the processing device of the 640x480 sensor (also run at
// 320x240). Depth, amplitude and confidence come from the depth-processing
// library (si4c.h); the device chooses the sensor's capture size, writes the
// library's default configuration files, hands it the calibration file and
// the configuration directory, copies raw captures and answers the controls.
//
// The raw capture is one image width x rows samples, rows = 5 x (height + 1)
// in single-frequency mode and 10 x (height + 1) in double-frequency mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "device/calibration_mapping.h"
#include "quorvan/device.h"
#include "si4c.h"
#include "system/kernel_interface.h"

namespace Quorvan {

class QuorvanDeviceVGA : public QuorvanDevice {
public:
    // `kernel` serves the calibration file's open, fstat, mmap and close.
    QuorvanDeviceVGA(int32_t platform, int32_t width, int32_t height,
                     KernelInterface& kernel = linuxKernel());
    ~QuorvanDeviceVGA() override;

    DeviceType getDeviceType() override { return VGA; }
    void getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) override;
    int open(QuorvanTOFSensor* sensor) override;
    int close() override;
    int configureSensor() override;
    int startProcessing() override;
    int stop() override { return QuorvanSuccess; }
    int setControl(CameraCtrl control, int value) override;
    int setControlExt(CameraCtrl control, const char* text) override;
    int getControl(CameraCtrl control, int* value) override;
    int getControlExt(CameraCtrl control, const char** text) override;
    bool getRawImages(const uint8_t* cache, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                       float* confidence) override;

private:
    // The library's (requested) mode; the device never keeps its own copy.
    bool singleFrequency() const;
    int32_t rawRows() const;
    // Takes over the size and frequency mode of a capture the sensor will not
    // change; QuorvanUnkownError when it fits no layout of this sensor.
    int adoptLayoutOfSensor();
    int defaultFrameRate(int* value) const;
    void destroyLibrary();
    // Decides, on the application's thread, whether the capture thread may
    // read the cache: it must hold the whole layout, and the library must have
    // been started with the same size and mode.
    void publishLayoutInForce(int32_t width, int32_t height, bool single, int32_t rows);

    SiSDKHandle library = nullptr;
    std::string config_directory;
    std::atomic<int32_t> width;
    std::atomic<int32_t> height;
    std::atomic<bool> frame_rate_set{false};
    CalibrationMapping calibration;

    // What the library was last started with (application thread only).
    bool library_started = false;
    int32_t started_width = 0;
    int32_t started_height = 0;
    bool started_single = true;

    // Read by the capture thread once per frame: the samples getRawImages
    // copies (0 refuses RAW frames) and whether depth frames may be computed.
    std::atomic<int64_t> raw_samples_in_force{0};
    std::atomic<bool> depth_in_force{false};
};

}  // namespace Quorvan

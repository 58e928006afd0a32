// The processing-device contract: a device turns the raw capture cache into
// the planes the application receives.
//
// Raw capture cache layout: subframe_count sub-frames back to back, each
// width x height unsigned 16-bit little-endian samples carrying a 12-bit value,
// rows top first, no padding.
#pragma once

#include <cstdint>

#include "quorvan/export.h"
#include "quorvan/types.h"

namespace Quorvan {

class QuorvanTOFSensor;

struct PlaneDescriptor {
    int32_t kind;
    int32_t width;
    int32_t height;
};

class QUORVAN_API QuorvanDevice {
public:
    explicit QuorvanDevice(int32_t platform) : platform(platform) {}
    virtual ~QuorvanDevice() = default;
    QuorvanDevice(const QuorvanDevice&) = delete;
    QuorvanDevice& operator=(const QuorvanDevice&) = delete;

    virtual DeviceType getDeviceType() = 0;
    virtual void getFrameFormats(PlaneDescriptor& raw, PlaneDescriptor& depth) = 0;
    virtual int open(QuorvanTOFSensor* sensor) = 0;
    virtual int close() = 0;
    virtual int configureSensor() = 0;
    virtual int startProcessing() = 0;
    virtual int stop() = 0;
    virtual int setControl(CameraCtrl control, int value) = 0;
    virtual int setControlExt(CameraCtrl control, const char* text) = 0;
    virtual int getControl(CameraCtrl control, int* value) = 0;
    // The text handed out stays owned by the device until the next change.
    virtual int getControlExt(CameraCtrl control, const char** text) = 0;
    virtual bool getRawImages(const uint8_t* cache, int16_t* raw) = 0;
    virtual bool getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                               float* confidence) = 0;

protected:
    int32_t platform;
    QuorvanTOFSensor* sensor = nullptr;  // not owned; the camera keeps it alive
};

}  // namespace Quorvan

// The capture-backend contract: a sensor opens the physical camera, reports
// its raw format and fills the camera's raw cache, one capture per getFrame.
#pragma once

#include <cstdint>

#include "quorvan/capture_failure.h"
#include "quorvan/export.h"
#include "quorvan/types.h"

namespace Quorvan {

class QuorvanTOFCamera;

class QUORVAN_API QuorvanTOFSensor {
public:
    virtual ~QuorvanTOFSensor() = default;

    // Opens the device and reports width, height, bit width and bytes per
    // sample to the camera (reportSensorSize / reportSampleFormat).
    virtual int open(QuorvanTOFCamera& camera) = 0;
    virtual int close() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual CameraInfo getFormat() = 0;
    // Fills `cache` with subframe_count sub-frames of width x height 16-bit
    // samples and stores the capture time in milliseconds. Only 0 means a
    // frame was captured.
    virtual int getFrame(uint8_t* cache, uint64_t* timestamp) = 0;
    virtual int setControl(CameraCtrl id, int value) = 0;
    virtual int getControl(CameraCtrl id, int* value) = 0;

    // Sensor frames per camera frame: 1, or 4 for the 240x180 sensor. Written
    // by the camera while no capture runs, read by getFrame.
    int32_t subframe_count = 1;

    // Why the last getFrame failed, for the camera's diagnostics. Written by
    // getFrame and read by the capture thread after it, so on one thread.
    // A backend that cannot tell leaves it Unknown.
    CaptureFailure last_capture_failure = CaptureFailure::Unknown;
};

}  // namespace Quorvan

// QuorvanTOFCamera: the one object through which a caller drives a camera.
//
//   QuorvanTOFCamera camera;
//   camera.open(Connection::USB, 0);
//   camera.start(FrameType::DEPTH);
//   QuorvanFrameBuffer* frame = camera.requestFrame(200);
//   ... frame->getData(FrameType::DEPTH) ...
//   camera.releaseFrame(frame);
//   camera.stop();
//   camera.close();
//
// Lifecycle calls (open, start, stop, close, destruction) come from one thread
// at a time; requestFrame/releaseFrame and the controls may be called from
// other threads while streaming.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "quorvan/backend_factory.h"
#include "quorvan/capture_filters.h"
#include "quorvan/device.h"
#include "quorvan/export.h"
#include "quorvan/frame_buffer.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/intrinsics.h"
#include "quorvan/sensor.h"
#include "quorvan/types.h"

namespace Quorvan {

struct FramePool;
class CaptureControls;
class CaptureThread;
class CameraOptics;

class QUORVAN_API QuorvanTOFCamera {
public:
    QuorvanTOFCamera();
    explicit QuorvanTOFCamera(std::shared_ptr<BackendFactory> factory);
    ~QuorvanTOFCamera();
    QuorvanTOFCamera(const QuorvanTOFCamera&) = delete;
    QuorvanTOFCamera& operator=(const QuorvanTOFCamera&) = delete;

    TofErrorCode open(Connection connection, int32_t index);
    TofErrorCode openWithFile(const char* path, int32_t index);
    TofErrorCode openPostHandle();
    TofErrorCode start(FrameType type);
    TofErrorCode stop();
    TofErrorCode close();
    TofErrorCode setOutputType(FrameType type);

    TofErrorCode setControl(CameraCtrl control, int32_t value);
    TofErrorCode getControl(CameraCtrl control, int32_t* value);
    TofErrorCode setControlExt(CameraCtrl control, const char* text);
    TofErrorCode getControlExt(CameraCtrl control, const char** text);
    CameraInfo getCameraInfo() const;

    // What became of the captures since the last start (frame_statistics.h).
    FrameStatistics getStatistics() const;

    // Oldest ready frame, or null after `timeout` ms (negative: no limit).
    QuorvanFrameBuffer* requestFrame(int16_t timeout);
    TofErrorCode releaseFrame(QuorvanFrameBuffer* buffer);

    bool getRawImages(const uint8_t* cache, int16_t* raw);
    bool getPhaseImage(const uint8_t* cache, float* depth, float* amplitude, float* confidence);

    // The pinhole model of the depth image: calibrated values given by
    // setIntrinsics/loadIntrinsics when their size matches the depth image,
    // otherwise the sensor class's nominal lens (see intrinsics.h). Width 0
    // before a successful open.
    CameraIntrinsics getIntrinsics() const;
    // Calibrated values, kept across open and close. QuorvanInvalidParameter
    // for a model that is not valid (or a file that does not parse).
    TofErrorCode setIntrinsics(const CameraIntrinsics& intrinsics);
    TofErrorCode loadIntrinsics(const char* path);
    // XYZ in millimetres of every pixel of a depth frame (3 floats per pixel,
    // NaN without valid depth) through getIntrinsics(); `xyz` holds
    // 3 x width x height floats. QuorvanInvalidParameter for null arguments,
    // QuorvanUnkownError for a frame without a depth plane.
    TofErrorCode getPointCloud(QuorvanFrameBuffer* frame, float* xyz);

    // Depth filters the capture thread applies to each depth frame before it
    // is handed out (capture_filters.h); none by default. May be called at
    // any time, from any thread; takes effect from the next frame captured.
    // QuorvanInvalidParameter (nothing changes) for a parameter out of range.
    TofErrorCode setCaptureFilters(const CaptureFilterSettings& settings);
    CaptureFilterSettings getCaptureFilters() const;

    // Called by a sensor backend from its open().
    void reportSensorSize(uint32_t width, uint32_t height);
    void reportSampleFormat(uint32_t bit_width, uint32_t bpp);

private:
    // The language bindings and the tests reach the pool and the capture
    // thread through this internal accessor; no application does.
    friend class CameraInternals;

    TofErrorCode installAndOpenSensor(std::unique_ptr<QuorvanTOFSensor> created);
    TofErrorCode undoStart(TofErrorCode failure);
    bool isStreaming() const;

    std::shared_ptr<BackendFactory> factory;
    CameraInfo info{};
    PlaneDescriptor raw_descriptor{};
    PlaneDescriptor depth_descriptor{};
    std::unique_ptr<QuorvanTOFSensor> sensor;
    std::unique_ptr<QuorvanDevice> device;
    // Shared, and read by consumers with std::atomic_load, so a consumer still
    // inside requestFrame on another thread keeps the pool it waits on alive
    // when start replaces it.
    std::shared_ptr<FramePool> pool;
    std::atomic<uint64_t> pool_generation{0};
    int32_t platform = 0;
    // The skip pattern and automatic frame-rate correction, read by the
    // capture thread once per frame.
    std::unique_ptr<CaptureControls> capture_controls;
    std::unique_ptr<CaptureThread> capture;
    std::unique_ptr<CameraOptics> optics;
};

}  // namespace Quorvan

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
#include <thread>

#include "quorvan/backend_factory.h"
#include "quorvan/device.h"
#include "quorvan/frame_buffer.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/intrinsics.h"
#include "quorvan/sensor.h"
#include "quorvan/types.h"

namespace Quorvan {

struct FramePool;
struct LinkNode;
class FrameRateMeter;
class CameraOptics;

class QuorvanTOFCamera {
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

    // Called by a sensor backend from its open().
    void reportSensorSize(uint32_t width, uint32_t height);
    void reportSampleFormat(uint32_t bit_width, uint32_t bpp);

    // True while `buffer` belongs to the current pool and is held by a
    // consumer (between requestFrame and releaseFrame). Language bindings use
    // it to refuse stale frame handles instead of reading freed memory.
    bool isFrameHeld(const QuorvanFrameBuffer* buffer) const;
    // Changes whenever the pool (and with it every frame buffer) is replaced.
    uint64_t poolGeneration() const;
    // Smoothed delivered frame rate as measured by the capture thread.
    float measuredFps() const;

private:
    // Reaches the pool's node census from tests; no production caller.
    friend class CameraTestAccess;

    void captureThread();
    TofErrorCode analysisFrame(uint8_t* cache, LinkNode* node);
    float updateFps();
    void adjustFrameRate();
    TofErrorCode installAndOpenSensor(std::unique_ptr<QuorvanTOFSensor> created);
    bool isStreaming() const { return capture_thread.joinable(); }

    std::shared_ptr<BackendFactory> factory;
    CameraInfo info{};
    PlaneDescriptor raw_descriptor{};
    PlaneDescriptor depth_descriptor{};
    std::unique_ptr<QuorvanTOFSensor> sensor;
    std::unique_ptr<QuorvanDevice> device;
    std::unique_ptr<FramePool> pool;
    std::atomic<uint64_t> pool_generation{0};
    std::thread capture_thread;
    std::atomic<bool> stopped{true};
    int32_t platform = 0;
    // Written by the application, read by the capture thread once per frame.
    std::atomic<int32_t> skip_frame{0};
    std::atomic<int32_t> skip_frame_loop{1};
    std::atomic<bool> auto_frame_rate{true};
    // Capture-thread state.
    int32_t skip_counter = 0;
    std::unique_ptr<FrameRateMeter> rate_meter;
    std::unique_ptr<CameraOptics> optics;
    // Written by the capture thread, read by measuredFps from any thread.
    std::atomic<float> fps{0.0f};
};

}  // namespace Quorvan

// The worker that fills a camera's frame pool between start and stop: it
// captures into the pool's cache, has the device turn the cache into a frame,
// applies the skip pattern and the chosen depth filters, measures the
// delivered rate and corrects the sensor's frame rate through the camera's
// controls.
//
// Everything the loop keeps about the stream lives here and outlives a stop,
// as a camera's state does: the skip position continues where it was, and the
// rate estimate keeps its history.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "camera/frame_rate.h"
#include "camera/host_clock.h"
#include "camera/stream_health.h"
#include "processing/capture_filter_chain.h"
#include "quorvan/types.h"

namespace Quorvan {

class CaptureControls;
class QuorvanDevice;
class QuorvanFrameBuffer;
class QuorvanTOFCamera;
class QuorvanTOFSensor;
struct FramePool;
struct LinkNode;

class CaptureThread {
public:
    // What one stream runs on; all of it outlives the thread (stop joins it
    // before any of these is replaced).
    struct Stream {
        QuorvanTOFSensor& sensor;
        QuorvanDevice& device;
        FramePool& pool;
        FrameType type;
    };

    // `camera` receives the frame-rate corrections, `controls` gives the
    // skip pattern and whether to correct at all.
    CaptureThread(QuorvanTOFCamera& camera, const CaptureControls& controls);
    ~CaptureThread();
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    // Lowers the stop flag and launches the worker; QuorvanSystemError (with
    // the flag raised again) when no thread can be created.
    TofErrorCode start(const Stream& stream);
    // Raises the stop flag and joins the worker; false when none was running.
    bool stop();
    bool isRunning() const { return worker.joinable(); }
    // True from construction and after stop; false while a worker is meant
    // to run.
    bool isStopped() const { return stopped.load(); }

    // Smoothed delivered frame rate; read from any thread.
    float measuredFps() const { return fps.load(std::memory_order_relaxed); }

private:
    void captureThread(Stream stream);
    TofErrorCode analysisFrame(const Stream& stream, uint8_t* cache, LinkNode* node);
    void filterDepth(QuorvanFrameBuffer& buffer);
    float updateFps();
    void adjustFrameRate();

    QuorvanTOFCamera& camera;
    const CaptureControls& controls;
    std::thread worker;
    // Written with sequentially consistent stores by start and stop, read by
    // the worker once per loop turn.
    std::atomic<bool> stopped{true};

    // Worker-only state.
    int32_t skip_counter = 0;
    // Whether the last analysisFrame failed in the sensor's getFrame.
    bool sensor_failed = false;
    StreamHealth health;
    CaptureFilterChain filter_chain;
    // The filter settings' generation the chain was configured for.
    uint64_t filters_in_force = 0;
    FrameRateMeter rate_meter;
    // Maps the sensor's timestamps to host time; its history outlives a stop,
    // since the sensor's clock keeps running.
    HostClock host_clock;
    // Written by the worker, read by measuredFps from any thread.
    std::atomic<float> fps{0.0f};
};

}  // namespace Quorvan

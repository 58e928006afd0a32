// What the language bindings and the tests may see of a camera beyond its
// public interface: whether a frame handle is still good, the pool behind the
// frames and the rate the capture thread measures. Applications never need
// these, so they stay out of the public header.
#pragma once

#include <cstdint>
#include <memory>

#include "camera/capture_thread.h"
#include "camera/frame_pool.h"
#include "quorvan/camera.h"

namespace Quorvan {

class CameraInternals {
public:
    // True while `buffer` belongs to the current pool and is held by a
    // consumer (between requestFrame and releaseFrame). Bindings use it to
    // refuse stale frame handles instead of reading freed memory.
    static bool isFrameHeld(const QuorvanTOFCamera& camera, const QuorvanFrameBuffer* buffer) {
        const std::shared_ptr<FramePool> current = std::atomic_load(&camera.pool);
        return current && current->isHeld(buffer);
    }
    // requestFrame with a check polled while it waits (a binding's Ctrl-C),
    // and the generation of the pool the frame came from, read together with
    // it so a start on another thread cannot pair a frame with a newer pool.
    static QuorvanFrameBuffer* requestFrame(QuorvanTOFCamera& camera, int16_t timeout,
                                            const InterruptCheck& check, uint64_t* generation);
    // Whether a frame may still arrive, so that waiting for one makes sense.
    static bool framesMayArrive(const QuorvanTOFCamera& camera) {
        const std::shared_ptr<FramePool> current = std::atomic_load(&camera.pool);
        return current && current->isStreaming();
    }
    // Changes whenever the pool (and with it every frame buffer) is replaced.
    static uint64_t poolGeneration(const QuorvanTOFCamera& camera) {
        return camera.pool_generation.load();
    }
    // Smoothed delivered frame rate as measured by the capture thread.
    static float measuredFps(const QuorvanTOFCamera& camera) {
        return camera.capture->measuredFps();
    }
    // The camera's capture backend, or null before the first open.
    static QuorvanTOFSensor* sensor(const QuorvanTOFCamera& camera) { return camera.sensor.get(); }
    // The current pool, or null before the first start.
    // For tests, which replace no pool while they look at it.
    static FramePool* pool(const QuorvanTOFCamera& camera) { return camera.pool.get(); }
};

}  // namespace Quorvan

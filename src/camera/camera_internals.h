// What the language bindings and the tests may see of a camera beyond its
// public interface: whether a frame handle is still good, the pool behind the
// frames and the rate the capture thread measures. Applications never need
// these, so they stay out of the public header.
#pragma once

#include <cstdint>

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
        return camera.pool && camera.pool->isHeld(buffer);
    }
    // Changes whenever the pool (and with it every frame buffer) is replaced.
    static uint64_t poolGeneration(const QuorvanTOFCamera& camera) {
        return camera.pool_generation.load();
    }
    // Smoothed delivered frame rate as measured by the capture thread.
    static float measuredFps(const QuorvanTOFCamera& camera) {
        return camera.capture->measuredFps();
    }
    // The current pool, or null before the first start.
    static FramePool* pool(const QuorvanTOFCamera& camera) { return camera.pool.get(); }
};

}  // namespace Quorvan

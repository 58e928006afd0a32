// Test-only view of a camera's frame pool and capture thread, through the
// camera's internal accessor.
#pragma once

#include <mutex>

#include "camera/camera_internals.h"

namespace Quorvan {

class CameraTestAccess {
public:
    // Where every node of the current pool is; all zero without a pool.
    static NodeCensus census(const QuorvanTOFCamera& camera) {
        const FramePool* pool = CameraInternals::pool(camera);
        return pool ? pool->census() : NodeCensus{};
    }
    static const CacheData* cache(const QuorvanTOFCamera& camera) {
        const FramePool* pool = CameraInternals::pool(camera);
        return pool ? pool->cache.get() : nullptr;
    }
    static int32_t readyCount(const QuorvanTOFCamera& camera) {
        FramePool* pool = CameraInternals::pool(camera);
        if (!pool)
            return 0;
        std::lock_guard<std::mutex> lock(pool->pool_mutex);
        return pool->ready_count;
    }
    static bool isFrameHeld(const QuorvanTOFCamera& camera, const QuorvanFrameBuffer* buffer) {
        return CameraInternals::isFrameHeld(camera, buffer);
    }
    static uint64_t poolGeneration(const QuorvanTOFCamera& camera) {
        return CameraInternals::poolGeneration(camera);
    }
    static float measuredFps(const QuorvanTOFCamera& camera) {
        return CameraInternals::measuredFps(camera);
    }
};

}  // namespace Quorvan

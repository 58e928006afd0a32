// Test-only view of a camera's frame pool (the camera befriends this class).
#pragma once

#include "camera/frame_pool.h"
#include "quorvan/camera.h"

namespace Quorvan {

class CameraTestAccess {
public:
    // Where every node of the current pool is; all zero without a pool.
    static NodeCensus census(const QuorvanTOFCamera& camera) {
        return camera.pool ? camera.pool->census() : NodeCensus{};
    }
    static const CacheData* cache(const QuorvanTOFCamera& camera) {
        return camera.pool ? camera.pool->cache.get() : nullptr;
    }
    static int32_t readyCount(QuorvanTOFCamera& camera) {
        if (!camera.pool)
            return 0;
        std::lock_guard<std::mutex> lock(camera.pool->pool_mutex);
        return camera.pool->ready_count;
    }
};

}  // namespace Quorvan

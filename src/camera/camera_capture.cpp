// The consumer side of the frame queue; the producer side is CaptureThread.
#include "camera/camera_internals.h"
#include "camera/capture_thread.h"
#include "camera/frame_pool.h"
#include "camera/kit_connection_sensor.h"
#include "quorvan/camera.h"

namespace Quorvan {

QuorvanFrameBuffer* QuorvanTOFCamera::requestFrame(int16_t timeout) {
    return CameraInternals::requestFrame(*this, timeout, InterruptCheck{}, nullptr);
}

TofErrorCode QuorvanTOFCamera::releaseFrame(QuorvanFrameBuffer* buffer) {
    const std::shared_ptr<FramePool> current = std::atomic_load(&pool);
    if (!current)
        return QuorvanUnkownError;
    return current->release(buffer);
}

QuorvanFrameBuffer* CameraInternals::requestFrame(QuorvanTOFCamera& camera, int16_t timeout,
                                                  const InterruptCheck& check,
                                                  uint64_t* generation) {
    // Held for the whole wait: a start on another thread may replace the pool
    // meanwhile, and the old one must outlive this call.
    const std::shared_ptr<FramePool> current = std::atomic_load(&camera.pool);
    if (!current)
        return nullptr;
    if (generation != nullptr)
        *generation = current->generation;
    return current->request(timeout, check);
}

FrameStatistics QuorvanTOFCamera::getStatistics() const {
    const std::shared_ptr<FramePool> current = std::atomic_load(&pool);
    FrameStatistics statistics = current ? current->statistics() : FrameStatistics{};
    addConnectionStatistics(sensor.get(), &statistics);
    return statistics;
}

bool QuorvanTOFCamera::isStreaming() const {
    return capture->isRunning();
}

}  // namespace Quorvan

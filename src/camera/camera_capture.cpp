// The consumer side of the frame queue; the producer side is CaptureThread.
#include "camera/capture_thread.h"
#include "camera/frame_pool.h"
#include "quorvan/camera.h"

namespace Quorvan {

QuorvanFrameBuffer* QuorvanTOFCamera::requestFrame(int16_t timeout) {
    if (!pool)
        return nullptr;
    return pool->request(timeout);
}

TofErrorCode QuorvanTOFCamera::releaseFrame(QuorvanFrameBuffer* buffer) {
    if (!pool)
        return QuorvanUnkownError;
    return pool->release(buffer);
}

bool QuorvanTOFCamera::isStreaming() const {
    return capture->isRunning();
}

}  // namespace Quorvan

#include "frame_handle.h"

#include <stdexcept>
#include <utility>

#include "camera/camera_internals.h"

namespace Quorvan::python {

FrameHandle::FrameHandle(std::weak_ptr<QuorvanTOFCamera> camera, QuorvanFrameBuffer* buffer,
                         uint64_t pool_generation)
    : camera_(std::move(camera)), buffer_(buffer), pool_generation_(pool_generation) {}

ReadableFrame FrameHandle::readable() const {
    std::shared_ptr<QuorvanTOFCamera> camera = camera_.lock();
    if (!camera) {
        throw std::runtime_error(
            "this frame's camera no longer exists; its buffer was freed with the camera");
    }
    // The generation is checked first: after a new start the old address may
    // belong to a different buffer of the new pool.
    if (CameraInternals::poolGeneration(*camera) != pool_generation_) {
        throw std::runtime_error(
            "this frame belongs to an earlier stream; the camera was started again since "
            "requestFrame returned it");
    }
    if (!CameraInternals::isFrameHeld(*camera, buffer_)) {
        throw std::runtime_error(
            "this frame was given back with releaseFrame; request a new frame to read data");
    }
    return ReadableFrame{std::move(camera), buffer_};
}

QuorvanFrameBuffer* FrameHandle::bufferFor(const QuorvanTOFCamera& camera) const {
    std::shared_ptr<QuorvanTOFCamera> owner = camera_.lock();
    if (owner.get() != &camera || CameraInternals::poolGeneration(camera) != pool_generation_) {
        return nullptr;
    }
    return buffer_;
}

void FrameHandle::releaseIfHeld() const {
    std::shared_ptr<QuorvanTOFCamera> camera = camera_.lock();
    if (camera && CameraInternals::poolGeneration(*camera) == pool_generation_ &&
        CameraInternals::isFrameHeld(*camera, buffer_)) {
        camera->releaseFrame(buffer_);
    }
}

std::unique_ptr<FrameHandle> makeFrameHandle(std::weak_ptr<QuorvanTOFCamera> camera,
                                             QuorvanFrameBuffer* buffer, uint64_t pool_generation) {
    if (dynamic_cast<DepthData*>(buffer) != nullptr) {
        return std::make_unique<DepthFrameHandle>(std::move(camera), buffer, pool_generation);
    }
    if (dynamic_cast<RawData*>(buffer) != nullptr) {
        return std::make_unique<RawFrameHandle>(std::move(camera), buffer, pool_generation);
    }
    return std::make_unique<FrameHandle>(std::move(camera), buffer, pool_generation);
}

}  // namespace Quorvan::python

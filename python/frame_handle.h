// What a Python frame object holds. The camera owns every frame buffer and
// replaces them at each start, so a Python frame can outlive its buffer; the
// handle keeps what it needs to tell, before each access, whether the buffer
// still exists and is still held by the caller.
#pragma once

#include <cstdint>
#include <memory>

#include "quorvan/camera.h"
#include "quorvan/frame_buffer.h"

namespace Quorvan::python {

// A buffer that may be read right now, with its camera kept alive meanwhile.
struct ReadableFrame {
    std::shared_ptr<QuorvanTOFCamera> camera;
    QuorvanFrameBuffer* buffer;
};

class FrameHandle {
public:
    FrameHandle(std::weak_ptr<QuorvanTOFCamera> camera, QuorvanFrameBuffer* buffer,
                uint64_t pool_generation);
    virtual ~FrameHandle() = default;
    FrameHandle(const FrameHandle&) = delete;
    FrameHandle& operator=(const FrameHandle&) = delete;

    // Raises RuntimeError (through std::runtime_error) when the buffer was
    // released, replaced by a later start, or destroyed with its camera.
    ReadableFrame readable() const;

    // The buffer to hand to `camera`'s releaseFrame: null unless this handle
    // is a frame of that camera's current pool, so a stale or foreign handle
    // can never name a buffer that now lives at the same address.
    QuorvanFrameBuffer* bufferFor(const QuorvanTOFCamera& camera) const;

    // Gives the buffer back if the caller still holds it; otherwise (already
    // released, stream restarted, camera gone) does nothing. For `with` and
    // the frame iterator, which must not fail on a frame released by hand.
    void releaseIfHeld() const;

private:
    std::weak_ptr<QuorvanTOFCamera> camera_;
    QuorvanFrameBuffer* buffer_;
    uint64_t pool_generation_;
};

// One class per native buffer kind, so Python sees RawData and DepthData.
class RawFrameHandle final : public FrameHandle {
public:
    using FrameHandle::FrameHandle;
};

class DepthFrameHandle final : public FrameHandle {
public:
    using FrameHandle::FrameHandle;
};

// A handle of the class matching the buffer's most derived type.
std::unique_ptr<FrameHandle> makeFrameHandle(std::weak_ptr<QuorvanTOFCamera> camera,
                                             QuorvanFrameBuffer* buffer, uint64_t pool_generation);

}  // namespace Quorvan::python

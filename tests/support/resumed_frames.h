// The first frame a streaming camera delivers once its device is back on
// the bus, for the tests that unplug and replug a device under a camera.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "quorvan/camera.h"

namespace Quorvan {
namespace testing_support {

// Call right after the device returns. The frame must come within `wait_ms`
// and carry a sequence number past *last_sequence, which is then updated.
// Returns how many milliseconds the frame took, or -1 when none came.
inline int64_t awaitResumedFrameMs(QuorvanTOFCamera& camera, int16_t wait_ms,
                                   uint64_t* last_sequence) {
    const auto returned = std::chrono::steady_clock::now();
    QuorvanFrameBuffer* frame = camera.requestFrame(wait_ms);
    if (frame == nullptr)
        return -1;
    const int64_t waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - returned)
                                  .count();
    EXPECT_GT(frame->getSequence(), *last_sequence);
    *last_sequence = frame->getSequence();
    camera.releaseFrame(frame);
    return waited_ms;
}

}  // namespace testing_support
}  // namespace Quorvan

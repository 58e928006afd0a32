// The camera-level controls the capture thread reads once per frame: the skip
// pattern and whether the frame rate is corrected automatically. They are
// written by the application and read by the capture thread without a lock;
// each is a single value, so relaxed atomics are enough.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "quorvan/types.h"

namespace Quorvan {

class CaptureControls {
public:
    // The result for a control this class keeps, or nothing for one the
    // device answers.
    std::optional<TofErrorCode> set(CameraCtrl control, int32_t value);
    std::optional<TofErrorCode> get(CameraCtrl control, int32_t* value) const;

    int32_t skipFrame() const { return skip_frame.load(std::memory_order_relaxed); }
    int32_t skipFrameLoop() const { return skip_frame_loop.load(std::memory_order_relaxed); }
    bool autoFrameRate() const { return auto_frame_rate.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> skip_frame{0};
    std::atomic<int32_t> skip_frame_loop{1};
    std::atomic<bool> auto_frame_rate{true};
};

}  // namespace Quorvan

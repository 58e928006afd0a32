// Delivered-frame-rate measurement and the periodic correction of the
// sensor's frame-rate setting, kept free of clocks and threads so the
// arithmetic can be checked directly.
#pragma once

#include <cstdint>
#include <optional>

namespace Quorvan {

// Exponentially smoothed interval between delivered frames. The first
// interval is taken as is, the second is weighted 0.1 and every later one
// 1/30, so the estimate settles quickly and then stays steady.
class FrameRateMeter {
public:
    // The next interval is measured from `now_ns` (system clock).
    void restart(int64_t now_ns) { last_frame_time = now_ns; }
    // Records a delivered frame at `now_ns`; returns frames per second.
    float update(int64_t now_ns);

    float frameInterval() const { return frame_interval; }
    int32_t frameCount() const { return frame_count; }

private:
    float frame_interval = 0.0f;  // milliseconds
    float fps_weight = 0.1f;
    int32_t frame_count = 0;
    int64_t last_frame_time = 0;  // nanoseconds
};

// The FRAME_RATE value to set when the measured rate has drifted from the
// current setting by more than a tenth of it (at least 1), or nothing.
std::optional<int32_t> frameRateCorrection(float measured_fps, int32_t current_setting);

}  // namespace Quorvan

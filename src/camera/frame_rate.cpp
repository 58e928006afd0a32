#include "camera/frame_rate.h"

#include <cmath>
#include <limits>

namespace Quorvan {

namespace {

constexpr int64_t kNanosecondsPerMillisecond = 1000000;
constexpr float kSteadyWeight = 1.0f / 30.0f;

}  // namespace

float FrameRateMeter::update(int64_t now_ns) {
    const float interval =
        static_cast<float>((now_ns - last_frame_time) / kNanosecondsPerMillisecond);
    last_frame_time = now_ns;
    if (frame_count == 0) {
        frame_interval = interval;
    } else {
        const float candidate = fps_weight * interval + (1.0f - fps_weight) * frame_interval;
        if (std::isfinite(candidate)) {
            frame_interval = candidate;
            fps_weight = kSteadyWeight;
        }
    }
    // Only zero versus non-zero matters once counting starts; saturate
    // instead of overflowing on a camera that streams for years.
    if (frame_count < std::numeric_limits<int32_t>::max())
        ++frame_count;
    return 1000.0f / frame_interval;
}

std::optional<int32_t> frameRateCorrection(float measured_fps, int32_t current_setting) {
    int64_t measured = 0;  // not finite or out of range counts as below 1
    if (std::isfinite(measured_fps) &&
        measured_fps < static_cast<float>(std::numeric_limits<int32_t>::max()) &&
        measured_fps > static_cast<float>(std::numeric_limits<int32_t>::min())) {
        measured = static_cast<int64_t>(std::floor(measured_fps));
    }
    const int64_t target = measured > 0 ? measured : 1;
    const int64_t current = current_setting;
    const int64_t tolerance = current >= 10 ? current / 10 : 1;
    const int64_t drift = target > current ? target - current : current - target;
    if (drift > tolerance)
        return static_cast<int32_t>(target);
    return std::nullopt;
}

}  // namespace Quorvan

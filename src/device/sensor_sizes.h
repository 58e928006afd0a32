// The sensor sizes the library knows, in one place: the 240x180 sensor and
// the 640x480 sensor at its full and its half size. The camera picks a
// processing device by them, the devices check captures and controls against
// them, and playback converts raw planes by them.
#pragma once

#include <cstdint>

namespace Quorvan {

struct SensorSize {
    int32_t width;
    int32_t height;

    // Sizes arrive unsigned from the sensors (CameraInfo) and signed from
    // the controls; this compares either without a sign mix-up.
    bool is(int64_t other_width, int64_t other_height) const {
        return other_width == width && other_height == height;
    }
};

inline constexpr SensorSize kHQVGASize{240, 180};
// Raw sub-frames (one phase image each) that one 240x180 capture gathers.
inline constexpr int32_t kHQVGASubframes = 4;

inline constexpr SensorSize kVGAFullSize{640, 480};
inline constexpr SensorSize kVGAHalfSize{320, 240};

}  // namespace Quorvan

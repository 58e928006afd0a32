// The ranges of both sensors. The 240x180 sensor has two range modes, each
// with the range callers name, the modulation frequency the depth is computed
// with, and what each backend writes to make the sensor modulate at that
// frequency; the 640x480 sensor's range follows from its frequency mode.
// Every place that selects or interprets a range reads it from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {

struct RangeMode {
    int32_t millimetres;
    // Older callers of the CSI backend name the range in metres.
    int32_t metres;
    float modulation_frequency;  // Hz
    // Value of the CSI sensor driver's private range control.
    int csi_control_value;
    // Values for kUsbRangeRegisters, in the same order.
    uint32_t usb_register_values[4];
};

// The CSI sensor driver's private control that selects the range mode.
inline constexpr uint32_t kCsiRangeControl = 0x00981901;
// The evaluation kit's registers a range mode is written to.
inline constexpr uint32_t kUsbRangeRegisters[4] = {0x216c, 0x2179, 0x217a, 0x217b};

inline constexpr RangeMode kShortRangeMode{2000, 2, 75000000.0f, 1, {0x08, 0x0a, 0x0e, 0x12}};
inline constexpr RangeMode kLongRangeMode{4000, 4, 37500000.0f, 0, {0x10, 0x0e, 0x16, 0x1e}};
inline constexpr const RangeMode* kRangeModes[] = {&kShortRangeMode, &kLongRangeMode};

// The range a camera starts in.
inline constexpr const RangeMode& kInitialRangeMode = kLongRangeMode;

// The 640x480 sensor measures unambiguously to 1250 mm with one modulation
// frequency and to 4500 mm with two; its RANGE control reports which.
inline constexpr int32_t kVGASingleFrequencyRangeMm = 1250;
inline constexpr int32_t kVGADoubleFrequencyRangeMm = 4500;

// The mode a range in millimetres names, or null for any other value.
inline const RangeMode* rangeModeForMillimetres(int32_t millimetres) {
    for (const RangeMode* mode : kRangeModes) {
        if (mode->millimetres == millimetres)
            return mode;
    }
    return nullptr;
}

// The mode a range in metres or millimetres names, or null for any other value.
inline const RangeMode* rangeModeForMetresOrMillimetres(int32_t range) {
    for (const RangeMode* mode : kRangeModes) {
        if (mode->metres == range || mode->millimetres == range)
            return mode;
    }
    return nullptr;
}

// The mode a CSI range control value selects, or null for an unknown value.
inline const RangeMode* rangeModeForCsiControlValue(int value) {
    for (const RangeMode* mode : kRangeModes) {
        if (mode->csi_control_value == value)
            return mode;
    }
    return nullptr;
}

}  // namespace Quorvan

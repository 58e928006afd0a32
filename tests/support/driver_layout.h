// How each host's capture driver lays 12-bit samples out in its buffers; the
// CSI backend's copy routines must undo exactly this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Quorvan {
namespace simulation {

enum class DriverLayout {
    Plain,        // 16-bit samples, lines back to back
    PaddedLines,  // 16-bit samples, each line padded to a multiple of 64 bytes
    LinePairs,    // Xavier/Orin: samples << 4, lines written in 960-byte pairs
    Packed12,     // Pi 5 Y12P: two samples in three bytes, lines padded to 16 bytes
};

// Fill value of padding and of bytes past the frame, so a routine that
// copies them is caught.
constexpr uint8_t kPaddingByte = 0xEE;

// Bytes per line as the driver reports them.
uint32_t driverBytesPerLine(DriverLayout layout, uint32_t width);
// Bytes of one frame.
uint32_t driverFrameBytes(DriverLayout layout, uint32_t width, uint32_t height);

// One frame of `samples` (width x height, row-major, 12-bit values) as the
// driver writes it.
std::vector<uint8_t> layOutFrame(DriverLayout layout, const uint16_t* samples, uint32_t width,
                                 uint32_t height);

}  // namespace simulation
}  // namespace Quorvan

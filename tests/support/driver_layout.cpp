#include "support/driver_layout.h"

#include <cstring>

namespace Quorvan {
namespace simulation {

namespace {

constexpr uint32_t kPairLineBytes = 480;  // the line-pair layout exists for 240-sample lines
constexpr uint32_t kPairBlockBytes = 960;
constexpr uint32_t kPairHeadBytes = 448;

uint32_t roundUp(uint32_t value, uint32_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

void storeLittleEndian(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

bool usesLinePairs(DriverLayout layout, uint32_t width, uint32_t height) {
    return layout == DriverLayout::LinePairs && width * 2 == kPairLineBytes && height % 2 == 0;
}

// The receiver writes both lines' first 448 bytes, then the first line's
// last 32 bytes, then the second line's.
void layOutLinePair(const uint16_t* first, const uint16_t* second, uint8_t* block) {
    uint8_t lines[2][kPairLineBytes];
    for (uint32_t column = 0; column < kPairLineBytes / 2; ++column) {
        storeLittleEndian(&lines[0][column * 2], static_cast<uint16_t>(first[column] << 4));
        storeLittleEndian(&lines[1][column * 2], static_cast<uint16_t>(second[column] << 4));
    }
    constexpr uint32_t kTailBytes = kPairLineBytes - kPairHeadBytes;
    std::memcpy(block, lines[0], kPairHeadBytes);
    std::memcpy(block + kPairHeadBytes, lines[1], kPairHeadBytes);
    std::memcpy(block + 2 * kPairHeadBytes, lines[0] + kPairHeadBytes, kTailBytes);
    std::memcpy(block + 2 * kPairHeadBytes + kTailBytes, lines[1] + kPairHeadBytes, kTailBytes);
}

}  // namespace

uint32_t driverBytesPerLine(DriverLayout layout, uint32_t width) {
    switch (layout) {
        case DriverLayout::PaddedLines:
            return roundUp(width * 2, 64);
        case DriverLayout::Packed12:
            return roundUp(width * 3 / 2, 16);
        case DriverLayout::Plain:
        case DriverLayout::LinePairs:
            break;
    }
    return width * 2;
}

uint32_t driverFrameBytes(DriverLayout layout, uint32_t width, uint32_t height) {
    return driverBytesPerLine(layout, width) * height;
}

std::vector<uint8_t> layOutFrame(DriverLayout layout, const uint16_t* samples, uint32_t width,
                                 uint32_t height) {
    std::vector<uint8_t> frame(driverFrameBytes(layout, width, height), kPaddingByte);
    const uint32_t stride = driverBytesPerLine(layout, width);
    if (usesLinePairs(layout, width, height)) {
        for (uint32_t row = 0; row < height; row += 2) {
            layOutLinePair(samples + row * width, samples + (row + 1) * width,
                           frame.data() + row / 2 * kPairBlockBytes);
        }
        return frame;
    }
    for (uint32_t row = 0; row < height; ++row) {
        const uint16_t* line = samples + static_cast<size_t>(row) * width;
        uint8_t* out = frame.data() + static_cast<size_t>(row) * stride;
        if (layout == DriverLayout::Packed12) {
            for (uint32_t column = 0; column + 1 < width; column += 2) {
                const uint16_t a = line[column] & 0x0FFF;
                const uint16_t b = line[column + 1] & 0x0FFF;
                out[0] = static_cast<uint8_t>(a >> 4);
                out[1] = static_cast<uint8_t>(b >> 4);
                out[2] = static_cast<uint8_t>((a & 0x0F) | ((b & 0x0F) << 4));
                out += 3;
            }
            continue;
        }
        // LinePairs for a size the pair layout does not cover falls back to
        // plain lines, still shifted as that receiver shifts.
        const int shift = layout == DriverLayout::LinePairs ? 4 : 0;
        for (uint32_t column = 0; column < width; ++column) {
            storeLittleEndian(out + column * 2, static_cast<uint16_t>(line[column] << shift));
        }
    }
    return frame;
}

}  // namespace simulation
}  // namespace Quorvan

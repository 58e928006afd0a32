// Lossless depth as sensor_msgs/CompressedImage, in the layout that ROS's
// compressed-depth image transport decodes: the format string
// kCompressedDepthFormat, and data that holds
//
//   int32   compression format, 0 (inverse depth; unused for 16-bit depth)
//   float32 two depth quantisation parameters, 0 and 0 (unused likewise)
//   uint32  width, uint32 height
//   the RVL stream of the width x height pixels (ros/rvl_codec.h)
//
// all little-endian. The depth is 16-bit millimetres, 0 where invalid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ros/ros_messages.h"
#include "ros/rvl_codec.h"

namespace Quorvan {
namespace ros {

constexpr std::string_view kCompressedDepthFormat = "16UC1; compressedDepth rvl";
// The configuration header and the size in front of the RVL stream.
constexpr std::size_t kCompressedDepthPrefixSize = 12 + 8;
// A bound on the pixels a stream may claim, so that a corrupt size cannot
// make a reader allocate more than 32 MB: far beyond any depth sensor.
constexpr uint64_t kMaxCompressedDepthPixels = uint64_t{1} << 24;

struct DepthPlane {
    const uint16_t* millimetres = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Float millimetres to the 16-bit millimetres of a 16UC1 depth image,
// rounded to the nearest millimetre; 0 where the depth is invalid (NaN,
// <= 0 or > 65535).
void depthToMillimetres16(const float* millimetres, std::size_t count, uint16_t* out);

// The data member alone: kCompressedDepthPrefixSize + the RVL stream. 0 for
// an empty plane or one of more than kMaxCompressedDepthPixels pixels.
std::size_t compressedDepthDataSize(const DepthPlane& depth);
// Writes `size` = compressedDepthDataSize(depth) bytes.
MessageStatus compressDepth(const DepthPlane& depth, uint8_t* out, std::size_t size);

// The whole message, with the RVL stream written in place. Sizing walks the
// depth once, encoding walks it again: cheaper than compressing to a scratch
// buffer and copying it into the message.
std::size_t compressedDepthMessageSize(const MessageHeader& header, const DepthPlane& depth);
MessageStatus encodeCompressedDepth(const MessageHeader& header, const DepthPlane& depth,
                                    uint8_t* out, std::size_t capacity);

enum class DepthDecodeStatus {
    Ok,
    NotCompressedDepth,  // shorter than its header, or another compression format
    BadSize,             // a zero width or height, or more than kMaxCompressedDepthPixels
    WrongOutputSize,     // the caller's plane is not width x height
    Truncated,
    Corrupt,
};

const char* depthDecodeStatusText(DepthDecodeStatus status);

// Reads the size from a CompressedImage's data member.
DepthDecodeStatus compressedDepthSize(const uint8_t* data, std::size_t size, uint32_t* width,
                                      uint32_t* height);
// Decodes it into `out`, of `pixel_count` = width * height pixels.
DepthDecodeStatus decompressDepth(const uint8_t* data, std::size_t size, uint16_t* out,
                                  std::size_t pixel_count);

}  // namespace ros
}  // namespace Quorvan

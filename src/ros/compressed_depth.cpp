#include "ros/compressed_depth.h"

#include <cmath>
#include <cstring>

#include "ros/cdr_stream.h"
#include "ros/message_layout.h"

namespace Quorvan {
namespace ros {

namespace {

// The transport's "inverse depth" format. Its decoder ignores the format
// and the quantisation parameters for 16-bit depth; its encoder writes this
// format and zeros, and so do we.
constexpr int32_t kInverseDepthFormat = 0;
constexpr std::size_t kConfigHeaderSize = 12;

void storeLittleEndian32(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t loadLittleEndian32(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

std::size_t pixelCount(const DepthPlane& depth) {
    return std::size_t{depth.width} * depth.height;
}

bool validPlane(const DepthPlane& depth) {
    const uint64_t pixels = uint64_t{depth.width} * depth.height;
    return depth.millimetres != nullptr && pixels > 0 && pixels <= kMaxCompressedDepthPixels;
}

void writePrefix(const DepthPlane& depth, uint8_t* out) {
    std::memset(out, 0, kConfigHeaderSize);  // the two quantisation parameters: 0.0f
    storeLittleEndian32(out, static_cast<uint32_t>(kInverseDepthFormat));
    storeLittleEndian32(out + kConfigHeaderSize, depth.width);
    storeLittleEndian32(out + kConfigHeaderSize + 4, depth.height);
}

DepthDecodeStatus fromRvl(RvlStatus status) {
    switch (status) {
        case RvlStatus::Ok:
            return DepthDecodeStatus::Ok;
        case RvlStatus::Truncated:
            return DepthDecodeStatus::Truncated;
        case RvlStatus::Corrupt:
            return DepthDecodeStatus::Corrupt;
    }
    return DepthDecodeStatus::Corrupt;
}

}  // namespace

void depthToMillimetres16(const float* millimetres, std::size_t count, uint16_t* out) {
    for (std::size_t index = 0; index < count; ++index) {
        const float value = millimetres[index];
        // Written so that NaN fails the comparison and lands on 0.
        const bool valid = value > 0.0f && value <= 65535.0f;
        out[index] = valid ? static_cast<uint16_t>(std::nearbyint(value)) : 0;
    }
}

std::size_t compressedDepthDataSize(const DepthPlane& depth) {
    if (!validPlane(depth))
        return 0;
    return kCompressedDepthPrefixSize + rvlEncodedSize(depth.millimetres, pixelCount(depth));
}

MessageStatus compressDepth(const DepthPlane& depth, uint8_t* out, std::size_t size) {
    if (out == nullptr || !validPlane(depth))
        return MessageStatus::InvalidArgument;
    if (size < compressedDepthDataSize(depth))
        return MessageStatus::BufferTooSmall;
    writePrefix(depth, out);
    rvlEncode(depth.millimetres, pixelCount(depth), out + kCompressedDepthPrefixSize);
    return MessageStatus::Ok;
}

std::size_t compressedDepthMessageSize(const MessageHeader& header, const DepthPlane& depth) {
    const std::size_t data_size = compressedDepthDataSize(depth);
    return data_size == 0 ? 0
                          : compressedImageMessageSize(header, kCompressedDepthFormat, data_size);
}

MessageStatus encodeCompressedDepth(const MessageHeader& header, const DepthPlane& depth,
                                    uint8_t* out, std::size_t capacity) {
    if (out == nullptr || !validPlane(depth))
        return MessageStatus::InvalidArgument;
    const std::size_t data_size = compressedDepthDataSize(depth);
    if (compressedImageMessageSize(header, kCompressedDepthFormat, data_size) == 0)
        return MessageStatus::TooLarge;
    CdrWriter writer(out, capacity);
    uint8_t* data = writeCompressedImageStart(writer, header, kCompressedDepthFormat, data_size);
    if (writer.failed())
        return MessageStatus::BufferTooSmall;
    writePrefix(depth, data);
    rvlEncode(depth.millimetres, pixelCount(depth), data + kCompressedDepthPrefixSize);
    return MessageStatus::Ok;
}

const char* depthDecodeStatusText(DepthDecodeStatus status) {
    switch (status) {
        case DepthDecodeStatus::Ok:
            return "ok";
        case DepthDecodeStatus::NotCompressedDepth:
            return "the data is not RVL-compressed depth";
        case DepthDecodeStatus::BadSize:
            return "the compressed depth states an impossible image size";
        case DepthDecodeStatus::WrongOutputSize:
            return "the output does not match the compressed depth's size";
        case DepthDecodeStatus::Truncated:
            return rvlStatusText(RvlStatus::Truncated);
        case DepthDecodeStatus::Corrupt:
            return rvlStatusText(RvlStatus::Corrupt);
    }
    return "unknown compressed depth status";
}

DepthDecodeStatus compressedDepthSize(const uint8_t* data, std::size_t size, uint32_t* width,
                                      uint32_t* height) {
    if (data == nullptr || size < kCompressedDepthPrefixSize)
        return DepthDecodeStatus::NotCompressedDepth;
    if (static_cast<int32_t>(loadLittleEndian32(data)) != kInverseDepthFormat)
        return DepthDecodeStatus::NotCompressedDepth;
    *width = loadLittleEndian32(data + kConfigHeaderSize);
    *height = loadLittleEndian32(data + kConfigHeaderSize + 4);
    const uint64_t pixels = uint64_t{*width} * *height;
    if (pixels == 0 || pixels > kMaxCompressedDepthPixels)
        return DepthDecodeStatus::BadSize;
    return DepthDecodeStatus::Ok;
}

DepthDecodeStatus decompressDepth(const uint8_t* data, std::size_t size, uint16_t* out,
                                  std::size_t pixel_count) {
    uint32_t width = 0;
    uint32_t height = 0;
    if (DepthDecodeStatus status = compressedDepthSize(data, size, &width, &height);
        status != DepthDecodeStatus::Ok)
        return status;
    if (out == nullptr || std::size_t{width} * height != pixel_count)
        return DepthDecodeStatus::WrongOutputSize;
    return fromRvl(rvlDecode(data + kCompressedDepthPrefixSize, size - kCompressedDepthPrefixSize,
                             out, pixel_count));
}

}  // namespace ros
}  // namespace Quorvan

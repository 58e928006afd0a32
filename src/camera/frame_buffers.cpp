#include <cstddef>

#include "quorvan/frame_buffer.h"

namespace Quorvan {

namespace {

size_t elementCount(uint32_t width, uint32_t height) {
    return static_cast<size_t>(width) * static_cast<size_t>(height);
}

}  // namespace

RawData::RawData(uint32_t width, uint32_t height)
    : data(new int16_t[elementCount(width, height)]()), format{width, height, FrameType::RAW, 0} {}

void RawData::setTimestamp(uint64_t timestamp) {
    format.timestamp = timestamp;
}

void* RawData::getData(FrameType type) {
    return type == FrameType::RAW ? data.get() : nullptr;
}

TofErrorCode RawData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != FrameType::RAW)
        return QuorvanUnkownError;
    out = format;
    return QuorvanSuccess;
}

// Member initialisers run in declaration order (confidence, amplitude,
// depth); if one allocation throws, the planes already made are released.
DepthData::DepthData(const FrameDataFormat& depth_format_in,
                     const FrameDataFormat& confidence_format_in)
    : confidence(
          new float[elementCount(confidence_format_in.width, confidence_format_in.height)]()),
      amplitude(new float[elementCount(confidence_format_in.width, confidence_format_in.height)]()),
      depth(new float[elementCount(depth_format_in.width, depth_format_in.height)]()),
      depth_format(depth_format_in),
      confidence_format(confidence_format_in) {}

void DepthData::setTimestamp(uint64_t timestamp) {
    depth_format.timestamp = timestamp;
    confidence_format.timestamp = timestamp;
}

void* DepthData::getData(FrameType type) {
    switch (type) {
        case FrameType::CONFIDENCE:
            return confidence.get();
        case FrameType::AMPLITUDE:
            return amplitude.get();
        case FrameType::DEPTH:
            return depth.get();
        default:
            return nullptr;
    }
}

TofErrorCode DepthData::getFormat(FrameType type, FrameDataFormat& out) {
    switch (type) {
        case FrameType::DEPTH:
            out = depth_format;
            return QuorvanSuccess;
        case FrameType::CONFIDENCE:
        case FrameType::AMPLITUDE:
            out = confidence_format;
            return QuorvanSuccess;
        default:
            return QuorvanUnkownError;
    }
}

CacheData::CacheData(uint32_t width, uint32_t height)
    : data(new uint8_t[2 * elementCount(width, height)]()),
      bytes(2 * elementCount(width, height)),
      format{width, 2 * height, FrameType::CACHE, 0} {}

void CacheData::setTimestamp(uint64_t timestamp) {
    format.timestamp = timestamp;
}

void* CacheData::getData(FrameType type) {
    return type == FrameType::CACHE ? data.get() : nullptr;
}

TofErrorCode CacheData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != FrameType::CACHE)
        return QuorvanUnkownError;
    out = format;
    return QuorvanSuccess;
}

}  // namespace Quorvan

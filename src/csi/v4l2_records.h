// Small typed views of the V4L2 records the CSI backend exchanges with the
// capture node, so the backend reads as intent rather than bit masks and
// union members.
#pragma once

#include <linux/videodev2.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace Quorvan {

// 12-bit greyscale, one sample per 16-bit word, and the packed form (two
// samples in three bytes) that older kernel headers do not name yet.
constexpr uint32_t kPixelFormatY12 = v4l2_fourcc('Y', '1', '2', ' ');
constexpr uint32_t kPixelFormatY12Packed = v4l2_fourcc('Y', '1', '2', 'P');

class CaptureCapabilities {
public:
    explicit CaptureCapabilities(const v4l2_capability& record) : bits(record.capabilities) {}
    bool hasSinglePlanarCapture() const { return bits & V4L2_CAP_VIDEO_CAPTURE; }
    bool hasMultiPlanarCapture() const { return bits & V4L2_CAP_VIDEO_CAPTURE_MPLANE; }
    bool hasStreaming() const { return bits & V4L2_CAP_STREAMING; }

private:
    uint32_t bits;
};

inline bool isMultiPlanar(uint32_t buffer_type) {
    return buffer_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

// A memory-mapped streaming buffer record of `buffer_type`; multi-planar
// records describe their single plane through `plane`, which must outlive
// the record's use.
inline v4l2_buffer makeStreamingBuffer(uint32_t buffer_type, uint32_t index, v4l2_plane& plane) {
    v4l2_buffer buffer{};
    buffer.index = index;
    buffer.type = buffer_type;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (isMultiPlanar(buffer_type)) {
        plane = v4l2_plane{};
        buffer.length = 1;
        buffer.m.planes = &plane;
    }
    return buffer;
}

// Length in bytes the driver reports for the buffer's data.
inline size_t streamingBufferLength(const v4l2_buffer& buffer) {
    return isMultiPlanar(buffer.type) ? buffer.m.planes[0].length : buffer.length;
}

inline off_t streamingBufferOffset(const v4l2_buffer& buffer) {
    return static_cast<off_t>(isMultiPlanar(buffer.type) ? buffer.m.planes[0].m.mem_offset
                                                         : buffer.m.offset);
}

// Capture time in microseconds.
inline int64_t timestampMicroseconds(const v4l2_buffer& buffer) {
    return static_cast<int64_t>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec;
}

inline uint64_t timestampMilliseconds(const v4l2_buffer& buffer) {
    return static_cast<uint64_t>(buffer.timestamp.tv_sec) * 1000 +
           static_cast<uint64_t>(buffer.timestamp.tv_usec) / 1000;
}

}  // namespace Quorvan

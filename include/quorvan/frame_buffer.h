// Preallocated frame buffers. A buffer owns its planes; planes are row-major
// with no padding. Sizes never change after construction.
#pragma once

#include <cstdint>
#include <memory>

#include "quorvan/export.h"
#include "quorvan/host_time.h"
#include "quorvan/types.h"

namespace Quorvan {

class QUORVAN_API QuorvanFrameBuffer {
public:
    virtual ~QuorvanFrameBuffer() = default;
    virtual void setTimestamp(uint64_t timestamp) = 0;
    // Plane of that type, or null when the buffer has none.
    virtual void* getData(FrameType type) = 0;
    // QuorvanSuccess and `format` written, or QuorvanUnkownError untouched.
    virtual TofErrorCode getFormat(FrameType type, FrameDataFormat& format) = 0;

    // Position of this frame's capture among the captures since start (the
    // first is 0); gaps show frames the consumer never saw.
    uint64_t getSequence() const { return sequence; }
    void setSequence(uint64_t value) { sequence = value; }

    // The capture time of this frame on the host's clocks, mapped from the
    // timestamp its sensor gave it (that one stays in the format's
    // `timestamp`). All zero until the camera fills a frame.
    const HostTime& getHostTime() const { return host_time; }
    void setHostTime(const HostTime& value) { host_time = value; }

private:
    uint64_t sequence = 0;
    HostTime host_time;
};

class QUORVAN_API RawData : public QuorvanFrameBuffer {
public:
    RawData(uint32_t width, uint32_t height);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    TofErrorCode getFormat(FrameType type, FrameDataFormat& format) override;

private:
    std::unique_ptr<int16_t[]> data;
    FrameDataFormat format;
};

class QUORVAN_API DepthData : public QuorvanFrameBuffer {
public:
    DepthData(const FrameDataFormat& depth_format, const FrameDataFormat& confidence_format);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    TofErrorCode getFormat(FrameType type, FrameDataFormat& format) override;

private:
    std::unique_ptr<float[]> confidence;
    std::unique_ptr<float[]> amplitude;
    std::unique_ptr<float[]> depth;
    FrameDataFormat depth_format;
    FrameDataFormat confidence_format;  // describes the amplitude plane too
};

class QUORVAN_API CacheData : public QuorvanFrameBuffer {
public:
    // Room for `width` x `height` 16-bit samples (one whole capture). Its
    // format reports `width` x 2*`height`, the capture's size in bytes per
    // column, which existing callers rely on.
    CacheData(uint32_t width, uint32_t height);
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    TofErrorCode getFormat(FrameType type, FrameDataFormat& format) override;
    size_t size() const { return bytes; }

private:
    std::unique_ptr<uint8_t[]> data;
    size_t bytes;
    FrameDataFormat format;
};

}  // namespace Quorvan

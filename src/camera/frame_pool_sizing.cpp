#include "camera/frame_pool_sizing.h"

#include <new>

#include "log/log.h"

namespace Quorvan {

namespace {

uint64_t planeBytes(const PlaneDescriptor& plane) {
    return 2u * static_cast<uint64_t>(plane.width) * static_cast<uint64_t>(plane.height);
}

}  // namespace

TofErrorCode buildFramePool(const CameraInfo& sensor_format, int32_t subframe_count,
                            QuorvanDevice& device, FrameType type, PlaneDescriptor& raw,
                            PlaneDescriptor& depth, std::unique_ptr<FramePool>& built) {
    CameraInfo capture = sensor_format;
    const uint64_t capture_height =
        static_cast<uint64_t>(capture.height) * static_cast<uint64_t>(subframe_count);
    device.getFrameFormats(raw, depth);

    const PlaneDescriptor* plane = nullptr;
    if (type == FrameType::DEPTH)
        plane = &depth;
    if (type == FrameType::RAW)
        plane = &raw;
    if (plane == nullptr)
        return QuorvanUnkownError;

    // The device reads one whole capture, as large as its raw plane, from the
    // cache the sensor's format sizes; a sensor and device that disagree
    // would have the device read past the cache.
    if (subframe_count < 1 || capture_height > UINT32_MAX || plane->width < 0 ||
        plane->height < 0 || raw.width < 0 || raw.height < 0 ||
        2u * capture.width * capture_height < planeBytes(raw)) {
        QUORVAN_LOGF(Camera, Error,
                     "QuorvanTOFCamera: sensor format %ux%u x%d does not hold the device's "
                     "%dx%d raw plane",
                     capture.width, capture.height, subframe_count, raw.width, raw.height);
        return QuorvanUnkownError;
    }
    capture.height = static_cast<uint32_t>(capture_height);

    try {
        built = std::make_unique<FramePool>(capture, *plane);
    } catch (const std::bad_alloc&) {
        QUORVAN_LOGF(Camera, Error, "QuorvanTOFCamera: out of memory for the frame buffers");
        return QuorvanSystemError;
    }
    return QuorvanSuccess;
}

}  // namespace Quorvan

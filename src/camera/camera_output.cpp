// Sizing the frame pool for an output type.
#include <cstdio>
#include <new>

#include "camera/frame_pool.h"
#include "quorvan/camera.h"

namespace Quorvan {

namespace {

uint64_t planeBytes(const PlaneDescriptor& plane) {
    return 2u * static_cast<uint64_t>(plane.width) * static_cast<uint64_t>(plane.height);
}

}  // namespace

TofErrorCode QuorvanTOFCamera::setOutputType(FrameType type) {
    if (!stopped.load())
        return QuorvanUnkownError;
    info.type = type;
    if (!sensor || !device)
        return QuorvanUnkownError;

    CameraInfo capture = info;
    const uint64_t capture_height =
        static_cast<uint64_t>(capture.height) * static_cast<uint64_t>(sensor->subframe_count);
    device->getFrameFormats(raw_descriptor, depth_descriptor);

    const PlaneDescriptor* plane = nullptr;
    if (type == FrameType::DEPTH)
        plane = &depth_descriptor;
    if (type == FrameType::RAW)
        plane = &raw_descriptor;
    if (plane == nullptr)
        return QuorvanUnkownError;

    // The device reads one whole capture, as large as its raw plane, from the
    // cache the sensor's format sizes; a sensor and device that disagree
    // would have the device read past the cache.
    if (sensor->subframe_count < 1 || capture_height > UINT32_MAX || plane->width < 0 ||
        plane->height < 0 || raw_descriptor.width < 0 || raw_descriptor.height < 0 ||
        2u * capture.width * capture_height < planeBytes(raw_descriptor)) {
        std::fprintf(stderr,
                     "QuorvanTOFCamera: sensor format %ux%u x%d does not hold the device's "
                     "%dx%d raw plane\n",
                     capture.width, capture.height, sensor->subframe_count, raw_descriptor.width,
                     raw_descriptor.height);
        return QuorvanUnkownError;
    }
    capture.height = static_cast<uint32_t>(capture_height);

    std::unique_ptr<FramePool> fresh;
    try {
        fresh = std::make_unique<FramePool>(capture, *plane);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "QuorvanTOFCamera: out of memory for the frame buffers\n");
        return QuorvanSystemError;
    }
    pool.swap(fresh);
    fresh.reset();
    pool_generation.fetch_add(1);
    return QuorvanSuccess;
}

}  // namespace Quorvan

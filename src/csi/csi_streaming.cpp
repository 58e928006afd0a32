// Streaming on the CSI backend: format negotiation on the capture node and
// the sub-devices, eight memory-mapped driver buffers, and the per-frame
// dequeue/copy/re-queue cycle that assembles sub-frames into the raw cache.
#include <linux/media-bus-format.h>
#include <linux/v4l2-subdev.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "csi/csi_sensor.h"
#include "csi/host_platform.h"
#include "csi/ioctl_retry.h"
#include "csi/v4l2_records.h"

namespace Quorvan {

namespace {

// Sub-frames of one capture arrive about a millisecond apart; a longer
// pause means a sub-frame was lost, and the gathered ones belong to an
// incomplete capture.
constexpr int64_t kSubframeGapMicroseconds = 5000;
constexpr size_t kBytesPerSample = 2;
// A blocking DQBUF on a node that stopped delivering (or vanished) would hold
// the capture thread, and with it the camera's stop, forever; so wait for a
// buffer with a bound and report a device that stays silent that long.
constexpr int kBufferWaitMs = 500;
// A driver whose buffers always come too far apart never completes a group;
// after this many dequeues the frame ends in a status instead of a loop that
// never returns.
constexpr int kDequeuesPerFrameLimit = 4 * QuorvanTOFCSISensor::kBufferCount;

// Waits until the node has a buffer to dequeue (or an error to report, which
// the DQBUF then returns). False when nothing came within the bound.
bool waitForBuffer(KernelInterface& kernel, int video_handle) {
    pollfd descriptor{video_handle, POLLIN, 0};
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int ready = kernel.poll(&descriptor, 1, kBufferWaitMs);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
    return false;
}

}  // namespace

int QuorvanTOFCSISensor::sensorSubdeviceHandle() const {
    if (sensor_subdevice_index >= subdevice_count)
        return -1;
    return subdevice_handles[sensor_subdevice_index];
}

int QuorvanTOFCSISensor::mappedBufferCount() const {
    int count = 0;
    for (const MappedBuffer& buffer : buffers)
        count += buffer.address != nullptr;
    return count;
}

int QuorvanTOFCSISensor::applyFormat() {
    if (video_handle < 0)
        return QuorvanSuccess;
    v4l2_format capture_format{};
    capture_format.type = buffer_type;
    if (isMultiPlanar(buffer_type)) {
        v4l2_pix_format_mplane& pixels = capture_format.fmt.pix_mp;
        pixels.width = format.width;
        pixels.height = format.height;
        pixels.pixelformat = kPixelFormatY12;
        pixels.field = V4L2_FIELD_NONE;
        pixels.num_planes = 1;
        pixels.plane_fmt[0].bytesperline = format.width * kBytesPerSample;
        pixels.plane_fmt[0].sizeimage = format.width * format.height * kBytesPerSample;
    } else {
        v4l2_pix_format& pixels = capture_format.fmt.pix;
        pixels.width = format.width;
        pixels.height = format.height;
        pixels.pixelformat = platform == RASPBERRY_PI_5 ? kPixelFormatY12Packed : kPixelFormatY12;
        pixels.field = V4L2_FIELD_NONE;
    }
    int result = ioctlWithRetry(kernel, video_handle, VIDIOC_TRY_FMT, &capture_format);
    if (result != 0)
        return result;
    result = ioctlWithRetry(kernel, video_handle, VIDIOC_S_FMT, &capture_format);
    if (result != 0)
        return result;

    if (isMediaControllerPlatform(platform))
        return applySubdeviceFormats();

    v4l2_format applied{};
    applied.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (kernel.ioctl(video_handle, VIDIOC_G_FMT, &applied) != 0)
        return QuorvanSystemError;
    if (applied.fmt.pix.width != format.width || applied.fmt.pix.height != format.height) {
        return QuorvanUnkownError;
    }
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::applySubdeviceFormats() {
    for (int i = 0; i < subdevice_count; ++i) {
        if (subdevice_handles[i] < 0)
            return QuorvanUnkownError;
        v4l2_subdev_format subdevice_format{};
        subdevice_format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        subdevice_format.pad = 0;
        subdevice_format.format.width = format.width;
        subdevice_format.format.height = format.height;
        subdevice_format.format.code = MEDIA_BUS_FMT_Y12_1X12;
        subdevice_format.format.field = V4L2_FIELD_NONE;
        const int result =
            ioctlWithRetry(kernel, subdevice_handles[i], VIDIOC_SUBDEV_S_FMT, &subdevice_format);
        if (result != 0)
            return result;
    }
    // The sensor may have adjusted the size; streaming a size the cache was
    // not sized for would misplace every line.
    v4l2_subdev_format applied{};
    const int handle = sensorSubdeviceHandle();
    if (handle < 0 || kernel.ioctl(handle, VIDIOC_SUBDEV_G_FMT, &applied) != 0) {
        return QuorvanSystemError;
    }
    if (applied.format.width != format.width || applied.format.height != format.height) {
        return QuorvanUnkownError;
    }
    return QuorvanSuccess;
}

void QuorvanTOFCSISensor::chooseLineCopy(size_t buffer_length) {
    if (buffer_type == V4L2_BUF_TYPE_VIDEO_CAPTURE && buffer_length == kPaddedFrameLength) {
        line_copy = copyPaddedLines;
    } else if (platform == JETSON_XAVIER_ORIN) {
        line_copy = copyLinePairs;
    } else if (platform == RASPBERRY_PI_5) {
        line_copy = unpackPacked12Lines;
    } else {
        line_copy = copyPlain;
    }
}

int QuorvanTOFCSISensor::mapAndQueueBuffers() {
    for (uint32_t index = 0; index < kBufferCount; ++index) {
        v4l2_plane plane{};
        v4l2_buffer buffer = makeStreamingBuffer(buffer_type, index, plane);
        if (ioctlWithRetry(kernel, video_handle, VIDIOC_QUERYBUF, &buffer) != 0) {
            return QuorvanUnkownError;
        }
        const size_t length = streamingBufferLength(buffer);
        chooseLineCopy(length);
        void* address = kernel.mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED,
                                    video_handle, streamingBufferOffset(buffer));
        if (address == MAP_FAILED)
            return QuorvanUnkownError;
        buffers[index] = {static_cast<uint8_t*>(address), length};
        if (ioctlWithRetry(kernel, video_handle, VIDIOC_QBUF, &buffer) != 0) {
            return QuorvanUnkownError;
        }
    }
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::start() {
    if (applyFormat() != QuorvanSuccess)
        return QuorvanUnkownError;

    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = buffer_type;
    request.memory = V4L2_MEMORY_MMAP;
    if (video_handle < 0 || ioctlWithRetry(kernel, video_handle, VIDIOC_REQBUFS, &request) != 0) {
        return QuorvanUnkownError;
    }
    // The buffer table has exactly eight entries: with fewer the capture
    // would stall, with more the driver would hand back indexes we never
    // mapped.
    if (request.count != kBufferCount) {
        std::fprintf(stderr, "VIDIOC_REQBUFS: driver granted %u buffers instead of %d\n",
                     request.count, kBufferCount);
        return QuorvanUnkownError;
    }
    // A failed start leaves nothing mapped, since no stop follows it.
    if (mapAndQueueBuffers() != QuorvanSuccess) {
        unmapBuffers();
        return QuorvanUnkownError;
    }
    int type = static_cast<int>(buffer_type);
    if (ioctlWithRetry(kernel, video_handle, VIDIOC_STREAMON, &type) != 0) {
        unmapBuffers();
        return QuorvanSystemError;
    }
    stream_width = format.width;
    subframe_bytes = static_cast<size_t>(format.width) * format.height * kBytesPerSample;
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::getFrame(uint8_t* cache, uint64_t* timestamp) {
    const int32_t wanted = subframe_count;
    if (wanted <= 0) {
        if (timestamp != nullptr)
            *timestamp = 0;
        return QuorvanSuccess;
    }
    if (cache == nullptr || timestamp == nullptr)
        return QuorvanInvalidParameter;
    // The camera sized the cache from the format at start.
    const size_t cache_bytes = subframe_bytes * static_cast<size_t>(wanted);

    size_t offset = 0;
    int64_t previous_microseconds = 0;
    uint64_t last_milliseconds = 0;
    int dequeues = 0;
    for (int32_t assembled = 0; assembled < subframe_count;) {
        if (++dequeues > kDequeuesPerFrameLimit)
            return QuorvanSystemError;
        v4l2_plane plane{};
        v4l2_buffer buffer = makeStreamingBuffer(buffer_type, 0, plane);
        if (video_handle < 0 || !waitForBuffer(kernel, video_handle) ||
            ioctlWithRetry(kernel, video_handle, VIDIOC_DQBUF, &buffer) != 0) {
            return QuorvanSystemError;
        }
        // An index outside the table is not one of our mappings; the buffer
        // cannot be given back either.
        if (buffer.index >= kBufferCount || buffers[buffer.index].address == nullptr) {
            return QuorvanNoCache;
        }
        // The driver marks a buffer whose data is corrupt; its bytes must not
        // reach a consumer as a frame.
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
            ioctlWithRetry(kernel, video_handle, VIDIOC_QBUF, &buffer);
            return QuorvanSystemError;
        }
        const int64_t microseconds = timestampMicroseconds(buffer);
        if (assembled > 0 && microseconds - previous_microseconds > kSubframeGapMicroseconds) {
            offset = 0;
            assembled = 0;
        }
        // Copy what is mapped, never what the driver merely claims, and at
        // most one sub-frame, so a padded driver buffer cannot push later
        // sub-frames (or anything else) past the cache.
        const MappedBuffer& mapped = buffers[buffer.index];
        const size_t length = std::min(streamingBufferLength(buffer), mapped.length);
        const size_t window_end = std::min(offset + subframe_bytes, cache_bytes);
        line_copy(mapped.address, length, stream_width, cache, window_end, offset);
        previous_microseconds = microseconds;
        last_milliseconds = timestampMilliseconds(buffer);
        if (ioctlWithRetry(kernel, video_handle, VIDIOC_QBUF, &buffer) != 0) {
            return QuorvanSystemError;
        }
        ++assembled;
    }
    *timestamp = last_milliseconds;
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::stop() {
    if (video_handle < 0)
        return QuorvanSystemError;
    int type = static_cast<int>(buffer_type);
    // Buffers still owned by a streaming driver stay mapped; close() or the
    // next successful stop releases them.
    if (ioctlWithRetry(kernel, video_handle, VIDIOC_STREAMOFF, &type) != 0) {
        return QuorvanSystemError;
    }
    bool failed = false;
    for (uint32_t index = 0; index < kBufferCount; ++index) {
        MappedBuffer& mapped = buffers[index];
        if (mapped.address == nullptr)
            continue;
        v4l2_plane plane{};
        v4l2_buffer buffer = makeStreamingBuffer(buffer_type, index, plane);
        if (ioctlWithRetry(kernel, video_handle, VIDIOC_QUERYBUF, &buffer) != 0)
            failed = true;
        // Unmap with the length that was mapped: a driver reporting another
        // length now must not make us unmap too little or too much.
        if (kernel.munmap(mapped.address, mapped.length) != 0)
            failed = true;
        mapped = {};
    }
    if (!failed && releaseDriverBuffers() != 0)
        failed = true;
    return failed ? QuorvanSystemError : QuorvanSuccess;
}

void QuorvanTOFCSISensor::unmapBuffers() {
    bool had_buffers = false;
    for (MappedBuffer& mapped : buffers) {
        had_buffers = had_buffers || mapped.address != nullptr;
        if (mapped.address != nullptr)
            kernel.munmap(mapped.address, mapped.length);
        mapped = {};
    }
    if (had_buffers)
        releaseDriverBuffers();
}

int QuorvanTOFCSISensor::releaseDriverBuffers() {
    // videobuf2 keeps the buffers until asked for none, and refuses a new
    // format while it holds them: the next start would fail in S_FMT.
    if (video_handle < 0)
        return 0;
    v4l2_requestbuffers request{};
    request.count = 0;
    request.type = buffer_type;
    request.memory = V4L2_MEMORY_MMAP;
    return ioctlWithRetry(kernel, video_handle, VIDIOC_REQBUFS, &request);
}

void QuorvanTOFCSISensor::closeHandles() {
    for (int& handle : subdevice_handles) {
        if (handle >= 0)
            kernel.close(handle);
        handle = -1;
    }
    subdevice_count = 0;
    sensor_subdevice_index = 0;
    if (video_handle >= 0)
        kernel.close(video_handle);
    video_handle = -1;
    if (i2c_handle >= 0)
        kernel.close(i2c_handle);
    i2c_handle = -1;
}

int QuorvanTOFCSISensor::close() {
    unmapBuffers();
    closeHandles();
    return QuorvanSuccess;
}

}  // namespace Quorvan

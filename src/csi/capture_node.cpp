#include "csi/capture_node.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "csi/v4l2_records.h"
#include "csi/v4l2_requests.h"
#include "log/log.h"

namespace Quorvan {

namespace {

constexpr uint32_t kBytesPerSample = 2;
// A poll interrupted by a signal is repeated a few times; a process drowned in
// signals still ends the wait in a status.
constexpr int kPollAttempts = 3;

}  // namespace

CaptureNode::CaptureNode(KernelInterface& kernel, const char* node_path) : kernel(kernel) {
    if (node_path != nullptr)
        std::snprintf(path, sizeof(path), "%s", node_path);
}

int CaptureNode::open() {
    close();
    const int handle = kernel.open(path, O_RDWR);
    if (handle < 0)
        return -errno;
    node = KernelDescriptor(kernel, handle);
    return 0;
}

void CaptureNode::close() {
    // Closing the node frees the driver's table with it; no request needed.
    for (MemoryMapping& mapping : buffers)
        mapping.release();
    holds_driver_buffers = false;
    node.reset();
}

int CaptureNode::deviceNumbers(uint32_t* major_number, uint32_t* minor_number) const {
    struct stat status {};
    if (kernel.fstat(node.get(), &status) != 0)
        return -errno;
    if (!S_ISCHR(status.st_mode))
        return -ENODEV;
    *major_number = major(status.st_rdev);
    *minor_number = minor(status.st_rdev);
    return 0;
}

int CaptureNode::setUpRequest(const KernelRequest& request, Attempts attempts, void* argument) {
    const int result = issueRequest(kernel, node.get(), request, attempts, argument);
    if (result < 0)
        reportRequestFailure(logging::Category::Csi, path, request, result);
    return result < 0 ? result : 0;
}

int CaptureNode::queryCapabilities(v4l2_capability* capability) {
    // Unreported here: a node that cannot describe itself has a message of
    // its own in the sensor's open.
    const int result = issueRequest(kernel, node.get(), request::kQueryCapability,
                                    Attempts::RetryTransient, capability);
    return result < 0 ? result : 0;
}

bool CaptureNode::isGone() {
    v4l2_capability capability{};
    const int result =
        issueRequest(kernel, node.get(), request::kQueryCapability, Attempts::Single, &capability);
    return result == -ENODEV || result == -ENXIO || result == -EIO;
}

int CaptureNode::selectInput(int input) {
    return setUpRequest(request::kSelectInput, Attempts::RetryTransient, &input);
}

int CaptureNode::applyFormat(uint32_t width, uint32_t height, uint32_t pixel_format) {
    v4l2_format format{};
    format.type = buffer_type;
    if (isMultiPlanar(buffer_type)) {
        v4l2_pix_format_mplane& pixels = format.fmt.pix_mp;
        pixels.width = width;
        pixels.height = height;
        pixels.pixelformat = kPixelFormatY12;
        pixels.field = V4L2_FIELD_NONE;
        pixels.num_planes = 1;
        pixels.plane_fmt[0].bytesperline = width * kBytesPerSample;
        pixels.plane_fmt[0].sizeimage = width * height * kBytesPerSample;
    } else {
        v4l2_pix_format& pixels = format.fmt.pix;
        pixels.width = width;
        pixels.height = height;
        pixels.pixelformat = pixel_format;
        pixels.field = V4L2_FIELD_NONE;
    }
    // The driver adjusts the record to what it can do; the same record,
    // adjusted, is then set.
    const int result = setUpRequest(request::kTryFormat, Attempts::RetryTransient, &format);
    if (result != 0)
        return result;
    return setUpRequest(request::kSetFormat, Attempts::RetryTransient, &format);
}

int CaptureNode::readSize(uint32_t* width, uint32_t* height) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // Single attempt: the driver answers from the format it holds without
    // waiting on the hardware, so there is no transient error to wait out.
    const int result = setUpRequest(request::kGetFormat, Attempts::Single, &format);
    if (result != 0)
        return result;
    *width = format.fmt.pix.width;
    *height = format.fmt.pix.height;
    return 0;
}

int CaptureNode::requestBuffers() {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = buffer_type;
    request.memory = V4L2_MEMORY_MMAP;
    const int result = setUpRequest(request::kRequestBuffers, Attempts::RetryTransient, &request);
    if (result != 0)
        return result;
    holds_driver_buffers = request.count > 0;
    // The buffer table has exactly eight entries: with fewer the capture
    // would stall, with more the driver would hand back indexes we never
    // mapped.
    if (request.count != kBufferCount) {
        QUORVAN_LOGF(Csi, Error, "VIDIOC_REQBUFS: driver granted %u buffers instead of %u",
                     request.count, kBufferCount);
        return -ERANGE;
    }
    return 0;
}

int CaptureNode::freeDriverBuffers() {
    v4l2_requestbuffers request{};
    request.count = 0;
    request.type = buffer_type;
    request.memory = V4L2_MEMORY_MMAP;
    const int result = setUpRequest(request::kRequestBuffers, Attempts::RetryTransient, &request);
    if (result == 0)
        holds_driver_buffers = false;
    return result;
}

int CaptureNode::mapAndQueueBuffers() {
    for (uint32_t index = 0; index < kBufferCount; ++index) {
        v4l2_plane plane{};
        v4l2_buffer buffer = makeStreamingBuffer(buffer_type, index, plane);
        int result = setUpRequest(request::kQueryBuffer, Attempts::RetryTransient, &buffer);
        if (result != 0)
            return result;
        const size_t length = streamingBufferLength(buffer);
        void* address = kernel.mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, node.get(),
                                    streamingBufferOffset(buffer));
        if (address == MAP_FAILED) {
            const int error = errno;
            QUORVAN_LOGF(Csi, Error, "%s: mmap of buffer %u failed: %s", path, index,
                         std::strerror(error));
            return -error;
        }
        buffers[index] = MemoryMapping(kernel, address, length);
        result = setUpRequest(request::kQueueBuffer, Attempts::RetryTransient, &buffer);
        if (result != 0)
            return result;
    }
    return 0;
}

int CaptureNode::streamOn() {
    int type = static_cast<int>(buffer_type);
    return setUpRequest(request::kStreamOn, Attempts::RetryTransient, &type);
}

int CaptureNode::streamOff() {
    int type = static_cast<int>(buffer_type);
    return setUpRequest(request::kStreamOff, Attempts::RetryTransient, &type);
}

int CaptureNode::releaseBuffers() {
    int first_failure = 0;
    for (uint32_t index = 0; index < kBufferCount; ++index) {
        MemoryMapping& mapping = buffers[index];
        if (!mapping.isMapped())
            continue;
        v4l2_plane plane{};
        v4l2_buffer buffer = makeStreamingBuffer(buffer_type, index, plane);
        const int queried = setUpRequest(request::kQueryBuffer, Attempts::RetryTransient, &buffer);
        // Unmapped with the length that was mapped: a driver reporting
        // another length now must not make us unmap too little or too much.
        const int unmapped = mapping.release();
        if (first_failure == 0)
            first_failure = queried != 0 ? queried : unmapped;
    }
    if (holds_driver_buffers && node.isOpen()) {
        const int freed = freeDriverBuffers();
        if (first_failure == 0)
            first_failure = freed;
    }
    return first_failure;
}

void CaptureNode::unmapBuffers() {
    for (MemoryMapping& mapping : buffers)
        mapping.release();
    if (holds_driver_buffers && node.isOpen()) {
        v4l2_requestbuffers request{};
        request.type = buffer_type;
        request.memory = V4L2_MEMORY_MMAP;
        // Unreported: a node still streaming refuses, and closing it frees
        // the table anyway.
        if (issueRequest(kernel, node.get(), request::kRequestBuffers, Attempts::RetryTransient,
                         &request) == 0)
            holds_driver_buffers = false;
    }
}

int CaptureNode::mappedBufferCount() const {
    return static_cast<int>(std::count_if(buffers.begin(), buffers.end(),
                                          [](const MemoryMapping& m) { return m.isMapped(); }));
}

size_t CaptureNode::mappedLength() const {
    for (const MemoryMapping& mapping : buffers) {
        if (mapping.isMapped())
            return mapping.length();
    }
    return 0;
}

int CaptureNode::waitForBuffer() {
    pollfd descriptor{node.get(), POLLIN, 0};
    for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
        const int ready = kernel.poll(&descriptor, 1, kBufferWaitMs);
        // The V4L2 core hangs up on every descriptor of a node whose device
        // was unregistered; videobuf2 itself never does.
        if (ready > 0 && (descriptor.revents & POLLHUP) != 0)
            return -ENODEV;
        if (ready > 0)
            return 0;
        if (ready == 0)
            return -ETIMEDOUT;
        if (errno != EINTR)
            return -errno;
    }
    return -EINTR;
}

int CaptureNode::dequeue(CapturedBuffer& buffer) {
    buffer.record = makeStreamingBuffer(buffer_type, 0, buffer.plane);
    const int ready = waitForBuffer();
    if (ready != 0)
        return ready;
    const int result = issueRequest(kernel, node.get(), request::kDequeueBuffer,
                                    Attempts::RetryTransient, &buffer.record);
    if (result < 0)
        return result;
    buffer.data = nullptr;
    buffer.length = 0;
    // The driver may hand back an index outside the table; there is no
    // mapping to read from it, so the caller refuses the buffer.
    if (buffer.record.index < kBufferCount && buffers[buffer.record.index].isMapped()) {
        const MemoryMapping& mapping = buffers[buffer.record.index];
        buffer.data = mapping.data();
        buffer.length = std::min(streamingBufferLength(buffer.record), mapping.length());
    }
    return 0;
}

int CaptureNode::requeue(const CapturedBuffer& buffer) {
    CapturedBuffer queued = buffer;
    if (isMultiPlanar(queued.record.type))
        queued.record.m.planes = &queued.plane;
    const int result = issueRequest(kernel, node.get(), request::kQueueBuffer,
                                    Attempts::RetryTransient, &queued.record);
    return result < 0 ? result : 0;
}

}  // namespace Quorvan

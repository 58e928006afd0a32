#include "support/simulated_capture_node.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Quorvan {
namespace simulation {

namespace {

constexpr uint32_t kMaxBuffers = 32;
constexpr uint32_t kMinSize = 16;
constexpr uint32_t kMaxSize = 8192;  // the 640x480 sensor's double layout has 4810 rows

int fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

SimulatedCaptureNode::SimulatedCaptureNode(CaptureNodeSetup setup,
                                           std::shared_ptr<SensorState> sensor,
                                           std::shared_ptr<SubframeSource> source)
    : setup(setup), sensor(std::move(sensor)), source(std::move(source)) {
    format.width = this->sensor->native_width;
    format.height = this->sensor->native_height;
    format.pixelformat = setup.pixel_format;
    format.field = V4L2_FIELD_NONE;
    format.bytesperline = driverBytesPerLine(setup.layout, format.width);
    format.sizeimage = driverFrameBytes(setup.layout, format.width, format.height);
}

void SimulatedCaptureNode::reportIndexOnDequeue(uint64_t dequeue_number, uint32_t index) {
    index_overrides[dequeue_number] = index;
}

void SimulatedCaptureNode::addTimestampGap(uint64_t subframe_number, int64_t microseconds) {
    timestamp_gaps[subframe_number] += microseconds;
}

bool SimulatedCaptureNode::isMultiPlanar() const {
    return (setup.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0 &&
           (setup.capabilities & V4L2_CAP_VIDEO_CAPTURE_MPLANE) != 0;
}

bool SimulatedCaptureNode::acceptsType(uint32_t type) const {
    return type ==
           (isMultiPlanar() ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE);
}

size_t SimulatedCaptureNode::bufferLength() const {
    return static_cast<size_t>(format.sizeimage) + extra_buffer_bytes;
}

void SimulatedCaptureNode::fillFormat(v4l2_format& record, const v4l2_pix_format& source) {
    if (record.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        v4l2_pix_format_mplane& pixels = record.fmt.pix_mp;
        pixels = {};
        pixels.width = source.width;
        pixels.height = source.height;
        pixels.pixelformat = source.pixelformat;
        pixels.field = source.field;
        pixels.num_planes = 1;
        pixels.plane_fmt[0].bytesperline = source.bytesperline;
        pixels.plane_fmt[0].sizeimage = source.sizeimage;
    } else {
        record.fmt.pix = source;
    }
}

// Like a real receiver: the size is clamped, the pixel format replaced by
// the one it produces, line and image sizes follow its layout.
int SimulatedCaptureNode::negotiateFormat(v4l2_format& requested, bool apply) {
    if (!acceptsType(requested.type))
        return fail(EINVAL);
    if (apply && is_streaming)
        return fail(EBUSY);
    const bool multi = requested.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    const uint32_t width = multi ? requested.fmt.pix_mp.width : requested.fmt.pix.width;
    const uint32_t height = multi ? requested.fmt.pix_mp.height : requested.fmt.pix.height;
    v4l2_pix_format result{};
    result.width = std::clamp(width, kMinSize, kMaxSize);
    result.height = std::clamp(height, kMinSize, kMaxSize);
    result.pixelformat = setup.pixel_format;
    result.field = V4L2_FIELD_NONE;
    result.bytesperline = driverBytesPerLine(setup.layout, result.width);
    result.sizeimage = driverFrameBytes(setup.layout, result.width, result.height);
    if (apply)
        format = result;
    fillFormat(requested, result);
    return 0;
}

int SimulatedCaptureNode::requestBuffers(v4l2_requestbuffers& request) {
    if (!acceptsType(request.type) || request.memory != V4L2_MEMORY_MMAP)
        return fail(EINVAL);
    if (is_streaming || live_mappings > 0)
        return fail(EBUSY);
    storage.clear();
    queued.clear();
    queue.clear();
    if (request.count == 0)
        return 0;
    uint32_t count = granted_buffers ? granted_buffers : std::min(request.count, kMaxBuffers);
    storage.assign(count, std::vector<uint8_t>(bufferLength(), kPaddingByte));
    queued.assign(count, false);
    request.count = count;
    return 0;
}

int SimulatedCaptureNode::describeBuffer(v4l2_buffer& buffer, uint32_t index) const {
    const size_t length = storage[index].size();
    const uint32_t offset = static_cast<uint32_t>(index * kOffsetStride);
    buffer.index = index;
    buffer.flags = queued[index] ? V4L2_BUF_FLAG_QUEUED : 0;
    if (buffer.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        if (buffer.length < 1 || buffer.m.planes == nullptr)
            return fail(EINVAL);
        buffer.length = 1;
        buffer.m.planes[0].length = static_cast<uint32_t>(length);
        buffer.m.planes[0].m.mem_offset = offset;
    } else {
        buffer.length = static_cast<uint32_t>(length);
        buffer.m.offset = offset;
    }
    return 0;
}

void* SimulatedCaptureNode::mapMemory(size_t length, off_t offset) {
    if (offset % kOffsetStride != 0 ||
        offset / kOffsetStride >= static_cast<off_t>(storage.size())) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<uint8_t>& buffer = storage[static_cast<size_t>(offset / kOffsetStride)];
    if (length > buffer.size()) {
        errno = EINVAL;
        return nullptr;
    }
    ++live_mappings;
    return buffer.data();
}

void SimulatedCaptureNode::releaseMapping(const void*, size_t) {
    --live_mappings;
}

int SimulatedCaptureNode::queueBuffer(v4l2_buffer& buffer) {
    if (!acceptsType(buffer.type) || buffer.memory != V4L2_MEMORY_MMAP)
        return fail(EINVAL);
    if (buffer.index >= storage.size() || queued[buffer.index])
        return fail(EINVAL);
    if (buffer.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE &&
        (buffer.length < 1 || buffer.m.planes == nullptr)) {
        return fail(EINVAL);
    }
    queued[buffer.index] = true;
    queue.push_back(buffer.index);
    return 0;
}

const std::vector<uint8_t>& SimulatedCaptureNode::subframeBytes(int phase) {
    if (prepared.empty() || prepared_width != format.width || prepared_height != format.height ||
        prepared_range != sensor->range_setting) {
        prepared.clear();
        std::vector<uint16_t> samples(static_cast<size_t>(format.width) * format.height);
        for (int image = 0; image < 4; ++image) {
            source->render(format.width, format.height, sensor->range_setting, image,
                           samples.data());
            prepared.push_back(
                layOutFrame(setup.layout, samples.data(), format.width, format.height));
        }
        prepared_width = format.width;
        prepared_height = format.height;
        prepared_range = sensor->range_setting;
    }
    return prepared[static_cast<size_t>(phase)];
}

short SimulatedCaptureNode::pollEvents() const {
    if (!is_streaming)
        return POLLERR;
    return queue.empty() ? 0 : static_cast<short>(POLLIN | POLLRDNORM);
}

int SimulatedCaptureNode::dequeueBuffer(v4l2_buffer& buffer) {
    if (!acceptsType(buffer.type) || buffer.memory != V4L2_MEMORY_MMAP)
        return fail(EINVAL);
    if (buffer.type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE &&
        (buffer.length < 1 || buffer.m.planes == nullptr)) {
        return fail(EINVAL);
    }
    if (!is_streaming)
        return fail(EINVAL);
    // A real driver would wait forever here; the simulation reports that no
    // buffer can ever arrive.
    if (queue.empty())
        return fail(EIO);

    const uint32_t index = queue.front();
    queue.pop_front();
    queued[index] = false;

    if (!timestamps_started) {
        next_timestamp_us = first_timestamp_us;
        timestamps_started = true;
    }
    if (auto gap = timestamp_gaps.find(subframes); gap != timestamp_gaps.end()) {
        next_timestamp_us += gap->second;
    }
    const int64_t timestamp = next_timestamp_us;
    const int phase = static_cast<int>(subframes % 4);
    // Four sub-frames a millisecond apart, then the rest of the frame period.
    const int64_t period_us = 1000000 / std::max<uint32_t>(sensor->frame_rate, 1);
    next_timestamp_us +=
        phase == 3 ? std::max<int64_t>(period_us - 3 * subframe_spacing_us, subframe_spacing_us)
                   : subframe_spacing_us;

    std::vector<uint8_t>& memory = storage[index];
    const std::vector<uint8_t>& frame = subframeBytes(phase);
    const size_t copied = std::min(frame.size(), memory.size());
    std::memcpy(memory.data(), frame.data(), copied);
    std::fill(memory.begin() + static_cast<std::ptrdiff_t>(copied), memory.end(), kPaddingByte);

    v4l2_plane* planes = buffer.m.planes;
    const uint32_t type = buffer.type;
    buffer = {};
    buffer.type = type;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    buffer.sequence = static_cast<uint32_t>(subframes);
    buffer.field = V4L2_FIELD_NONE;
    buffer.flags = V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (error_flagged.count(dequeues) != 0)
        buffer.flags |= V4L2_BUF_FLAG_ERROR;
    buffer.timestamp.tv_sec = timestamp / 1000000;
    buffer.timestamp.tv_usec = timestamp % 1000000;
    const uint32_t reported_length = static_cast<uint32_t>(memory.size()) + overstated_length;
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        buffer.length = 1;
        buffer.m.planes = planes;
        planes[0] = {};
        planes[0].length = reported_length;
        planes[0].bytesused = static_cast<uint32_t>(copied);
        planes[0].m.mem_offset = static_cast<uint32_t>(index * kOffsetStride);
    } else {
        buffer.length = reported_length;
        buffer.bytesused = static_cast<uint32_t>(copied);
        buffer.m.offset = static_cast<uint32_t>(index * kOffsetStride);
    }
    if (auto override_index = index_overrides.find(dequeues);
        override_index != index_overrides.end()) {
        buffer.index = override_index->second;
    }
    ++dequeues;
    ++subframes;
    return 0;
}

int SimulatedCaptureNode::setStreaming(const int* type, bool on) {
    if (type == nullptr || !acceptsType(static_cast<uint32_t>(*type)))
        return fail(EINVAL);
    if (on) {
        if (storage.empty())
            return fail(EINVAL);
        if (stream_check) {
            if (const int error = stream_check())
                return fail(error);
        }
        is_streaming = true;
        return 0;
    }
    // Stream-off returns every queued buffer to the application.
    is_streaming = false;
    queue.clear();
    std::fill(queued.begin(), queued.end(), false);
    return 0;
}

int SimulatedCaptureNode::ioctl(unsigned long request, void* argument) {
    if (argument == nullptr)
        return fail(EFAULT);
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto& capability = *static_cast<v4l2_capability*>(argument);
            capability = {};
            std::snprintf(reinterpret_cast<char*>(capability.driver), sizeof(capability.driver),
                          "%s", driver_name.c_str());
            std::snprintf(reinterpret_cast<char*>(capability.card), sizeof(capability.card),
                          "Simulated CSI receiver");
            std::snprintf(reinterpret_cast<char*>(capability.bus_info), sizeof(capability.bus_info),
                          "platform:simulated-csi");
            capability.device_caps = setup.capabilities;
            capability.capabilities = setup.capabilities | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_S_INPUT:
            return *static_cast<int*>(argument) == 0 ? 0 : fail(EINVAL);
        case VIDIOC_G_INPUT:
            *static_cast<int*>(argument) = 0;
            return 0;
        case VIDIOC_TRY_FMT:
            return negotiateFormat(*static_cast<v4l2_format*>(argument), false);
        case VIDIOC_S_FMT:
            // videobuf2 refuses a new format while buffers are allocated.
            if (!storage.empty())
                return fail(EBUSY);
            return negotiateFormat(*static_cast<v4l2_format*>(argument), true);
        case VIDIOC_G_FMT: {
            auto& record = *static_cast<v4l2_format*>(argument);
            if (!acceptsType(record.type))
                return fail(EINVAL);
            fillFormat(record, format);
            return 0;
        }
        case VIDIOC_REQBUFS:
            return requestBuffers(*static_cast<v4l2_requestbuffers*>(argument));
        case VIDIOC_QUERYBUF: {
            auto& buffer = *static_cast<v4l2_buffer*>(argument);
            if (!acceptsType(buffer.type) || buffer.index >= storage.size())
                return fail(EINVAL);
            return describeBuffer(buffer, buffer.index);
        }
        case VIDIOC_QBUF:
            return queueBuffer(*static_cast<v4l2_buffer*>(argument));
        case VIDIOC_DQBUF:
            return dequeueBuffer(*static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON:
            return setStreaming(static_cast<const int*>(argument), true);
        case VIDIOC_STREAMOFF:
            return setStreaming(static_cast<const int*>(argument), false);
        default:
            return fail(ENOTTY);
    }
}

}  // namespace simulation
}  // namespace Quorvan

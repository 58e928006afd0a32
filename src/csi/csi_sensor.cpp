#include "csi/csi_sensor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "csi/csi_host_profile.h"
#include "csi/media_graph.h"
#include "csi/sensor_discovery.h"
#include "csi/v4l2_records.h"
#include "log/log.h"
#include "quorvan/camera.h"

namespace Quorvan {

namespace {

constexpr uint32_t kSampleBits = 12;
constexpr uint32_t kBytesPerSample = 2;
// Sub-frames of one capture arrive about a millisecond apart; a longer
// pause means a sub-frame was lost, and the gathered ones belong to an
// incomplete capture.
constexpr int64_t kSubframeGapMicroseconds = 5000;
// A driver whose buffers always come too far apart never completes a group;
// after this many dequeues the frame ends in a status instead of a loop that
// never returns.
constexpr int kDequeuesPerFrameLimit = 4 * CaptureNode::kBufferCount;

}  // namespace

QuorvanTOFCSISensor::QuorvanTOFCSISensor(const char* node_path, int32_t platform,
                                         KernelInterface& kernel)
    : kernel(kernel),
      profile(hostProfile(platform)),
      capture(kernel, node_path),
      subdevices(kernel),
      controls(kernel, subdevices) {}

int QuorvanTOFCSISensor::openCaptureNode() {
    if (capture.open() != 0)
        return QuorvanSystemError;
    v4l2_capability capability{};
    if (const int result = capture.queryCapabilities(&capability); result != 0) {
        // A node that cannot describe itself is not a capture device we can
        // drive; the camera reports the failure and stays usable.
        QUORVAN_LOGF(Csi, Error, "VIDIOC_QUERYCAP: error - %d", -result);
        return QuorvanSystemError;
    }
    found_identity = {};
    found_identity.setCapture(capability);
    const CaptureCapabilities capabilities(capability);
    if (!capabilities.hasSinglePlanarCapture() && !capabilities.hasMultiPlanarCapture())
        return QuorvanSystemError;
    if (!capabilities.hasStreaming())
        return QuorvanSystemError;
    // The host decides the buffer type, whatever the node advertised: the
    // Radxa receiver only streams multi-planar, the others single-planar.
    capture.setBufferType(profile.buffer_type);
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::open(QuorvanTOFCamera& camera) {
    // Opening again starts from nothing rather than leaking the old handles.
    close();
    if (openCaptureNode() != QuorvanSuccess)
        return QuorvanSystemError;
    if (SensorDiscovery(kernel, profile).discover(capture, subdevices) != QuorvanSuccess)
        return QuorvanSystemError;
    if (!isMultiPlanar(capture.bufferType()) && capture.selectInput(video_input) != 0)
        return QuorvanSystemError;
    if (controls.openBus(subdevices.busName()) != QuorvanSuccess)
        return QuorvanSystemError;
    readIdentity();
    // A failed size read still reports the sample format.
    const int result = readSensorSize(camera);
    camera.reportSampleFormat(kSampleBits, kBytesPerSample);
    format = camera.getCameraInfo();
    return result;
}

void QuorvanTOFCSISensor::readIdentity() {
    found_identity.sensor_bus = subdevices.busName();
    uint32_t major_number = 0;
    uint32_t minor_number = 0;
    if (!profile.usesMediaGraph() || capture.deviceNumbers(&major_number, &minor_number) != 0)
        return;
    const MediaGraph graph(kernel, major_number, minor_number);
    media_device_info info{};
    if (!graph.isValid() || graph.deviceInfo(&info) != 0)
        return;
    found_identity.media_driver =
        std::string(info.driver, strnlen(info.driver, sizeof(info.driver)));
    found_identity.media_model = std::string(info.model, strnlen(info.model, sizeof(info.model)));
    found_identity.media_serial =
        std::string(info.serial, strnlen(info.serial, sizeof(info.serial)));
    found_identity.media_bus =
        std::string(info.bus_info, strnlen(info.bus_info, sizeof(info.bus_info)));
}

int QuorvanTOFCSISensor::readSensorSize(QuorvanTOFCamera& camera) {
    // The raw size comes from the sensor itself where it has a sub-device,
    // else from the capture node.
    uint32_t width = 0;
    uint32_t height = 0;
    const int result = profile.usesMediaGraph() ? subdevices.readSensorSize(&width, &height)
                                                : capture.readSize(&width, &height);
    if (result != 0)
        return QuorvanSystemError;
    camera.reportSensorSize(width, height);
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::applyFormat() {
    // Without a node the buffer request in start fails instead.
    if (!capture.isOpen())
        return QuorvanSuccess;
    if (capture.applyFormat(format.width, format.height, profile.pixel_format) != 0)
        return QuorvanUnkownError;
    uint32_t width = 0;
    uint32_t height = 0;
    if (profile.usesMediaGraph()) {
        if (subdevices.applyFormat(format.width, format.height) != 0)
            return QuorvanUnkownError;
        if (subdevices.readSensorSize(&width, &height) != 0)
            return QuorvanSystemError;
    } else if (capture.readSize(&width, &height) != 0) {
        return QuorvanSystemError;
    }
    // The driver may have adjusted the size; streaming a size the cache was
    // not sized for would misplace every line.
    if (width != format.width || height != format.height)
        return QuorvanUnkownError;
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::start() {
    if (applyFormat() != QuorvanSuccess)
        return QuorvanUnkownError;
    // A failed start leaves nothing mapped and no driver table, since no
    // stop follows it.
    if (!capture.isOpen() || capture.requestBuffers() != 0) {
        capture.unmapBuffers();
        return QuorvanUnkownError;
    }
    if (capture.mapAndQueueBuffers() != 0) {
        capture.unmapBuffers();
        return QuorvanUnkownError;
    }
    line_copy = chooseLineCopy(profile, capture.bufferType(), capture.mappedLength());
    if (capture.streamOn() != 0) {
        capture.unmapBuffers();
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
    last_capture_failure = CaptureFailure::Unknown;
    // The camera sized the cache from the format at start.
    const size_t cache_bytes = subframe_bytes * static_cast<size_t>(wanted);

    size_t offset = 0;
    int64_t previous_microseconds = 0;
    uint64_t last_milliseconds = 0;
    int dequeues = 0;
    for (int32_t assembled = 0; assembled < subframe_count;) {
        if (++dequeues > kDequeuesPerFrameLimit) {
            last_capture_failure = CaptureFailure::TimestampGap;
            return QuorvanSystemError;
        }
        CapturedBuffer buffer;
        if (!capture.isOpen())
            return QuorvanSystemError;
        if (const int dequeued = capture.dequeue(buffer); dequeued != 0)
            return captureFailed(dequeued, QuorvanSystemError);
        if (buffer.data == nullptr)
            return QuorvanNoCache;
        // The driver marks a buffer whose data is corrupt; its bytes must not
        // reach a consumer as a frame, and the buffer goes back to the driver.
        if ((buffer.record.flags & V4L2_BUF_FLAG_ERROR) != 0) {
            capture.requeue(buffer);
            last_capture_failure = CaptureFailure::DeviceError;
            return QuorvanSystemError;
        }
        const int64_t microseconds = timestampMicroseconds(buffer.record);
        if (assembled > 0 && microseconds - previous_microseconds > kSubframeGapMicroseconds) {
            offset = 0;
            assembled = 0;
        }
        // At most one sub-frame per buffer, so a padded driver buffer cannot
        // push later sub-frames (or anything else) past the cache.
        const size_t window_end = std::min(offset + subframe_bytes, cache_bytes);
        line_copy(buffer.data, buffer.length, stream_width, cache, window_end, offset);
        previous_microseconds = microseconds;
        last_milliseconds = timestampMilliseconds(buffer.record);
        if (const int requeued = capture.requeue(buffer); requeued != 0)
            return captureFailed(requeued, QuorvanSystemError);
        ++assembled;
    }
    *timestamp = last_milliseconds;
    last_capture_failure = CaptureFailure::None;
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::captureFailed(int result, int status) {
    switch (result) {
        case -ETIMEDOUT:
            last_capture_failure = CaptureFailure::Timeout;
            break;
        // The V4L2 core answers ENODEV once the device is unregistered;
        // ENXIO is a character device without its driver.
        case -ENODEV:
        case -ENXIO:
            last_capture_failure = CaptureFailure::Disconnected;
            break;
        // EIO is a driver that declared its queue dead, as drivers do when
        // their hardware goes away, or a single failed transfer: the node
        // itself tells which.
        case -EIO:
            last_capture_failure =
                capture.isGone() ? CaptureFailure::Disconnected : CaptureFailure::DeviceError;
            break;
        default:
            last_capture_failure = CaptureFailure::DeviceError;
            break;
    }
    return status;
}

int QuorvanTOFCSISensor::stop() {
    if (!capture.isOpen())
        return QuorvanSystemError;
    // Buffers still owned by a streaming driver stay mapped; close() or the
    // next successful stop releases them.
    if (capture.streamOff() != 0)
        return QuorvanSystemError;
    return capture.releaseBuffers() == 0 ? QuorvanSuccess : QuorvanSystemError;
}

int QuorvanTOFCSISensor::close() {
    capture.close();
    subdevices.clear();
    controls.closeBus();
    return QuorvanSuccess;
}

int QuorvanTOFCSISensor::setControl(CameraCtrl id, int value) {
    switch (id) {
        case CameraCtrl::RANGE:
            return controls.setRange(value);
        case CameraCtrl::FMT_WIDTH:
            if (value <= 0)
                return QuorvanInvalidParameter;
            format.width = static_cast<uint32_t>(value);
            return QuorvanSuccess;
        case CameraCtrl::FMT_HEIGHT:
            if (value <= 0)
                return QuorvanInvalidParameter;
            format.height = static_cast<uint32_t>(value);
            return QuorvanSuccess;
        case CameraCtrl::EXPOSURE:
            return controls.setExposure(value);
        case CameraCtrl::FRAME_RATE:
            return controls.setFrameRate(value);
        default:
            return QuorvanInvalidParameter;
    }
}

int QuorvanTOFCSISensor::getControl(CameraCtrl id, int* value) {
    if (value == nullptr)
        return QuorvanInvalidParameter;
    switch (id) {
        case CameraCtrl::RANGE:
            return controls.getRange(value);
        case CameraCtrl::FMT_WIDTH:
            *value = static_cast<int>(format.width);
            return QuorvanSuccess;
        case CameraCtrl::FMT_HEIGHT:
            *value = static_cast<int>(format.height);
            return QuorvanSuccess;
        case CameraCtrl::EXPOSURE:
            return controls.getExposure(value);
        case CameraCtrl::FRAME_RATE:
            *value = controls.frameRate();
            return QuorvanSuccess;
        default:
            return QuorvanInvalidParameter;
    }
}

}  // namespace Quorvan

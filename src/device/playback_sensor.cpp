#include "device/playback_sensor.h"

#include "quorvan/camera.h"

namespace Quorvan {

QuorvanTOFPlaybackSensor::QuorvanTOFPlaybackSensor(PlaybackFormat format,
                                                   std::shared_ptr<PlaybackSource> source)
    : recorded(format), source(std::move(source)) {}

QuorvanTOFPlaybackSensor::~QuorvanTOFPlaybackSensor() {
    if (streaming.load())
        source->feed.close();
}

CameraInfo QuorvanTOFPlaybackSensor::getFormat() {
    // Read live: the device adopts the capture layout from here before start.
    CameraInfo current = format;
    current.width = source->capture_width.load();
    current.height = source->capture_height.load();
    return current;
}

int QuorvanTOFPlaybackSensor::open(QuorvanTOFCamera& camera) {
    if (recorded.width == 0 || recorded.height == 0 || recorded.bpp == 0 || recorded.bpp > 2 ||
        recorded.bit_width == 0 || recorded.bit_width > 16)
        return QuorvanInvalidParameter;
    camera.reportSensorSize(source->capture_width.load(), source->capture_height.load());
    camera.reportSampleFormat(recorded.bit_width, recorded.bpp);
    format = camera.getCameraInfo();
    opened = true;
    return QuorvanSuccess;
}

int QuorvanTOFPlaybackSensor::close() {
    if (streaming.load())
        stop();
    opened = false;
    return QuorvanSuccess;
}

int QuorvanTOFPlaybackSensor::start() {
    if (!opened || streaming.load() || subframe_count <= 0)
        return QuorvanUnkownError;
    const CameraInfo current = getFormat();
    source->feed.open(static_cast<size_t>(current.width) * current.height *
                      static_cast<size_t>(subframe_count));
    streaming.store(true);
    return QuorvanSuccess;
}

int QuorvanTOFPlaybackSensor::stop() {
    streaming.store(false);
    source->feed.close();
    return QuorvanSuccess;
}

int QuorvanTOFPlaybackSensor::getFrame(uint8_t* cache, uint64_t* timestamp) {
    if (!streaming.load() || cache == nullptr || timestamp == nullptr)
        return QuorvanUnkownError;
    const TofErrorCode taken =
        source->feed.take(reinterpret_cast<uint16_t*>(cache), timestamp, kCaptureTimeoutMs);
    // The feed's only failure while streaming is that nobody pushed a frame.
    last_capture_failure =
        taken == QuorvanSuccess ? CaptureFailure::None : CaptureFailure::SourceIdle;
    return taken;
}

int QuorvanTOFPlaybackSensor::setControl([[maybe_unused]] CameraCtrl id,
                                         [[maybe_unused]] int value) {
    return QuorvanSuccess;
}

int QuorvanTOFPlaybackSensor::getControl([[maybe_unused]] CameraCtrl id,
                                         [[maybe_unused]] int* value) {
    return QuorvanNotImplemented;
}

}  // namespace Quorvan

// The factory behind playback (quorvan/playback.h): it owns the feed the
// playback sensors take their captures from, and remembers which processing
// device it made, whose layout a pushed raw plane must have.
#include <atomic>

#include "device/playback_raw_plane.h"
#include "device/playback_sensor.h"
#include "device/playback_source.h"
#include "host/host_platform.h"
#include "quorvan/playback.h"

namespace Quorvan {

struct PlaybackBackendFactory::State {
    explicit State(PlaybackFormat recorded)
        : format(recorded),
          source(std::make_shared<PlaybackSource>()),
          devices(defaultBackendFactory()) {
        source->capture_width.store(recorded.width);
        source->capture_height.store(recorded.height);
    }

    PlaybackFormat format;
    // Shared with the sensors, which may outlive a camera's use of the factory.
    std::shared_ptr<PlaybackSource> source;
    std::shared_ptr<BackendFactory> devices;
    std::atomic<DeviceType> device{HQVGA};
};

static_assert(PlaybackBackendFactory::kQueuedCaptures == PlaybackFeed::kQueuedCaptures);

PlaybackBackendFactory::PlaybackBackendFactory(PlaybackFormat format)
    : state_(std::make_unique<State>(format)) {}

PlaybackBackendFactory::~PlaybackBackendFactory() = default;

const PlaybackFormat& PlaybackBackendFactory::format() const {
    return state_->format;
}

TofErrorCode PlaybackBackendFactory::pushRaw(const int16_t* raw, size_t samples, uint64_t timestamp,
                                             int32_t timeout_ms) {
    const DeviceType device = state_->device.load();
    const PlaybackFeed::Fill convert = [device, raw, samples](uint16_t* cache, size_t wanted) {
        return rawPlaneToCache(device, raw, samples, cache, wanted);
    };
    return state_->source->feed.push(convert, timestamp, timeout_ms);
}

TofErrorCode PlaybackBackendFactory::pushCapture(const uint16_t* cache, size_t samples,
                                                 uint64_t timestamp, int32_t timeout_ms) {
    return state_->source->feed.push(cache, samples, timestamp, timeout_ms);
}

void PlaybackBackendFactory::clearQueued() {
    state_->source->feed.clear();
}

size_t PlaybackBackendFactory::queued() const {
    return state_->source->feed.queued();
}

TofErrorCode PlaybackBackendFactory::setCaptureSize(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0)
        return QuorvanInvalidParameter;
    if (state_->source->feed.isOpen())
        return QuorvanUnkownError;  // the running capture thread reads this size
    state_->source->capture_width.store(width);
    state_->source->capture_height.store(height);
    return QuorvanSuccess;
}

int32_t PlaybackBackendFactory::detectPlatform() {
    return HostPlatform::OTHER;
}

std::unique_ptr<QuorvanTOFSensor> PlaybackBackendFactory::createCSISensor(const char*, int32_t) {
    return nullptr;
}

std::unique_ptr<QuorvanTOFSensor> PlaybackBackendFactory::createUSBSensor(const char*, uint32_t) {
    return std::make_unique<QuorvanTOFPlaybackSensor>(state_->format, state_->source);
}

std::unique_ptr<QuorvanDevice> PlaybackBackendFactory::createHQVGADevice(int32_t platform,
                                                                         float modulation_frequency,
                                                                         int32_t range) {
    state_->device.store(HQVGA);
    return state_->devices->createHQVGADevice(platform, modulation_frequency, range);
}

std::unique_ptr<QuorvanDevice> PlaybackBackendFactory::createVGADevice(int32_t platform,
                                                                       int32_t width,
                                                                       int32_t height) {
    state_->device.store(VGA);
    return state_->devices->createVGADevice(platform, width, height);
}

}  // namespace Quorvan

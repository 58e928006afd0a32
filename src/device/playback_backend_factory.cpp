// The factory and raw-plane conversion behind playback (quorvan/playback.h).
#include "device/playback_sensor.h"
#include "device/sensor_sizes.h"
#include "host/host_platform.h"
#include "quorvan/playback.h"

namespace Quorvan {

namespace {

constexpr size_t kHQVGAWidth = kHQVGASize.width;
constexpr size_t kHQVGAHeight = kHQVGASize.height;
constexpr size_t kHQVGAPhases = kHQVGASubframes;
constexpr size_t kHQVGASamples = kHQVGAWidth * kHQVGAHeight * kHQVGAPhases;
// The raw plane holds each signed 11-bit sample code times 16; the device
// reads only those 11 bits of a cache sample (at shift 0).
constexpr int kRawCodeScaleShift = 4;
constexpr uint16_t kSampleCodeMask = 0x7ff;

void hqvgaRawToCache(const int16_t* raw, uint16_t* cache) {
    for (size_t row = 0; row < kHQVGAHeight; ++row) {
        for (size_t phase = 0; phase < kHQVGAPhases; ++phase) {
            const int16_t* source = raw + (row * kHQVGAPhases + phase) * kHQVGAWidth;
            uint16_t* target = cache + phase * kHQVGAWidth * kHQVGAHeight + row * kHQVGAWidth;
            for (size_t column = 0; column < kHQVGAWidth; ++column) {
                const int code = source[column] >> kRawCodeScaleShift;
                target[column] =
                    static_cast<uint16_t>(static_cast<uint16_t>(code) & kSampleCodeMask);
            }
        }
    }
}

}  // namespace

PlaybackBackendFactory::PlaybackBackendFactory(PlaybackFormat format)
    : format_(format), feed_(std::make_shared<PlaybackFeed>()), devices_(defaultBackendFactory()) {}

int32_t PlaybackBackendFactory::detectPlatform() {
    return HostPlatform::OTHER;
}

std::unique_ptr<QuorvanTOFSensor> PlaybackBackendFactory::createCSISensor(const char*, int32_t) {
    return nullptr;
}

std::unique_ptr<QuorvanTOFSensor> PlaybackBackendFactory::createUSBSensor(const char*, uint32_t) {
    return std::make_unique<QuorvanTOFPlaybackSensor>(format_, feed_);
}

std::unique_ptr<QuorvanDevice> PlaybackBackendFactory::createHQVGADevice(int32_t platform,
                                                                         float modulation_frequency,
                                                                         int32_t range) {
    return devices_->createHQVGADevice(platform, modulation_frequency, range);
}

std::unique_ptr<QuorvanDevice> PlaybackBackendFactory::createVGADevice(int32_t platform,
                                                                       int32_t width,
                                                                       int32_t height) {
    return devices_->createVGADevice(platform, width, height);
}

bool rawPlaneToCache(DeviceType device, const int16_t* raw, size_t raw_samples, uint16_t* cache,
                     size_t cache_samples) {
    if (raw == nullptr || cache == nullptr)
        return false;
    if (device == HQVGA) {
        if (raw_samples != kHQVGASamples || cache_samples != kHQVGASamples)
            return false;
        hqvgaRawToCache(raw, cache);
        return true;
    }
    if (raw_samples != cache_samples)
        return false;
    for (size_t i = 0; i < raw_samples; ++i)
        cache[i] = static_cast<uint16_t>(raw[i]);
    return true;
}

}  // namespace Quorvan

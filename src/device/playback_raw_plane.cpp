#include "device/playback_raw_plane.h"

#include "device/sensor_sizes.h"

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

// Playing recorded raw captures through a camera. The application opens a
// camera on a playback factory and pushes the captures it read from a
// recording into the factory's feed; the camera's capture thread takes them
// from there exactly as it takes live ones from a sensor, so the same
// processing device computes the depth.
//
//   auto playback = std::make_shared<PlaybackBackendFactory>(PlaybackFormat{240, 180, 12, 2});
//   QuorvanTOFCamera camera(playback);
//   camera.open(Connection::USB, 0);
//   camera.start(FrameType::DEPTH);
//   playback->feed().push(samples, count, timestamp, 1000);
//   QuorvanFrameBuffer* frame = camera.requestFrame(1000);
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "quorvan/backend_factory.h"
#include "quorvan/export.h"
#include "quorvan/types.h"

namespace Quorvan {

// What the recorded sensor reported when it was opened.
struct PlaybackFormat {
    uint32_t width;
    uint32_t height;
    uint32_t bit_width;
    uint32_t bpp;
};

// The bounded hand-over between the application (push) and the playback
// sensor in the camera's capture thread (take). Captures are whole raw caches:
// subframe_count sub-frames of width x height 16-bit samples.
class QUORVAN_API PlaybackFeed {
public:
    // Enough to keep the capture thread busy while the application reads the
    // next message, small enough that a paused consumer holds back the reader.
    static constexpr size_t kQueuedCaptures = 2;

    // Samples in one capture are fixed by open(); until then, and after
    // close(), every push is refused.
    void open(size_t samples_per_capture);
    void close();

    // Queues a copy of one capture, waiting up to timeout_ms for room.
    // QuorvanInvalidParameter for a wrong sample count or null samples,
    // QuorvanUnkownError on a timeout or when the feed is closed.
    TofErrorCode push(const uint16_t* samples, size_t count, uint64_t timestamp,
                      int32_t timeout_ms);
    // The oldest capture into `cache` (samples_per_capture 16-bit samples),
    // waiting up to timeout_ms; QuorvanUnkownError when none came or closed.
    TofErrorCode take(uint16_t* cache, uint64_t* timestamp, int32_t timeout_ms);
    // Forgets queued captures (after a seek, or when streaming stops).
    void clear();

    size_t samplesPerCapture() const;
    size_t queued() const;

private:
    struct Capture {
        std::vector<uint16_t> samples;
        uint64_t timestamp;
    };

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Capture> captures_;
    // Buffers of taken captures, reused so that playback does not allocate
    // per frame once it runs.
    std::vector<std::vector<uint16_t>> spare_;
    size_t samples_per_capture_ = 0;
    bool open_ = false;
};

// Hands out playback sensors for USB (every open gets a new sensor on the
// same feed); CSI is not offered; the processing devices are the real ones.
// The platform is fixed to a generic host: a recording holds plain samples,
// not the receiver layout of the board it was made on.
class QUORVAN_API PlaybackBackendFactory final : public BackendFactory {
public:
    explicit PlaybackBackendFactory(PlaybackFormat format);

    PlaybackFeed& feed() { return *feed_; }
    const PlaybackFormat& format() const { return format_; }

    int32_t detectPlatform() override;
    std::unique_ptr<QuorvanTOFSensor> createCSISensor(const char* node_path,
                                                      int32_t platform) override;
    std::unique_ptr<QuorvanTOFSensor> createUSBSensor(const char* config_path,
                                                      uint32_t index) override;
    std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t platform, float modulation_frequency,
                                                     int32_t range) override;
    std::unique_ptr<QuorvanDevice> createVGADevice(int32_t platform, int32_t width,
                                                   int32_t height) override;

private:
    PlaybackFormat format_;
    std::shared_ptr<PlaybackFeed> feed_;
    std::shared_ptr<BackendFactory> devices_;
};

// The raw cache a device computes from, rebuilt from the raw plane it handed
// out (RawData). The 240x180 device interleaves the four phases row by row
// and scales the signed 11-bit codes by 16; the 640x480 device hands out the
// cache as it is. False when `raw_samples` does not fit the device's layout.
bool rawPlaneToCache(DeviceType device, const int16_t* raw, size_t raw_samples, uint16_t* cache,
                     size_t cache_samples);

}  // namespace Quorvan

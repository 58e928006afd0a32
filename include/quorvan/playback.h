// Playing recorded raw captures through a camera. The application opens a
// camera on a playback factory and pushes the raw planes it read from a
// recording into the factory; the camera's capture thread takes them from
// there exactly as it takes live captures from a sensor, so the same
// processing device computes the depth.
//
//   auto playback = std::make_shared<PlaybackBackendFactory>(PlaybackFormat{240, 180, 12, 2});
//   QuorvanTOFCamera camera(playback);
//   camera.open(Connection::USB, 0);
//   camera.start(FrameType::DEPTH);
//   playback->pushRaw(raw, samples, timestamp, 1000);  // a RawData plane as recorded
//   QuorvanFrameBuffer* frame = camera.requestFrame(1000);
//
// The camera owns the lifecycle (open, start, stop, close); the factory only
// carries the captures to it, and accepts them while the camera streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

// Hands out playback sensors for USB (every open gets a new sensor on the
// same feed); CSI is not offered; the processing devices are the real ones.
// The platform is fixed to a generic host: a recording holds plain samples,
// not the receiver layout of the board it was made on.
class QUORVAN_API PlaybackBackendFactory final : public BackendFactory {
public:
    // Captures queued ahead of the capture thread: enough to keep it busy
    // while the application reads the next message, few enough that a paused
    // consumer holds the reader back.
    static constexpr size_t kQueuedCaptures = 2;

    explicit PlaybackBackendFactory(PlaybackFormat format);
    ~PlaybackBackendFactory() override;
    PlaybackBackendFactory(const PlaybackBackendFactory&) = delete;
    PlaybackBackendFactory& operator=(const PlaybackBackendFactory&) = delete;

    const PlaybackFormat& format() const;

    // The size of the captures from the next start on: a recording whose
    // capture layout changed (the 640x480 sensor switched frequency mode and
    // restarted) replays with a stop, this and a start. QuorvanInvalidParameter
    // for a zero size, QuorvanUnkownError while the camera streams.
    TofErrorCode setCaptureSize(uint32_t width, uint32_t height);

    // Queues one recorded raw plane (the samples a RawData frame of this
    // camera hands out) for the capture thread, waiting up to timeout_ms for
    // room. Safe from any thread. QuorvanInvalidParameter when the plane does
    // not fit the device's layout, QuorvanUnkownError when the camera is not
    // streaming or no room came in time.
    TofErrorCode pushRaw(const int16_t* raw, size_t samples, uint64_t timestamp,
                         int32_t timeout_ms);
    // Queues one raw cache as the sensor would deliver it (samples of all
    // sub-frames, 16 bits each); results as pushRaw.
    TofErrorCode pushCapture(const uint16_t* cache, size_t samples, uint64_t timestamp,
                             int32_t timeout_ms);
    // Forgets the captures not yet taken (after a seek).
    void clearQueued();
    size_t queued() const;

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
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Quorvan

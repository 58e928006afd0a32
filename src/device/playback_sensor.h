// The sensor of a camera that plays a recording: opened with the recorded
// format, it takes each capture from the application's feed instead of from
// hardware, in the capture size the factory holds for the next start.
#pragma once

#include <atomic>
#include <memory>

#include "device/playback_source.h"
#include "quorvan/playback.h"
#include "quorvan/sensor.h"

namespace Quorvan {

class QuorvanTOFPlaybackSensor final : public QuorvanTOFSensor {
public:
    // How long getFrame waits for the next push. Short, because the camera's
    // stop() joins the capture thread, which may be waiting here.
    static constexpr int32_t kCaptureTimeoutMs = 100;

    QuorvanTOFPlaybackSensor(PlaybackFormat format, std::shared_ptr<PlaybackSource> source);
    ~QuorvanTOFPlaybackSensor() override;
    QuorvanTOFPlaybackSensor(const QuorvanTOFPlaybackSensor&) = delete;
    QuorvanTOFPlaybackSensor& operator=(const QuorvanTOFPlaybackSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    // Opens the feed for captures of subframe_count sub-frames.
    int start() override;
    // Closes the feed: pushes fail until the next start.
    int stop() override;
    CameraInfo getFormat() override;
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    // The recording fixed size, rate and range: requests are accepted and
    // change nothing, so the devices configure as they would a live sensor.
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

private:
    PlaybackFormat recorded;
    std::shared_ptr<PlaybackSource> source;
    CameraInfo format{};
    bool opened = false;
    std::atomic<bool> streaming{false};
};

}  // namespace Quorvan

// The USB capture backend as the camera holds it: a QuorvanTOFUSBSensor
// bound to one kit serial, which notices when that kit leaves the bus and,
// with auto-reconnect on, opens and starts it again once it is back, on the
// capture thread, without the camera noticing more than failed captures.
//
// getFrame never waits long for a kit that is away (a short pause, then a
// failed capture), so stop() joins the capture thread as promptly as ever.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/kit_bus.h"
#include "device/usb_sensor.h"
#include "quorvan/camera.h"
#include "quorvan/camera_connection.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/sensor.h"

namespace Quorvan {

class KitConnectionSensor final : public QuorvanTOFSensor {
public:
    using Clock = std::chrono::steady_clock;
    // How often a kit that is away is looked for.
    static constexpr std::chrono::milliseconds kReconnectPoll{100};
    // The pause of a getFrame while the kit is away.
    static constexpr std::chrono::milliseconds kAwayPause{10};
    static constexpr size_t kKeptEvents = 64;

    // `config_path` and `index` as open/openWithFile give them.
    KitConnectionSensor(const char* config_path, uint32_t index, KitBus& bus);
    ~KitConnectionSensor() override;
    KitConnectionSensor(const KitConnectionSensor&) = delete;
    KitConnectionSensor& operator=(const KitConnectionSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override;
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

    const std::string& serial() const { return serial_; }
    void setAutoReconnect(bool enabled) { auto_reconnect_.store(enabled); }
    // Adds the connection counters of the current stream to *statistics.
    void addStatistics(FrameStatistics* statistics) const;
    std::vector<ConnectionEvent> takeEvents();

private:
    // The kit's serial for `index` of the configuration's set, or empty.
    std::string resolveSerial() const;
    std::string innerPath() const;
    // Called on the capture thread while the kit is away.
    int whileAway();
    bool reopen();
    bool kitIsBack() const;
    void frameArrived(uint64_t device_ms);
    void record(ConnectionEvent event);

    KitBus& bus_;
    const KitPath path_;              // the open path, split
    const std::string& config_path_;  // path_.config
    const uint32_t index_;            // the kit's index in its set
    std::string serial_;
    // The camera-less stand-in the reopened sensor reports its format to:
    // the real camera's information is not the capture thread's to write.
    std::unique_ptr<QuorvanTOFCamera> reopen_target_;

    // Held by the application's calls and by the capture thread while it
    // replaces inner_ (the capture thread alone writes it, so its own reads
    // need no lock); no other camera ever takes it.
    mutable std::mutex inner_mutex_;
    std::unique_ptr<QuorvanTOFUSBSensor> inner_;
    bool have_range_ = false;
    int range_ = 0;

    std::atomic<bool> auto_reconnect_{false};
    // Capture-thread state.
    bool away_ = false;
    Clock::time_point away_since_{};
    Clock::time_point next_attempt_{};
    bool gap_pending_ = false;
    bool have_last_frame_ = false;
    Clock::time_point last_frame_{};
    uint64_t last_device_ms_ = 0;
    double frame_interval_ms_ = 0.0;

    std::atomic<uint64_t> disconnects_{0};
    std::atomic<uint64_t> reconnects_{0};
    std::atomic<uint64_t> lost_{0};

    std::mutex events_mutex_;  // guards events_
    std::vector<ConnectionEvent> events_;
};

// Fills the connection counters of `sensor` into *statistics when it is a
// kit connection; leaves them 0 otherwise.
void addConnectionStatistics(const QuorvanTOFSensor* sensor, FrameStatistics* statistics);

}  // namespace Quorvan

// The reconnect policy every capture backend shares: noticing that its device
// left, counting the departure, looking for the device every kReconnectPoll
// while auto-reconnect is on, and accounting for the gap once frames flow
// again. What differs per backend (is the device back, how to reopen and
// restart it) is the backend's Reconnectable.
//
// Runs on the capture thread inside getFrame: a device that is away makes
// getFrame pause briefly and fail, so stop() joins the thread as promptly as
// ever.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quorvan/camera.h"
#include "quorvan/camera_connection.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/sensor.h"

namespace Quorvan {

// The backend's side of a reconnection, called on the capture thread.
class Reconnectable {
public:
    virtual ~Reconnectable() = default;
    // Whether the device can be seen again; cheap, called every poll.
    virtual bool deviceIsBack() = 0;
    // Opens the device afresh, applies the stream's settings and starts it.
    // True when frames can be captured again.
    virtual bool reopenAndRestart() = 0;
};

class ReconnectLoop {
public:
    using Clock = std::chrono::steady_clock;
    // How often a device that is away is looked for.
    static constexpr std::chrono::milliseconds kReconnectPoll{100};
    // The pause of a getFrame while the device is away.
    static constexpr std::chrono::milliseconds kAwayPause{10};
    static constexpr size_t kKeptEvents = 64;

    // `name` goes into the log and the events (a serial, or empty).
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& name() const { return name_; }
    void setAutoReconnect(bool enabled) { auto_reconnect_.store(enabled); }

    // A fresh open: present, auto-reconnect off.
    void opened();
    // A fresh stream: counters and frame history start again.
    void streamStarted();

    // Capture thread only.
    bool isAway() const { return away_; }
    // The device is gone: counted, logged and reported once per departure.
    void departed();
    // getFrame while away: pauses, tries `backend` when a poll is due, and
    // always fails the capture with CaptureFailure::Disconnected.
    int whileAway(Reconnectable& backend, CaptureFailure* failure);
    // A frame was captured; `device_ms` is its device time.
    void frameArrived(uint64_t device_ms);

    void addStatistics(FrameStatistics* statistics) const;
    std::vector<ConnectionEvent> takeEvents();

private:
    void record(ConnectionEvent event);

    std::string name_;
    std::atomic<bool> auto_reconnect_{false};

    // Capture-thread state.
    bool away_ = false;
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

// A capture backend that can lose its device and find it again: the camera's
// connection calls (camera_connection.h) reach every such backend through
// this one base.
class ReconnectingSensor : public QuorvanTOFSensor {
public:
    ReconnectLoop& connection() { return connection_; }
    const ReconnectLoop& connection() const { return connection_; }
    // The device's serial, empty when it has none.
    virtual const std::string& serial() const = 0;

protected:
    // The getFrame of a backend whose captures `inner` makes: while the
    // device is away it runs the reconnect loop with `backend`; a capture
    // that finds the device gone calls deviceDeparted, then counts it.
    int captureThrough(QuorvanTOFSensor* inner, Reconnectable& backend, uint8_t* cache,
                       uint64_t* timestamp);
    // On the capture thread, once per departure.
    virtual void deviceDeparted() {}

    ReconnectLoop connection_;
};

// The camera-less stand-in a reopened backend reports its format to: the
// real camera's information is not the capture thread's to write.
std::unique_ptr<QuorvanTOFCamera> makeReopenTarget();

// Fills the connection counters of `sensor` into *statistics when it can
// reconnect; leaves them 0 otherwise.
void addConnectionStatistics(const QuorvanTOFSensor* sensor, FrameStatistics* statistics);

}  // namespace Quorvan

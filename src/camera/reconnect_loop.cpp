#include "camera/reconnect_loop.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "log/log.h"
#include "quorvan/backend_factory.h"
#include "quorvan/camera.h"
#include "quorvan/types.h"

namespace Quorvan {

namespace {

// The reopened sensor's camera only receives its format; it never opens.
class NoBackends final : public BackendFactory {
public:
    int32_t detectPlatform() override { return 0; }
    std::unique_ptr<QuorvanTOFSensor> createCSISensor(const char*, int32_t) override {
        return nullptr;
    }
    std::unique_ptr<QuorvanTOFSensor> createUSBSensor(const char*, uint32_t) override {
        return nullptr;
    }
    std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t, float, int32_t) override {
        return nullptr;
    }
    std::unique_ptr<QuorvanDevice> createVGADevice(int32_t, int32_t, int32_t) override {
        return nullptr;
    }
};

int64_t hostNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* shown(const std::string& name) {
    return name.empty() ? "(no serial)" : name.c_str();
}

}  // namespace

void ReconnectLoop::opened() {
    away_ = false;
    auto_reconnect_.store(false);
}

void ReconnectLoop::streamStarted() {
    disconnects_.store(0);
    reconnects_.store(0);
    lost_.store(0);
    have_last_frame_ = false;
    gap_pending_ = false;
    // Another stream may run at another rate.
    last_device_ms_ = 0;
    frame_interval_ms_ = 0.0;
}

void ReconnectLoop::departed() {
    away_ = true;
    next_attempt_ = Clock::now() + kReconnectPoll;
    disconnects_.fetch_add(1);
    QUORVAN_LOGF(Camera, Warn, "QuorvanTOFCamera: camera %s left", shown(name_));
    ConnectionEvent event;
    event.kind = ConnectionEvent::Kind::Disconnected;
    record(event);
}

int ReconnectLoop::whileAway(Reconnectable& backend, CaptureFailure* failure) {
    *failure = CaptureFailure::Disconnected;
    const auto now = Clock::now();
    const bool reconnecting = auto_reconnect_.load();
    if (!reconnecting || now < next_attempt_) {
        const Clock::duration pause =
            reconnecting ? std::min<Clock::duration>(kAwayPause, next_attempt_ - now)
                         : Clock::duration(kAwayPause);
        std::this_thread::sleep_for(pause);
        return QuorvanUnkownError;
    }
    next_attempt_ = now + kReconnectPoll;
    if (backend.deviceIsBack() && backend.reopenAndRestart()) {
        away_ = false;
        gap_pending_ = true;
        reconnects_.fetch_add(1);
        QUORVAN_LOGF(Camera, Info, "QuorvanTOFCamera: camera %s is back and streams again",
                     shown(name_));
    }
    return QuorvanUnkownError;
}

void ReconnectLoop::frameArrived(uint64_t device_ms) {
    // The gap in host time: a reopened device may start its own clock afresh.
    const auto now = Clock::now();
    // A frame without a device time (a driver that hands a buffer back
    // before stamping it) must not teach a period from zero to now.
    const bool timed = device_ms != 0;
    if (gap_pending_ && have_last_frame_) {
        gap_pending_ = false;
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_frame_);
        const uint64_t gap_ms = gap.count() > 0 ? static_cast<uint64_t>(gap.count()) : 0;
        uint64_t lost = 0;
        if (frame_interval_ms_ > 0.0) {
            const double periods = std::round(static_cast<double>(gap_ms) / frame_interval_ms_);
            lost = periods > 1.0 ? static_cast<uint64_t>(periods) - 1 : 0;
        }
        lost_.fetch_add(lost);
        ConnectionEvent event;
        event.kind = ConnectionEvent::Kind::Reconnected;
        event.frames_lost = lost;
        event.gap_ms = gap_ms;
        record(event);
        // The reopened device's clock is its own: a period measured from the
        // old one's last stamp would span the whole gap.
        last_device_ms_ = 0;
    } else if (timed && have_last_frame_ && last_device_ms_ != 0 && device_ms > last_device_ms_) {
        // The frame period by the device's own clock, which the host's
        // scheduling does not blur; smoothed.
        const double interval = static_cast<double>(device_ms - last_device_ms_);
        frame_interval_ms_ =
            frame_interval_ms_ == 0.0 ? interval : 0.9 * frame_interval_ms_ + 0.1 * interval;
    }
    have_last_frame_ = true;
    last_frame_ = now;
    if (timed)
        last_device_ms_ = device_ms;
}

void ReconnectLoop::record(ConnectionEvent event) {
    event.serial = name_;
    event.host_time_ns = hostNowNs();
    std::lock_guard<std::mutex> lock(events_mutex_);
    if (events_.size() == kKeptEvents)
        events_.erase(events_.begin());
    events_.push_back(std::move(event));
}

std::vector<ConnectionEvent> ReconnectLoop::takeEvents() {
    std::lock_guard<std::mutex> lock(events_mutex_);
    std::vector<ConnectionEvent> taken;
    taken.swap(events_);
    return taken;
}

void ReconnectLoop::addStatistics(FrameStatistics* statistics) const {
    statistics->disconnects = disconnects_.load();
    statistics->reconnects = reconnects_.load();
    statistics->lost_while_disconnected = lost_.load();
}

int ReconnectingSensor::captureThrough(QuorvanTOFSensor* inner, Reconnectable& backend,
                                       uint8_t* cache, uint64_t* timestamp) {
    if (connection_.isAway())
        return connection_.whileAway(backend, &last_capture_failure);
    // Without a lock: only the capture thread replaces the inner sensor, and
    // the application's calls must not wait for a capture to finish.
    if (inner == nullptr)
        return QuorvanUnkownError;
    inner->subframe_count = subframe_count;
    const int result = inner->getFrame(cache, timestamp);
    last_capture_failure = inner->last_capture_failure;
    if (result == QuorvanSuccess) {
        connection_.frameArrived(*timestamp);
        return result;
    }
    if (last_capture_failure == CaptureFailure::Disconnected) {
        deviceDeparted();
        connection_.departed();
    }
    return result;
}

std::unique_ptr<QuorvanTOFCamera> makeReopenTarget() {
    return std::make_unique<QuorvanTOFCamera>(std::make_shared<NoBackends>());
}

void addConnectionStatistics(const QuorvanTOFSensor* sensor, FrameStatistics* statistics) {
    if (const auto* reconnecting = dynamic_cast<const ReconnectingSensor*>(sensor))
        reconnecting->connection().addStatistics(statistics);
}

}  // namespace Quorvan

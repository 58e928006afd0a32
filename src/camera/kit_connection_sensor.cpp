#include "camera/kit_connection_sensor.h"

#include <cmath>
#include <thread>

#include "camera/camera_internals.h"
#include "log/log.h"

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

bool isBinaryPath(const std::string& path) {
    return QuorvanTOFUSBSensor::isBinaryConfigPath(path);
}

int64_t hostNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

KitConnectionSensor::KitConnectionSensor(const char* config_path, uint32_t index, KitBus& bus)
    : bus_(bus),
      path_(splitKitPath(config_path ? config_path : "")),
      config_path_(path_.config),
      index_(path_.has_index ? path_.index : index),
      reopen_target_(std::make_unique<QuorvanTOFCamera>(std::make_shared<NoBackends>())) {}

KitConnectionSensor::~KitConnectionSensor() = default;

std::string KitConnectionSensor::resolveSerial() const {
    // A binary configuration is one kit with the defaults; it takes no selector.
    if (!path_.serial.empty())
        return path_.serial;
    if (isBinaryPath(config_path_) || !bus_.knowsKits())
        return "";
    std::vector<KitOnBus> kits;
    if (!bus_.list(config_path_, &kits))
        return "";
    for (const KitOnBus& kit : kits) {
        if (kit.index == index_)
            return kit.serial;
    }
    return "";
}

std::string KitConnectionSensor::innerPath() const {
    if (!serial_.empty())
        return kitPathForSerial(config_path_, serial_);
    // A bus that lists kits but has none at this index: let the library say so.
    if (index_ != 0 && bus_.knowsKits() && !isBinaryPath(config_path_))
        return kitPathForIndex(config_path_, index_);
    return config_path_;
}

int KitConnectionSensor::open(QuorvanTOFCamera& camera) {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    have_range_ = false;
    away_ = false;
    auto_reconnect_.store(false);
    // Kit 0 opens by the plain path, so a configuration that does not load
    // is reported once, by the open; its serial is looked up afterwards.
    serial_ = index_ != 0 ? resolveSerial() : path_.serial;
    inner_ = std::make_unique<QuorvanTOFUSBSensor>(innerPath().c_str(), index_);
    const int opened = inner_->open(camera);
    if (opened == QuorvanSuccess && serial_.empty())
        serial_ = resolveSerial();
    return opened;
}

int KitConnectionSensor::close() {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_ ? inner_->close() : QuorvanSuccess;
}

int KitConnectionSensor::start() {
    disconnects_.store(0);
    reconnects_.store(0);
    lost_.store(0);
    have_last_frame_ = false;
    gap_pending_ = false;
    std::lock_guard<std::mutex> lock(inner_mutex_);
    if (!inner_)
        return QuorvanUnkownError;
    inner_->subframe_count = subframe_count;
    return inner_->start();
}

int KitConnectionSensor::stop() {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_ ? inner_->stop() : QuorvanSuccess;
}

CameraInfo KitConnectionSensor::getFormat() {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_ ? inner_->getFormat() : CameraInfo{};
}

int KitConnectionSensor::setControl(CameraCtrl id, int value) {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    if (!inner_)
        return QuorvanUnkownError;
    const int result = inner_->setControl(id, value);
    if (id == CameraCtrl::RANGE && result == QuorvanSuccess) {
        // Written again to a reopened kit, which starts with its defaults.
        have_range_ = true;
        range_ = value;
    }
    return result;
}

int KitConnectionSensor::getControl(CameraCtrl id, int* value) {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_ ? inner_->getControl(id, value) : QuorvanUnkownError;
}

int KitConnectionSensor::getFrame(uint8_t* cache, uint64_t* timestamp) {
    if (away_)
        return whileAway();
    // Without the lock: only this thread replaces inner_, and the
    // application's calls must not wait for a capture to finish.
    if (!inner_)
        return QuorvanUnkownError;
    inner_->subframe_count = subframe_count;
    const int result = inner_->getFrame(cache, timestamp);
    last_capture_failure = inner_->last_capture_failure;
    if (result == QuorvanSuccess) {
        frameArrived(*timestamp);
        return result;
    }
    if (last_capture_failure == CaptureFailure::Disconnected) {
        away_ = true;
        away_since_ = Clock::now();
        next_attempt_ = away_since_ + kReconnectPoll;
        disconnects_.fetch_add(1);
        QUORVAN_LOGF(Camera, Warn, "QuorvanTOFCamera: kit %s left the bus",
                     serial_.empty() ? "(no serial)" : serial_.c_str());
        ConnectionEvent event;
        event.kind = ConnectionEvent::Kind::Disconnected;
        record(event);
    }
    return result;
}

int KitConnectionSensor::whileAway() {
    last_capture_failure = CaptureFailure::Disconnected;
    const auto now = Clock::now();
    if (!auto_reconnect_.load() || now < next_attempt_) {
        const auto pause = auto_reconnect_.load()
                               ? std::min<Clock::duration>(kAwayPause, next_attempt_ - now)
                               : Clock::duration(kAwayPause);
        std::this_thread::sleep_for(pause);
        return QuorvanUnkownError;
    }
    next_attempt_ = now + kReconnectPoll;
    if (kitIsBack() && reopen()) {
        away_ = false;
        gap_pending_ = true;
        reconnects_.fetch_add(1);
        QUORVAN_LOGF(Camera, Info, "QuorvanTOFCamera: kit %s is back and streams again",
                     serial_.c_str());
    }
    return QuorvanUnkownError;
}

bool KitConnectionSensor::kitIsBack() const {
    // Without a serial to look for, only trying to open tells.
    if (serial_.empty())
        return true;
    std::vector<KitOnBus> kits;
    if (!bus_.list(config_path_, &kits))
        return true;
    for (const KitOnBus& kit : kits) {
        if (kit.serial == serial_)
            return kit.attached;
    }
    return false;
}

bool KitConnectionSensor::reopen() {
    auto fresh = std::make_unique<QuorvanTOFUSBSensor>(innerPath().c_str(), index_);
    fresh->subframe_count = subframe_count;
    if (fresh->open(*reopen_target_) != QuorvanSuccess) {
        fresh->close();
        return false;
    }
    std::lock_guard<std::mutex> lock(inner_mutex_);
    const CameraInfo was = inner_->getFormat();
    const CameraInfo now = fresh->getFormat();
    if (now.width != was.width || now.height != was.height || now.bpp != was.bpp ||
        now.bit_width != was.bit_width) {
        // Another kind of kit under the same serial: this stream cannot go on.
        QUORVAN_LOGF(Camera, Error, "QuorvanTOFCamera: kit %s came back with another format",
                     serial_.c_str());
        fresh->close();
        return false;
    }
    if (have_range_)
        fresh->setControl(CameraCtrl::RANGE, range_);
    if (fresh->start() != QuorvanSuccess) {
        fresh->stop();
        fresh->close();
        return false;
    }
    inner_->stop();
    inner_->close();
    inner_ = std::move(fresh);
    return true;
}

void KitConnectionSensor::frameArrived(uint64_t device_ms) {
    // The gap in host time: a reopened kit may start its own clock afresh.
    const auto now = Clock::now();
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
    } else if (have_last_frame_ && device_ms > last_device_ms_) {
        // The frame period by the device's own clock, which the host's
        // scheduling does not blur; smoothed.
        const double interval = static_cast<double>(device_ms - last_device_ms_);
        frame_interval_ms_ =
            frame_interval_ms_ == 0.0 ? interval : 0.9 * frame_interval_ms_ + 0.1 * interval;
    }
    have_last_frame_ = true;
    last_frame_ = now;
    last_device_ms_ = device_ms;
}

void KitConnectionSensor::record(ConnectionEvent event) {
    event.serial = serial_;
    event.host_time_ns = hostNowNs();
    std::lock_guard<std::mutex> lock(events_mutex_);
    if (events_.size() == kKeptEvents)
        events_.erase(events_.begin());
    events_.push_back(std::move(event));
}

std::vector<ConnectionEvent> KitConnectionSensor::takeEvents() {
    std::lock_guard<std::mutex> lock(events_mutex_);
    std::vector<ConnectionEvent> taken;
    taken.swap(events_);
    return taken;
}

void KitConnectionSensor::addStatistics(FrameStatistics* statistics) const {
    statistics->disconnects = disconnects_.load();
    statistics->reconnects = reconnects_.load();
    statistics->lost_while_disconnected = lost_.load();
}

void addConnectionStatistics(const QuorvanTOFSensor* sensor, FrameStatistics* statistics) {
    if (const auto* kit = dynamic_cast<const KitConnectionSensor*>(sensor))
        kit->addStatistics(statistics);
}

}  // namespace Quorvan

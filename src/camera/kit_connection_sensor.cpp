#include "camera/kit_connection_sensor.h"

#include "camera/camera_internals.h"
#include "log/log.h"

namespace Quorvan {

namespace {

bool isBinaryPath(const std::string& path) {
    return QuorvanTOFUSBSensor::isBinaryConfigPath(path);
}

}  // namespace

KitConnectionSensor::KitConnectionSensor(const char* config_path, uint32_t index, KitBus& bus)
    : bus_(bus),
      path_(splitKitPath(config_path ? config_path : "")),
      config_path_(path_.config),
      index_(path_.has_index ? path_.index : index),
      reopen_target_(makeReopenTarget()) {}

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
    connection_.opened();
    // Kit 0 opens by the plain path, so a configuration that does not load
    // is reported once, by the open; its serial is looked up afterwards.
    serial_ = index_ != 0 ? resolveSerial() : path_.serial;
    replaceForOpen(std::make_unique<QuorvanTOFUSBSensor>(innerPath().c_str(), index_));
    const int opened = inner_->open(camera);
    if (opened == QuorvanSuccess && serial_.empty())
        serial_ = resolveSerial();
    connection_.setName(serial_);
    return opened;
}

bool KitConnectionSensor::deviceIsBack() {
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

bool KitConnectionSensor::reopenAndRestart() {
    auto fresh = std::make_unique<QuorvanTOFUSBSensor>(innerPath().c_str(), index_);
    fresh->subframe_count = subframe_count;
    if (fresh->open(*reopen_target_) != QuorvanSuccess) {
        fresh->close();
        return false;
    }
    std::lock_guard<std::mutex> lock(inner_mutex_);
    // A reopened kit starts with its defaults; another kind of kit under the
    // same serial cannot carry this stream on.
    return restartInPlace(std::move(fresh), inner_->getFormat(), "kit " + serial_);
}

}  // namespace Quorvan

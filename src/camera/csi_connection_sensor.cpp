#include "camera/csi_connection_sensor.h"

#include <algorithm>

#include "log/log.h"

namespace Quorvan {

namespace {

bool sameFormat(const CameraInfo& a, const CameraInfo& b) {
    return a.width == b.width && a.height == b.height && a.bpp == b.bpp &&
           a.bit_width == b.bit_width;
}

}  // namespace

CsiConnectionSensor::CsiConnectionSensor(const char* node_path, int32_t platform,
                                         KernelInterface& kernel)
    : kernel_(kernel),
      platform_(platform),
      opened_path_(node_path ? node_path : ""),
      reopen_target_(makeReopenTarget()),
      node_path_(opened_path_) {}

CsiConnectionSensor::~CsiConnectionSensor() = default;

int CsiConnectionSensor::open(QuorvanTOFCamera& camera) {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    connection_.opened();
    released_ = false;
    settings_.clear();
    node_path_ = opened_path_;
    inner_ = std::make_unique<QuorvanTOFCSISensor>(node_path_.c_str(), platform_, kernel_);
    const int opened = inner_->open(camera);
    identity_ = inner_->identity();
    serial_ = identity_.media_serial;
    connection_.setName(serial_);
    return opened;
}

int CsiConnectionSensor::close() {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    released_ = false;
    return inner_ ? inner_->close() : QuorvanSuccess;
}

int CsiConnectionSensor::start() {
    connection_.streamStarted();
    std::lock_guard<std::mutex> lock(inner_mutex_);
    // A camera whose device vanished starts again only after an open.
    if (!inner_ || released_)
        return QuorvanSystemError;
    inner_->subframe_count = subframe_count;
    return inner_->start();
}

int CsiConnectionSensor::stop() {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    // Nothing of a vanished device is left to stop.
    if (released_)
        return QuorvanSuccess;
    return inner_ ? inner_->stop() : QuorvanSystemError;
}

CameraInfo CsiConnectionSensor::getFormat() {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_ ? inner_->getFormat() : CameraInfo{};
}

std::string CsiConnectionSensor::nodePath() const {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return node_path_;
}

void CsiConnectionSensor::rememberSetting(CameraCtrl id, int value) {
    auto kept = std::find_if(settings_.begin(), settings_.end(),
                             [id](const auto& setting) { return setting.first == id; });
    if (kept == settings_.end())
        settings_.emplace_back(id, value);
    else
        kept->second = value;
}

int CsiConnectionSensor::setControl(CameraCtrl id, int value) {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    if (!inner_)
        return QuorvanUnkownError;
    const int result = inner_->setControl(id, value);
    if (result == QuorvanSuccess)
        rememberSetting(id, value);
    return result;
}

int CsiConnectionSensor::getControl(CameraCtrl id, int* value) {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return inner_ ? inner_->getControl(id, value) : QuorvanUnkownError;
}

int CsiConnectionSensor::getFrame(uint8_t* cache, uint64_t* timestamp) {
    return captureThrough(inner_.get(), *this, cache, timestamp);
}

void CsiConnectionSensor::deviceDeparted() {
    // The driver cannot be unloaded while this process holds its nodes open,
    // and a vanished node answers nothing but errors: let go of all of it.
    std::lock_guard<std::mutex> lock(inner_mutex_);
    inner_->close();
    released_ = true;
}

bool CsiConnectionSensor::deviceIsBack() {
    for (const std::string& path : listVideoNodes(kernel_)) {
        CsiIdentity found;
        if (probeCaptureNode(kernel_, path.c_str(), &found) && found.sameCaptureNode(identity_)) {
            candidate_path_ = path;
            return true;
        }
    }
    return false;
}

bool CsiConnectionSensor::reopenAndRestart() {
    auto fresh = std::make_unique<QuorvanTOFCSISensor>(candidate_path_.c_str(), platform_, kernel_);
    fresh->subframe_count = subframe_count;
    if (fresh->open(*reopen_target_) != QuorvanSuccess) {
        fresh->close();
        return false;
    }
    if (fresh->identity() != identity_) {
        // The same receiver, another sensor (or another bus): not this camera.
        fresh->close();
        return false;
    }
    std::lock_guard<std::mutex> lock(inner_mutex_);
    // The stream's geometry first: where the size comes from the capture
    // node, a reloaded driver starts from its own default format.
    const CameraInfo streamed = inner_->getFormat();
    fresh->setControl(CameraCtrl::FMT_WIDTH, static_cast<int>(streamed.width));
    fresh->setControl(CameraCtrl::FMT_HEIGHT, static_cast<int>(streamed.height));
    for (const auto& [id, value] : settings_) {
        if (fresh->setControl(id, value) != QuorvanSuccess) {
            QUORVAN_LOGF(Camera, Warn, "QuorvanTOFCamera: %s refused a setting on its return",
                         candidate_path_.c_str());
            fresh->close();
            return false;
        }
    }
    if (!sameFormat(fresh->getFormat(), streamed)) {
        QUORVAN_LOGF(Camera, Error, "QuorvanTOFCamera: %s came back with another format",
                     candidate_path_.c_str());
        fresh->close();
        return false;
    }
    if (fresh->start() != QuorvanSuccess) {
        fresh->stop();
        fresh->close();
        return false;
    }
    inner_ = std::move(fresh);
    node_path_ = candidate_path_;
    released_ = false;
    return true;
}

}  // namespace Quorvan

#include "camera/csi_connection_sensor.h"

#include "log/log.h"

namespace Quorvan {

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
    node_path_ = opened_path_;
    replaceForOpen(std::make_unique<QuorvanTOFCSISensor>(node_path_.c_str(), platform_, kernel_));
    const int opened = inner_->open(camera);
    identity_ = inner_->identity();
    serial_ = identity_.media_serial;
    connection_.setName(serial_);
    return opened;
}

std::string CsiConnectionSensor::nodePath() const {
    std::lock_guard<std::mutex> lock(inner_mutex_);
    return node_path_;
}

void CsiConnectionSensor::deviceDeparted() {
    // The driver cannot be unloaded while this process holds its nodes open,
    // and a vanished node answers nothing but errors: let go of all of it.
    std::lock_guard<std::mutex> lock(inner_mutex_);
    release();
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
    if (!restartInPlace(std::move(fresh), streamed, candidate_path_))
        return false;
    node_path_ = candidate_path_;
    return true;
}

}  // namespace Quorvan

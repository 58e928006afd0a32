#include "camera/camera_optics.h"

namespace Quorvan {

void CameraOptics::setCalibrated(const CameraIntrinsics& intrinsics) {
    std::lock_guard<std::mutex> lock(mutex_);
    calibrated_ = intrinsics;
}

CameraIntrinsics CameraOptics::intrinsicsFor(DeviceType device_type, uint32_t width,
                                             uint32_t height) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (calibrated_ && calibrated_->width == width && calibrated_->height == height)
        return *calibrated_;
    return nominalIntrinsics(device_type, width, height);
}

std::shared_ptr<const RayTable> CameraOptics::raysFor(DeviceType device_type, uint32_t width,
                                                      uint32_t height) {
    const CameraIntrinsics wanted = intrinsicsFor(device_type, width, height);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!rays_ || !sameModel(rays_->intrinsics(), wanted))
        rays_ = std::make_shared<const RayTable>(wanted);
    return rays_;
}

bool CameraOptics::sameModel(const CameraIntrinsics& a, const CameraIntrinsics& b) {
    return a.width == b.width && a.height == b.height && a.fx == b.fx && a.fy == b.fy &&
           a.cx == b.cx && a.cy == b.cy && a.distortion == b.distortion;
}

}  // namespace Quorvan

// The optics a camera reports: the caller's calibrated values when they fit
// the image size, the sensor class's nominal lens otherwise; plus the unit
// rays of those optics, computed once and kept until the optics change.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"

namespace Quorvan {

class CameraOptics {
public:
    void setCalibrated(const CameraIntrinsics& intrinsics);
    // The model for an image of this size from a sensor of this class.
    CameraIntrinsics intrinsicsFor(DeviceType device_type, uint32_t width, uint32_t height) const;
    // The rays of intrinsicsFor(...); shared so a caller may keep using them
    // while another thread installs new optics.
    std::shared_ptr<const RayTable> raysFor(DeviceType device_type, uint32_t width,
                                            uint32_t height);

private:
    static bool sameModel(const CameraIntrinsics& a, const CameraIntrinsics& b);

    mutable std::mutex mutex_;  // guards calibrated_ and rays_
    std::optional<CameraIntrinsics> calibrated_;
    std::shared_ptr<const RayTable> rays_;
};

}  // namespace Quorvan

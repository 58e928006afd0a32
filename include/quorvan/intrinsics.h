// The pinhole model of a camera's optics, and where its values come from.
//
// Pixel coordinates follow the usual convention: the centre of the top-left
// pixel is (0, 0), u grows to the right and v downwards. A pixel (u, v) looks
// along the ray through ((u - cx) / fx, (v - cy) / fy, 1) in camera
// coordinates (x right, y down, z along the optical axis), after removing the
// lens distortion.
#pragma once

#include <array>
#include <cstdint>

#include "quorvan/export.h"
#include "quorvan/types.h"

namespace Quorvan {

struct CameraIntrinsics {
    uint32_t width = 0;
    uint32_t height = 0;
    float fx = 0.0f;  // focal lengths in pixels
    float fy = 0.0f;
    float cx = 0.0f;  // principal point in pixels
    float cy = 0.0f;
    // Radial and tangential coefficients in the order k1, k2, p1, p2, k3
    // (the Brown-Conrady model); all zero for an ideal lens.
    std::array<float, 5> distortion{};

    bool isValid() const;
};

// Square pixels, principal point in the middle of the image and no
// distortion: the optics described by a horizontal field of view alone.
CameraIntrinsics intrinsicsFromHorizontalFov(uint32_t width, uint32_t height,
                                             double horizontal_fov_deg);

// Nominal horizontal field of view of each sensor class's standard lens,
// used until a caller supplies calibrated values. The emulated kit renders
// its scenes through exactly this lens unless its configuration file says
// otherwise.
constexpr double kHqvgaNominalHorizontalFovDeg = 70.0;
constexpr double kVgaNominalHorizontalFovDeg = 70.0;

// The nominal optics of a sensor class at the given image size.
QUORVAN_API CameraIntrinsics nominalIntrinsics(DeviceType device_type, uint32_t width,
                                               uint32_t height);

// Reads calibrated values from a text file of `key = value` lines (keys
// width, height, fx, fy, cx, cy, k1, k2, p1, p2, k3; '#' starts a comment;
// missing distortion keys are zero). Returns QuorvanInvalidParameter and
// leaves *intrinsics untouched when the file is missing, a key is unknown,
// a value does not parse or the result is not a valid model.
QUORVAN_API TofErrorCode loadIntrinsicsFile(const char* path, CameraIntrinsics* intrinsics);

}  // namespace Quorvan

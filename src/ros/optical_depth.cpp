#include "ros/optical_depth.h"

#include <cmath>
#include <limits>

namespace Quorvan {
namespace ros {

namespace {

bool usable(const RayTable& rays, const void* in, std::size_t pixels, const void* out) {
    return in != nullptr && out != nullptr && rays.pixelCount() != 0 && pixels == rays.pixelCount();
}

// The camera's mark of a pixel with depth; NaN and infinities fail it.
inline bool hasDepth(float radial_mm) {
    return radial_mm > 0.0f && radial_mm <= std::numeric_limits<float>::max();
}

}  // namespace

MessageStatus opticalDepthMetres(const RayTable& rays, const float* radial_mm, std::size_t pixels,
                                 float* z_m) {
    if (!usable(rays, radial_mm, pixels, z_m))
        return MessageStatus::InvalidArgument;
    const float* ray_z = rays.rayZ();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t i = 0; i < pixels; ++i) {
        const float d = radial_mm[i];
        // Millimetres to metres in the same multiply as the projection.
        z_m[i] = hasDepth(d) ? d * (ray_z[i] * 0.001f) : nan;
    }
    return MessageStatus::Ok;
}

MessageStatus opticalDepthMillimetres(const RayTable& rays, const float* radial_mm,
                                      std::size_t pixels, uint16_t* z_mm) {
    if (!usable(rays, radial_mm, pixels, z_mm))
        return MessageStatus::InvalidArgument;
    const float* ray_z = rays.rayZ();
    for (std::size_t i = 0; i < pixels; ++i) {
        const float d = radial_mm[i];
        const float z = d * ray_z[i];
        // Rounded to the nearest millimetre (z is positive where it counts);
        // depth too far for 16 bits is no depth rather than a wrapped value.
        // Selects rather than branches, so that the loop vectorises.
        // The select comes before the conversion, which only sees values in range.
        const bool fits = hasDepth(d) && z >= 0.5f && z < 65535.5f;
        z_mm[i] = static_cast<uint16_t>(fits ? z + 0.5f : 0.0f);
    }
    return MessageStatus::Ok;
}

MessageStatus radialDepthFromOpticalMetres(const RayTable& rays, const float* z_m,
                                           std::size_t pixels, float* radial_mm) {
    if (!usable(rays, z_m, pixels, radial_mm))
        return MessageStatus::InvalidArgument;
    const float* ray_z = rays.rayZ();
    for (std::size_t i = 0; i < pixels; ++i) {
        const float z = z_m[i];
        // Every ray of a valid table points forwards (its Z is positive).
        radial_mm[i] = hasDepth(z) ? z * 1000.0f / ray_z[i] : 0.0f;
    }
    return MessageStatus::Ok;
}

}  // namespace ros
}  // namespace Quorvan

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

// Checks the planes against the table, then sets out[i] = convert(in[i],
// ray_z[i]) for every pixel. One pass with the conversion inlined, so that
// each loop vectorises as a hand-written one would.
template <typename Out, typename Convert>
MessageStatus convertEachPixel(const RayTable& rays, const float* in, std::size_t pixels, Out* out,
                               Convert convert) {
    if (!usable(rays, in, pixels, out))
        return MessageStatus::InvalidArgument;
    const float* ray_z = rays.rayZ();
    for (std::size_t i = 0; i < pixels; ++i)
        out[i] = convert(in[i], ray_z[i]);
    return MessageStatus::Ok;
}

}  // namespace

MessageStatus opticalDepthMetres(const RayTable& rays, const float* radial_mm, std::size_t pixels,
                                 float* z_m) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    return convertEachPixel(rays, radial_mm, pixels, z_m, [nan](float d, float ray_z) {
        // Millimetres to metres in the same multiply as the projection.
        return hasDepth(d) ? d * (ray_z * 0.001f) : nan;
    });
}

MessageStatus opticalDepthMillimetres(const RayTable& rays, const float* radial_mm,
                                      std::size_t pixels, uint16_t* z_mm) {
    return convertEachPixel(rays, radial_mm, pixels, z_mm, [](float d, float ray_z) {
        const float z = d * ray_z;
        // Rounded to the nearest millimetre (z is positive where it counts);
        // depth too far for 16 bits is no depth rather than a wrapped value.
        // Selects rather than branches, so that the loop vectorises.
        // The select comes before the conversion, which only sees values in range.
        const bool fits = hasDepth(d) && z >= 0.5f && z < 65535.5f;
        return static_cast<uint16_t>(fits ? z + 0.5f : 0.0f);
    });
}

MessageStatus radialDepthFromOpticalMetres(const RayTable& rays, const float* z_m,
                                           std::size_t pixels, float* radial_mm) {
    return convertEachPixel(rays, z_m, pixels, radial_mm, [](float z, float ray_z) {
        // Every ray of a valid table points forwards (its Z is positive).
        return hasDepth(z) ? z * 1000.0f / ray_z : 0.0f;
    });
}

}  // namespace ros
}  // namespace Quorvan

// Depth planes to 3-D points.
//
// A time-of-flight pixel measures the distance from the camera centre along
// its own ray (radial distance), not the Z coordinate. A point is therefore
// that distance times the pixel's unit ray, and the unit rays of every pixel
// are computed once per set of intrinsics (distortion removed there), so
// deprojecting a frame is one multiply per coordinate.
//
//   RayTable rays(camera.getIntrinsics());
//   std::vector<float> xyz(3 * rays.pixelCount());
//   deprojectDepth(rays, depth_plane, xyz.data());   // millimetres, NaN = no depth
//   writePly("cloud.ply", xyz.data(), rays.pixelCount(), nullptr);
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvan/export.h"
#include "quorvan/intrinsics.h"
#include "quorvan/types.h"

namespace Quorvan {

class QUORVAN_API RayTable {
public:
    // Invalid intrinsics give an empty table (pixelCount() == 0).
    explicit RayTable(const CameraIntrinsics& intrinsics);

    const CameraIntrinsics& intrinsics() const { return intrinsics_; }
    std::size_t pixelCount() const { return ray_x_.size(); }
    // Unit ray components, one plane each, row-major.
    const float* rayX() const { return ray_x_.data(); }
    const float* rayY() const { return ray_y_.data(); }
    const float* rayZ() const { return ray_z_.data(); }
    // The same rays interleaved (x, y, z per pixel), in the layout of the
    // points deprojectDepth writes, so that it streams through both.
    const float* rayXYZ() const { return ray_xyz_.data(); }

private:
    CameraIntrinsics intrinsics_;
    std::vector<float> ray_x_;
    std::vector<float> ray_y_;
    std::vector<float> ray_z_;
    std::vector<float> ray_xyz_;
};

// Writes x, y, z (millimetres, interleaved: 3 floats per pixel) for every
// pixel of `radial_depth_mm`. Pixels without valid depth (zero, negative or
// not finite) get NaN in all three. Allocates nothing.
QUORVAN_API void deprojectDepth(const RayTable& rays, const float* radial_depth_mm, float* xyz);

// Grey levels for colouring points: amplitude mapped linearly from
// [low, high] to 0..255 (clamped), three equal bytes per pixel.
void colourByAmplitude(const float* amplitude, std::size_t pixel_count, float low, float high,
                       uint8_t* rgb);

// Writes the finite points of `xyz` (3 floats per point) as a binary
// little-endian PLY file; with `rgb` (3 bytes per point, may be null) each
// vertex also gets red, green and blue. QuorvanInvalidParameter for null
// arguments, QuorvanUnkownError when the file cannot be written.
TofErrorCode writePly(const char* path, const float* xyz, std::size_t point_count,
                      const uint8_t* rgb);

}  // namespace Quorvan

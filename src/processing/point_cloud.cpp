#include "quorvan/point_cloud.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "processing/processing_variants.h"
#include "system/kernel_files.h"

namespace Quorvan {

namespace {

// Inverts the Brown-Conrady model by fixed-point iteration (as calibration
// tools do); ten steps converge far below a pixel for any real lens.
void undistort(const std::array<float, 5>& d, double xd, double yd, double* x, double* y) {
    const double k1 = d[0], k2 = d[1], p1 = d[2], p2 = d[3], k3 = d[4];
    double xu = xd;
    double yu = yd;
    for (int step = 0; step < 10; ++step) {
        const double r2 = xu * xu + yu * yu;
        const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
        const double dx = 2.0 * p1 * xu * yu + p2 * (r2 + 2.0 * xu * xu);
        const double dy = p1 * (r2 + 2.0 * yu * yu) + 2.0 * p2 * xu * yu;
        xu = (xd - dx) / radial;
        yu = (yd - dy) / radial;
    }
    *x = xu;
    *y = yu;
}

}  // namespace

RayTable::RayTable(const CameraIntrinsics& intrinsics) : intrinsics_(intrinsics) {
    if (!intrinsics.isValid())
        return;
    const std::size_t pixels = static_cast<std::size_t>(intrinsics.width) * intrinsics.height;
    ray_x_.resize(pixels);
    ray_y_.resize(pixels);
    ray_z_.resize(pixels);
    ray_xyz_.resize(3 * pixels);
    const bool distorted = std::any_of(intrinsics.distortion.begin(), intrinsics.distortion.end(),
                                       [](float c) { return c != 0.0f; });
    for (uint32_t v = 0; v < intrinsics.height; ++v) {
        for (uint32_t u = 0; u < intrinsics.width; ++u) {
            double x = (u - static_cast<double>(intrinsics.cx)) / intrinsics.fx;
            double y = (v - static_cast<double>(intrinsics.cy)) / intrinsics.fy;
            if (distorted)
                undistort(intrinsics.distortion, x, y, &x, &y);
            const double inverse_length = 1.0 / std::sqrt(x * x + y * y + 1.0);
            const std::size_t i = static_cast<std::size_t>(v) * intrinsics.width + u;
            ray_x_[i] = static_cast<float>(x * inverse_length);
            ray_y_[i] = static_cast<float>(y * inverse_length);
            ray_z_[i] = static_cast<float>(inverse_length);
            ray_xyz_[3 * i] = ray_x_[i];
            ray_xyz_[3 * i + 1] = ray_y_[i];
            ray_xyz_[3 * i + 2] = ray_z_[i];
        }
    }
}

void deprojectDepth(const RayTable& rays, const float* radial_depth_mm, float* xyz) {
    processing::selectedProcessingVariant().deproject(rays, radial_depth_mm, xyz);
}

void colourByAmplitude(const float* amplitude, std::size_t pixel_count, float low, float high,
                       uint8_t* rgb) {
    const float span = high > low ? high - low : 1.0f;
    for (std::size_t i = 0; i < pixel_count; ++i) {
        const float level = std::min(std::max((amplitude[i] - low) / span, 0.0f), 1.0f);
        // NaN amplitude fails both comparisons above and ends as 0.
        const uint8_t grey = level > 0.0f ? static_cast<uint8_t>(level * 255.0f + 0.5f) : 0;
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = grey;
    }
}

TofErrorCode writePly(const char* path, const float* xyz, std::size_t point_count,
                      const uint8_t* rgb) {
    if (path == nullptr || xyz == nullptr)
        return QuorvanInvalidParameter;
    std::size_t finite = 0;
    for (std::size_t i = 0; i < point_count; ++i)
        finite += std::isfinite(xyz[3 * i]) && std::isfinite(xyz[3 * i + 1]) &&
                  std::isfinite(xyz[3 * i + 2]);
    std::string header = "ply\nformat binary_little_endian 1.0\ncomment units millimetres\n";
    header += "element vertex " + std::to_string(finite) + "\n";
    header += "property float x\nproperty float y\nproperty float z\n";
    if (rgb != nullptr)
        header += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    header += "end_header\n";
    // The whole file is built in memory and written at once: a cloud of the
    // largest sensor is a few megabytes.
    const std::size_t vertex_bytes = 3 * sizeof(float) + (rgb != nullptr ? 3 : 0);
    std::string file = std::move(header);
    file.reserve(file.size() + finite * vertex_bytes);
    // PLY's binary_little_endian matches the in-memory floats of every host
    // this SDK builds for (x86-64 and aarch64).
    for (std::size_t i = 0; i < point_count; ++i) {
        const float* point = xyz + 3 * i;
        if (!(std::isfinite(point[0]) && std::isfinite(point[1]) && std::isfinite(point[2])))
            continue;
        file.append(reinterpret_cast<const char*>(point), 3 * sizeof(float));
        if (rgb != nullptr)
            file.append(reinterpret_cast<const char*>(rgb + 3 * i), 3);
    }
    const bool ok = writeWholeFile(linuxKernel(), path, file.data(), file.size());
    return ok ? QuorvanSuccess : QuorvanUnkownError;
}

}  // namespace Quorvan

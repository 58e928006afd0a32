// Depth as ROS tools read it. The camera measures each pixel's distance from
// the optical centre along the pixel's own ray; ROS depth images (REP 118)
// hold the Z coordinate along the optical axis instead, which is what
// depth_image_proc and RViz deproject with x = (u - cx) z / fx. The two differ
// by the Z component of the pixel's unit ray, the same rays the SDK's point
// cloud is built from, so a ROS tool's cloud and the SDK's agree.
//
//   RayTable rays(camera.getIntrinsics());
//   std::vector<float> z_m(rays.pixelCount());
//   opticalDepthMetres(rays, radial_mm, rays.pixelCount(), z_m.data());
//
// A pixel without depth (zero, negative or not finite) becomes NaN in metres
// ("32FC1") and 0 in millimetres ("16UC1"), each encoding's own mark of no
// data; a Z beyond 65535 mm cannot be a 16UC1 sample and becomes 0 too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvan/point_cloud.h"
#include "ros/ros_messages.h"

namespace Quorvan {
namespace ros {

// InvalidArgument for null planes, an empty ray table or a pixel count that
// is not the table's.
MessageStatus opticalDepthMetres(const RayTable& rays, const float* radial_mm, std::size_t pixels,
                                 float* z_m);
MessageStatus opticalDepthMillimetres(const RayTable& rays, const float* radial_mm,
                                      std::size_t pixels, uint16_t* z_mm);

// The way back, for readers that want the camera's own distances from a ROS
// depth image in metres: millimetres along the ray, 0 where Z is NaN or not
// positive (the camera's mark of no depth).
MessageStatus radialDepthFromOpticalMetres(const RayTable& rays, const float* z_m,
                                           std::size_t pixels, float* radial_mm);

}  // namespace ros
}  // namespace Quorvan

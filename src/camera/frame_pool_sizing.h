// Sizing a frame pool for one output type from what the sensor captures and
// what the device makes of it.
#pragma once

#include <memory>

#include "camera/frame_pool.h"
#include "quorvan/device.h"
#include "quorvan/types.h"

namespace Quorvan {

// Asks the device for its planes (into `raw` and `depth`) and builds a pool
// whose cache holds one whole capture of `subframe_count` images of the
// sensor's format and whose buffers hold the plane `type` selects. Refuses
// (QuorvanUnkownError, with a message for a mismatch) a type without a plane
// and a sensor format too small for the device's raw plane, and reports
// QuorvanSystemError when the buffers cannot be allocated.
TofErrorCode buildFramePool(const CameraInfo& sensor_format, int32_t subframe_count,
                            QuorvanDevice& device, FrameType type, PlaneDescriptor& raw,
                            PlaneDescriptor& depth, std::unique_ptr<FramePool>& built);

}  // namespace Quorvan

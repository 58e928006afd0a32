// The CSI cameras a host has: every capture node behind which the host's
// discovery finds a sensor, opened briefly to read its size. Through the
// kernel-access layer, so a simulated board can be listed too.
#pragma once

#include <cstdint>
#include <vector>

#include "quorvan/camera_connection.h"
#include "system/kernel_interface.h"

namespace Quorvan {

std::vector<AttachedCamera> listCsiCameras(KernelInterface& kernel, int32_t platform);

}  // namespace Quorvan

// Which single-board host this process runs on, and what the host alone
// decides outside the CSI capture path. The camera detects the board once and
// hands the value to every backend it creates; how CSI capture differs per
// board is the CSI backend's own table (csi/csi_host_profile.h).
#pragma once

#include <cstdint>

#include "system/kernel_interface.h"

namespace Quorvan {

enum HostPlatform : int32_t {
    OTHER = 0,
    JETSON_TX1_NANO = 2,
    JETSON_XAVIER_ORIN = 3,
    RASPBERRY_PI = 5,
    RASPBERRY_PI_5 = 6,
    RADXA_ROCK = 7,
};

// Reads the device-tree model text and classifies it. Never fails: a missing,
// unreadable, empty or unknown model gives OTHER.
int32_t detectHostPlatform(KernelInterface& kernel);

// The classification alone, for an already-read model text.
int32_t classifyHostModel(const char* model);

// Right shift the 240x180 device applies to every raw sample: the
// Xavier/Orin receiver stores the 12-bit samples four bits up. It depends on
// the host alone, whatever the connection.
uint8_t hqvgaSampleShift(int32_t platform);

}  // namespace Quorvan

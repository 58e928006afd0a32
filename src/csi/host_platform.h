// Which single-board host this process runs on. The CSI capture path and the
// 240x180 device's raw sample shift differ per host, so the camera detects the
// board once and hands the value to every backend it creates.
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

// What each board changes is in its HostProfile row (host_profile.h).

// Reads the device-tree model text and classifies it. Never fails: a missing,
// unreadable, empty or unknown model gives OTHER.
int32_t detectHostPlatform(KernelInterface& kernel);

// The classification alone, for an already-read model text.
int32_t classifyHostModel(const char* model);

}  // namespace Quorvan

// The raw cache a device computes from, rebuilt from the raw plane it handed
// out (RawData). The 240x180 device interleaves the four phases row by row
// and scales the signed 11-bit codes by 16; the 640x480 device hands out the
// cache as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvan/types.h"

namespace Quorvan {

// False when `raw_samples` does not fit the device's layout.
bool rawPlaneToCache(DeviceType device, const int16_t* raw, size_t raw_samples, uint16_t* cache,
                     size_t cache_samples);

}  // namespace Quorvan

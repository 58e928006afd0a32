// The kernels compiled for the build target's baseline instruction set.
#include "device/hqvga_kernels_body.h"
#include "device/hqvga_kernels_variants.h"

namespace Quorvan {
namespace hqvga {
namespace variants {

void depthPortable(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                   int32_t range, float modulation_frequency, uint8_t shift) {
    body::depthAnyShift<body::ProductionArctangent>(cache, depth, amplitude, confidence, range,
                                                    modulation_frequency, shift);
}

void unpackPortable(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    body::unpackAnyShift(cache, raw, shift);
}

}  // namespace variants
}  // namespace hqvga
}  // namespace Quorvan

// The kernels compiled for wider x86-64 instruction sets, chosen at run time
// (hqvga_kernels.cpp) so that the build itself stays tied to no processor.
#if defined(__x86_64__)

#include "device/hqvga_kernels_body.h"
#include "device/hqvga_kernels_variants.h"

#define QUORVAN_TARGET_AVX2 __attribute__((target("avx2")))
#define QUORVAN_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512dq")))

namespace Quorvan {
namespace hqvga {
namespace variants {

QUORVAN_TARGET_AVX2 void depthAvx2(const uint16_t* cache, float* depth, float* amplitude,
                                   float* confidence, int32_t range, float modulation_frequency,
                                   uint8_t shift) {
    body::depthAnyShift<body::ProductionArctangent>(cache, depth, amplitude, confidence, range,
                                                    modulation_frequency, shift);
}

QUORVAN_TARGET_AVX2 void unpackAvx2(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    body::unpackAnyShift(cache, raw, shift);
}

QUORVAN_TARGET_AVX512 void depthAvx512(const uint16_t* cache, float* depth, float* amplitude,
                                       float* confidence, int32_t range, float modulation_frequency,
                                       uint8_t shift) {
    body::depthAnyShift<body::ProductionArctangent>(cache, depth, amplitude, confidence, range,
                                                    modulation_frequency, shift);
}

QUORVAN_TARGET_AVX512 void unpackAvx512(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    body::unpackAnyShift(cache, raw, shift);
}

}  // namespace variants
}  // namespace hqvga
}  // namespace Quorvan

#endif

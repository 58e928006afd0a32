// Instruction-set variants of the 240x180 kernels. computeDepth and unpackRaw
// use the most capable variant the processor runs; tests and benchmarks reach
// every runnable variant through this table.
#pragma once

#include <cstdint>

#include "system/instruction_sets.h"

namespace Quorvan {
namespace hqvga {

using DepthKernel = void (*)(const uint16_t* cache, float* depth, float* amplitude,
                             float* confidence, int32_t range, float modulation_frequency,
                             uint8_t shift);
using UnpackKernel = void (*)(const uint16_t* cache, int16_t* raw, uint8_t shift);

struct KernelVariant {
    const char* name;
    DepthKernel depth;
    UnpackKernel unpack;
    InstructionSet needs;
};

using KernelVariantList = VariantList<KernelVariant>;

// The variants this processor can run, checked once.
KernelVariantList runnableKernelVariants();

// The variant computeDepth and unpackRaw use.
const KernelVariant& selectedKernelVariant();

namespace variants {
// Baseline instruction set of the build target (SSE2 on x86-64, NEON on
// aarch64); always runnable.
void depthPortable(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                   int32_t range, float modulation_frequency, uint8_t shift);
void unpackPortable(const uint16_t* cache, int16_t* raw, uint8_t shift);

#if defined(__x86_64__)
void depthAvx2(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
               int32_t range, float modulation_frequency, uint8_t shift);
void unpackAvx2(const uint16_t* cache, int16_t* raw, uint8_t shift);
void depthAvx512(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                 int32_t range, float modulation_frequency, uint8_t shift);
void unpackAvx512(const uint16_t* cache, int16_t* raw, uint8_t shift);
#endif
}  // namespace variants

}  // namespace hqvga
}  // namespace Quorvan

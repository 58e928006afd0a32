#include "device/hqvga_kernels.h"

#include "device/hqvga_kernels_variants.h"

namespace Quorvan {
namespace hqvga {
namespace {

// Least demanding first (see system/instruction_sets.h).
const KernelVariant kVariants[] = {
    {"portable", variants::depthPortable, variants::unpackPortable, InstructionSet::Baseline},
#if defined(__x86_64__)
    {"avx2", variants::depthAvx2, variants::unpackAvx2, InstructionSet::Avx2},
    {"avx512", variants::depthAvx512, variants::unpackAvx512, InstructionSet::Avx512},
#endif
};

}  // namespace

KernelVariantList runnableKernelVariants() {
    static const KernelVariantList list = runnableVariants(kVariants);
    return list;
}

const KernelVariant& selectedKernelVariant() {
    return runnableKernelVariants().mostCapable();
}

void unpackRaw(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    selectedKernelVariant().unpack(cache, raw, shift);
}

void computeDepth(const uint16_t* cache, float* depth, float* amplitude, float* confidence,
                  int32_t range, float modulation_frequency, uint8_t shift) {
    selectedKernelVariant().depth(cache, depth, amplitude, confidence, range, modulation_frequency,
                                  shift);
}

}  // namespace hqvga
}  // namespace Quorvan

#include "device/hqvga_kernels.h"

#include "device/hqvga_kernels_variants.h"

namespace Quorvan {
namespace hqvga {
namespace {

const KernelVariant kVariants[] = {
    {"portable", variants::depthPortable, variants::unpackPortable},
#if defined(__x86_64__)
    {"avx2", variants::depthAvx2, variants::unpackAvx2},
    {"avx512", variants::depthAvx512, variants::unpackAvx512},
#endif
};

// The table is ordered so that each variant needs everything the one before
// it needs; the runnable ones are therefore a prefix.
int countRunnableVariants() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2"))
        return 1;
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
        !__builtin_cpu_supports("avx512vl") || !__builtin_cpu_supports("avx512dq"))
        return 2;
    return 3;
#else
    return 1;
#endif
}

}  // namespace

KernelVariantList runnableKernelVariants() {
    static const int count = countRunnableVariants();
    return {kVariants, count};
}

const KernelVariant& selectedKernelVariant() {
    const KernelVariantList list = runnableKernelVariants();
    return list.items[list.count - 1];
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

// The 240x180 kernels a check compares with the reference: one of each
// instruction-set variant this processor runs, then the library's own entry
// point, which dispatches to one of them, so a check covers every variant and
// the choice among them.
#pragma once

#include <string>
#include <vector>

#include "device/hqvga_kernels_variants.h"

namespace Quorvan {
namespace kernel_check {

template <typename Kernel>
struct NamedKernel {
    std::string name;
    Kernel kernel;
};

// `member` picks the kind of kernel out of each variant (depth, unpack).
template <typename Kernel, typename EntryPoint>
std::vector<NamedKernel<Kernel>> runnableKernels(Kernel hqvga::KernelVariant::*member,
                                                 const char* entry_name, EntryPoint entry) {
    std::vector<NamedKernel<Kernel>> kernels;
    const hqvga::KernelVariantList variants = hqvga::runnableKernelVariants();
    for (int v = 0; v < variants.count; ++v)
        kernels.push_back({variants.items[v].name, variants.items[v].*member});
    kernels.push_back({entry_name, entry});
    return kernels;
}

}  // namespace kernel_check
}  // namespace Quorvan

#include "system/instruction_sets.h"

namespace Quorvan {

bool processorSupports(InstructionSet set) {
    if (set == InstructionSet::Baseline)
        return true;
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (set) {
        case InstructionSet::Ssse3:
            return __builtin_cpu_supports("ssse3");
        case InstructionSet::Avx2:
            return __builtin_cpu_supports("avx2");
        case InstructionSet::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
        case InstructionSet::Baseline:
            break;
    }
    return true;
#else
    // Only x86-64 builds carry variants beyond the baseline.
    return false;
#endif
}

}  // namespace Quorvan

// Which build of a hot loop this processor runs. The emulation's per-pixel
// loops (the noisy render, the si4c decoder) are compiled by GCC on x86-64
// three times: for the baseline, for x86-64-v3 (AVX2) and for x86-64-v4
// (AVX-512); each caller picks one at its first call.
//
// The pick is made in code rather than by GCC's target_clones: those are
// ifuncs, resolved while the dynamic loader relocates the library, and under
// ThreadSanitizer the resolver runs instrumented before the sanitizer's
// runtime is up, which crashes every program that loads the library.
#pragma once

// GCC 11 brought the x86-64-vN names for target() and __builtin_cpu_supports.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11
#define QUORVAN_X86_VARIANTS 1
#define QUORVAN_TARGET_X86_64_V3 __attribute__((target("arch=x86-64-v3")))
#define QUORVAN_TARGET_X86_64_V4 __attribute__((target("arch=x86-64-v4")))
#else
#define QUORVAN_X86_VARIANTS 0
#endif

namespace Quorvan {
namespace emulation {

enum class InstructionSetLevel { kBaseline, kX86_64_v3, kX86_64_v4 };

// The highest level this processor runs (kBaseline where there are no
// variants).
inline InstructionSetLevel hostInstructionSetLevel() {
#if QUORVAN_X86_VARIANTS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4"))
        return InstructionSetLevel::kX86_64_v4;
    if (__builtin_cpu_supports("x86-64-v3"))
        return InstructionSetLevel::kX86_64_v3;
#endif
    return InstructionSetLevel::kBaseline;
}

}  // namespace emulation
}  // namespace Quorvan

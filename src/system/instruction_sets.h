// Run-time selection among kernel variants compiled for different instruction
// sets. A variant table lists its entries from least to most demanding, each
// needing everything the ones before it need, so the variants this processor
// can run are always a prefix of the table and the last of them is the one to
// use. Every build target's baseline (SSE2 on x86-64, NEON on aarch64) counts
// as always present.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {

enum class InstructionSet {
    Baseline,  // whatever the compiler may assume for the build target
    Ssse3,
    Avx2,    // AVX2 with FMA, BMI1 and BMI2: every core with AVX2 has all four
    Avx512,  // the above and AVX-512 F, BW, VL and DQ together
};

// The processor's answers that decide the sets: CPUID leaf 1 (ECX), leaf 7
// subleaf 0 (EBX) and, where the operating system enabled XSAVE, the
// extended control register XCR0 (which register state it saves and
// restores on a context switch; a set whose registers it does not save is
// unusable however the processor reports it).
struct ProcessorReport {
    uint32_t max_leaf = 0;
    uint32_t leaf1_ecx = 0;
    uint32_t leaf7_ebx = 0;
    uint64_t xcr0 = 0;
};

// This processor's report (all zero on other architectures).
ProcessorReport readProcessorReport();

// Whether a processor and operating system that answer `report` run code for
// `set`.
bool reportSupports(const ProcessorReport& report, InstructionSet set);

// Whether this processor (and operating system) runs code for `set`.
bool processorSupports(InstructionSet set);

// How many leading entries of `table` this processor can run: entries carry
// the set they need in a member `needs`.
template <typename Variant, size_t N>
int runnablePrefix(const Variant (&table)[N]) {
    int count = 0;
    while (count < static_cast<int>(N) && processorSupports(table[count].needs))
        ++count;
    return count;
}

}  // namespace Quorvan

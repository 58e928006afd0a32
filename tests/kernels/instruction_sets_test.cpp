// Decoding the processor's CPUID and XCR0 answers into the instruction sets
// the variant tables ask for: a feature counts only when the processor has
// every instruction a variant uses and the operating system saves the
// registers it needs.
#include "system/instruction_sets.h"

#include <gtest/gtest.h>

namespace Quorvan {
namespace {

// A Zen 3-like answer: AVX2, FMA, BMI1/2, no AVX-512, YMM state enabled.
ProcessorReport avx2Machine() {
    ProcessorReport report;
    report.max_leaf = 16;
    report.leaf1_ecx = (1u << 9) | (1u << 12) | (1u << 27) | (1u << 28);
    report.leaf7_ebx = (1u << 3) | (1u << 5) | (1u << 8);
    report.xcr0 = 0x7;
    return report;
}

ProcessorReport avx512Machine() {
    ProcessorReport report = avx2Machine();
    report.leaf7_ebx |= (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
    report.xcr0 = 0xE7;
    return report;
}

TEST(InstructionSets, FullReportsSelectTheirWidestSet) {
    EXPECT_TRUE(reportSupports(avx2Machine(), InstructionSet::Avx2));
    EXPECT_FALSE(reportSupports(avx2Machine(), InstructionSet::Avx512));
    EXPECT_TRUE(reportSupports(avx512Machine(), InstructionSet::Avx512));
    EXPECT_TRUE(reportSupports(ProcessorReport{}, InstructionSet::Baseline));
    EXPECT_FALSE(reportSupports(ProcessorReport{}, InstructionSet::Ssse3));
}

TEST(InstructionSets, RegisterStateTheSystemDoesNotSaveDisablesTheSet) {
    ProcessorReport no_ymm = avx512Machine();
    no_ymm.xcr0 = 0x3;  // SSE state only, as under a kernel that disabled AVX
    EXPECT_TRUE(reportSupports(no_ymm, InstructionSet::Ssse3));
    EXPECT_FALSE(reportSupports(no_ymm, InstructionSet::Avx2));
    EXPECT_FALSE(reportSupports(no_ymm, InstructionSet::Avx512));

    ProcessorReport no_zmm = avx512Machine();
    no_zmm.xcr0 = 0x7;
    EXPECT_TRUE(reportSupports(no_zmm, InstructionSet::Avx2));
    EXPECT_FALSE(reportSupports(no_zmm, InstructionSet::Avx512));

    ProcessorReport no_xsave = avx2Machine();
    no_xsave.leaf1_ecx &= ~(1u << 27);  // XCR0 then cannot be read, nor trusted
    EXPECT_FALSE(reportSupports(no_xsave, InstructionSet::Avx2));
}

TEST(InstructionSets, EachRequiredFeatureBitIsRequired) {
    const uint32_t leaf1[] = {1u << 12, 1u << 28};
    for (uint32_t bit : leaf1) {
        ProcessorReport report = avx2Machine();
        report.leaf1_ecx &= ~bit;
        EXPECT_FALSE(reportSupports(report, InstructionSet::Avx2)) << "leaf 1 bit " << bit;
    }
    const uint32_t leaf7[] = {1u << 3, 1u << 5, 1u << 8};
    for (uint32_t bit : leaf7) {
        ProcessorReport report = avx2Machine();
        report.leaf7_ebx &= ~bit;
        EXPECT_FALSE(reportSupports(report, InstructionSet::Avx2)) << "leaf 7 bit " << bit;
    }
    const uint32_t avx512[] = {1u << 16, 1u << 17, 1u << 30, 1u << 31};
    for (uint32_t bit : avx512) {
        ProcessorReport report = avx512Machine();
        report.leaf7_ebx &= ~bit;
        EXPECT_FALSE(reportSupports(report, InstructionSet::Avx512)) << "leaf 7 bit " << bit;
        EXPECT_TRUE(reportSupports(report, InstructionSet::Avx2));
    }
    // Leaf 7 answers are garbage when the processor does not have leaf 7.
    ProcessorReport old = avx2Machine();
    old.max_leaf = 6;
    EXPECT_FALSE(reportSupports(old, InstructionSet::Avx2));
}

#if defined(__x86_64__)
// The compiler's own view of this processor agrees with the decoder's on
// what both know about.
TEST(InstructionSets, ThisProcessorAgreesWithTheCompilersCheck) {
    __builtin_cpu_init();
    const ProcessorReport report = readProcessorReport();
    EXPECT_EQ(reportSupports(report, InstructionSet::Ssse3), __builtin_cpu_supports("ssse3") != 0);
    if (reportSupports(report, InstructionSet::Avx2)) {
        EXPECT_TRUE(__builtin_cpu_supports("avx2"));
        EXPECT_TRUE(__builtin_cpu_supports("fma"));
    }
    if (reportSupports(report, InstructionSet::Avx512)) {
        EXPECT_TRUE(__builtin_cpu_supports("avx512bw"));
    }
    EXPECT_EQ(processorSupports(InstructionSet::Avx512),
              reportSupports(report, InstructionSet::Avx512));
}
#else
TEST(InstructionSets, OnlyTheBaselineOutsideX86) {
    EXPECT_TRUE(processorSupports(InstructionSet::Baseline));
    EXPECT_FALSE(processorSupports(InstructionSet::Avx2));
}
#endif

}  // namespace
}  // namespace Quorvan

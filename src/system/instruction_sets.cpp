#include "system/instruction_sets.h"

namespace Quorvan {

namespace {

// CPUID leaf 1, ECX.
constexpr uint32_t kSsse3 = 1u << 9;
constexpr uint32_t kFma = 1u << 12;
constexpr uint32_t kOsXsave = 1u << 27;  // the OS enabled XSAVE, so XGETBV works
constexpr uint32_t kAvx = 1u << 28;
// CPUID leaf 7, subleaf 0, EBX.
constexpr uint32_t kBmi1 = 1u << 3;
constexpr uint32_t kAvx2 = 1u << 5;
constexpr uint32_t kBmi2 = 1u << 8;
constexpr uint32_t kAvx512F = 1u << 16;
constexpr uint32_t kAvx512Dq = 1u << 17;
constexpr uint32_t kAvx512Bw = 1u << 30;
constexpr uint32_t kAvx512Vl = 1u << 31;
// XCR0: SSE and AVX register state; opmask, upper halves of ZMM0-15, ZMM16-31.
constexpr uint64_t kXmmYmmState = 0x6;
constexpr uint64_t kZmmState = 0xE0;

bool all(uint64_t value, uint64_t bits) {
    return (value & bits) == bits;
}

}  // namespace

ProcessorReport readProcessorReport() {
    ProcessorReport report;
#if defined(__x86_64__)
    // CPUID and XGETBV written out: <cpuid.h> would do for the first, but the
    // XGETBV intrinsic needs the XSAVE target, which this file must not
    // assume.
    const auto cpuid = [](uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) {
        __asm__ volatile("cpuid"
                         : "=a"(registers[0]), "=b"(registers[1]), "=c"(registers[2]),
                           "=d"(registers[3])
                         : "a"(leaf), "c"(subleaf));
    };
    uint32_t registers[4];
    cpuid(0, 0, registers);
    report.max_leaf = registers[0];
    if (report.max_leaf >= 1) {
        cpuid(1, 0, registers);
        report.leaf1_ecx = registers[2];
    }
    if (report.max_leaf >= 7) {
        cpuid(7, 0, registers);
        report.leaf7_ebx = registers[1];
    }
    if (report.leaf1_ecx & kOsXsave) {
        uint32_t low = 0, high = 0;
        __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        report.xcr0 = (static_cast<uint64_t>(high) << 32) | low;
    }
#else
    // Nothing to ask: only x86-64 builds carry variants beyond the baseline.
#endif
    return report;
}

bool reportSupports(const ProcessorReport& report, InstructionSet set) {
    const bool ssse3 = report.max_leaf >= 1 && all(report.leaf1_ecx, kSsse3);
    const bool avx_state = all(report.leaf1_ecx, kOsXsave | kAvx) && all(report.xcr0, kXmmYmmState);
    const bool avx2 = ssse3 && avx_state && report.max_leaf >= 7 && all(report.leaf1_ecx, kFma) &&
                      all(report.leaf7_ebx, kAvx2 | kBmi1 | kBmi2);
    switch (set) {
        case InstructionSet::Baseline:
            return true;
        case InstructionSet::Ssse3:
            return ssse3;
        case InstructionSet::Avx2:
            return avx2;
        case InstructionSet::Avx512:
            return avx2 && all(report.xcr0, kZmmState) &&
                   all(report.leaf7_ebx, kAvx512F | kAvx512Dq | kAvx512Bw | kAvx512Vl);
    }
    return false;
}

bool processorSupports(InstructionSet set) {
    if (set == InstructionSet::Baseline)
        return true;
#if defined(__x86_64__)
    static const ProcessorReport report = readProcessorReport();
    return reportSupports(report, set);
#else
    // Only x86-64 builds carry variants beyond the baseline.
    return false;
#endif
}

}  // namespace Quorvan

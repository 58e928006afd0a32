// Run-time selection among kernel variants compiled for different instruction
// sets. A variant table lists its entries from least to most demanding, each
// needing everything the ones before it need, so the variants this processor
// can run are always a prefix of the table and the last of them is the one to
// use. Every build target's baseline (SSE2 on x86-64, NEON on aarch64) counts
// as always present.
#pragma once

#include <cstddef>

namespace Quorvan {

enum class InstructionSet {
    Baseline,  // whatever the compiler may assume for the build target
    Ssse3,
    Avx2,
    Avx512,  // F, BW, VL and DQ together
};

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

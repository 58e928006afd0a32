// Unpacking of 12-bit packed sample groups (three bytes b0 b1 b2 giving the
// samples (b0 << 4) | (b2 & 0x0F) and (b1 << 4) | (b2 >> 4)), with one
// variant per instruction set. The line structure (padding, buffer end,
// cache capacity) is the caller's business; these only turn a run of groups
// into samples.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/instruction_sets.h"

namespace Quorvan {
namespace packed12 {

// Unpacks `groups` groups from `source` into 2 x `groups` little-endian
// 16-bit samples at `target` (no alignment needed). `readable` is how many
// bytes from `source` on may be read, at least 3 x `groups`: wide loads use
// it to read a little past the run when the buffer goes on, and fall back
// to one group at a time where it does not.
using GroupKernel = void (*)(const uint8_t* source, size_t readable, uint8_t* target,
                             size_t groups);

struct GroupVariant {
    const char* name;
    GroupKernel kernel;
    InstructionSet needs;
};

using GroupVariantList = VariantList<GroupVariant>;

// The variants this processor can run, checked once.
GroupVariantList runnableGroupVariants();

// The variant the CSI unpack uses: the most capable runnable one.
const GroupVariant& selectedGroupVariant();

// Both samples of one group; every variant's tail goes through here.
inline void unpackGroup(const uint8_t* group, uint8_t* target) {
    const unsigned first = (group[0] << 4) | (group[2] & 0x0F);
    const unsigned second = (group[1] << 4) | (group[2] >> 4);
    target[0] = static_cast<uint8_t>(first);
    target[1] = static_cast<uint8_t>(first >> 8);
    target[2] = static_cast<uint8_t>(second);
    target[3] = static_cast<uint8_t>(second >> 8);
}

namespace variants {
// Plain C++, 64-bit words: runs everywhere.
void unpackGroupsPortable(const uint8_t* source, size_t readable, uint8_t* target, size_t groups);
#if defined(__aarch64__)
// NEON table lookups (part of the aarch64 baseline).
void unpackGroupsNeon(const uint8_t* source, size_t readable, uint8_t* target, size_t groups);
#endif
#if defined(__x86_64__)
void unpackGroupsSsse3(const uint8_t* source, size_t readable, uint8_t* target, size_t groups);
void unpackGroupsAvx2(const uint8_t* source, size_t readable, uint8_t* target, size_t groups);
#endif
}  // namespace variants

}  // namespace packed12
}  // namespace Quorvan

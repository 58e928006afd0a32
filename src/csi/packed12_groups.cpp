#include "csi/packed12_groups.h"

#include <cstring>

#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace Quorvan {
namespace packed12 {
namespace {

// Least demanding first (see system/instruction_sets.h).
const GroupVariant kVariants[] = {
    {"portable", variants::unpackGroupsPortable, InstructionSet::Baseline},
#if defined(__aarch64__)
    {"neon", variants::unpackGroupsNeon, InstructionSet::Baseline},
#endif
#if defined(__x86_64__)
    {"ssse3", variants::unpackGroupsSsse3, InstructionSet::Ssse3},
    {"avx2", variants::unpackGroupsAvx2, InstructionSet::Avx2},
#endif
};

void unpackRemainingGroups(const uint8_t* source, uint8_t* target, size_t first, size_t groups) {
    for (size_t group = first; group < groups; ++group)
        unpackGroup(source + 3 * group, target + 4 * group);
}

}  // namespace

GroupVariantList runnableGroupVariants() {
    static const GroupVariantList list = runnableVariants(kVariants);
    return list;
}

const GroupVariant& selectedGroupVariant() {
    return runnableGroupVariants().mostCapable();
}

namespace variants {

void unpackGroupsPortable(const uint8_t* source, size_t readable, uint8_t* target, size_t groups) {
    size_t group = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Two groups per 64-bit word: bytes b0..b5 become four samples in place.
    for (; group + 2 <= groups && 3 * group + 8 <= readable; group += 2) {
        uint64_t word;
        std::memcpy(&word, source + 3 * group, sizeof word);
        const uint64_t samples = ((word & 0xFF) << 4) | ((word & 0xFF00FF00) << 12) |
                                 ((word & 0xFF00000000) << 20) | ((word >> 16) & 0xF) |
                                 ((word >> 4) & 0xF0000) | ((word >> 8) & 0xF00000000) |
                                 ((word << 4) & 0xF000000000000);
        std::memcpy(target + 4 * group, &samples, sizeof samples);
    }
#else
    (void)readable;
#endif
    unpackRemainingGroups(source, target, group, groups);
}

#if defined(__aarch64__)
// Four groups (12 bytes) per table lookup. Each 16-bit lane receives
// (b0 << 8) | b2 for a first sample and (b1 << 8) | b2 for a second one;
// shifting right by 4 then gives the second sample outright and the first
// one's high bits, to which b2's low nibble is added back.
void unpackGroupsNeon(const uint8_t* source, size_t readable, uint8_t* target, size_t groups) {
    static const uint8_t kSpread[16] = {2, 0, 2, 1, 5, 3, 5, 4, 8, 6, 8, 7, 11, 9, 11, 10};
    static const uint16_t kHighMask[8] = {0x0FF0, 0x0FFF, 0x0FF0, 0x0FFF,
                                          0x0FF0, 0x0FFF, 0x0FF0, 0x0FFF};
    static const uint16_t kLowMask[8] = {0x000F, 0, 0x000F, 0, 0x000F, 0, 0x000F, 0};
    const uint8x16_t spread = vld1q_u8(kSpread);
    const uint16x8_t high_mask = vld1q_u16(kHighMask);
    const uint16x8_t low_mask = vld1q_u16(kLowMask);
    size_t group = 0;
    for (; group + 4 <= groups && 3 * group + 16 <= readable; group += 4) {
        const uint8x16_t bytes = vld1q_u8(source + 3 * group);
        const uint16x8_t lanes = vreinterpretq_u16_u8(vqtbl1q_u8(bytes, spread));
        const uint16x8_t samples =
            vorrq_u16(vandq_u16(vshrq_n_u16(lanes, 4), high_mask), vandq_u16(lanes, low_mask));
        vst1q_u8(target + 4 * group, vreinterpretq_u8_u16(samples));
    }
    unpackRemainingGroups(source, target, group, groups);
}
#endif

}  // namespace variants

}  // namespace packed12
}  // namespace Quorvan

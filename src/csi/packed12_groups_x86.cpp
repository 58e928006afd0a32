// The x86-64 group unpackers need byte shuffles the x86-64 baseline lacks,
// so they are compiled for their instruction sets alone and chosen at run
// time (packed12_groups.cpp); the build itself stays tied to no processor.
#if defined(__x86_64__)

#include <immintrin.h>

#include "csi/packed12_groups.h"

namespace Quorvan {
namespace packed12 {
namespace {

// Both variants work on four groups (12 bytes) per 128-bit lane. The shuffle
// gives each 16-bit lane (b0 << 8) | b2 for a first sample and (b1 << 8) | b2
// for a second one; shifting right by 4 then gives the second sample
// outright and the first one's high bits, to which b2's low nibble is added
// back.
#define QUORVAN_SPREAD_BYTES 10, 11, 9, 11, 7, 8, 6, 8, 4, 5, 3, 5, 1, 2, 0, 2
#define QUORVAN_HIGH_MASK 0x0FFF, 0x0FF0, 0x0FFF, 0x0FF0, 0x0FFF, 0x0FF0, 0x0FFF, 0x0FF0
#define QUORVAN_LOW_MASK 0, 0x000F, 0, 0x000F, 0, 0x000F, 0, 0x000F

void unpackRemainingGroups(const uint8_t* source, uint8_t* target, size_t first, size_t groups) {
    for (size_t group = first; group < groups; ++group)
        unpackGroup(source + 3 * group, target + 4 * group);
}

// Four groups: 16 bytes read, the first 12 used, 16 bytes written.
__attribute__((target("ssse3"), always_inline)) inline void unpackFourSsse3(
    const uint8_t* source, uint8_t* target, __m128i spread, __m128i high_mask, __m128i low_mask) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    const __m128i lanes = _mm_shuffle_epi8(bytes, spread);
    const __m128i samples = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(lanes, 4), high_mask),
                                         _mm_and_si128(lanes, low_mask));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target), samples);
}

}  // namespace

namespace variants {

__attribute__((target("ssse3"))) void unpackGroupsSsse3(const uint8_t* source, size_t readable,
                                                        uint8_t* target, size_t groups) {
    const __m128i spread = _mm_set_epi8(QUORVAN_SPREAD_BYTES);
    const __m128i high_mask = _mm_set_epi16(QUORVAN_HIGH_MASK);
    const __m128i low_mask = _mm_set_epi16(QUORVAN_LOW_MASK);
    size_t group = 0;
    // Two independent steps per turn keep the shuffle unit busy.
    for (; group + 8 <= groups && 3 * group + 28 <= readable; group += 8) {
        unpackFourSsse3(source + 3 * group, target + 4 * group, spread, high_mask, low_mask);
        unpackFourSsse3(source + 3 * group + 12, target + 4 * group + 16, spread, high_mask,
                        low_mask);
    }
    for (; group + 4 <= groups && 3 * group + 16 <= readable; group += 4)
        unpackFourSsse3(source + 3 * group, target + 4 * group, spread, high_mask, low_mask);
    unpackRemainingGroups(source, target, group, groups);
}

// Eight groups per step: two 16-byte loads 12 bytes apart fill the two
// 128-bit lanes, which the shuffle treats independently.
__attribute__((target("avx2"))) void unpackGroupsAvx2(const uint8_t* source, size_t readable,
                                                      uint8_t* target, size_t groups) {
    const __m256i spread = _mm256_broadcastsi128_si256(_mm_set_epi8(QUORVAN_SPREAD_BYTES));
    const __m256i high_mask = _mm256_broadcastsi128_si256(_mm_set_epi16(QUORVAN_HIGH_MASK));
    const __m256i low_mask = _mm256_broadcastsi128_si256(_mm_set_epi16(QUORVAN_LOW_MASK));
    size_t group = 0;
    for (; group + 8 <= groups && 3 * group + 28 <= readable; group += 8) {
        const uint8_t* in = source + 3 * group;
        const __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
        const __m256i lanes = _mm256_shuffle_epi8(bytes, spread);
        const __m256i samples =
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(lanes, 4), high_mask),
                            _mm256_and_si256(lanes, low_mask));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + 4 * group), samples);
    }
    // The SSSE3 step is part of AVX2; it picks up what a whole step of eight
    // no longer covers.
    unpackGroupsSsse3(source + 3 * group, readable - 3 * group, target + 4 * group, groups - group);
}

}  // namespace variants

}  // namespace packed12
}  // namespace Quorvan

#endif  // defined(__x86_64__)

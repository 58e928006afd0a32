// AVX2 building blocks of the 240x180 kernels, shared by the AVX2 and the
// AVX-512 variants (hqvga_kernels_avx2_x86.cpp, hqvga_kernels_avx512_x86.cpp).
// Every function carries the AVX2 target itself, so that it inlines into
// either variant and into nothing else.
//
// The depth kernel works on blocks of kBlock pixels in two passes over L1:
// - reducePhases (16 pixels per step, 16-bit lanes): the two differences,
//   the octant reduction of atan2 to offset * pi/4 + atan(numerator /
//   denominator), and the amplitude, stored straight to the output planes;
// - an arctangent pass per variant (4 or 8 double lanes) that evaluates the
//   reduced arctangent and marks the pixels whose float rounding it cannot
//   settle (hqvga_kernels_body.h explains the guard band);
// then settleMarked recomputes the marked pixels with libm.
//
// Nothing here divides or takes a square root per double lane: on AMD's Zen
// cores one divide/square-root unit serves every width, so a 256-bit vdivpd
// is no faster per lane than a 128-bit one, and the former arctangent pass,
// which divided in double, ran no faster with AVX2 than with SSE2 there.
// The quotient comes from a float reciprocal estimate refined by Newton
// steps instead (all pipelined multiplies and adds), and the only square
// root left is the amplitude's vsqrtps, eight lanes at a time. Lane-crossing
// shuffles are limited to one vperm2f128 pair per 16 amplitudes; there are
// no gathers.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "device/hqvga_kernels_body.h"

#define QUORVAN_AVX2_INLINE inline __attribute__((target("avx2"), always_inline))

namespace Quorvan {
namespace hqvga {
namespace avx2 {

using body::kBlock;
using body::PhasePairing;

// Per-block values the arctangent pass reads; 32-byte aligned so that every
// vector access stays within one cache line.
struct ReducedBlock {
    alignas(32) int16_t numerator[kBlock];
    alignas(32) int16_t denominator[kBlock];  // >= 1
    alignas(32) int16_t eighths[kBlock];      // the angle offset in units of pi/4, -4..4
    uint8_t marked[kBlock / 8];               // bit k of byte j: pixel 8j + k is uncertain
};

// Per 16-bit lane: the 11-bit two's-complement sample code (-1024..1023)
// and the converted sample (code * 16), for the shifts the hardware uses (a
// constant) and any other.
template <unsigned Shift>
struct FixedShift {
    QUORVAN_AVX2_INLINE __m256i codes(__m256i raw) const {
        // The arithmetic shift by 5 drops whatever the left shift brought in.
        if constexpr (Shift <= 5)
            return _mm256_srai_epi16(_mm256_slli_epi16(raw, 5 - Shift), 5);
        else
            return _mm256_srai_epi16(_mm256_slli_epi16(_mm256_srli_epi16(raw, Shift), 5), 5);
    }
    QUORVAN_AVX2_INLINE __m256i converted(__m256i raw) const {
        if constexpr (Shift == 0)
            return _mm256_srai_epi16(_mm256_slli_epi16(raw, 5), 1);
        else
            return _mm256_srai_epi16(_mm256_slli_epi16(_mm256_srli_epi16(raw, Shift), 5), 1);
    }
};

struct AnyShift {
    __m128i count;  // 0..16 in the low 64 bits; 16 clears every lane
    QUORVAN_AVX2_INLINE __m256i codes(__m256i raw) const {
        return _mm256_srai_epi16(_mm256_slli_epi16(_mm256_srl_epi16(raw, count), 5), 5);
    }
    QUORVAN_AVX2_INLINE __m256i converted(__m256i raw) const {
        return _mm256_srai_epi16(_mm256_slli_epi16(_mm256_srl_epi16(raw, count), 5), 1);
    }
};

QUORVAN_AVX2_INLINE __m256i load16(const void* address) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(address));
}

// The octant reduction of hqvga_kernels_body.h's reduceBlock, as masks
// instead of branches: shallow (12 |y| <= 5 |x|) keeps (|y|, |x|, 0),
// steep (5 |y| > 12 |x|) takes (-|x|, |y|, 2), the rest (|y| - |x|,
// |y| + |x|, 1); then the mirror into the quadrant of (x, y). Steep is
// strict so that (0, 0) counts as shallow only. Amplitude and confidence,
// 8 * sqrtf(y^2 + x^2), go straight to the output planes.
template <typename Shift>
QUORVAN_AVX2_INLINE void reducePhases(const PhasePairing& pairs, int offset, const Shift& shift,
                                      ReducedBlock& block, float* amplitude, float* confidence) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i four = _mm256_set1_epi16(4);
    const __m256i five = _mm256_set1_epi16(5);
    const __m256i twelve = _mm256_set1_epi16(12);
    const __m256 eight = _mm256_set1_ps(8.0f);
    for (int i = 0; i < kBlock; i += 16) {
        const int j = offset + i;
        const __m256i y = _mm256_sub_epi16(shift.codes(load16(pairs.y_plus + j)),
                                           shift.codes(load16(pairs.y_minus + j)));
        const __m256i x = _mm256_sub_epi16(shift.codes(load16(pairs.x_plus + j)),
                                           shift.codes(load16(pairs.x_minus + j)));
        const __m256i a = _mm256_abs_epi16(x);
        const __m256i b = _mm256_abs_epi16(y);
        const __m256i not_shallow =
            _mm256_cmpgt_epi16(_mm256_mullo_epi16(b, twelve), _mm256_mullo_epi16(a, five));
        const __m256i steep =
            _mm256_cmpgt_epi16(_mm256_mullo_epi16(b, five), _mm256_mullo_epi16(a, twelve));
        // Masks are -1 where true: 0 - (-1) - (-1) = 2 for steep.
        __m256i eighths = _mm256_sub_epi16(_mm256_sub_epi16(zero, not_shallow), steep);
        __m256i numerator =
            _mm256_sub_epi16(_mm256_andnot_si256(steep, b), _mm256_and_si256(a, not_shallow));
        const __m256i denominator = _mm256_max_epi16(
            _mm256_add_epi16(_mm256_andnot_si256(steep, a), _mm256_and_si256(b, not_shallow)),
            one);  // only (0, 0) has none; its numerator is 0 as atan2(0, 0) is
        // x < 0: 4 - eighths, as -(eighths - 4); then y < 0: -eighths. The
        // numerator changes sign once for each.
        const __m256i x_negative = _mm256_srai_epi16(x, 15);
        const __m256i y_negative = _mm256_srai_epi16(y, 15);
        eighths = _mm256_sub_epi16(eighths, _mm256_and_si256(x_negative, four));
        eighths = _mm256_sub_epi16(_mm256_xor_si256(eighths, x_negative), x_negative);
        eighths = _mm256_sub_epi16(_mm256_xor_si256(eighths, y_negative), y_negative);
        const __m256i flip = _mm256_xor_si256(x_negative, y_negative);
        numerator = _mm256_sub_epi16(_mm256_xor_si256(numerator, flip), flip);
        _mm256_store_si256(reinterpret_cast<__m256i*>(block.numerator + i), numerator);
        _mm256_store_si256(reinterpret_cast<__m256i*>(block.denominator + i), denominator);
        _mm256_store_si256(reinterpret_cast<__m256i*>(block.eighths + i), eighths);

        // y^2 + x^2 < 2^23 in 32-bit lanes (exact in float); the unpacks
        // keep 128-bit lanes apart, so `low` holds pixels 0-3 and 8-11.
        const __m256i low = _mm256_unpacklo_epi16(y, x);
        const __m256i high = _mm256_unpackhi_epi16(y, x);
        const __m256 amplitude_low =
            _mm256_mul_ps(_mm256_sqrt_ps(_mm256_cvtepi32_ps(_mm256_madd_epi16(low, low))), eight);
        const __m256 amplitude_high =
            _mm256_mul_ps(_mm256_sqrt_ps(_mm256_cvtepi32_ps(_mm256_madd_epi16(high, high))), eight);
        const __m256 first = _mm256_permute2f128_ps(amplitude_low, amplitude_high, 0x20);
        const __m256 second = _mm256_permute2f128_ps(amplitude_low, amplitude_high, 0x31);
        _mm256_storeu_ps(amplitude + j, first);
        _mm256_storeu_ps(amplitude + j + 8, second);
        _mm256_storeu_ps(confidence + j, first);
        _mm256_storeu_ps(confidence + j + 8, second);
    }
}

// Whether a double lies so close to a float rounding boundary (a half-way
// point between floats) that an error within the guard band could move it
// across (hqvga_kernels_body.h, kBoundaryOffset). All-ones lanes where it
// does.
static_assert(body::ProductionArctangent::kGuard <= body::kGuardFromBits,
              "the bit window must be at least as wide as the guard band the polynomial needs");

QUORVAN_AVX2_INLINE __m256i nearRoundingBoundary(__m256d value) {
    const __m256i bits = _mm256_castpd_si256(value);
    const __m256i shifted = _mm256_add_epi64(bits, _mm256_set1_epi64x(body::kBoundaryOffset));
    const __m256i window = _mm256_and_si256(shifted, _mm256_set1_epi64x(body::kBoundaryWindow));
    return _mm256_cmpeq_epi64(window, _mm256_setzero_si256());
}

// phase < 0 ? phase + 2 pi : phase, then (phase * scale) * 1000, as the
// reference rounds it.
QUORVAN_AVX2_INLINE __m256 depthFromPhase(__m256 phase, __m256 scale) {
    const __m256 wrap = _mm256_and_ps(_mm256_cmp_ps(phase, _mm256_setzero_ps(), _CMP_LT_OQ),
                                      _mm256_set1_ps(body::kTwoPi));
    return _mm256_mul_ps(_mm256_mul_ps(_mm256_add_ps(phase, wrap), scale), _mm256_set1_ps(1000.0f));
}

// The marked pixels of a block again, with libm, as the definition does.
inline void settleMarked(const ReducedBlock& block, const PhasePairing& pairs, int offset,
                         unsigned shift, float scale, float* depth) {
    for (int group = 0; group < kBlock / 8; ++group) {
        for (unsigned bits = block.marked[group]; bits != 0; bits &= bits - 1) {
            const int i = group * 8 + __builtin_ctz(bits);
            depth[offset + i] = body::definedDepth(pairs, offset + i, shift, scale);
        }
    }
}

// One row of 240 converted samples (code * 16), 16 per store. The output
// rows are contiguous, so every row starts at the same offset from a 32-byte
// boundary; frame buffers come from operator new, 16 bytes past one as a
// rule, where every other 32-byte store would straddle two cache lines. So
// the row's first and last 16 samples are stored unaligned and everything
// between them aligned, the stores overlapping by what the offset takes.
template <bool Aligned, typename Shift>
QUORVAN_AVX2_INLINE void convertSixteen(const uint16_t* source, int16_t* target,
                                        const Shift& shift) {
    const __m256i value = shift.converted(load16(source));
    if constexpr (Aligned)
        _mm256_store_si256(reinterpret_cast<__m256i*>(target), value);
    else
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(target), value);
}

template <typename Shift>
QUORVAN_AVX2_INLINE void convertRow(const uint16_t* source, int16_t* target, int first_aligned,
                                    const Shift& shift) {
    if (first_aligned == 0) {
        for (int column = 0; column < kWidth; column += 16)
            convertSixteen<true>(source + column, target + column, shift);
        return;
    }
    convertSixteen<false>(source, target, shift);
    // Not unrolled: GCC's full unrolling of this loop, four phases at a time,
    // ran out of registers under the AVX2 target and passed every vector
    // through the stack, one extra store per 16 samples.
#pragma GCC unroll 1
    for (int column = first_aligned; column + 16 <= kWidth; column += 16)
        convertSixteen<true>(source + column, target + column, shift);
    convertSixteen<false>(source + kWidth - 16, target + kWidth - 16, shift);
}

template <typename Shift>
QUORVAN_AVX2_INLINE void unpackRows(const uint16_t* cache, int16_t* raw, const Shift& shift) {
    // Samples from the start of a row to the first 32-byte boundary (0 when
    // the rows are aligned); int16_t planes are at least 2-byte aligned.
    const int misalignment = static_cast<int>(reinterpret_cast<uintptr_t>(raw) % 32) / 2;
    const int first_aligned = misalignment == 0 ? 0 : 16 - misalignment;
    for (int row = 0; row < kHeight; ++row) {
        for (int phase = 0; phase < kPhases; ++phase)
            convertRow(cache + phase * kPixels + row * kWidth,
                       raw + (row * kPhases + phase) * kWidth, first_aligned, shift);
    }
}

QUORVAN_AVX2_INLINE void unpackAnyShift(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    if (shift == 0)
        unpackRows(cache, raw, FixedShift<0>());
    else if (shift == 4)
        unpackRows(cache, raw, FixedShift<4>());
    else
        unpackRows(cache, raw,
                   AnyShift{_mm_cvtsi32_si128(static_cast<int>(body::clampShift(shift)))});
}

}  // namespace avx2
}  // namespace hqvga
}  // namespace Quorvan

#endif

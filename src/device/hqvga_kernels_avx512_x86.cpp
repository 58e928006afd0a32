// The AVX-512 variant of the 240x180 kernels: the AVX2 variant's structure
// (hqvga_kernels_avx2_x86.h) with eight double lanes, fused multiply-adds
// (every AVX-512 processor has them) and mask registers for the guard band.
// The reduction pass and the unpack are the AVX2 ones; they are bound by
// loads and stores rather than by arithmetic.
#if defined(__x86_64__)

#include "device/hqvga_kernels_avx2_x86.h"
#include "device/hqvga_kernels_variants.h"

// GCC 12's AVX-512 intrinsics pass an undefined placeholder as the unused
// merge operand, which -Wmaybe-uninitialized then reports at every inlined
// call (GCC bug 105593); the placeholder is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define QUORVAN_AVX512_TARGET target("avx2,avx512f,avx512bw,avx512vl,avx512dq")
#define QUORVAN_AVX512_INLINE inline __attribute__((QUORVAN_AVX512_TARGET, always_inline))

namespace Quorvan {
namespace hqvga {
namespace avx512 {
namespace {

using avx2::ReducedBlock;
using body::kBlock;

QUORVAN_AVX512_INLINE __m512d pair(double low, double high, __m512d x) {
    return _mm512_fmadd_pd(_mm512_set1_pd(high), x, _mm512_set1_pd(low));
}

// Estrin's scheme, as in the AVX2 variant.
template <typename Polynomial>
QUORVAN_AVX512_INLINE __m512d polynomial(__m512d s) {
    static_assert(Polynomial::kTerms == 8, "Estrin's scheme is written out for eight terms");
    const double* c = Polynomial::kCoefficients;
    const __m512d s2 = _mm512_mul_pd(s, s);
    const __m512d s4 = _mm512_mul_pd(s2, s2);
    const __m512d p0123 = _mm512_fmadd_pd(pair(c[2], c[3], s), s2, pair(c[0], c[1], s));
    const __m512d p4567 = _mm512_fmadd_pd(pair(c[6], c[7], s), s2, pair(c[4], c[5], s));
    return _mm512_fmadd_pd(p4567, s4, p0123);
}

QUORVAN_AVX512_INLINE __m256i loadEight(const int16_t* values) {
    return _mm256_cvtepi16_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(values)));
}

// As the AVX2 quotient pass, 16 pixels per step: a 14-bit reciprocal
// estimate, one Newton step in float and one correction in double.
QUORVAN_AVX512_INLINE void quotientPass(const ReducedBlock& block, double* quotient) {
    const __m512 one = _mm512_set1_ps(1.0f);
    for (int i = 0; i < kBlock; i += 16) {
        const __m512 d = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(
            _mm256_load_si256(reinterpret_cast<const __m256i*>(block.denominator + i))));
        __m512 r = _mm512_rcp14_ps(d);
        r = _mm512_fmadd_ps(r, _mm512_fnmadd_ps(d, r, one), r);
        for (int half = 0; half < 2; ++half) {
            const int k = i + 8 * half;
            const __m512d rd = _mm512_cvtps_pd(half == 0 ? _mm512_castps512_ps256(r)
                                                         : _mm512_extractf32x8_ps(r, 1));
            const __m512d nd = _mm512_cvtepi32_pd(loadEight(block.numerator + k));
            const __m512d dd = _mm512_cvtepi32_pd(loadEight(block.denominator + k));
            const __m512d q = _mm512_mul_pd(nd, rd);
            _mm512_store_pd(quotient + k, _mm512_fmadd_pd(rd, _mm512_fnmadd_pd(dd, q, nd), q));
        }
    }
}

template <typename Polynomial>
QUORVAN_AVX512_INLINE bool arctangentPass(ReducedBlock& block, const double* quotient, float scale,
                                          float* depth) {
    const __m512d quarter_pi = _mm512_set1_pd(body::kQuarterPi);
    const __m512i boundary_offset = _mm512_set1_epi64(body::kBoundaryOffset);
    const __m512i boundary_window = _mm512_set1_epi64(body::kBoundaryWindow);
    const __m512 two_pi = _mm512_set1_ps(body::kTwoPi);
    const __m512 scale16 = _mm512_set1_ps(scale);
    const __m512 thousand = _mm512_set1_ps(1000.0f);
    unsigned any_marked = 0;
    for (int i = 0; i < kBlock; i += 16) {
        __m256 phase[2];
        unsigned marked = 0;
        for (int half = 0; half < 2; ++half) {
            const int k = i + 8 * half;
            const __m512d q = _mm512_load_pd(quotient + k);
            const __m512d offset =
                _mm512_mul_pd(_mm512_cvtepi32_pd(loadEight(block.eighths + k)), quarter_pi);
            const __m512d angle =
                _mm512_fmadd_pd(q, polynomial<Polynomial>(_mm512_mul_pd(q, q)), offset);
            // The bit test of hqvga_kernels_body.h, straight into a mask.
            const __mmask8 near = _mm512_testn_epi64_mask(
                _mm512_add_epi64(_mm512_castpd_si512(angle), boundary_offset), boundary_window);
            marked |= static_cast<unsigned>(near) << (8 * half);
            phase[half] = _mm512_cvtpd_ps(angle);
        }
        block.marked[i / 8] = static_cast<uint8_t>(marked);
        block.marked[i / 8 + 1] = static_cast<uint8_t>(marked >> 8);
        any_marked |= marked;
        const __m512 angle16 = _mm512_insertf32x8(_mm512_castps256_ps512(phase[0]), phase[1], 1);
        const __mmask16 negative = _mm512_cmp_ps_mask(angle16, _mm512_setzero_ps(), _CMP_LT_OQ);
        const __m512 wrapped = _mm512_mask_add_ps(angle16, negative, angle16, two_pi);
        _mm512_storeu_ps(depth + i, _mm512_mul_ps(_mm512_mul_ps(wrapped, scale16), thousand));
    }
    return any_marked != 0;
}

template <typename Polynomial, typename Shift>
QUORVAN_AVX512_INLINE void depthFrame(const uint16_t* cache, float* depth, float* amplitude,
                                      float* confidence, int32_t range, float modulation_frequency,
                                      unsigned shift, const Shift& shifter) {
    const float scale = 300000000.0f / (12.566371f * modulation_frequency);
    const body::PhasePairing pairs = body::pairingFor(cache, range);
    ReducedBlock block;
    alignas(64) double quotient[kBlock];
    for (int offset = 0; offset < kPixels; offset += kBlock) {
        avx2::reducePhases(pairs, offset, shifter, block, amplitude, confidence);
        quotientPass(block, quotient);
        if (arctangentPass<Polynomial>(block, quotient, scale, depth + offset))
            avx2::settleMarked(block, pairs, offset, shift, scale, depth);
    }
}

}  // namespace

template <typename Polynomial>
__attribute__((QUORVAN_AVX512_TARGET)) void depthAnyShift(const uint16_t* cache, float* depth,
                                                          float* amplitude, float* confidence,
                                                          int32_t range, float modulation_frequency,
                                                          uint8_t shift) {
    if (shift == 0) {
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency, 0,
                               avx2::FixedShift<0>());
    } else if (shift == 4) {
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency, 4,
                               avx2::FixedShift<4>());
    } else {
        const unsigned clamped = body::clampShift(shift);
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency,
                               clamped,
                               avx2::AnyShift{_mm_cvtsi32_si128(static_cast<int>(clamped))});
    }
}

}  // namespace avx512

namespace variants {

__attribute__((QUORVAN_AVX512_TARGET)) void depthAvx512(const uint16_t* cache, float* depth,
                                                        float* amplitude, float* confidence,
                                                        int32_t range, float modulation_frequency,
                                                        uint8_t shift) {
    avx512::depthAnyShift<body::ProductionArctangent>(cache, depth, amplitude, confidence, range,
                                                      modulation_frequency, shift);
}

__attribute__((QUORVAN_AVX512_TARGET)) void unpackAvx512(const uint16_t* cache, int16_t* raw,
                                                         uint8_t shift) {
    avx2::unpackAnyShift(cache, raw, shift);
}

}  // namespace variants
}  // namespace hqvga
}  // namespace Quorvan

#endif

// The AVX2 variant of the 240x180 kernels (see hqvga_kernels_avx2_x86.h for
// the structure of the depth loop and why it avoids dividing).
#if defined(__x86_64__)

#include "device/hqvga_kernels_avx2_x86.h"

#include "device/hqvga_kernels_variants.h"

// The depth loop's own steps also use FMA, which every AVX2 core has and the
// dispatch checks for with it (system/instruction_sets.h). A fused
// multiply-add rounds once where a multiply and an add round twice, so each
// step below errs no more than its unfused form, and the error bounds the
// guard band is built on hold unchanged; the residual n - d * q is exact
// either way. The float steps that must round as the reference does
// (depthFromPhase) stay unfused.
#define QUORVAN_AVX2_FMA __attribute__((target("avx2,fma")))
#define QUORVAN_AVX2_FMA_INLINE inline __attribute__((target("avx2,fma"), always_inline))

namespace Quorvan {
namespace hqvga {
namespace avx2 {
namespace {

// The polynomial in s by Estrin's scheme: pairs of terms, then pairs of
// pairs, so that the longest chain of dependent operations is three
// multiply-adds deep instead of seven (Horner's). The loop is bound by that
// chain, not by arithmetic throughput, on cores with small out-of-order
// windows (Zen 2 schedules floating point from 36 entries). Its rounding
// errors, like Horner's, stay within a few double ulps, far inside the guard
// band.
QUORVAN_AVX2_FMA_INLINE __m256d pair(double low, double high, __m256d x) {
    return _mm256_fmadd_pd(_mm256_set1_pd(high), x, _mm256_set1_pd(low));
}

template <typename Polynomial>
QUORVAN_AVX2_FMA_INLINE __m256d polynomial(__m256d s) {
    static_assert(Polynomial::kTerms == 8, "Estrin's scheme is written out for eight terms");
    const double* c = Polynomial::kCoefficients;
    const __m256d s2 = _mm256_mul_pd(s, s);
    const __m256d s4 = _mm256_mul_pd(s2, s2);
    const __m256d p01 = pair(c[0], c[1], s);
    const __m256d p23 = pair(c[2], c[3], s);
    const __m256d p45 = pair(c[4], c[5], s);
    const __m256d p67 = pair(c[6], c[7], s);
    const __m256d p0123 = _mm256_fmadd_pd(p23, s2, p01);
    const __m256d p4567 = _mm256_fmadd_pd(p67, s2, p45);
    return _mm256_fmadd_pd(p4567, s4, p0123);
}

QUORVAN_AVX2_INLINE __m128i loadFour(const int16_t* values) {
    return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(values)));
}

// The reduced arguments numerator / denominator in double, eight per step:
// a float reciprocal estimate (relative error below 1.5 * 2^-12), one Newton
// step in float (below 2^-21.6) and one correction in double, whose residual
// n - d * q is exact (q has 36 significant bits, d 12), leave each quotient
// within 2^-43 of n / d. A pass of its own, as is the arctangent's: each
// loop's chain of dependent operations is then short enough for the
// out-of-order window to overlap several steps.
QUORVAN_AVX2_FMA_INLINE void quotientPass(const ReducedBlock& block, double* quotient) {
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int i = 0; i < kBlock; i += 8) {
        const __m256 d = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(
            _mm_load_si128(reinterpret_cast<const __m128i*>(block.denominator + i))));
        __m256 r = _mm256_rcp_ps(d);
        r = _mm256_fmadd_ps(r, _mm256_fnmadd_ps(d, r, one), r);
        for (int half = 0; half < 2; ++half) {
            const int k = i + 4 * half;
            const __m256d rd = _mm256_cvtps_pd(half == 0 ? _mm256_castps256_ps128(r)
                                                         : _mm256_extractf128_ps(r, 1));
            const __m256d nd = _mm256_cvtepi32_pd(loadFour(block.numerator + k));
            const __m256d dd = _mm256_cvtepi32_pd(loadFour(block.denominator + k));
            const __m256d q = _mm256_mul_pd(nd, rd);
            _mm256_store_pd(quotient + k, _mm256_fmadd_pd(rd, _mm256_fnmadd_pd(dd, q, nd), q));
        }
    }
}

// offset + atan(q) = offset + q * P(q^2), eight pixels per step, to float
// depth; marks the pixels the guard band cannot settle. Returns whether it
// marked any.
template <typename Polynomial>
QUORVAN_AVX2_FMA_INLINE bool arctangentPass(ReducedBlock& block, const double* quotient,
                                            float scale, float* depth) {
    const __m256d quarter_pi = _mm256_set1_pd(body::kQuarterPi);
    const __m256 scale8 = _mm256_set1_ps(scale);
    unsigned any_marked = 0;
    for (int i = 0; i < kBlock; i += 8) {
        __m128 phase[2];
        unsigned marked = 0;
        for (int half = 0; half < 2; ++half) {
            const int k = i + 4 * half;
            const __m256d q = _mm256_load_pd(quotient + k);
            const __m256d offset =
                _mm256_mul_pd(_mm256_cvtepi32_pd(loadFour(block.eighths + k)), quarter_pi);
            const __m256d angle =
                _mm256_fmadd_pd(q, polynomial<Polynomial>(_mm256_mul_pd(q, q)), offset);
            marked |= static_cast<unsigned>(
                          _mm256_movemask_pd(_mm256_castsi256_pd(nearRoundingBoundary(angle))))
                      << (4 * half);
            phase[half] = _mm256_cvtpd_ps(angle);
        }
        block.marked[i / 8] = static_cast<uint8_t>(marked);
        any_marked |= marked;
        _mm256_storeu_ps(depth + i, depthFromPhase(_mm256_set_m128(phase[1], phase[0]), scale8));
    }
    return any_marked != 0;
}

template <typename Polynomial, typename Shift>
QUORVAN_AVX2_FMA_INLINE void depthFrame(const uint16_t* cache, float* depth, float* amplitude,
                                        float* confidence, int32_t range,
                                        float modulation_frequency, unsigned shift,
                                        const Shift& shifter) {
    const float scale = 300000000.0f / (12.566371f * modulation_frequency);
    const PhasePairing pairs = body::pairingFor(cache, range);
    ReducedBlock block;
    alignas(32) double quotient[kBlock];
    for (int offset = 0; offset < kPixels; offset += kBlock) {
        reducePhases(pairs, offset, shifter, block, amplitude, confidence);
        quotientPass(block, quotient);
        if (arctangentPass<Polynomial>(block, quotient, scale, depth + offset))
            settleMarked(block, pairs, offset, shift, scale, depth);
    }
}

}  // namespace

template <typename Polynomial>
QUORVAN_AVX2_FMA void depthAnyShift(const uint16_t* cache, float* depth, float* amplitude,
                                    float* confidence, int32_t range, float modulation_frequency,
                                    uint8_t shift) {
    if (shift == 0) {
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency, 0,
                               FixedShift<0>());
    } else if (shift == 4) {
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency, 4,
                               FixedShift<4>());
    } else {
        const unsigned clamped = body::clampShift(shift);
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency,
                               clamped, AnyShift{_mm_cvtsi32_si128(static_cast<int>(clamped))});
    }
}

}  // namespace avx2

namespace variants {

QUORVAN_AVX2_FMA void depthAvx2(const uint16_t* cache, float* depth, float* amplitude,
                                float* confidence, int32_t range, float modulation_frequency,
                                uint8_t shift) {
    avx2::depthAnyShift<body::ProductionArctangent>(cache, depth, amplitude, confidence, range,
                                                    modulation_frequency, shift);
}

__attribute__((target("avx2"))) void unpackAvx2(const uint16_t* cache, int16_t* raw,
                                                uint8_t shift) {
    avx2::unpackAnyShift(cache, raw, shift);
}

}  // namespace variants
}  // namespace hqvga
}  // namespace Quorvan

#endif

// The depth filters and the deprojection compiled for wider x86-64
// instruction sets, chosen at run time (processing_variants.cpp). The
// filters are the loops of tof_filters_body.h, vectorised for each target;
// the deprojection is written with intrinsics over the interleaved rays.
#if defined(__x86_64__)

#include <immintrin.h>

#include <limits>

#include "processing/processing_variants.h"
#include "processing/tof_filters_body.h"

// GCC 12's AVX-512 intrinsics pass an undefined placeholder as the unused
// merge operand, which -Wmaybe-uninitialized then reports at every inlined
// call (GCC bug 105593); the placeholder is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define QUORVAN_AVX2 __attribute__((target("avx2")))
// GCC vectorises with 256-bit vectors unless told that 512 bits pay.
#define QUORVAN_AVX512 \
    __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")))

namespace Quorvan {
namespace processing {
namespace {

using filters::FlyingPixelParameters;
using filters::PhaseSamples;
using filters::TemporalParameters;

// Points `first` to `pixels` one at a time, from the interleaved rays: the
// rest after the vector steps of every x86-64 variant.
inline void deprojectRemainder(const float* ray, const float* radial_depth_mm, float* xyz,
                               std::size_t first, std::size_t pixels) {
    for (std::size_t i = first; i < pixels; ++i) {
        const float d = radial_depth_mm[i];
        const bool valid = d > 0.0f && d <= std::numeric_limits<float>::max();
        const float scale = valid ? d : std::numeric_limits<float>::quiet_NaN();
        for (int k = 0; k < 3; ++k)
            xyz[3 * i + k] = ray[3 * i + k] * scale;
    }
}

// Eight points per step: the scale of pixel k multiplies x, y and z of point
// k, so each of the three output vectors takes its scales from the eight
// with one in-register permutation; rays and points stream in the same
// interleaved order.
QUORVAN_AVX2 void deprojectAvx2(const RayTable& rays, const float* radial_depth_mm, float* xyz) {
    const std::size_t pixels = rays.pixelCount();
    const float* ray = rays.rayXYZ();
    const __m256 zero = _mm256_setzero_ps();
    const __m256 largest = _mm256_set1_ps(std::numeric_limits<float>::max());
    const __m256 nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    const __m256i first = _mm256_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2);
    const __m256i second = _mm256_setr_epi32(2, 3, 3, 3, 4, 4, 4, 5);
    const __m256i third = _mm256_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7);
    std::size_t i = 0;
    for (; i + 8 <= pixels; i += 8) {
        const __m256 d = _mm256_loadu_ps(radial_depth_mm + i);
        const __m256 valid = _mm256_and_ps(_mm256_cmp_ps(d, zero, _CMP_GT_OQ),
                                           _mm256_cmp_ps(d, largest, _CMP_LE_OQ));
        const __m256 scale = _mm256_blendv_ps(nan, d, valid);
        const float* r = ray + 3 * i;
        float* out = xyz + 3 * i;
        _mm256_storeu_ps(out,
                         _mm256_mul_ps(_mm256_loadu_ps(r), _mm256_permutevar8x32_ps(scale, first)));
        _mm256_storeu_ps(out + 8, _mm256_mul_ps(_mm256_loadu_ps(r + 8),
                                                _mm256_permutevar8x32_ps(scale, second)));
        _mm256_storeu_ps(out + 16, _mm256_mul_ps(_mm256_loadu_ps(r + 16),
                                                 _mm256_permutevar8x32_ps(scale, third)));
    }
    deprojectRemainder(ray, radial_depth_mm, xyz, i, pixels);
}

// Sixteen points per step, as deprojectAvx2.
QUORVAN_AVX512 void deprojectAvx512(const RayTable& rays, const float* radial_depth_mm,
                                    float* xyz) {
    const std::size_t pixels = rays.pixelCount();
    const float* ray = rays.rayXYZ();
    const __m512 largest = _mm512_set1_ps(std::numeric_limits<float>::max());
    const __m512 nan = _mm512_set1_ps(std::numeric_limits<float>::quiet_NaN());
    const __m512i first = _mm512_setr_epi32(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m512i second = _mm512_setr_epi32(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m512i third =
        _mm512_setr_epi32(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    std::size_t i = 0;
    for (; i + 16 <= pixels; i += 16) {
        const __m512 d = _mm512_loadu_ps(radial_depth_mm + i);
        const __mmask16 valid = _mm512_cmp_ps_mask(d, _mm512_setzero_ps(), _CMP_GT_OQ) &
                                _mm512_cmp_ps_mask(d, largest, _CMP_LE_OQ);
        const __m512 scale = _mm512_mask_blend_ps(valid, nan, d);
        const float* r = ray + 3 * i;
        float* out = xyz + 3 * i;
        _mm512_storeu_ps(out,
                         _mm512_mul_ps(_mm512_loadu_ps(r), _mm512_permutexvar_ps(first, scale)));
        _mm512_storeu_ps(
            out + 16, _mm512_mul_ps(_mm512_loadu_ps(r + 16), _mm512_permutexvar_ps(second, scale)));
        _mm512_storeu_ps(
            out + 32, _mm512_mul_ps(_mm512_loadu_ps(r + 32), _mm512_permutexvar_ps(third, scale)));
    }
    deprojectRemainder(ray, radial_depth_mm, xyz, i, pixels);
}

struct Avx2Lanes {
    using Value = __m256;
    using Key = __m256i;
    static constexpr std::size_t kWidth = 8;
    static QUORVAN_AVX2 QUORVAN_FILTER_INLINE Value load(const float* p) {
        return _mm256_loadu_ps(p);
    }
    // The value where it is a valid depth (above zero, not NaN), else the
    // centre's.
    static QUORVAN_AVX2 QUORVAN_FILTER_INLINE Key validOr(Value value, Value centre) {
        const __m256 valid = _mm256_cmp_ps(value, _mm256_setzero_ps(), _CMP_GT_OQ);
        return _mm256_castps_si256(_mm256_blendv_ps(centre, value, valid));
    }
    static QUORVAN_AVX2 QUORVAN_FILTER_INLINE Key lesser(Key a, Key b) {
        return _mm256_min_epi32(a, b);
    }
    static QUORVAN_AVX2 QUORVAN_FILTER_INLINE Key greater(Key a, Key b) {
        return _mm256_max_epi32(a, b);
    }
    static QUORVAN_AVX2 QUORVAN_FILTER_INLINE void storeIfValid(float* out, Key median,
                                                                Value centre) {
        const __m256 valid = _mm256_cmp_ps(centre, _mm256_setzero_ps(), _CMP_GT_OQ);
        _mm256_storeu_ps(out, _mm256_and_ps(_mm256_castsi256_ps(median), valid));
    }
};

// The network sorts floats here, not their bit patterns: 512-bit integer
// minimum and maximum issue on one port, their float forms on two (the
// network's operands are never NaN or -0, so both orders agree). Validity
// takes no comparison: vfixupimmps classifies each lane of one operand
// (NaN, zero, negative, -infinity, +1, +infinity, other positive) and per
// class keeps the other operand or takes its own value, or a constant, in
// one operation where a comparison and a blend would take two.
struct Avx512Lanes {
    using Value = __m512;
    using Key = __m512;
    static constexpr std::size_t kWidth = 16;
    // Four bits per class, quiet NaN first: 0 keeps the destination, 1
    // takes the classified value, 8 takes +0. Valid depths are the classes
    // +1, +infinity and positive (3, 5 and 7).
    static constexpr int kValueWhereValid = 0x10101000;
    static constexpr int kZeroWhereInvalid = 0x08080888;
    static QUORVAN_AVX512 QUORVAN_FILTER_INLINE Value load(const float* p) {
        return _mm512_loadu_ps(p);
    }
    static QUORVAN_AVX512 QUORVAN_FILTER_INLINE Key validOr(Value value, Value centre) {
        return _mm512_fixupimm_ps(centre, value, _mm512_set1_epi32(kValueWhereValid), 0);
    }
    static QUORVAN_AVX512 QUORVAN_FILTER_INLINE Key lesser(Key a, Key b) {
        return _mm512_min_ps(a, b);
    }
    static QUORVAN_AVX512 QUORVAN_FILTER_INLINE Key greater(Key a, Key b) {
        return _mm512_max_ps(a, b);
    }
    static QUORVAN_AVX512 QUORVAN_FILTER_INLINE void storeIfValid(float* out, Key median,
                                                                  Value centre) {
        _mm512_storeu_ps(
            out, _mm512_fixupimm_ps(median, centre, _mm512_set1_epi32(kZeroWhereInvalid), 0));
    }
};

// The vector median rows, one copy per instruction set.
namespace avx2_median {
#pragma GCC push_options
#pragma GCC target("avx2")
#include "processing/median_network_x86.inc"
#pragma GCC pop_options
}  // namespace avx2_median

namespace avx512_median {
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=512")
#include "processing/median_network_x86.inc"
#pragma GCC pop_options
}  // namespace avx512_median

#define QUORVAN_FILTER_VARIANT(TARGET, SUFFIX, MEDIAN_ROW)                                     \
    TARGET void thresholdAmplitude##SUFFIX(float* depth, const float* amplitude,               \
                                           std::size_t pixel_count, float min_amplitude) {     \
        filters::body::thresholdAmplitude(depth, amplitude, pixel_count, min_amplitude);       \
    }                                                                                          \
    TARGET void rejectSaturated##SUFFIX(float* depth, int width, int height,                   \
                                        const PhaseSamples& phases, int16_t clip_low,          \
                                        int16_t clip_high) {                                   \
        filters::body::rejectSaturated(depth, width, height, phases, clip_low, clip_high);     \
    }                                                                                          \
    TARGET void removeFlyingPixels##SUFFIX(const float* in, float* out, int width, int height, \
                                           const FlyingPixelParameters& parameters) {          \
        filters::body::removeFlyingPixels(in, out, width, height, parameters);                 \
    }                                                                                          \
    TARGET void temporalFilter##SUFFIX(float* depth, float* state, std::size_t pixel_count,    \
                                       const TemporalParameters& parameters) {                 \
        filters::body::temporalFilter(depth, state, pixel_count, parameters);                  \
    }                                                                                          \
    TARGET void median3x3##SUFFIX(const float* in, float* out, int width, int height) {        \
        filters::body::median3x3<MEDIAN_ROW>(in, out, width, height);                          \
    }

QUORVAN_FILTER_VARIANT(QUORVAN_AVX2, Avx2, avx2_median::VectorMedianRow<Avx2Lanes>)
QUORVAN_FILTER_VARIANT(QUORVAN_AVX512, Avx512, avx512_median::VectorMedianRow<Avx512Lanes>)

}  // namespace

namespace variants {
// The baseline (SSE2) variant's deprojection: four points per step from the
// interleaved rays, as deprojectAvx2, one shuffle per output vector. (GCC's
// vectorisation of the loop over the three ray planes, which aarch64 uses,
// spends a dozen shuffles per four points on interleaving here.)
void deprojectSse2(const RayTable& rays, const float* radial_depth_mm, float* xyz) {
    const std::size_t pixels = rays.pixelCount();
    const float* ray = rays.rayXYZ();
    const __m128 zero = _mm_setzero_ps();
    const __m128 largest = _mm_set1_ps(filters::body::kLargestFinite);
    const __m128 nan = _mm_set1_ps(std::numeric_limits<float>::quiet_NaN());
    std::size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        const __m128 d = _mm_loadu_ps(radial_depth_mm + i);
        // A comparison that NaN fails, as for every variant.
        const __m128 valid = _mm_and_ps(_mm_cmpgt_ps(d, zero), _mm_cmple_ps(d, largest));
        const __m128 scale = _mm_or_ps(_mm_and_ps(valid, d), _mm_andnot_ps(valid, nan));
        const float* r = ray + 3 * i;
        float* out = xyz + 3 * i;
        _mm_storeu_ps(out, _mm_mul_ps(_mm_loadu_ps(r),
                                      _mm_shuffle_ps(scale, scale, _MM_SHUFFLE(1, 0, 0, 0))));
        _mm_storeu_ps(out + 4, _mm_mul_ps(_mm_loadu_ps(r + 4),
                                          _mm_shuffle_ps(scale, scale, _MM_SHUFFLE(2, 2, 1, 1))));
        _mm_storeu_ps(out + 8, _mm_mul_ps(_mm_loadu_ps(r + 8),
                                          _mm_shuffle_ps(scale, scale, _MM_SHUFFLE(3, 3, 3, 2))));
    }
    deprojectRemainder(ray, radial_depth_mm, xyz, i, pixels);
}

const ProcessingVariant kAvx2 = {"avx2",
                                 thresholdAmplitudeAvx2,
                                 rejectSaturatedAvx2,
                                 removeFlyingPixelsAvx2,
                                 temporalFilterAvx2,
                                 median3x3Avx2,
                                 deprojectAvx2,
                                 InstructionSet::Avx2};
const ProcessingVariant kAvx512 = {"avx512",
                                   thresholdAmplitudeAvx512,
                                   rejectSaturatedAvx512,
                                   removeFlyingPixelsAvx512,
                                   temporalFilterAvx512,
                                   median3x3Avx512,
                                   deprojectAvx512,
                                   InstructionSet::Avx512};
}  // namespace variants

}  // namespace processing
}  // namespace Quorvan

#endif

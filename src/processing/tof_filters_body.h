// Loop bodies of the depth filters, forced inline so that each
// instruction-set variant (processing_variants*.cpp) compiles its own copy
// for its own vector width. They are written for the vectoriser: selects
// instead of branches, no divisions, __restrict planes, parameters copied
// into locals (read through a reference, the compiler would have to reload
// them after every store, and gives up on vectorising). Conditions combine
// with & and |, not && and ||: a short-circuited float comparison is control
// flow that GCC may not flatten (under the default -ftrapping-math the
// comparison could raise an exception the source would not have raised), and
// it then leaves the loop scalar. Every lane does the float operations of
// the definition in its order, so all variants agree bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "quorvan/tof_filters.h"

#define QUORVAN_FILTER_INLINE inline __attribute__((always_inline))

namespace Quorvan {
namespace filters {
namespace body {

constexpr float kLargestFinite = std::numeric_limits<float>::max();

// False for NaN and both infinities.
QUORVAN_FILTER_INLINE bool isFinite(float value) {
    return std::fabs(value) <= kLargestFinite;
}

// A non-finite depth counts as no depth. Written on the bits (an exponent of
// all ones is NaN or infinity) rather than as a select: in a loop that reads
// each value twice, GCC otherwise carries the select's result from one
// iteration into the next and leaves the loop unvectorised.
QUORVAN_FILTER_INLINE float finiteOrInvalid(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t keep = 0u - static_cast<uint32_t>((bits & 0x7F800000u) != 0x7F800000u);
    bits &= keep;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

QUORVAN_FILTER_INLINE void thresholdAmplitude(float* __restrict depth,
                                              const float* __restrict amplitude,
                                              std::size_t pixel_count, float min_amplitude) {
    for (std::size_t i = 0; i < pixel_count; ++i)
        depth[i] = amplitude[i] >= min_amplitude ? depth[i] : kInvalidDepth;
}

QUORVAN_FILTER_INLINE void rejectSaturatedRow(float* __restrict out, const int16_t* __restrict p0,
                                              const int16_t* __restrict p1,
                                              const int16_t* __restrict p2,
                                              const int16_t* __restrict p3, int width,
                                              int16_t clip_low, int16_t clip_high) {
    for (int column = 0; column < width; ++column) {
        const int16_t low =
            std::min(std::min(p0[column], p1[column]), std::min(p2[column], p3[column]));
        const int16_t high =
            std::max(std::max(p0[column], p1[column]), std::max(p2[column], p3[column]));
        const bool clipped = low <= clip_low || high >= clip_high;
        out[column] = clipped ? kInvalidDepth : out[column];
    }
}

QUORVAN_FILTER_INLINE void rejectSaturated(float* depth, int width, int height,
                                           const PhaseSamples& phases, int16_t clip_low,
                                           int16_t clip_high) {
    for (int row = 0; row < height; ++row) {
        const int16_t* p0 = phases.samples + static_cast<std::size_t>(row) * phases.row_stride;
        const int16_t* p1 = p0 + phases.phase_stride;
        const int16_t* p2 = p1 + phases.phase_stride;
        const int16_t* p3 = p2 + phases.phase_stride;
        rejectSaturatedRow(depth + static_cast<std::size_t>(row) * width, p0, p1, p2, p3, width,
                           clip_low, clip_high);
    }
}

// Whether a row holds NaN or an infinity.
QUORVAN_FILTER_INLINE bool hasNonFinite(const float* __restrict row, std::size_t width) {
    int found = 0;
    for (std::size_t i = 0; i < width; ++i)
        found |= !isFinite(row[i]);
    return found != 0;
}

QUORVAN_FILTER_INLINE void copyFinite(const float* __restrict in, float* __restrict out,
                                      std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        out[i] = finiteOrInvalid(in[i]);
}

// min and max for operands known not to be NaN (and never +0 against -0).
// std::min and std::max promise what a < b ? a : b does for NaN, which x86's
// minps and maxps do as well, but ARM's vector fmin and fmax do not, so on
// aarch64 GCC builds each of them from a comparison and a select, twice the
// instructions. For numbers all of them agree; fmin and fmax map onto
// fminnm and fmaxnm there.
QUORVAN_FILTER_INLINE float lesser(float a, float b) {
#if defined(__aarch64__)
    return std::fmin(a, b);
#else
    return std::min(a, b);
#endif
}

QUORVAN_FILTER_INLINE float greater(float a, float b) {
#if defined(__aarch64__)
    return std::fmax(a, b);
#else
    return std::max(a, b);
#endif
}

QUORVAN_FILTER_INLINE uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

template <bool Substitute>
QUORVAN_FILTER_INLINE float readDepth(float value) {
    if constexpr (Substitute)
        return finiteOrInvalid(value);
    else
        return value;
}

// |upper - lower| per column, each value read through finiteOrInvalid (a
// loop of its own, so that the planes are known apart and it vectorises).
QUORVAN_FILTER_INLINE void verticalJumps(const float* __restrict upper,
                                         const float* __restrict lower, float* __restrict jumps,
                                         std::size_t count) {
    for (std::size_t column = 0; column < count; ++column)
        jumps[column] = std::fabs(finiteOrInvalid(upper[column]) - finiteOrInvalid(lower[column]));
}

// One interior row of removeFlyingPixels. `row_out` holds, on entry, the
// jumps |d - above| that the row before stored there, and receives the
// result; `down_jumps` (the next row of the output) receives |d - below| for
// the row after, so that every vertical jump is computed once.
//
// With Substitute, every value read goes through finiteOrInvalid; without,
// the rows are taken to be finite (the caller checks). No jump is then NaN,
// so "both jumps of a pair exceed the limit" is "the smaller one does", and
// "either pair does" is "the larger of the two smaller ones does": the same
// decisions as the definition's, in fewer operations. The loop covers the
// border columns too, so that its vectors start where the row does (reading
// one value of the rows before and after, which interior rows have); the
// caller puts the border values back. Returns what `Flag` gathered from the
// downward jumps, which tells whether one of them is NaN or infinite: when
// the row below holds NaN or an infinity (or, harmlessly, when a difference
// overflowed).
//
// Two ways to gather it. A jump has no sign bit, so its bits reach
// 0x7F800000 (infinity) exactly when they are the largest at or above that,
// and exactly when adding 0x00800000 carries into the top bit.
struct LargestJumpBits {
    static QUORVAN_FILTER_INLINE uint32_t add(uint32_t gathered, uint32_t jump_bits) {
        return std::max(gathered, jump_bits);
    }
    static QUORVAN_FILTER_INLINE bool anyNonFinite(uint32_t gathered) {
        return gathered >= 0x7F800000u;
    }
};

// For SSE2, which has no unsigned maximum (GCC builds one from seven
// instructions): an add and an OR.
struct CarriedJumpBits {
    static QUORVAN_FILTER_INLINE uint32_t add(uint32_t gathered, uint32_t jump_bits) {
        return gathered | (jump_bits + 0x00800000u);
    }
    static QUORVAN_FILTER_INLINE bool anyNonFinite(uint32_t gathered) {
        return (gathered & 0x80000000u) != 0;
    }
};

template <bool Substitute, typename Flag>
QUORVAN_FILTER_INLINE uint32_t flyingPixelRow(const float* __restrict here,
                                              const float* __restrict below,
                                              float* __restrict row_out,
                                              float* __restrict down_jumps, std::size_t width,
                                              float min_jump_mm, float relative_jump) {
    uint32_t gathered = 0;
    for (std::size_t column = 0; column < width; ++column) {
        const float d = readDepth<Substitute>(here[column]);
        const float limit = std::max(min_jump_mm, relative_jump * d);
        const float row_jump = lesser(std::fabs(d - readDepth<Substitute>((here - 1)[column])),
                                      std::fabs(d - readDepth<Substitute>((here + 1)[column])));
        const float down = std::fabs(d - readDepth<Substitute>(below[column]));
        const float column_jump = lesser(row_out[column], down);
        down_jumps[column] = down;
        gathered = Flag::add(gathered, bitsOf(down));
        row_out[column] = greater(row_jump, column_jump) > limit ? kInvalidDepth : d;
    }
    return gathered;
}

template <typename Flag = LargestJumpBits>
QUORVAN_FILTER_INLINE void removeFlyingPixels(const float* in, float* out, int width, int height,
                                              const FlyingPixelParameters& parameters) {
    if (width <= 0 || height <= 0)
        return;
    const std::size_t w = static_cast<std::size_t>(width);
    const float min_jump_mm = parameters.min_jump_mm;
    const float relative_jump = parameters.relative_jump;
    bool above_odd = hasNonFinite(in, w);
    bool here_odd = height > 1 && hasNonFinite(in + w, w);
    copyFinite(in, out, w);
    if (height > 1) {
        // The jumps from row 0 down to row 1, where row 1's pass expects them.
        verticalJumps(in, in + w, out + w, w);
    }
    for (int row = 1; row + 1 < height; ++row) {
        const float* here = in + row * w;
        float* row_out = out + row * w;
        bool below_odd = false;
        if (above_odd || here_odd) {
            below_odd = hasNonFinite(here + w, w);
            flyingPixelRow<true, Flag>(here, here + w, row_out, row_out + w, w, min_jump_mm,
                                       relative_jump);
        } else {
            // Optimistically: the pass itself tells whether the row below
            // was finite. If not, it runs again with substitution, from the
            // jumps from above (rows known to be finite) recomputed where the
            // first pass wrote its results.
            below_odd = Flag::anyNonFinite(flyingPixelRow<false, Flag>(
                            here, here + w, row_out, row_out + w, w, min_jump_mm, relative_jump)) &&
                        hasNonFinite(here + w, w);
            if (below_odd) {
                for (std::size_t column = 0; column < w; ++column)
                    row_out[column] = std::fabs(here[column] - (here - w)[column]);
                flyingPixelRow<true, Flag>(here, here + w, row_out, row_out + w, w, min_jump_mm,
                                           relative_jump);
            }
        }
        row_out[0] = finiteOrInvalid(here[0]);
        row_out[w - 1] = finiteOrInvalid(here[w - 1]);
        above_odd = here_odd;
        here_odd = below_odd;
    }
    if (height > 1)
        copyFinite(in + (height - 1) * w, out + (height - 1) * w, w);
}

QUORVAN_FILTER_INLINE void temporalFilter(float* __restrict depth, float* __restrict state,
                                          std::size_t pixel_count,
                                          const TemporalParameters& parameters) {
    const float alpha = parameters.alpha;
    const float reset_jump_mm = parameters.reset_jump_mm;
    for (std::size_t i = 0; i < pixel_count; ++i) {
        const float d = depth[i];
        const float previous = state[i];
        // NaN fails the first comparison, +infinity the second.
        const bool valid = (d > 0.0f) & (d <= kLargestFinite);
        const bool continues = (previous > 0.0f) & (std::fabs(d - previous) <= reset_jump_mm);
        const float blended = previous + alpha * (d - previous);
        const float smoothed = continues ? blended : d;
        const float next = valid ? smoothed : kInvalidDepth;
        state[i] = next;
        depth[i] = next;
    }
}

QUORVAN_FILTER_INLINE void sortPair(float& a, float& b) {
    const float low = lesser(a, b);
    b = greater(a, b);
    a = low;
}

// The median of nine values with the classic 19-exchange network. (Sorting
// the columns of three once and sharing them between the three windows that
// contain them saves exchanges, but not here: invalid neighbours take the
// window's own centre, so windows side by side see different columns. The
// way around that, two medians per window with invalid values below and
// above every valid one and the centre clamped between them, measured
// slower than this network.) The window holds numbers whenever its median is
// kept (a valid centre stands in for every invalid neighbour), so the
// exchanges may use lesser and greater.
QUORVAN_FILTER_INLINE float medianOfNine(float p[9]) {
    sortPair(p[1], p[2]);
    sortPair(p[4], p[5]);
    sortPair(p[7], p[8]);
    sortPair(p[0], p[1]);
    sortPair(p[3], p[4]);
    sortPair(p[6], p[7]);
    sortPair(p[1], p[2]);
    sortPair(p[4], p[5]);
    sortPair(p[7], p[8]);
    sortPair(p[0], p[3]);
    sortPair(p[5], p[8]);
    sortPair(p[4], p[7]);
    sortPair(p[3], p[6]);
    sortPair(p[1], p[4]);
    sortPair(p[2], p[5]);
    sortPair(p[4], p[7]);
    sortPair(p[4], p[2]);
    sortPair(p[6], p[4]);
    sortPair(p[4], p[2]);
    return p[4];
}

// Windows [first, last) of one interior row. The caller covers the border
// columns too where it can (rows with a row before and after them in memory
// beyond the window, reached from the first and last column), so that the
// vectors start where the row does, and then puts the border values back.
QUORVAN_FILTER_INLINE void medianRow(const float* __restrict above, const float* __restrict here,
                                     const float* __restrict below, float* __restrict result,
                                     std::size_t first, std::size_t last) {
    for (std::size_t column = first; column < last; ++column) {
        const float centre = here[column];
        const float* rows[3] = {above - 1, here - 1, below - 1};
        float window[9];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                const float value = rows[r][column + c];
                window[r * 3 + c] = value > 0.0f ? value : centre;
            }
        }
        const float median = medianOfNine(window);
        result[column] = centre > 0.0f ? median : kInvalidDepth;
    }
}

// The scalar windows of medianRow, as the row routine of median3x3 (vector
// variants pass their own, which finishes a row's remainder with this one).
struct ScalarMedianRow {
    static QUORVAN_FILTER_INLINE void run(const float* __restrict above,
                                          const float* __restrict here,
                                          const float* __restrict below, float* __restrict result,
                                          std::size_t first, std::size_t last) {
        medianRow(above, here, below, result, first, last);
    }
};

template <typename Row = ScalarMedianRow>
QUORVAN_FILTER_INLINE void median3x3(const float* in, float* out, int width, int height) {
    if (width <= 0 || height <= 0)
        return;
    const std::size_t w = static_cast<std::size_t>(width);
    std::copy(in, in + w, out);
    for (int row = 1; row + 1 < height; ++row) {
        const float* here = in + row * w;
        float* result = out + row * w;
        // The first interior row's window at column 0 would read before the
        // plane, the last one's at column w - 1 past it.
        const std::size_t first = row == 1 ? 1 : 0;
        const std::size_t last = row + 2 == height ? w - 1 : w;
        Row::run(here - w, here, here + w, result, first, last);
        result[0] = here[0];
        result[w - 1] = here[w - 1];
    }
    if (height > 1)
        std::copy(in + (height - 1) * w, in + height * w, out + (height - 1) * w);
}

}  // namespace body
}  // namespace filters
}  // namespace Quorvan

// Loop bodies of the portable 240x180 kernels (hqvga_kernels_portable.cpp),
// and what every variant shares: the polynomial and its guard band, the
// phase pairing and the scalar definition that pixels the band cannot
// settle fall back to. The x86-64 variants write their loops with
// intrinsics (hqvga_kernels_avx2_x86.h). Loops here are forced inline so
// that a variant compiles its own copy for its own target.
//
// The depth loop reproduces the scalar definition bit for bit:
// - The arctangent is evaluated in double precision with an octant reduction
//   to |t| <= 5/12 and a short odd polynomial. Its relative error is far
//   below the guard band used next, so whenever both ends of the band round
//   to the same float, libm's result (within an ulp of the true value, so
//   inside the band) rounds to that float as well. The rare
//   pixels whose band straddles a float rounding boundary are recomputed with
//   libm, which makes exactness hold by construction on any host.
// - The amplitude 0.5 * sqrt(y^2 + x^2) with y, x multiples of 16 equals
//   8 * sqrtf(Y^2 + X^2) for the 11-bit differences Y, X: the sum is below
//   2^24 (exact in float) and rounding the double square root to float gives
//   the correctly rounded float square root.
#pragma once

#include <cmath>
#include <cstdint>
#include <utility>

#include "device/hqvga_kernels.h"
#include "device/range_modes.h"

#define QUORVAN_KERNEL_INLINE inline __attribute__((always_inline))

namespace Quorvan {
namespace hqvga {
namespace body {

// atan(t) = t * P(t^2) for |t| <= 5/12; coefficients lowest degree first,
// fitted for relative error. kGuard is the guard band (relative), at least
// four times the worst relative error of the polynomial. Fewer terms need a
// wider band and send more pixels to libm; eight measured best.
struct ArctangentEightTerms {
    static constexpr int kTerms = 8;
    static constexpr double kCoefficients[kTerms] = {
        0x1.fffffffffe2fcp-1, -0x1.5555554adff77p-2, 0x1.99998fa7f155dp-3, -0x1.2490796e8103bp-3,
        0x1.c6c8cf0c8aad2p-4, -0x1.703693f95f4e7p-4, 0x1.1d1be96df1ab4p-4, -0x1.328014b58ce5fp-5};
    static constexpr double kGuard = 0x1p-38;  // fit error about 2^-40.1
};

using ProductionArctangent = ArctangentEightTerms;

// Pixels per block; a multiple of every vector width (up to 32 16-bit lanes)
// so the loops need no remainder handling, and small enough for L1.
constexpr int kBlock = 480;
static_assert(kPixels % kBlock == 0, "blocks must tile the frame");

constexpr float kTwoPi = 6.2831855f;
constexpr double kQuarterPi = 0.78539816339744830962;

// The vector kernels apply the guard band to the bits of the double angle:
// a double in [2^e, 2^(e+1)) rounds to float by its 29 lowest mantissa bits,
// and lies within 2^15 of its ulps (2^(e-37), at least 2^-38 of its
// magnitude) of a rounding boundary exactly when those bits are within 2^15
// of 1000...0, that is when (bits + kBoundaryOffset) has none of the bits of
// kBoundaryWindow set. So the band is at least kGuardFromBits wide.
constexpr int64_t kBoundaryOffset = (int64_t{1} << 28) + (int64_t{1} << 15);
constexpr int64_t kBoundaryWindow = ((int64_t{1} << 29) - 1) & ~((int64_t{1} << 16) - 1);
constexpr double kGuardFromBits = 0x1p-38;

// Shifts of 16 and more leave nothing of a 16-bit sample; clamp so the
// shift itself stays defined.
QUORVAN_KERNEL_INLINE unsigned clampShift(unsigned shift) {
    return shift > 16 ? 16 : shift;
}

// The 11-bit two's-complement sample value, -1024..1023 (the converted
// sample divided by 16).
QUORVAN_KERNEL_INLINE int16_t sampleCode(uint16_t raw, unsigned shift) {
    const auto shifted = static_cast<uint16_t>(static_cast<uint32_t>(raw) >> shift);
    return static_cast<int16_t>(static_cast<int16_t>(static_cast<uint16_t>(shifted << 5)) >> 5);
}

// Where the two differences of one pixel come from: y = y_plus - y_minus,
// x = x_plus - x_minus (planes of the raw cache).
struct PhasePairing {
    const uint16_t* y_plus;
    const uint16_t* y_minus;
    const uint16_t* x_plus;
    const uint16_t* x_minus;
};

inline PhasePairing pairingFor(const uint16_t* cache, int32_t range) {
    const uint16_t* p0 = cache;
    const uint16_t* p1 = cache + kPixels;
    const uint16_t* p2 = cache + 2 * kPixels;
    const uint16_t* p3 = cache + 3 * kPixels;
    if (range == kShortRangeMode.millimetres)
        return {p1, p3, p2, p0};
    return {p2, p0, p3, p1};
}

// Per-block intermediate values; lives on the stack of the frame loop.
struct BlockScratch {
    int16_t numerator[kBlock];
    int16_t denominator[kBlock];
    int16_t eighths[kBlock];  // the angle offset in units of pi/4, -4..4
    int32_t norm[kBlock];     // Y^2 + X^2
    float phase[kBlock];      // atan2 rounded to float, before the 2 pi wrap
    uint8_t uncertain[kBlock];
};

// Reduces atan2(Y, X) to offset * pi/4 + atan(numerator / denominator) with
// |numerator / denominator| <= 5/12, using 16-bit integer arithmetic only.
// The octant limits 5/12 and 12/5 need not be exact tangents: they only have
// to keep the reduced argument inside the polynomial's interval.
QUORVAN_KERNEL_INLINE void reduceBlock(const PhasePairing& pairs, int offset, unsigned shift,
                                       BlockScratch& scratch) {
    const uint16_t* __restrict y_plus = pairs.y_plus + offset;
    const uint16_t* __restrict y_minus = pairs.y_minus + offset;
    const uint16_t* __restrict x_plus = pairs.x_plus + offset;
    const uint16_t* __restrict x_minus = pairs.x_minus + offset;
    for (int i = 0; i < kBlock; ++i) {
        const int16_t y =
            static_cast<int16_t>(sampleCode(y_plus[i], shift) - sampleCode(y_minus[i], shift));
        const int16_t x =
            static_cast<int16_t>(sampleCode(x_plus[i], shift) - sampleCode(x_minus[i], shift));
        const int16_t a = static_cast<int16_t>(x < 0 ? -x : x);
        const int16_t b = static_cast<int16_t>(y < 0 ? -y : y);
        const bool shallow = b * 12 <= a * 5;  // angle below about 22.6 degrees
        const bool steep = a * 12 <= b * 5;    // angle above about 67.4 degrees
        int16_t numerator =
            shallow ? b : (steep ? static_cast<int16_t>(-a) : static_cast<int16_t>(b - a));
        int16_t denominator = shallow ? a : (steep ? b : static_cast<int16_t>(b + a));
        int16_t eighths = shallow ? 0 : (steep ? 2 : 1);
        // Mirror into the quadrant of (x, y): pi - angle for x < 0, then
        // negate for y < 0; the polynomial is odd, so signs go to numerator.
        if (x < 0) {
            eighths = static_cast<int16_t>(4 - eighths);
            numerator = static_cast<int16_t>(-numerator);
        }
        if (y < 0) {
            eighths = static_cast<int16_t>(-eighths);
            numerator = static_cast<int16_t>(-numerator);
        }
        // Only (0, 0) reaches a zero denominator; its numerator is 0 and so
        // is atan2(0, 0).
        denominator = denominator < 1 ? static_cast<int16_t>(1) : denominator;
        scratch.numerator[i] = numerator;
        scratch.denominator[i] = denominator;
        scratch.eighths[i] = eighths;
        scratch.norm[i] = static_cast<int32_t>(y) * y + static_cast<int32_t>(x) * x;
    }
}

// Horner's scheme written out at compile time: a loop over the terms would
// stay a loop at -O2 and keep the pixel loop from vectorising.
template <typename Polynomial, std::size_t... Steps>
QUORVAN_KERNEL_INLINE double hornerUnrolled(double s, std::index_sequence<Steps...>) {
    constexpr int kLast = Polynomial::kTerms - 1;
    double p = Polynomial::kCoefficients[kLast];
    ((p = p * s + Polynomial::kCoefficients[kLast - 1 - static_cast<int>(Steps)]), ...);
    return p;
}

template <typename Polynomial>
QUORVAN_KERNEL_INLINE double evaluatePolynomial(double s) {
    return hornerUnrolled<Polynomial>(s, std::make_index_sequence<Polynomial::kTerms - 1>());
}

template <typename Polynomial>
QUORVAN_KERNEL_INLINE bool arctangentBlock(BlockScratch& scratch) {
    constexpr double kBelow = 1.0 - Polynomial::kGuard;
    constexpr double kAbove = 1.0 + Polynomial::kGuard;
    uint8_t any_uncertain = 0;
    for (int i = 0; i < kBlock; ++i) {
        const double t =
            static_cast<double>(scratch.numerator[i]) / static_cast<double>(scratch.denominator[i]);
        const double offset_angle = static_cast<double>(scratch.eighths[i]) * kQuarterPi;
        const double angle = offset_angle + t * evaluatePolynomial<Polynomial>(t * t);
        // Both ends of the guard band round alike exactly when no float
        // rounding boundary lies inside it.
        const float low = static_cast<float>(angle * kBelow);
        const float high = static_cast<float>(angle * kAbove);
        const uint8_t uncertain = low != high ? 1 : 0;
        scratch.phase[i] = low;
        scratch.uncertain[i] = uncertain;
        any_uncertain |= uncertain;
    }
    return any_uncertain != 0;
}

QUORVAN_KERNEL_INLINE void storeBlock(const BlockScratch& scratch, float scale,
                                      float* __restrict depth_out, float* __restrict amplitude_out,
                                      float* __restrict confidence_out) {
    for (int i = 0; i < kBlock; ++i) {
        const float phase = scratch.phase[i];
        // An add of a selected constant (not a conditional add) keeps the
        // loop branch-free and vectorisable; adding 0 changes nothing.
        const float wrapped = phase + (phase < 0.0f ? kTwoPi : 0.0f);
        depth_out[i] = (wrapped * scale) * 1000.0f;
        const float a = 8.0f * std::sqrt(static_cast<float>(scratch.norm[i]));
        amplitude_out[i] = a;
        confidence_out[i] = a;
    }
}

// The depth of pixel j exactly as the definition computes it: the same
// double atan2 on the same operands. For the pixels whose float rounding the
// guard band could not settle.
inline float definedDepth(const PhasePairing& pairs, int j, unsigned shift, float scale) {
    const double y =
        16 * (sampleCode(pairs.y_plus[j], shift) - sampleCode(pairs.y_minus[j], shift));
    const double x =
        16 * (sampleCode(pairs.x_plus[j], shift) - sampleCode(pairs.x_minus[j], shift));
    float phase = static_cast<float>(std::atan2(y, x));
    if (phase < 0.0f)
        phase += kTwoPi;
    return (phase * scale) * 1000.0f;
}

QUORVAN_KERNEL_INLINE void settleUncertain(const BlockScratch& scratch, const PhasePairing& pairs,
                                           int offset, unsigned shift, float scale, float* depth) {
    for (int i = 0; i < kBlock; ++i) {
        if (scratch.uncertain[i])
            depth[i] = definedDepth(pairs, offset + i, shift, scale);
    }
}

template <typename Polynomial>
QUORVAN_KERNEL_INLINE void depthFrame(const uint16_t* cache, float* depth, float* amplitude,
                                      float* confidence, int32_t range, float modulation_frequency,
                                      unsigned shift) {
    const float scale = 300000000.0f / (12.566371f * modulation_frequency);
    const PhasePairing pairs = pairingFor(cache, range);
    BlockScratch scratch;
    for (int offset = 0; offset < kPixels; offset += kBlock) {
        reduceBlock(pairs, offset, shift, scratch);
        const bool uncertain = arctangentBlock<Polynomial>(scratch);
        storeBlock(scratch, scale, depth + offset, amplitude + offset, confidence + offset);
        if (uncertain)
            settleUncertain(scratch, pairs, offset, shift, scale, depth + offset);
    }
}

// Dispatches on the two shifts the hardware uses so that each gets a loop
// with the shift as a constant.
template <typename Polynomial>
QUORVAN_KERNEL_INLINE void depthAnyShift(const uint16_t* cache, float* depth, float* amplitude,
                                         float* confidence, int32_t range,
                                         float modulation_frequency, uint8_t shift) {
    if (shift == 0)
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency, 0);
    else if (shift == 4)
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency, 4);
    else
        depthFrame<Polynomial>(cache, depth, amplitude, confidence, range, modulation_frequency,
                               clampShift(shift));
}

QUORVAN_KERNEL_INLINE void convertRow(const uint16_t* __restrict source, int16_t* __restrict target,
                                      unsigned shift) {
    for (int column = 0; column < kWidth; ++column)
        target[column] = static_cast<int16_t>(sampleCode(source[column], shift) * 16);
}

QUORVAN_KERNEL_INLINE void unpackRows(const uint16_t* cache, int16_t* raw, unsigned shift) {
    for (int row = 0; row < kHeight; ++row) {
        for (int phase = 0; phase < kPhases; ++phase)
            convertRow(cache + phase * kPixels + row * kWidth,
                       raw + (row * kPhases + phase) * kWidth, shift);
    }
}

QUORVAN_KERNEL_INLINE void unpackAnyShift(const uint16_t* cache, int16_t* raw, uint8_t shift) {
    if (shift == 0)
        unpackRows(cache, raw, 0);
    else if (shift == 4)
        unpackRows(cache, raw, 4);
    else
        unpackRows(cache, raw, clampShift(shift));
}

}  // namespace body
}  // namespace hqvga
}  // namespace Quorvan

#include "si4c_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "phase_angle.h"
#include "scene/instruction_set_level.h"
#include "scene/vga_raw_layout.h"

namespace Quorvan {
namespace si4c {
namespace {

constexpr float kTwoPi = 6.28318530717958647692f;
// Pixels decoded together: small enough for the intermediate planes to stay
// in the first-level cache.
constexpr int32_t kChunk = 256;

// The cache is a byte buffer with no alignment promise; samples are
// little-endian whatever the host.
inline int32_t loadSample(const uint8_t* block, int64_t pixel) {
    const uint8_t* bytes = block + 2 * pixel;
    return static_cast<int32_t>(bytes[0] | (bytes[1] << 8));
}

void loadWords(const uint8_t* block, int64_t first, int32_t count, uint16_t* words) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(words, block + 2 * first, 2 * static_cast<size_t>(count));
#else
    for (int32_t i = 0; i < count; ++i)
        words[i] = static_cast<uint16_t>(loadSample(block, first + i));
#endif
}

inline bool isClipped(int32_t sample) {
    return sample <= vga_layout::kSaturatedLow || sample >= vga_layout::kSaturatedHigh;
}

// value modulo period, in [0, period], for any value.
inline float wrapInto(float value, float period) {
    value = std::fmod(value, period);
    return value < 0.0f ? value + period : value;
}

// The same for |value| < 2 period, without a branch: every use below is
// known to lie there.
inline float wrapNear(float value, float period) {
    value = value >= period ? value - period : value;
    value = value < 0.0f ? value + period : value;
    return value < 0.0f ? value + period : value;
}

// std::lround of a float well inside the int32 range, without the call: the
// fraction left after truncation is exact.
inline int32_t roundHalfAway(float value) {
    const int32_t whole = static_cast<int32_t>(value);
    const float fraction = value - static_cast<float>(whole);
    return whole + (fraction >= 0.5f ? 1 : 0) - (fraction <= -0.5f ? 1 : 0);
}

inline float unwrapPair(float near_distance, float near_amplitude, float far_distance,
                        float far_amplitude) {
    constexpr float near_range = vga_layout::kDoubleRangesMm[0];
    constexpr float far_range = vga_layout::kDoubleRangesMm[1];
    constexpr float full_range = vga_layout::kDoubleUnwrappedRangeMm;
    constexpr int32_t near_wraps = static_cast<int32_t>(full_range / near_range);
    constexpr int32_t far_wraps = static_cast<int32_t>(full_range / far_range);

    // Try every wrap count of the first frequency, pair it with the closest
    // wrap of the second and keep the pair that agrees best (circularly, since
    // 4500 mm wraps as well).
    float best_difference = full_range;
    float best_far_candidate = far_distance;
    // Unrolled, so the per-pixel loop around it is a single loop and vectorises.
#pragma GCC unroll 4
    for (int32_t near_wrap = 0; near_wrap < near_wraps; ++near_wrap) {
        const float near_candidate = near_distance + near_wrap * near_range;
        int32_t far_wrap = roundHalfAway((near_candidate - far_distance) / far_range);
        far_wrap = ((far_wrap % far_wraps) + far_wraps) % far_wraps;
        const float far_candidate = far_distance + far_wrap * far_range;
        const float difference =
            wrapNear(near_candidate - far_candidate + full_range / 2, full_range) - full_range / 2;
        const bool better = std::fabs(difference) < std::fabs(best_difference);
        best_difference = better ? difference : best_difference;
        best_far_candidate = better ? far_candidate : best_far_candidate;
    }
    // Distance noise scales with range over amplitude.
    const float near_weight = (near_amplitude / near_range) * (near_amplitude / near_range);
    const float far_weight = (far_amplitude / far_range) * (far_amplitude / far_range);
    const float total_weight = near_weight + far_weight;
    // Divided for every pixel (a vector lane cannot skip it), by 1 where the
    // weights are 0, whose share is then a half.
    const float divisor = total_weight > 0.0f ? total_weight : 1.0f;
    const float share = total_weight > 0.0f ? near_weight / divisor : 0.5f;
    return wrapNear(best_far_candidate + best_difference * share, full_range);
}

struct FrequencyBlocks {
    const uint8_t* phase[vga_layout::kPhaseBlocks];
    const uint8_t* gray;
    float range_mm;
    float phase_offset;  // in [0, 2 pi]
};

FrequencyBlocks locateBlocks(const DecoderSetup& setup, const uint8_t* raw, int32_t frequency) {
    FrequencyBlocks blocks;
    for (int32_t block = 0; block < vga_layout::kPhaseBlocks; ++block) {
        blocks.phase[block] =
            raw + 2 * vga_layout::blockPixelOffset(setup.width, setup.height, frequency, block);
    }
    blocks.gray = raw + 2 * vga_layout::blockPixelOffset(setup.width, setup.height, frequency,
                                                         vga_layout::kGrayBlock);
    blocks.range_mm = vga_layout::unambiguousRangeMm(setup.single, frequency);
    // Any offset the calibration gives, folded onto one turn, keeps every
    // measured phase minus the offset within two turns of zero (wrapNear).
    const float offset = setup.single ? setup.calibration->single_phase_offset
                                      : setup.calibration->double_phase_offsets[frequency];
    blocks.phase_offset = wrapInto(offset, kTwoPi);
    return blocks;
}

// One frequency's measurement of a chunk of pixels.
struct FrequencyChunk {
    float distance_mm[kChunk];
    float amplitude[kChunk];
    float gray[kChunk];
    int32_t saturated[kChunk];
};

// The per-pixel steps below are branch-free so each loop vectorises, and
// always inlined, so that each instruction-set build of decodePixels (at the
// end) compiles them for its own target.
[[gnu::always_inline]] inline void decodeFrequency(const FrequencyBlocks& blocks, int64_t first,
                                                   int32_t count, FrequencyChunk* out) {
    uint16_t samples[vga_layout::kPhaseBlocks][kChunk];
    uint16_t gray[kChunk];
    for (int32_t block = 0; block < vga_layout::kPhaseBlocks; ++block)
        loadWords(blocks.phase[block], first, count, samples[block]);
    loadWords(blocks.gray, first, count, gray);
    const float range = blocks.range_mm;
    const float offset = blocks.phase_offset;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t s0 = samples[0][i];
        const int32_t s1 = samples[1][i];
        const int32_t s2 = samples[2][i];
        const int32_t s3 = samples[3][i];
        const float in_phase = static_cast<float>(s0 - s2);
        const float quadrature = static_cast<float>(s3 - s1);
        out->amplitude[i] = 0.5f * std::sqrt(in_phase * in_phase + quadrature * quadrature);
        const float phase = wrapNear(phaseAngle(quadrature, in_phase) - offset, kTwoPi);
        out->distance_mm[i] = wrapNear(phase / kTwoPi * range, range);
        out->gray[i] = static_cast<float>(gray[i]);
        out->saturated[i] = isClipped(s0) | isClipped(s1) | isClipped(s2) | isClipped(s3);
    }
}

// Joins the two frequencies into `near`.
[[gnu::always_inline]] inline void unwrapFrequencies(FrequencyChunk* near,
                                                     const FrequencyChunk& far, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        near->distance_mm[i] = unwrapPair(near->distance_mm[i], near->amplitude[i],
                                          far.distance_mm[i], far.amplitude[i]);
        near->amplitude[i] = 0.5f * (near->amplitude[i] + far.amplitude[i]);
        near->gray[i] = 0.5f * (near->gray[i] + far.gray[i]);
        near->saturated[i] |= far.saturated[i];
    }
}

struct Planes {
    float* depth;
    float* amplitude;
    float* confidence;
};

[[gnu::always_inline]] inline void writePlanes(const FrequencyChunk& measured,
                                               const AlgorithmSettings& settings, int32_t count,
                                               const Planes& planes) {
    const float min_amplitude = settings.min_amplitude;
    const float min_distance = settings.valid_distance_min_mm;
    const float max_distance = settings.valid_distance_max_mm;
    for (int32_t i = 0; i < count; ++i) {
        // Everything is loaded and computed for every pixel, then selected:
        // no branch, so the loop vectorises.
        const float distance = measured.distance_mm[i];
        const float amplitude = measured.amplitude[i];
        const float confidence = amplitude / std::sqrt(measured.gray[i] + 1.0f);
        const bool valid = (measured.saturated[i] == 0) & (amplitude > 0.0f) &
                           (amplitude >= min_amplitude) & (distance >= min_distance) &
                           (distance <= max_distance);
        planes.depth[i] = valid ? distance : 0.0f;
        planes.amplitude[i] = amplitude;
        planes.confidence[i] = valid ? confidence : 0.0f;
    }
}

[[gnu::always_inline]] inline void decodePixels(const DecoderSetup& setup,
                                                const FrequencyBlocks& first,
                                                const FrequencyBlocks& second,
                                                const Planes& planes) {
    const std::vector<float>& pixel_offsets = setup.calibration->pixel_offsets_mm;
    const float full_range =
        setup.single ? vga_layout::kSingleRangeMm : vga_layout::kDoubleUnwrappedRangeMm;
    const int64_t pixels = static_cast<int64_t>(setup.width) * setup.height;
    FrequencyChunk near;
    FrequencyChunk far;
    for (int64_t start = 0; start < pixels; start += kChunk) {
        const int32_t count = static_cast<int32_t>(std::min<int64_t>(kChunk, pixels - start));
        decodeFrequency(first, start, count, &near);
        if (!setup.single) {
            decodeFrequency(second, start, count, &far);
            unwrapFrequencies(&near, far, count);
        }
        if (!pixel_offsets.empty()) {
            // Per-pixel offsets may be anything, so their wrap takes the library call.
            for (int32_t i = 0; i < count; ++i) {
                near.distance_mm[i] =
                    wrapInto(near.distance_mm[i] - pixel_offsets[start + i], full_range);
            }
        }
        writePlanes(
            near, *setup.settings, count,
            Planes{planes.depth + start, planes.amplitude + start, planes.confidence + start});
    }
}

void decodeBaseline(const DecoderSetup& setup, const FrequencyBlocks& first,
                    const FrequencyBlocks& second, const Planes& planes) {
    decodePixels(setup, first, second, planes);
}

#if QUORVAN_X86_VARIANTS
QUORVAN_TARGET_X86_64_V3 void decodeX86_64_v3(const DecoderSetup& setup,
                                              const FrequencyBlocks& first,
                                              const FrequencyBlocks& second, const Planes& planes) {
    decodePixels(setup, first, second, planes);
}

QUORVAN_TARGET_X86_64_V4 void decodeX86_64_v4(const DecoderSetup& setup,
                                              const FrequencyBlocks& first,
                                              const FrequencyBlocks& second, const Planes& planes) {
    decodePixels(setup, first, second, planes);
}
#endif

}  // namespace

bool captureMatchesMode(const DecoderSetup& setup, const uint8_t* raw) {
    constexpr int32_t kRangeWord = 1;
    constexpr int32_t kTransportBits = 4;
    for (int32_t frequency = 0; frequency < vga_layout::frequencyCount(setup.single); ++frequency) {
        // The metadata row sits one row above the block's first pixel row.
        const int64_t metadata =
            vga_layout::blockPixelOffset(setup.width, setup.height, frequency, 0) - setup.width;
        const int32_t expected =
            static_cast<int32_t>(vga_layout::unambiguousRangeMm(setup.single, frequency));
        if (setup.width <= kRangeWord || loadSample(raw, metadata + kRangeWord) >> kTransportBits !=
                                             expected >> kTransportBits) {
            return false;
        }
    }
    return true;
}

float unwrapDoubleFrequency(float near_distance, float near_amplitude, float far_distance,
                            float far_amplitude) {
    return unwrapPair(wrapInto(near_distance, vga_layout::kDoubleRangesMm[0]), near_amplitude,
                      wrapInto(far_distance, vga_layout::kDoubleRangesMm[1]), far_amplitude);
}

void decodeCapture(const DecoderSetup& setup, const uint8_t* raw, float* depth, float* amplitude,
                   float* confidence) {
    static const emulation::InstructionSetLevel level = emulation::hostInstructionSetLevel();
    decodeCaptureAt(level, setup, raw, depth, amplitude, confidence);
}

void decodeCaptureAt(emulation::InstructionSetLevel level, const DecoderSetup& setup,
                     const uint8_t* raw, float* depth, float* amplitude, float* confidence) {
    const FrequencyBlocks first = locateBlocks(setup, raw, 0);
    const FrequencyBlocks second = setup.single ? first : locateBlocks(setup, raw, 1);
    const Planes planes{depth, amplitude, confidence};
#if QUORVAN_X86_VARIANTS
    if (level == emulation::InstructionSetLevel::kX86_64_v4)
        return decodeX86_64_v4(setup, first, second, planes);
    if (level == emulation::InstructionSetLevel::kX86_64_v3)
        return decodeX86_64_v3(setup, first, second, planes);
#endif
    (void)level;
    decodeBaseline(setup, first, second, planes);
}

}  // namespace si4c
}  // namespace Quorvan

#include "si4c_decoder.h"

#include <cmath>

#include "scene/vga_raw_layout.h"

namespace Quorvan {
namespace si4c {
namespace {

constexpr float kTwoPi = 6.28318530717958647692f;

// The cache is a byte buffer with no alignment promise; samples are
// little-endian whatever the host.
inline int32_t loadSample(const uint8_t* block, int64_t pixel) {
    const uint8_t* bytes = block + 2 * pixel;
    return static_cast<int32_t>(bytes[0] | (bytes[1] << 8));
}

inline bool isClipped(int32_t sample) {
    return sample <= vga_layout::kSaturatedLow || sample >= vga_layout::kSaturatedHigh;
}

inline float wrapInto(float value, float period) {
    value = std::fmod(value, period);
    return value < 0.0f ? value + period : value;
}

struct FrequencyBlocks {
    const uint8_t* phase[vga_layout::kPhaseBlocks];
    const uint8_t* gray;
    float range_mm;
    float phase_offset;
};

struct PhaseSample {
    float distance_mm;
    float amplitude;
    float gray;
    bool saturated;
};

PhaseSample decodeFrequency(const FrequencyBlocks& blocks, int64_t pixel) {
    const int32_t s0 = loadSample(blocks.phase[0], pixel);
    const int32_t s1 = loadSample(blocks.phase[1], pixel);
    const int32_t s2 = loadSample(blocks.phase[2], pixel);
    const int32_t s3 = loadSample(blocks.phase[3], pixel);
    const float in_phase = static_cast<float>(s0 - s2);
    const float quadrature = static_cast<float>(s3 - s1);
    PhaseSample sample;
    sample.amplitude = 0.5f * std::sqrt(in_phase * in_phase + quadrature * quadrature);
    const float phase = wrapInto(std::atan2(quadrature, in_phase) - blocks.phase_offset, kTwoPi);
    sample.distance_mm = wrapInto(phase / kTwoPi * blocks.range_mm, blocks.range_mm);
    sample.gray = static_cast<float>(loadSample(blocks.gray, pixel));
    sample.saturated = isClipped(s0) || isClipped(s1) || isClipped(s2) || isClipped(s3);
    return sample;
}

FrequencyBlocks locateBlocks(const DecoderSetup& setup, const uint8_t* raw, int32_t frequency) {
    FrequencyBlocks blocks;
    for (int32_t block = 0; block < vga_layout::kPhaseBlocks; ++block) {
        blocks.phase[block] =
            raw + 2 * vga_layout::blockPixelOffset(setup.width, setup.height, frequency, block);
    }
    blocks.gray = raw + 2 * vga_layout::blockPixelOffset(setup.width, setup.height, frequency,
                                                         vga_layout::kGrayBlock);
    blocks.range_mm = vga_layout::unambiguousRangeMm(setup.single, frequency);
    blocks.phase_offset = setup.single ? setup.calibration->single_phase_offset
                                       : setup.calibration->double_phase_offsets[frequency];
    return blocks;
}

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
    const float near_range = vga_layout::kDoubleRangesMm[0];
    const float far_range = vga_layout::kDoubleRangesMm[1];
    const float full_range = vga_layout::kDoubleUnwrappedRangeMm;
    const int32_t near_wraps = static_cast<int32_t>(full_range / near_range);
    const int32_t far_wraps = static_cast<int32_t>(full_range / far_range);

    // Try every wrap count of the first frequency, pair it with the closest
    // wrap of the second and keep the pair that agrees best (circularly, since
    // 4500 mm wraps as well).
    float best_difference = full_range;
    float best_far_candidate = far_distance;
    for (int32_t near_wrap = 0; near_wrap < near_wraps; ++near_wrap) {
        const float near_candidate = near_distance + near_wrap * near_range;
        int32_t far_wrap =
            static_cast<int32_t>(std::lround((near_candidate - far_distance) / far_range));
        far_wrap = ((far_wrap % far_wraps) + far_wraps) % far_wraps;
        const float far_candidate = far_distance + far_wrap * far_range;
        const float difference =
            wrapInto(near_candidate - far_candidate + full_range / 2, full_range) - full_range / 2;
        if (std::fabs(difference) < std::fabs(best_difference)) {
            best_difference = difference;
            best_far_candidate = far_candidate;
        }
    }
    // Distance noise scales with range over amplitude.
    const float near_weight = (near_amplitude / near_range) * (near_amplitude / near_range);
    const float far_weight = (far_amplitude / far_range) * (far_amplitude / far_range);
    const float total_weight = near_weight + far_weight;
    const float share = total_weight > 0.0f ? near_weight / total_weight : 0.5f;
    return wrapInto(best_far_candidate + best_difference * share, full_range);
}

void decodeCapture(const DecoderSetup& setup, const uint8_t* raw, float* depth, float* amplitude,
                   float* confidence) {
    const FrequencyBlocks first = locateBlocks(setup, raw, 0);
    const FrequencyBlocks second = setup.single ? first : locateBlocks(setup, raw, 1);
    const AlgorithmSettings& settings = *setup.settings;
    const std::vector<float>& pixel_offsets = setup.calibration->pixel_offsets_mm;
    const float full_range =
        setup.single ? vga_layout::kSingleRangeMm : vga_layout::kDoubleUnwrappedRangeMm;
    const int64_t pixels = static_cast<int64_t>(setup.width) * setup.height;

    for (int64_t pixel = 0; pixel < pixels; ++pixel) {
        const PhaseSample near = decodeFrequency(first, pixel);
        float distance = near.distance_mm;
        float mean_amplitude = near.amplitude;
        float gray = near.gray;
        bool saturated = near.saturated;
        if (!setup.single) {
            const PhaseSample far = decodeFrequency(second, pixel);
            distance = unwrapDoubleFrequency(near.distance_mm, near.amplitude, far.distance_mm,
                                             far.amplitude);
            mean_amplitude = 0.5f * (near.amplitude + far.amplitude);
            gray = 0.5f * (near.gray + far.gray);
            saturated = saturated || far.saturated;
        }
        if (!pixel_offsets.empty()) {
            distance = wrapInto(distance - pixel_offsets[pixel], full_range);
        }
        const bool valid = !saturated && mean_amplitude > 0.0f &&
                           mean_amplitude >= settings.min_amplitude &&
                           distance >= settings.valid_distance_min_mm &&
                           distance <= settings.valid_distance_max_mm;
        depth[pixel] = valid ? distance : 0.0f;
        amplitude[pixel] = mean_amplitude;
        confidence[pixel] = valid ? mean_amplitude / std::sqrt(gray + 1.0f) : 0.0f;
    }
}

}  // namespace si4c
}  // namespace Quorvan

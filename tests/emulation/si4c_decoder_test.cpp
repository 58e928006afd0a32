// The depth-processing stand-in against its documented computation
// (emulation/si4c/README.md), evaluated here in double precision: the
// vectorised decoder and its arctangent may differ from it only by rounding.
#include "si4c_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "emulation/kit_test_support.h"
#include "scene/scene.h"
#include "scene/vga_raw_layout.h"
#include "scene/vga_raw_renderer.h"
#include "si4c.h"
#include "si4c/phase_angle.h"

namespace Quorvan {
namespace {

constexpr double kTwoPi = 6.283185307179586;

TEST(PhaseAngle, MatchesAtan2AcrossEverySampleDifference) {
    // Phase samples are 12-bit, so I and Q lie in -4095..4095: every pair
    // near the origin (where the ratio is coarsest), and a lattice across
    // the whole square.
    double worst = 0.0;
    auto check = [&](int q, int i) {
        const double expected = std::atan2(static_cast<double>(q), static_cast<double>(i));
        const double got = si4c::phaseAngle(static_cast<float>(q), static_cast<float>(i));
        worst = std::max(worst, std::fabs(got - expected));
    };
    for (int q = -160; q <= 160; ++q) {
        for (int i = -160; i <= 160; ++i)
            check(q, i);
    }
    for (int q = -4095; q <= 4095; q += 7) {
        for (int i = -4095; i <= 4095; i += 5)
            check(q, i);
    }
    // The header's bound (checked on every pair once), with room for a
    // compiler that fuses this test's copy of the multiply-adds.
    EXPECT_LT(worst, 4e-7);
    EXPECT_EQ(si4c::phaseAngle(0.0f, 0.0f), 0.0f);
    EXPECT_FLOAT_EQ(si4c::phaseAngle(0.0f, -5.0f), static_cast<float>(kTwoPi / 2));
    EXPECT_FLOAT_EQ(si4c::phaseAngle(-5.0f, 0.0f), static_cast<float>(-kTwoPi / 4));
}

double wrapped(double value, double period) {
    value = std::fmod(value, period);
    return value < 0.0 ? value + period : value;
}

struct Measured {
    double distance, amplitude, gray;
    bool saturated;
};

Measured measure(const std::vector<uint16_t>& raw, int width, int height, int frequency,
                 bool single, double offset, size_t pixel) {
    auto sample = [&](int block) {
        return static_cast<int>(
            raw[vga_layout::blockPixelOffset(width, height, frequency, block) + pixel]);
    };
    const int s[4] = {sample(0), sample(1), sample(2), sample(3)};
    const double in_phase = s[0] - s[2];
    const double quadrature = s[3] - s[1];
    const double range = vga_layout::unambiguousRangeMm(single, frequency);
    Measured m;
    m.amplitude = 0.5 * std::sqrt(in_phase * in_phase + quadrature * quadrature);
    const double phase = wrapped(std::atan2(quadrature, in_phase) - offset, kTwoPi);
    m.distance = wrapped(phase / kTwoPi * range, range);
    m.gray = sample(vga_layout::kGrayBlock);
    m.saturated = false;
    for (int v : s)
        m.saturated =
            m.saturated || v <= vga_layout::kSaturatedLow || v >= vga_layout::kSaturatedHigh;
    return m;
}

// The README's double-frequency unwrapping.
double unwrap(const Measured& near, const Measured& far) {
    const double near_range = vga_layout::kDoubleRangesMm[0];
    const double far_range = vga_layout::kDoubleRangesMm[1];
    const double full = vga_layout::kDoubleUnwrappedRangeMm;
    double best_difference = full;
    double best_far = far.distance;
    for (int near_wrap = 0; near_wrap < 3; ++near_wrap) {
        const double near_candidate = near.distance + near_wrap * near_range;
        int far_wrap = static_cast<int>(std::lround((near_candidate - far.distance) / far_range));
        far_wrap = ((far_wrap % 4) + 4) % 4;
        const double far_candidate = far.distance + far_wrap * far_range;
        const double difference =
            wrapped(near_candidate - far_candidate + full / 2, full) - full / 2;
        if (std::fabs(difference) < std::fabs(best_difference)) {
            best_difference = difference;
            best_far = far_candidate;
        }
    }
    const double near_weight = std::pow(near.amplitude / near_range, 2);
    const double far_weight = std::pow(far.amplitude / far_range, 2);
    const double total = near_weight + far_weight;
    const double share = total > 0.0 ? near_weight / total : 0.5;
    return wrapped(best_far + best_difference * share, full);
}

std::vector<uint8_t> calibrationBytes(int width, int height, float single_offset, float near_offset,
                                      float far_offset) {
    std::vector<uint8_t> bytes(28, 0);
    std::memcpy(bytes.data(), "SIC1", 4);
    const uint32_t size[2] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
    std::memcpy(bytes.data() + 4, size, sizeof size);
    const float offsets[3] = {single_offset, near_offset, far_offset};
    std::memcpy(bytes.data() + 12, offsets, sizeof offsets);
    return bytes;
}

void expectDocumentedDepth(bool single, float single_offset, float near_offset, float far_offset) {
    constexpr int kWidth = 320;
    constexpr int kHeight = 240;
    const auto truth = emulation::renderSceneView("default", {}, kWidth, kHeight);
    const emulation::CaptureSettings settings = testing_support::noisySettings(1);
    const emulation::VgaRawRenderer renderer(truth, single, settings);
    std::vector<uint16_t> raw(renderer.sampleCount());
    renderer.render(3, raw.data());
    const std::vector<uint8_t> bytes = emulation::littleEndianBytes(raw);

    SiSDKHandle handle = nullptr;
    ASSERT_TRUE(SiSDKCreate(&handle));
    ASSERT_TRUE(SiSDKInit(handle, kWidth, kHeight));
    const auto calibration =
        calibrationBytes(kWidth, kHeight, single_offset, near_offset, far_offset);
    SiSDKSetCaliData(handle, calibration.data(), static_cast<uint32_t>(calibration.size()));
    SiSDKSetSingleFreq(handle, single);
    ASSERT_TRUE(SiSDKStart(handle));
    const size_t pixels = static_cast<size_t>(kWidth) * kHeight;
    std::vector<float> depth(pixels), amplitude(pixels), confidence(pixels);
    ASSERT_TRUE(SiSDKGetPhaseImage(handle, bytes.data(), depth.data(), amplitude.data(),
                                   confidence.data()));
    SiSDKDestroy(&handle);

    const double full = single ? vga_layout::kSingleRangeMm : vga_layout::kDoubleUnwrappedRangeMm;
    size_t valid = 0;
    double worst_depth = 0.0, worst_amplitude = 0.0, worst_confidence = 0.0;
    for (size_t pixel = 0; pixel < pixels; ++pixel) {
        const Measured near =
            measure(raw, kWidth, kHeight, 0, single, single ? single_offset : near_offset, pixel);
        Measured joined = near;
        if (!single) {
            const Measured far = measure(raw, kWidth, kHeight, 1, false, far_offset, pixel);
            joined.distance = unwrap(near, far);
            joined.amplitude = 0.5 * (near.amplitude + far.amplitude);
            joined.gray = 0.5 * (near.gray + far.gray);
            joined.saturated = near.saturated || far.saturated;
        }
        const bool expect_valid = !joined.saturated && joined.amplitude > 0.0;
        // A valid pixel may measure exactly 0 mm; its confidence tells.
        ASSERT_EQ(confidence[pixel] > 0.0f, expect_valid) << pixel << " at " << joined.distance;
        if (!expect_valid) {
            ASSERT_EQ(depth[pixel], 0.0f) << pixel;
        }
        worst_amplitude = std::max(worst_amplitude, std::fabs(amplitude[pixel] - joined.amplitude));
        if (!expect_valid)
            continue;
        ++valid;
        const double error = std::fabs(depth[pixel] - joined.distance);
        worst_depth = std::max(worst_depth, std::min(error, full - error));
        const double expected_confidence = joined.amplitude / std::sqrt(joined.gray + 1.0);
        worst_confidence =
            std::max(worst_confidence,
                     std::fabs(confidence[pixel] - expected_confidence) / expected_confidence);
    }
    EXPECT_GT(valid, pixels / 2);
    EXPECT_LT(worst_depth, 0.01);  // mm; float rounding of distances up to 4500 mm
    EXPECT_LT(worst_amplitude, 1e-3);
    EXPECT_LT(worst_confidence, 1e-5);
}

TEST(Si4cDecoder, SingleFrequencyDepthIsTheDocumentedComputation) {
    expectDocumentedDepth(true, 0.0f, 0.0f, 0.0f);
    // Offsets of several turns, either sign, fold onto one.
    expectDocumentedDepth(true, -20.0f, 0.0f, 0.0f);
}

TEST(Si4cDecoder, DoubleFrequencyDepthIsTheDocumentedComputation) {
    expectDocumentedDepth(false, 0.0f, 0.0f, 0.0f);
    expectDocumentedDepth(false, 0.0f, 10.0f, -7.5f);
}

TEST(Si4cDecoder, EveryInstructionSetBuildGivesTheSamePlanes) {
    // Each build this processor runs decodes the same noisy captures (with a
    // calibration table and limits, so every step runs) bit for bit alike.
    constexpr int kWidth = 320;
    constexpr int kHeight = 240;
    const auto truth = emulation::renderSceneView("default", {}, kWidth, kHeight);
    const emulation::CaptureSettings settings = testing_support::noisySettings(1);
    const size_t pixels = static_cast<size_t>(kWidth) * kHeight;
    si4c::Calibration calibration;
    calibration.single_phase_offset = 0.4f;
    calibration.double_phase_offsets[0] = -3.0f;
    calibration.double_phase_offsets[1] = 9.0f;
    calibration.pixel_offsets_mm.resize(pixels);
    for (size_t i = 0; i < pixels; ++i)
        calibration.pixel_offsets_mm[i] = static_cast<float>(i % 97) - 40.0f;
    si4c::AlgorithmSettings limits;
    limits.min_amplitude = 20.0f;
    limits.valid_distance_min_mm = 300.0f;
    limits.valid_distance_max_mm = 3500.0f;
    const auto host = emulation::hostInstructionSetLevel();
    for (const bool single : {true, false}) {
        const emulation::VgaRawRenderer renderer(truth, single, settings);
        std::vector<uint16_t> raw(renderer.sampleCount());
        renderer.render(5, raw.data());
        const si4c::DecoderSetup setup{kWidth, kHeight, single, &calibration, &limits};
        std::vector<float> reference;
        for (const auto level :
             {emulation::InstructionSetLevel::kBaseline, emulation::InstructionSetLevel::kX86_64_v3,
              emulation::InstructionSetLevel::kX86_64_v4}) {
            if (static_cast<int>(level) > static_cast<int>(host))
                continue;
            std::vector<float> planes(3 * pixels);
            si4c::decodeCaptureAt(level, setup, reinterpret_cast<const uint8_t*>(raw.data()),
                                  planes.data(), planes.data() + pixels,
                                  planes.data() + 2 * pixels);
            if (reference.empty()) {
                reference = planes;
                continue;
            }
            SCOPED_TRACE(static_cast<int>(level));
            EXPECT_EQ(std::memcmp(planes.data(), reference.data(), planes.size() * sizeof(float)),
                      0);
        }
    }
}

}  // namespace
}  // namespace Quorvan

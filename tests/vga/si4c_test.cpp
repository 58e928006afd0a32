// The depth-processing library: accuracy on rendered scenes in both
// frequency modes, calibration and configuration effects, and its lifecycle
// rules (null calibration, repeated destroy, mode latched at start).
#include "si4c.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "scene/vga_raw_layout.h"
#include "vga/scoped_working_directory.h"
#include "vga/vga_capture_helpers.h"

namespace Quorvan {
namespace {

using testing_support::DepthAccuracy;
using testing_support::measureAccuracy;
using testing_support::renderCapture;
using testing_support::RenderedCapture;

constexpr float kPi = 3.14159265f;
// Noise-free captures are only quantised to whole counts; at the amplitudes
// compared here that costs well under 1% of the distance.
constexpr float kMinAmplitude = 20.0f;

struct Planes {
    explicit Planes(size_t pixels) : depth(pixels, -1.0f), amplitude(pixels), confidence(pixels) {}
    std::vector<float> depth;
    std::vector<float> amplitude;
    std::vector<float> confidence;
};

class Library {
public:
    Library() { EXPECT_TRUE(SiSDKCreate(&handle)); }
    ~Library() { SiSDKDestroy(&handle); }
    SiSDKHandle handle = nullptr;

    // Init (with optional calibration and configuration), start, decode.
    bool decode(const RenderedCapture& capture, bool single, Planes& planes,
                const std::vector<unsigned char>* calibration = nullptr,
                const char* config_directory = nullptr) {
        SiSDKSetSingleFreq(handle, single);
        if (!SiSDKInit(handle, capture.truth.width, capture.truth.height)) {
            return false;
        }
        if (calibration != nullptr) {
            SiSDKSetCaliData(handle, calibration->data(),
                             static_cast<uint32_t>(calibration->size()));
        }
        if (config_directory != nullptr) {
            SiSDKSetConfig(handle, config_directory);
        }
        return SiSDKStart(handle) &&
               SiSDKGetPhaseImage(handle, reinterpret_cast<const uint8_t*>(capture.raw.data()),
                                  planes.depth.data(), planes.amplitude.data(),
                                  planes.confidence.data());
    }
};

void appendBytes(std::vector<unsigned char>& bytes, const void* value, size_t size) {
    const auto* begin = static_cast<const unsigned char*>(value);
    bytes.insert(bytes.end(), begin, begin + size);
}

std::vector<unsigned char> calibrationBytes(float single_offset, const float double_offsets[2],
                                            uint32_t width, uint32_t height,
                                            const std::vector<float>& pixel_offsets) {
    std::vector<unsigned char> bytes = {'S', 'I', 'C', '1'};
    appendBytes(bytes, &width, 4);
    appendBytes(bytes, &height, 4);
    appendBytes(bytes, &single_offset, 4);
    appendBytes(bytes, double_offsets, 8);
    const uint32_t flags = pixel_offsets.empty() ? 0u : 1u;
    appendBytes(bytes, &flags, 4);
    appendBytes(bytes, pixel_offsets.data(), pixel_offsets.size() * sizeof(float));
    return bytes;
}

// A noise-free flat wall at `distance_mm`, rendered with `signal_gain`.
RenderedCapture wallCapture(double distance_mm, bool single, int width, int height,
                            double signal_gain) {
    emulation::CaptureSettings settings;
    settings.signal_gain = signal_gain;
    return renderCapture("wall", {{"distance_mm", distance_mm}}, single, width, height, settings);
}

// Decodes a 640x480 capture and measures its depth against the truth up to
// `range_mm`; nothing is compared when the library refuses the capture.
DepthAccuracy decodedAccuracy(const RenderedCapture& capture, bool single, float range_mm,
                              float min_amplitude = kMinAmplitude) {
    Library library;
    Planes planes(640 * 480);
    if (!library.decode(capture, single, planes)) {
        ADD_FAILURE() << "the library refused the capture";
        return {};
    }
    return measureAccuracy(planes.depth, planes.amplitude, capture.truth, range_mm, min_amplitude);
}

float centreDepth(const Planes& planes, int width, int height) {
    return planes.depth[static_cast<size_t>(height / 2) * width + width / 2];
}

TEST(Si4cAccuracy, SingleModeWithinItsUnambiguousRange) {
    emulation::CaptureSettings settings;
    settings.signal_gain = 400.0;  // keeps the nearest wall below the clipping limit
    for (double wall_mm : {400.0, 800.0, 1000.0}) {
        SCOPED_TRACE(wall_mm);
        const RenderedCapture capture = renderCapture(
            "wall", {{"distance_mm", wall_mm}, {"reflectivity", 0.3}}, true, 640, 480, settings);
        ASSERT_EQ(capture.raw.size(), 640u * 2405u);
        const DepthAccuracy accuracy = decodedAccuracy(capture, true, 1250.0f);
        EXPECT_GT(accuracy.compared, 100000u);
        EXPECT_EQ(accuracy.invalid, 0u);
        EXPECT_LT(accuracy.p99_error_mm, 0.01f * static_cast<float>(wall_mm));
    }
}

TEST(Si4cAccuracy, SingleModeWrapsAt1250) {
    const RenderedCapture capture = renderCapture("wall", {{"distance_mm", 2000.0}}, true);
    Library library;
    Planes planes(640 * 480);
    ASSERT_TRUE(library.decode(capture, true, planes));
    EXPECT_NEAR(centreDepth(planes, 640, 480), 750.0f, 5.0f);
}

TEST(Si4cAccuracy, DoubleModeUnwrapsBeyond1250UpTo4500) {
    emulation::CaptureSettings settings;
    settings.signal_gain = 1400.0;  // unclipped at 1.1 m, 50+ counts at 4.5 m
    for (double wall_mm : {1100.0, 1600.0, 2400.0, 3300.0, 4200.0}) {
        SCOPED_TRACE(wall_mm);
        const RenderedCapture capture =
            renderCapture("wall", {{"distance_mm", wall_mm}}, false, 640, 480, settings);
        ASSERT_EQ(capture.raw.size(), 640u * 4810u);
        const DepthAccuracy accuracy = decodedAccuracy(capture, false, 4500.0f);
        EXPECT_GT(accuracy.compared, 50000u);
        EXPECT_EQ(accuracy.invalid, 0u);
        EXPECT_LT(accuracy.p99_error_mm, 0.01f * static_cast<float>(wall_mm));
        EXPECT_LT(accuracy.max_error_mm, 0.02f * static_cast<float>(wall_mm));
    }
}

TEST(Si4cAccuracy, DoubleModeDefaultSceneWithShotNoise) {
    emulation::CaptureSettings settings;
    settings.shot_noise = true;
    settings.seed = 7;
    const RenderedCapture capture = renderCapture("default", {}, false, 640, 480, settings);
    // Shot noise of a few counts turns into a few mm at 40+ counts amplitude.
    const DepthAccuracy accuracy = decodedAccuracy(capture, false, 4500.0f, 40.0f);
    EXPECT_GT(accuracy.compared, 150000u);
    EXPECT_LT(accuracy.p99_error_mm, 40.0f);
}

TEST(Si4cAccuracy, ClippedSamplesAndAbsentSurfacesAreInvalid) {
    const RenderedCapture capture = wallCapture(300.0, false, 640, 480, 1400.0);
    Library library;
    Planes planes(640 * 480);
    ASSERT_TRUE(library.decode(capture, false, planes));
    EXPECT_EQ(centreDepth(planes, 640, 480), 0.0f);
    EXPECT_EQ(planes.confidence[240 * 640 + 320], 0.0f);
    EXPECT_GT(planes.amplitude[240 * 640 + 320], 1000.0f);

    // Nothing in view: zero amplitude, invalid everywhere.
    const RenderedCapture empty =
        renderCapture("wall", {{"distance_mm", 1000.0}, {"reflectivity", 0.0}}, true);
    Planes empty_planes(640 * 480);
    ASSERT_TRUE(library.decode(empty, true, empty_planes));
    EXPECT_EQ(*std::max_element(empty_planes.depth.begin(), empty_planes.depth.end()), 0.0f);
}

TEST(Si4cCalibration, PhaseAndPixelOffsetsAreSubtracted) {
    const RenderedCapture capture = wallCapture(600.0, true, 64, 48, 400.0);
    const int pixels = 64 * 48;
    Library library;
    Planes plain(pixels);
    ASSERT_TRUE(library.decode(capture, true, plain));

    // A phase offset worth 100 mm at 1250 mm range, plus 30 mm per pixel.
    const float no_double_offsets[2] = {0.0f, 0.0f};
    const float phase_offset = 2.0f * kPi * 100.0f / 1250.0f;
    const std::vector<unsigned char> calibration = calibrationBytes(
        phase_offset, no_double_offsets, 64, 48, std::vector<float>(pixels, 30.0f));
    Planes corrected(pixels);
    ASSERT_TRUE(library.decode(capture, true, corrected, &calibration));
    EXPECT_NEAR(centreDepth(corrected, 64, 48), centreDepth(plain, 64, 48) - 130.0f, 0.5f);

    // A table for another size is dropped; the phase offset still applies.
    const std::vector<unsigned char> other_size = calibrationBytes(
        phase_offset, no_double_offsets, 32, 24, std::vector<float>(32 * 24, 30.0f));
    ASSERT_TRUE(library.decode(capture, true, corrected, &other_size));
    EXPECT_NEAR(centreDepth(corrected, 64, 48), centreDepth(plain, 64, 48) - 100.0f, 0.5f);

    // Init forgets calibration.
    ASSERT_TRUE(library.decode(capture, true, corrected));
    EXPECT_EQ(centreDepth(corrected, 64, 48), centreDepth(plain, 64, 48));
}

TEST(Si4cCalibration, DoubleModeOffsetsPerFrequency) {
    const RenderedCapture capture = renderCapture("wall", {{"distance_mm", 2000.0}}, false, 64, 48);
    Library library;
    Planes plain(3072);
    ASSERT_TRUE(library.decode(capture, false, plain));
    // Offsets worth the same 90 mm at each frequency shift the unwrapped
    // distance by 90 mm.
    const float offsets[2] = {2.0f * kPi * 90.0f / 1500.0f, 2.0f * kPi * 90.0f / 1125.0f};
    const std::vector<unsigned char> calibration = calibrationBytes(0.0f, offsets, 64, 48, {});
    Planes corrected(3072);
    ASSERT_TRUE(library.decode(capture, false, corrected, &calibration));
    EXPECT_NEAR(centreDepth(corrected, 64, 48), centreDepth(plain, 64, 48) - 90.0f, 0.5f);
}

TEST(Si4cCalibration, NullShortAndForeignDataLeaveDepthUnchanged) {
    const RenderedCapture capture = wallCapture(900.0, true, 64, 48, 400.0);
    Library library;
    Planes plain(3072);
    ASSERT_TRUE(library.decode(capture, true, plain));
    ASSERT_NEAR(centreDepth(plain, 64, 48), 900.0f, 9.0f);
    const std::vector<unsigned char> short_data = {'S', 'I', 'C', '1', 0, 0};
    const std::vector<unsigned char> foreign(64, 0xAB);
    for (const std::vector<unsigned char>* data : {&short_data, &foreign}) {
        Planes planes(3072);
        ASSERT_TRUE(library.decode(capture, true, planes, data));
        EXPECT_EQ(planes.depth, plain.depth);
    }
    ASSERT_TRUE(SiSDKInit(library.handle, 64, 48));
    SiSDKSetCaliData(library.handle, nullptr, 100);
    EXPECT_TRUE(SiSDKStart(library.handle));
}

TEST(Si4cConfiguration, DirectoryLimitsValidDistancesAndAmplitude) {
    testing_support::ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    std::filesystem::create_directory("near_only");
    std::ofstream("near_only/ConfigAlgorithm.json")
        << "[ConfidenceParams]\n// only the near half\nValidDistMin=0\nValidDistMax=1500\n";
    std::filesystem::create_directory("strict");
    std::ofstream("strict/ConfigAlgorithm.json") << "[ConfidenceParams]\nMinAmplitude=5000\n";

    const RenderedCapture capture = renderCapture("wall", {{"distance_mm", 2000.0}}, false, 64, 48);
    Library library;
    Planes planes(3072);
    ASSERT_TRUE(library.decode(capture, false, planes, nullptr, "near_only"));
    EXPECT_EQ(centreDepth(planes, 64, 48), 0.0f);
    EXPECT_GT(planes.amplitude[24 * 64 + 32], 0.0f);
    ASSERT_TRUE(library.decode(capture, false, planes, nullptr, "strict"));
    EXPECT_EQ(centreDepth(planes, 64, 48), 0.0f);
    // A directory without the file, and the next Init, bring the defaults back.
    ASSERT_TRUE(library.decode(capture, false, planes, nullptr, "missing"));
    EXPECT_NEAR(centreDepth(planes, 64, 48), 2000.0f, 20.0f);
}

TEST(Si4cLifecycle, RefusesUntilStartedAndAcceptsRepeatedDestroy) {
    SiSDKHandle handle = nullptr;
    ASSERT_TRUE(SiSDKCreate(&handle));
    EXPECT_TRUE(SiSDKIsSingleFreq(handle));
    std::vector<uint8_t> raw(2 * 8 * 4 * 5 * 5, 0);
    float depth[32] = {}, amplitude[32] = {}, confidence[32] = {};
    EXPECT_FALSE(SiSDKStart(handle));
    EXPECT_FALSE(SiSDKInit(handle, 0, 4));
    EXPECT_FALSE(SiSDKGetPhaseImage(handle, raw.data(), depth, amplitude, confidence));
    ASSERT_TRUE(SiSDKInit(handle, 8, 4));
    ASSERT_TRUE(SiSDKStart(handle));
    EXPECT_FALSE(SiSDKGetPhaseImage(handle, raw.data(), nullptr, amplitude, confidence));
    EXPECT_FALSE(SiSDKGetPhaseImage(handle, raw.data(), depth, amplitude, confidence));
    raw[2] = 1250 & 0xFF;  // metadata word 1: the single-mode range
    raw[3] = 1250 >> 8;
    EXPECT_TRUE(SiSDKGetPhaseImage(handle, raw.data(), depth, amplitude, confidence));
    SiSDKDestroy(&handle);
    EXPECT_EQ(handle, nullptr);
    SiSDKDestroy(&handle);
    SiSDKDestroy(nullptr);
    EXPECT_FALSE(SiSDKCreate(nullptr));
}

TEST(Si4cLifecycle, CaptureOfTheOtherModeIsRefused) {
    const RenderedCapture double_capture =
        renderCapture("wall", {{"distance_mm", 2000.0}}, false, 64, 48);
    Library library;
    Planes planes(3072);
    EXPECT_FALSE(library.decode(double_capture, true, planes));
    EXPECT_EQ(planes.depth[0], -1.0f);  // untouched

    // An 8-bit transport keeps only the top 8 of 12 bits; still recognised.
    RenderedCapture coarse = wallCapture(900.0, true, 64, 48, 400.0);
    for (uint16_t& sample : coarse.raw) {
        sample &= 0xFF0;
    }
    ASSERT_TRUE(library.decode(coarse, true, planes));
    EXPECT_NEAR(centreDepth(planes, 64, 48), 900.0f, 20.0f);
}

TEST(Si4cLifecycle, ModeTakesEffectAtTheNextStart) {
    // Exactly a single-mode capture on the heap: a decoder that switched to
    // the double layout mid-stream would read past it (caught by ASan).
    const RenderedCapture capture = wallCapture(900.0, true, 64, 48, 400.0);
    auto raw = std::make_unique<uint8_t[]>(capture.raw.size() * 2);
    std::memcpy(raw.get(), capture.raw.data(), capture.raw.size() * 2);
    Library library;
    ASSERT_TRUE(SiSDKInit(library.handle, 64, 48));
    ASSERT_TRUE(SiSDKStart(library.handle));
    SiSDKSetSingleFreq(library.handle, false);
    EXPECT_FALSE(SiSDKIsSingleFreq(library.handle));
    Planes planes(3072);
    ASSERT_TRUE(SiSDKGetPhaseImage(library.handle, raw.get(), planes.depth.data(),
                                   planes.amplitude.data(), planes.confidence.data()));
    EXPECT_NEAR(centreDepth(planes, 64, 48), 900.0f, 9.0f);
    // Init keeps the requested mode.
    ASSERT_TRUE(SiSDKInit(library.handle, 64, 48));
    EXPECT_FALSE(SiSDKIsSingleFreq(library.handle));
}

}  // namespace
}  // namespace Quorvan

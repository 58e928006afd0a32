#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "emulation/kit_client.h"

namespace Quorvan {
namespace {

using testing_support::decodeAgainstTruth;
using testing_support::hqvgaGroundTruth;
using testing_support::KitClient;
using testing_support::TempConfigFile;
using Clock = std::chrono::steady_clock;

constexpr const char* kExactUnpaced = "noise = off\nframe_rate = unpaced\n";

int openWithPath(const char* path, QuorvanCameraHandle* handle, bool binary = false) {
    QuorvanOpenParam param;
    QuorvanDefaultParam(&param);
    param.config_path = path;
    param.binary_config = binary ? 1 : 0;
    return QuorvanOpenCamera(handle, &param);
}

int countLines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(EmulatedKit, BuiltInKitIsHqvgaTwelveBit) {
    KitClient kit("");
    ASSERT_EQ(kit.openStatus(), QUORVAN_EVK_OK);
    ASSERT_EQ(kit.initStatus(), QUORVAN_EVK_OK);
    QuorvanCameraConfig config;
    std::memset(&config, 0xAB, sizeof config);
    ASSERT_EQ(QuorvanGetCameraConfig(kit.handle(), &config), QUORVAN_EVK_OK);
    EXPECT_EQ(config.width, 240u);
    EXPECT_EQ(config.height, 180u);
    EXPECT_EQ(config.bits_per_pixel, 12u);

    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kit.captureCopy(&bytes), QUORVAN_EVK_OK);
    EXPECT_EQ(bytes.size(), 2u * 240 * 180);
}

TEST(EmulatedKit, BadConfigurationFailsTheOpenWithOneLine) {
    TempConfigFile unparsable("bits_per_pixel = 12\nframe_rate = soon\n");
    TempConfigFile unknown_scene("scene = garden\n");
    TempConfigFile too_fast("frame_rate = 150\n");
    struct Case {
        std::string path;
        std::string problem;
    };
    const Case cases[] = {
        {"/nonexistent/kit.cfg", "cannot read the file"},
        {unparsable.path(), "line 2: frame_rate"},
        {unknown_scene.path(), "unknown scene 'garden'"},
        {too_fast.path(), "frame_rate: 150 is too fast"},
    };
    for (const Case& c : cases) {
        QuorvanCameraHandle handle = nullptr;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(openWithPath(c.path.c_str(), &handle), QUORVAN_EVK_BAD_CONFIGURATION);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(countLines(printed), 1) << printed;
        EXPECT_NE(printed.find(c.path), std::string::npos) << printed;
        EXPECT_NE(printed.find(c.problem), std::string::npos) << printed;
    }
}

TEST(EmulatedKit, BinaryConfigurationIsReadNotParsed) {
    TempConfigFile binary(std::string("\x7f\x00garbage", 9), ".bin");
    QuorvanCameraHandle handle = nullptr;
    ASSERT_EQ(openWithPath(binary.c_str(), &handle, true), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanCloseCamera(handle), QUORVAN_EVK_OK);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(openWithPath(binary.c_str(), &handle, false), QUORVAN_EVK_BAD_CONFIGURATION);
    EXPECT_EQ(openWithPath("/nonexistent/kit.bin", &handle, true), QUORVAN_EVK_BAD_CONFIGURATION);
    ::testing::internal::GetCapturedStderr();
}

TEST(EmulatedKit, RefusesMisuseWithoutCrashing) {
    QuorvanOpenParam param;
    std::memset(&param, 0, sizeof param);
    QuorvanCameraHandle handle = nullptr;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(QuorvanOpenCamera(&handle, &param), QUORVAN_EVK_INVALID_ARGUMENT);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(QuorvanDefaultParam(nullptr), QUORVAN_EVK_INVALID_ARGUMENT);

    KitClient kit(kExactUnpaced);
    QuorvanImage image{};
    EXPECT_EQ(QuorvanCaptureImage(kit.handle(), &image, 10), QUORVAN_EVK_NOT_STARTED);
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_BAD_STATE);
    EXPECT_EQ(QuorvanCaptureImage(kit.handle(), nullptr, 10), QUORVAN_EVK_INVALID_ARGUMENT);

    // A handle that was closed (or never opened) is refused by every call.
    QuorvanCameraHandle closed = nullptr;
    ASSERT_EQ(openWithPath("", &closed), QUORVAN_EVK_OK);
    ASSERT_EQ(QuorvanCloseCamera(closed), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanInitCamera(closed), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanStartCamera(closed), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanCaptureImage(closed, &image, 10), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanWriteSensorReg(closed, 0x216c, 0x08), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanCloseCamera(closed), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanStopCamera(nullptr), QUORVAN_EVK_INVALID_ARGUMENT);
}

TEST(EmulatedKit, StartNeedsInit) {
    QuorvanCameraHandle handle = nullptr;
    ASSERT_EQ(openWithPath("", &handle), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanStartCamera(handle), QUORVAN_EVK_BAD_STATE);
    ASSERT_EQ(QuorvanInitCamera(handle), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanStartCamera(handle), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanCloseCamera(handle), QUORVAN_EVK_OK);
}

TEST(EmulatedKit, InjectedOpenAndInitFailures) {
    ::testing::internal::CaptureStderr();
    KitClient cannot_open("fail_open = on\n");
    KitClient cannot_init("fail_init = on\n");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(cannot_open.openStatus(), QUORVAN_EVK_OK);
    EXPECT_EQ(cannot_init.openStatus(), QUORVAN_EVK_OK);
    EXPECT_NE(cannot_init.initStatus(), QUORVAN_EVK_OK);
    EXPECT_EQ(countLines(printed), 2) << printed;
}

TEST(EmulatedKit, FramesDecodeAtTheRangeTheRegistersSelect) {
    const auto truth = hqvgaGroundTruth();
    KitClient kit(kExactUnpaced);
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<uint16_t> cache;

    ASSERT_TRUE(kit.captureFrame(&cache));
    auto result = decodeAgainstTruth(cache, 4000, truth);
    EXPECT_GT(result.compared, 15000u);
    EXPECT_LT(result.p99_error_mm, 2.0);

    // Takes effect with the next frame.
    kit.selectRange(2000);
    ASSERT_TRUE(kit.captureFrame(&cache));
    result = decodeAgainstTruth(cache, 2000, truth);
    EXPECT_GT(result.compared, 15000u);
    EXPECT_LT(result.p99_error_mm, 2.0);
    EXPECT_GT(decodeAgainstTruth(cache, 4000, truth).p99_error_mm, 100.0);

    kit.selectRange(4000);
    ASSERT_TRUE(kit.captureFrame(&cache));
    EXPECT_LT(decodeAgainstTruth(cache, 4000, truth).p99_error_mm, 2.0);
}

TEST(EmulatedKit, SampleWidthsScaleTheTwelveBitWord) {
    std::vector<std::vector<uint8_t>> images;
    for (int bits : {12, 8, 10, 16}) {
        KitClient kit(std::string(kExactUnpaced) + "bits_per_pixel = " + std::to_string(bits));
        ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
        QuorvanCameraConfig config{};
        QuorvanGetCameraConfig(kit.handle(), &config);
        EXPECT_EQ(config.bits_per_pixel, bits);
        images.emplace_back();
        ASSERT_EQ(kit.captureCopy(&images.back()), QUORVAN_EVK_OK);
    }
    const auto word = [&](size_t i) { return images[0][2 * i] | images[0][2 * i + 1] << 8; };
    const auto two_bytes = [&](int which, size_t i) {
        return images[which][2 * i] | images[which][2 * i + 1] << 8;
    };
    ASSERT_EQ(images[1].size(), static_cast<size_t>(KitClient::kPixels));
    ASSERT_EQ(images[2].size(), 2u * KitClient::kPixels);
    ASSERT_EQ(images[3].size(), 2u * KitClient::kPixels);
    int negative = 0;
    for (size_t i = 0; i < static_cast<size_t>(KitClient::kPixels); ++i) {
        ASSERT_LE(word(i), 0x7FF) << i;
        negative += (word(i) & 0x400) != 0;
        ASSERT_EQ(images[1][i], word(i) >> 4) << i;
        ASSERT_EQ(two_bytes(2, i), word(i) >> 2) << i;
        ASSERT_EQ(two_bytes(3, i), word(i) << 4) << i;
    }
    // The image holds negative correlations too, so the sign bit is exercised.
    EXPECT_GT(negative, 1000);
}

TEST(EmulatedKit, NoisyImagesHoldTheSameWordsAtEverySampleWidth) {
    // The noise is a function of seed, frame, image and pixel, so kits of
    // different widths send the same words: 12 bits renders them straight into
    // the kit's buffer, the other widths pack them afterwards.
    std::vector<std::vector<uint8_t>> images;
    for (int bits : {12, 8, 10, 16}) {
        KitClient kit("noise = on\nframe_rate = unpaced\nseed = 4\nbits_per_pixel = " +
                      std::to_string(bits));
        ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
        images.emplace_back();
        ASSERT_EQ(kit.captureCopy(&images.back()), QUORVAN_EVK_OK);
    }
    const auto two_bytes = [&](int which, size_t i) {
        return images[which][2 * i] | images[which][2 * i + 1] << 8;
    };
    KitClient clean(kExactUnpaced);
    ASSERT_EQ(QuorvanStartCamera(clean.handle()), QUORVAN_EVK_OK);
    std::vector<uint8_t> exact;
    ASSERT_EQ(clean.captureCopy(&exact), QUORVAN_EVK_OK);
    int noisy = 0;
    for (size_t i = 0; i < static_cast<size_t>(KitClient::kPixels); ++i) {
        const int word = two_bytes(0, i);
        ASSERT_LE(word, 0x7FF) << i;
        ASSERT_EQ(images[1][i], word >> 4) << i;
        ASSERT_EQ(two_bytes(2, i), word >> 2) << i;
        ASSERT_EQ(two_bytes(3, i), word << 4) << i;
        noisy += word != (exact[2 * i] | exact[2 * i + 1] << 8);
    }
    EXPECT_GT(noisy, KitClient::kPixels / 2);
}

TEST(EmulatedKit, TimestampsStepOneMillisecondWithinAFrame) {
    KitClient kit(kExactUnpaced);
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<uint64_t> stamps;
    std::vector<uint16_t> cache;
    for (int frame = 0; frame < 3; ++frame)
        ASSERT_TRUE(kit.captureFrame(&cache, &stamps));
    for (size_t i = 1; i < stamps.size(); ++i) {
        if (i % 4 == 0)
            EXPECT_GE(stamps[i] - stamps[i - 1], 6u) << i;
        else
            EXPECT_EQ(stamps[i] - stamps[i - 1], 1u) << i;
    }
}

// Wall time for `frames` frames from an open, started kit.
double secondsForFrames(KitClient& kit, int frames, std::vector<uint64_t>* stamps) {
    std::vector<uint16_t> cache;
    const auto begin = Clock::now();
    for (int frame = 0; frame < frames; ++frame) {
        if (!kit.captureFrame(&cache, stamps)) {
            ADD_FAILURE() << "capture failed at frame " << frame;
            break;
        }
    }
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

TEST(EmulatedKit, PacedKitDeliversAtItsFrameRate) {
    // What this host needs to render, copy and check 20 frames of the same
    // kit unpaced: the paced run may take that much longer than its schedule,
    // however slow the host (sanitizers, emulated CPUs), and no more.
    KitClient unpaced(kExactUnpaced);
    ASSERT_EQ(QuorvanStartCamera(unpaced.handle()), QUORVAN_EVK_OK);
    const double work = secondsForFrames(unpaced, 20, nullptr);

    KitClient kit("noise = off\nframe_rate = 40\n");
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<uint64_t> stamps;
    secondsForFrames(kit, 1, &stamps);
    const double seconds = secondsForFrames(kit, 20, &stamps);
    // 20 frames at 40 per second take at least half a second. Beyond the
    // schedule and the work, the bound allows for a host that takes the CPU
    // away for a while; it only catches a kit paced far too slowly.
    ASSERT_EQ(stamps.size(), 4u * 21u);
    EXPECT_GT(seconds, 0.45);
    EXPECT_LT(seconds, 0.5 + 10.0 * work + 5.0);
    // Frame starts sit on the 25 ms schedule in the timestamps too: a consumer
    // that falls behind skips whole frames, so each step is a whole number of
    // periods (to the millisecond the stamps are rounded to), never a drift.
    for (size_t frame = 1; frame < 21; ++frame) {
        const uint64_t step = stamps[4 * frame] - stamps[4 * (frame - 1)];
        EXPECT_GE(step, 24u) << frame;
        const uint64_t off_schedule = std::min(step % 25u, 25u - step % 25u);
        EXPECT_LE(off_schedule, 1u)
            << "frame " << frame << " began " << step << " ms after the last";
    }
}

TEST(EmulatedKit, ALateCallerSkipsMissedFramesUnlessTheKitDeliversEvery) {
    // 4 images per frame at 20 fps: a caller that sleeps 120 ms between
    // frames misses two frame slots each time.
    for (const bool skip : {true, false}) {
        SCOPED_TRACE(skip);
        KitClient kit(std::string("noise = off\nframe_rate = 20\nskip_missed_frames = ") +
                      (skip ? "on\n" : "off\n"));
        ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
        std::vector<uint64_t> stamps;
        std::vector<uint16_t> cache;
        for (int frame = 0; frame < 3; ++frame) {
            ASSERT_TRUE(kit.captureFrame(&cache, &stamps));
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
        }
        // Frames are stamped on their 50 ms slots: skipped slots show as
        // steps of several periods; delivered late, each frame keeps its own.
        for (size_t frame = 1; frame < 3; ++frame) {
            const uint64_t step = stamps[4 * frame] - stamps[4 * (frame - 1)];
            if (skip)
                EXPECT_GE(step, 100u) << frame;
            else
                EXPECT_LT(step, 100u) << frame;
        }
    }
}

TEST(EmulatedKit, CaptureHonoursItsTimeout) {
    KitClient kit("noise = off\nframe_rate = 0.1\n");
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<uint16_t> cache;
    ASSERT_TRUE(kit.captureFrame(&cache));
    // The next frame is ten seconds away, so a generous bound still tells a
    // capture that gave up from one that waited for the frame.
    std::vector<uint8_t> bytes;
    const auto begin = Clock::now();
    EXPECT_EQ(kit.captureCopy(&bytes, nullptr, 60), QUORVAN_EVK_TIMEOUT);
    const double waited = std::chrono::duration<double>(Clock::now() - begin).count();
    EXPECT_GE(waited, 0.055);
    EXPECT_LT(waited, 5.0);
    EXPECT_EQ(kit.captureCopy(&bytes, nullptr, 0), QUORVAN_EVK_TIMEOUT);
}

TEST(EmulatedKit, InjectedTimeoutsShortImagesAndGaps) {
    KitClient kit(std::string(kExactUnpaced) +
                  "timeout_every = 3\ntimeout_wait_ms = 0\nwrong_size_every = 4\n");
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<int> statuses;
    std::vector<uint32_t> sizes;
    for (int call = 0; call < 9; ++call) {
        std::vector<uint8_t> bytes;
        statuses.push_back(kit.captureCopy(&bytes));
        if (statuses.back() == QUORVAN_EVK_OK)
            sizes.push_back(static_cast<uint32_t>(bytes.size()));
    }
    const int T = QUORVAN_EVK_TIMEOUT;
    EXPECT_EQ(statuses, (std::vector<int>{0, 0, T, 0, 0, T, 0, 0, T}));
    const uint32_t full = 2 * KitClient::kPixels;
    EXPECT_EQ(sizes, (std::vector<uint32_t>{full, full, full, full - 2, full, full}));

    KitClient gappy(std::string(kExactUnpaced) + "gap_every = 3\ngap_ms = 50\n");
    ASSERT_EQ(QuorvanStartCamera(gappy.handle()), QUORVAN_EVK_OK);
    std::vector<uint64_t> stamps;
    for (int call = 0; call < 7; ++call) {
        std::vector<uint8_t> bytes;
        QuorvanImage record{};
        ASSERT_EQ(gappy.captureCopy(&bytes, &record), QUORVAN_EVK_OK);
        stamps.push_back(record.timestamp);
    }
    EXPECT_EQ(stamps[1] - stamps[0], 1u);
    EXPECT_GE(stamps[2] - stamps[1], 50u);  // image 3 starts a new frame after the gap
    EXPECT_EQ(stamps[3] - stamps[2], 1u);
    EXPECT_GE(stamps[5] - stamps[4], 50u);  // and image 6
}

TEST(EmulatedKit, RandomTimeoutsFollowTheSeed) {
    const auto pattern = [](const char* seed) {
        KitClient kit(std::string(kExactUnpaced) +
                      "timeout_probability = 0.3\ntimeout_wait_ms = 0\nseed = " + seed);
        EXPECT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
        std::string outcome;
        for (int call = 0; call < 200; ++call) {
            std::vector<uint8_t> bytes;
            outcome += kit.captureCopy(&bytes) == QUORVAN_EVK_OK ? '.' : 'T';
        }
        return outcome;
    };
    const std::string first = pattern("5");
    EXPECT_EQ(first, pattern("5"));
    EXPECT_NE(first, pattern("6"));
    const auto timeouts = std::count(first.begin(), first.end(), 'T');
    EXPECT_GT(timeouts, 30);
    EXPECT_LT(timeouts, 90);
}

TEST(EmulatedKit, ImagesStayValidUntilFreedAndAreFreedOnce) {
    KitClient kit(kExactUnpaced, 2);
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    QuorvanImage first{}, second{}, third{};
    ASSERT_EQ(QuorvanCaptureImage(kit.handle(), &first, 100), QUORVAN_EVK_OK);
    ASSERT_EQ(QuorvanCaptureImage(kit.handle(), &second, 100), QUORVAN_EVK_OK);
    EXPECT_NE(first.data, second.data);
    EXPECT_EQ(QuorvanCaptureImage(kit.handle(), &third, 100), QUORVAN_EVK_NO_BUFFER);
    EXPECT_EQ(second.sequence, first.sequence + 1);

    QuorvanImage forged = first;
    forged.owner ^= 1;
    EXPECT_EQ(QuorvanFreeImage(kit.handle(), forged), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanFreeImage(kit.handle(), first), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanFreeImage(kit.handle(), first), QUORVAN_EVK_INVALID_ARGUMENT);
    ASSERT_EQ(QuorvanCaptureImage(kit.handle(), &third, 100), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanFreeImage(kit.handle(), second), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanFreeImage(kit.handle(), third), QUORVAN_EVK_OK);
}

}  // namespace
}  // namespace Quorvan

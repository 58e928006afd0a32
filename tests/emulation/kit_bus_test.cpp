// Several kits on the emulated bus: the kit-set configuration, listing,
// opening by serial or index, and unplugging a kit under an open handle.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulation/kit_test_support.h"
#include "kit_set.h"
#include "quorvan_evk_emulator.h"
#include "quorvan_evk_sdk.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using evk::KitSelector;
using evk::KitSet;
using testing_support::TempConfigFile;

KitSet parsedSet(const std::string& text) {
    KitSet set;
    std::string error;
    EXPECT_TRUE(evk::parseKitSet(text, &set, &error)) << error;
    return set;
}

std::string setError(const std::string& text) {
    KitSet set;
    std::string error;
    EXPECT_FALSE(evk::parseKitSet(text, &set, &error));
    return error;
}

TEST(KitSet, PlainLinesAreSharedAndKitLinesWinWhateverTheirOrder) {
    const KitSet set = parsedSet(
        "kit.1.frame_rate = 15\n"
        "frame_rate = 20\n"
        "seed = 7\n"
        "kit.0.serial = LEFT\n"
        "kit.1.scene.wall_distance_mm = 2000\n"
        "kit.2.seed = 100\n");
    ASSERT_EQ(set.kits.size(), 3u);
    EXPECT_EQ(set.kits[0].frame_rate, 20.0);
    EXPECT_EQ(set.kits[1].frame_rate, 15.0);
    EXPECT_EQ(set.kits[2].frame_rate, 20.0);
    EXPECT_EQ(set.kits[1].scene_parameters.at("wall_distance_mm"), 2000.0);
    EXPECT_TRUE(set.kits[0].scene_parameters.empty());
    // Each kit its own noise unless told otherwise.
    EXPECT_EQ(set.kits[0].seed, 7u);
    EXPECT_EQ(set.kits[1].seed, 8u);
    EXPECT_EQ(set.kits[2].seed, 100u);
    EXPECT_EQ(set.kits[0].serial, "LEFT");
    EXPECT_EQ(set.kits[1].serial, evk::defaultSerial(1));
    EXPECT_NE(set.kits[1].serial, set.kits[2].serial);
}

TEST(KitSet, AFileWithoutKitLinesIsOneKitAsBefore) {
    const KitSet set = parsedSet("frame_rate = 12\nseed = 3\n");
    ASSERT_EQ(set.kits.size(), 1u);
    EXPECT_EQ(set.kits[0].frame_rate, 12.0);
    EXPECT_EQ(set.kits[0].seed, 3u);
    EXPECT_EQ(set.kits[0].serial, evk::defaultSerial(0));
}

TEST(KitSet, MistakesAreRefusedWithTheirLine) {
    EXPECT_EQ(setError("frame_rate = 20\nkit.1.frame_rate = 900\n"),
              "line 2: frame_rate: expected a rate from 0.1 to 200 frames per second, or unpaced");
    EXPECT_EQ(setError("kit.x.seed = 1\n"),
              "line 1: expected kit.<number>.<key>, found 'kit.x.seed'");
    EXPECT_EQ(setError("kit.0.\n= 1\n").substr(0, 7), "line 1:");
    EXPECT_EQ(setError("kit.99.seed = 1\n"), "line 1: kit numbers run from 0 to 15");
    EXPECT_EQ(setError("kit.0.seed = 1\nkit.2.seed = 1\n").substr(0, 32),
              "kits are numbered from 0 without");
    EXPECT_EQ(setError("kit.0.serial = A\nkit.1.serial = A\n"), "two kits answer to serial A");
    EXPECT_EQ(setError("serial = A\nkit.0.seed = 2\nkit.1.seed = 2\n"),
              "serial is a kit's own: give it as kit.<n>.serial");
    EXPECT_EQ(setError("kit.0.serial = has space\n").substr(0, 16), "line 1: serial: ");
}

TEST(KitSet, SelectorsPickAKitOrSayWhyNot) {
    KitSelector selector;
    std::string error;
    ASSERT_TRUE(evk::parseKitSelector("/tmp/a#b.cfg#serial=RIGHT", &selector, &error));
    EXPECT_EQ(selector.path, "/tmp/a#b.cfg");
    EXPECT_EQ(selector.by, KitSelector::By::Serial);
    EXPECT_EQ(selector.serial, "RIGHT");
    ASSERT_TRUE(evk::parseKitSelector("#index=2", &selector, &error));
    EXPECT_EQ(selector.path, "");
    EXPECT_EQ(selector.index, 2u);
    // A '#' that starts no selector is part of the file name.
    ASSERT_TRUE(evk::parseKitSelector("/tmp/kit#1.cfg", &selector, &error));
    EXPECT_EQ(selector.path, "/tmp/kit#1.cfg");
    EXPECT_EQ(selector.by, KitSelector::By::First);
    EXPECT_FALSE(evk::parseKitSelector("k.cfg#index=two", &selector, &error));
    EXPECT_FALSE(evk::parseKitSelector("k.cfg#serial=", &selector, &error));

    const KitSet set = parsedSet("kit.0.serial = LEFT\nkit.1.serial = RIGHT\n");
    ASSERT_TRUE(evk::parseKitSelector("#serial=RIGHT", &selector, &error));
    ASSERT_NE(evk::selectKit(set, selector, &error), nullptr);
    EXPECT_EQ(evk::selectKit(set, selector, &error)->serial, "RIGHT");
    ASSERT_TRUE(evk::parseKitSelector("#serial=MIDDLE", &selector, &error));
    EXPECT_EQ(evk::selectKit(set, selector, &error), nullptr);
    EXPECT_EQ(error, "no kit with serial 'MIDDLE'");
    ASSERT_TRUE(evk::parseKitSelector("#index=2", &selector, &error));
    EXPECT_EQ(evk::selectKit(set, selector, &error), nullptr);
    EXPECT_EQ(error, "no kit at index 2 (2 attached)");
}

// Opens kit `selector` of `file` through the C interface; the status.
int openKit(const std::string& path, QuorvanCameraHandle* handle) {
    QuorvanOpenParam param;
    QuorvanDefaultParam(&param);
    param.config_path = path.c_str();
    const int opened = QuorvanOpenCamera(handle, &param);
    return opened == QUORVAN_EVK_OK ? QuorvanInitCamera(*handle) : opened;
}

std::string serialOf(QuorvanCameraHandle handle) {
    char serial[QUORVAN_EVK_SERIAL_CAPACITY] = {};
    EXPECT_EQ(QuorvanEvkGetSerial(handle, serial, sizeof serial), QUORVAN_EVK_OK);
    return serial;
}

TEST(KitBus, ListsEveryKitAndOpensEachBySerialOrIndex) {
    TempConfigFile file(
        "noise = off\n"
        "kit.0.serial = BUS-LIST-A\n"
        "kit.1.serial = BUS-LIST-B\n"
        "kit.1.geometry = 640x2405\n");
    QuorvanEvkKitInfo kits[4];
    uint32_t count = 0;
    ASSERT_EQ(QuorvanEvkListKits(file.c_str(), kits, 4, &count), QUORVAN_EVK_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(kits[0].serial, "BUS-LIST-A");
    EXPECT_EQ(kits[0].width, 240u);
    EXPECT_EQ(kits[0].height, 180u);
    EXPECT_STREQ(kits[1].serial, "BUS-LIST-B");
    EXPECT_EQ(kits[1].index, 1u);
    EXPECT_EQ(kits[1].width, 640u);
    EXPECT_EQ(kits[1].height, 2405u);
    EXPECT_EQ(kits[1].attached, 1);
    // Asking for fewer still tells how many there are.
    ASSERT_EQ(QuorvanEvkListKits(file.c_str(), kits, 1, &count), QUORVAN_EVK_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(QuorvanEvkListKits(file.c_str(), nullptr, 4, &count), QUORVAN_EVK_INVALID_ARGUMENT);

    QuorvanCameraHandle by_serial = nullptr;
    ASSERT_EQ(openKit(file.path() + "#serial=BUS-LIST-B", &by_serial), QUORVAN_EVK_OK);
    QuorvanCameraConfig config{};
    QuorvanGetCameraConfig(by_serial, &config);
    EXPECT_EQ(config.height, 2405u);
    EXPECT_EQ(serialOf(by_serial), "BUS-LIST-B");
    QuorvanCameraHandle first = nullptr;
    ASSERT_EQ(openKit(file.path(), &first), QUORVAN_EVK_OK);
    EXPECT_EQ(serialOf(first), "BUS-LIST-A");
    char small[4];
    EXPECT_EQ(QuorvanEvkGetSerial(first, small, sizeof small), QUORVAN_EVK_INVALID_ARGUMENT);

    QuorvanCameraHandle missing = nullptr;
    EXPECT_EQ(openKit(file.path() + "#serial=NOBODY", &missing), QUORVAN_EVK_DEVICE_FAILURE);
    EXPECT_EQ(openKit(file.path() + "#index=2", &missing), QUORVAN_EVK_DEVICE_FAILURE);
    EXPECT_EQ(openKit(file.path() + "#index=", &missing), QUORVAN_EVK_BAD_CONFIGURATION);
    QuorvanCloseCamera(by_serial);
    QuorvanCloseCamera(first);
    // A closed handle is refused, not followed.
    EXPECT_EQ(QuorvanEvkGetSerial(first, small, sizeof small), QUORVAN_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(QuorvanStartCamera(first), QUORVAN_EVK_INVALID_ARGUMENT);
}

TEST(KitBus, AnUnpluggedKitFailsItsCaptureAtOnceAndItsHandleStaysDead) {
    TempConfigFile file("noise = off\nframe_rate = 10\nserial = BUS-UNPLUG\n");
    QuorvanCameraHandle handle = nullptr;
    ASSERT_EQ(openKit(file.path(), &handle), QUORVAN_EVK_OK);
    ASSERT_EQ(QuorvanStartCamera(handle), QUORVAN_EVK_OK);
    QuorvanImage image{};
    ASSERT_EQ(QuorvanCaptureImage(handle, &image, 2000), QUORVAN_EVK_OK);
    QuorvanFreeImage(handle, image);

    ASSERT_EQ(QuorvanEvkSetAttached("BUS-UNPLUG", 0), QUORVAN_EVK_OK);
    // A capture waiting for the next frame (100 ms away) gives up promptly.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(QuorvanCaptureImage(handle, &image, 2000), QUORVAN_EVK_DEVICE_FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
    QuorvanEvkKitInfo kit{};
    uint32_t count = 0;
    ASSERT_EQ(QuorvanEvkListKits(file.c_str(), &kit, 1, &count), QUORVAN_EVK_OK);
    EXPECT_EQ(kit.attached, 0);
    QuorvanCameraHandle again = nullptr;
    EXPECT_EQ(openKit(file.path(), &again), QUORVAN_EVK_DEVICE_FAILURE);

    ASSERT_EQ(QuorvanEvkSetAttached("BUS-UNPLUG", 1), QUORVAN_EVK_OK);
    // Back on the bus, yet the old handle belonged to the kit that left.
    EXPECT_EQ(QuorvanCaptureImage(handle, &image, 2000), QUORVAN_EVK_DEVICE_FAILURE);
    EXPECT_EQ(QuorvanCloseCamera(handle), QUORVAN_EVK_OK);
    ASSERT_EQ(openKit(file.path(), &again), QUORVAN_EVK_OK);
    ASSERT_EQ(QuorvanStartCamera(again), QUORVAN_EVK_OK);
    ASSERT_EQ(QuorvanCaptureImage(again, &image, 2000), QUORVAN_EVK_OK);
    QuorvanFreeImage(again, image);
    QuorvanCloseCamera(again);
    EXPECT_EQ(QuorvanEvkSetAttached(nullptr, 0), QUORVAN_EVK_INVALID_ARGUMENT);
}

TEST(KitBus, TheUnplugScheduleTakesTheKitAwayAndBack) {
    // The schedule runs from the open, which itself renders the kit's
    // per-pixel terms: on a slow host (qemu) that alone can outlast a short
    // first stay, so the times scale with the measured speed of the host.
    const int64_t stays_ms = testing_support::scaledDeadlineMs(100);
    const int64_t away_ms = testing_support::scaledDeadlineMs(150);
    const auto give_up = std::chrono::milliseconds(testing_support::scaledDeadlineMs(5000));
    TempConfigFile file(
        "frame_rate = unpaced\nnoise = off\nserial = BUS-SCHEDULE\n"
        "unplug_after_ms = " +
        std::to_string(stays_ms) + "\nunplugged_ms = " + std::to_string(away_ms) +
        "\nunplug_every_ms = 86400000\n");
    QuorvanCameraHandle handle = nullptr;
    // Taken before the open that starts the schedule's clock.
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_EQ(openKit(file.path(), &handle), QUORVAN_EVK_OK);
    ASSERT_EQ(QuorvanStartCamera(handle), QUORVAN_EVK_OK);
    QuorvanImage image{};
    int status = QUORVAN_EVK_OK;
    while (status == QUORVAN_EVK_OK && std::chrono::steady_clock::now() - opened < give_up) {
        status = QuorvanCaptureImage(handle, &image, 2000);
        if (status == QUORVAN_EVK_OK)
            QuorvanFreeImage(handle, image);
    }
    EXPECT_EQ(status, QUORVAN_EVK_DEVICE_FAILURE);
    EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(stays_ms));
    QuorvanCloseCamera(handle);
    // Reopening waits for the end of the away time.
    QuorvanCameraHandle again = nullptr;
    status = QUORVAN_EVK_DEVICE_FAILURE;
    while (status != QUORVAN_EVK_OK && std::chrono::steady_clock::now() - opened < give_up) {
        status = openKit(file.path(), &again);
        if (status != QUORVAN_EVK_OK)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(status, QUORVAN_EVK_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - opened,
              std::chrono::milliseconds(stays_ms + away_ms));
    ASSERT_EQ(QuorvanStartCamera(again), QUORVAN_EVK_OK);
    EXPECT_EQ(QuorvanCaptureImage(again, &image, 2000), QUORVAN_EVK_OK);
    QuorvanFreeImage(again, image);
    QuorvanCloseCamera(again);
}

}  // namespace
}  // namespace Quorvan

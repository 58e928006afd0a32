#include "device/usb_sensor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "quorvan/camera.h"
#include "usb/scripted_kit.h"

namespace Quorvan {
namespace {

using testing_support::ScriptedKit;

// A sensor opened on a scripted kit of 4x2 pixels, four sub-frames per call.
class UsbSensorTest : public ::testing::Test {
protected:
    void openAndStart(const char* path = "") {
        sensor = std::make_unique<QuorvanTOFUSBSensor>(path, 3, kit);
        ASSERT_EQ(sensor->open(camera), QuorvanSuccess);
        sensor->subframe_count = 4;
        ASSERT_EQ(sensor->start(), QuorvanSuccess);
    }
    size_t samplesPerImage() const { return static_cast<size_t>(kit.width) * kit.height; }
    // The cache as 16-bit samples, prefilled with a marker.
    std::vector<uint16_t> cache = std::vector<uint16_t>(4 * 8, 0xBEEF);
    uint8_t* cacheBytes() { return reinterpret_cast<uint8_t*>(cache.data()); }
    uint16_t subframeValue(int subframe) const { return cache[subframe * 8]; }

    ScriptedKit kit;
    QuorvanTOFCamera camera;
    std::unique_ptr<QuorvanTOFUSBSensor> sensor;
    uint64_t timestamp = 777;
};

TEST_F(UsbSensorTest, OpenReportsTheKitsFormat) {
    kit.width = 240;
    kit.height = 180;
    kit.bits_per_pixel = 8;
    QuorvanTOFUSBSensor usb("", 5, kit);
    ASSERT_EQ(usb.open(camera), QuorvanSuccess);
    EXPECT_EQ(kit.calls, (std::vector<std::string>{"defaultParam", "openCamera", "initCamera",
                                                   "getCameraConfig"}));
    const CameraInfo info = camera.getCameraInfo();
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.bit_width, 8u);
    EXPECT_EQ(info.bpp, 1u);
    const CameraInfo format = usb.getFormat();
    EXPECT_EQ(std::memcmp(&format, &info, sizeof info), 0);
    // Without a path the library's default parameters go through unchanged.
    EXPECT_FALSE(kit.opened_with_path);
    EXPECT_EQ(kit.binary_flag, 0x5A);
    EXPECT_EQ(usb.index(), 5u);

    kit.bits_per_pixel = 10;
    ASSERT_EQ(usb.open(camera), QuorvanSuccess);
    EXPECT_EQ(camera.getCameraInfo().bpp, 2u);
}

TEST_F(UsbSensorTest, BinaryFlagFollowsTheBinSuffix) {
    struct Case {
        const char* path;
        int flag;
    };
    for (const Case c :
         {Case{"kit.bin", 1}, Case{"/x/y.bin", 1}, Case{".bin", 1}, Case{"kit.cfg", 0},
          Case{"bin", 0}, Case{"kit.bin.cfg", 0}, Case{"kit.BIN", 0}}) {
        QuorvanTOFUSBSensor usb(c.path, 0, kit);
        ASSERT_EQ(usb.open(camera), QuorvanSuccess);
        EXPECT_EQ(kit.opened_path, c.path);
        EXPECT_EQ(kit.binary_flag, c.flag) << c.path;
        usb.close();
    }
}

TEST_F(UsbSensorTest, OpenAndInitFailuresReportMinusOne) {
    kit.open_status = -3;
    QuorvanTOFUSBSensor cannot_open("", 0, kit);
    EXPECT_EQ(cannot_open.open(camera), QuorvanUnkownError);
    EXPECT_FALSE(cannot_open.isOpen());

    kit.open_status = 0;
    kit.init_status = -3;
    kit.calls.clear();
    QuorvanTOFUSBSensor cannot_init("", 0, kit);
    EXPECT_EQ(cannot_init.open(camera), QuorvanUnkownError);
    // The handle is kept for close() to release.
    EXPECT_TRUE(cannot_init.isOpen());
    EXPECT_EQ(cannot_init.close(), QuorvanSuccess);
    EXPECT_EQ(kit.calls.back(), "closeCamera");
    EXPECT_FALSE(cannot_init.isOpen());
}

TEST_F(UsbSensorTest, StartTwiceAndRefusedStart) {
    openAndStart();
    EXPECT_EQ(sensor->start(), QuorvanUnkownError);
    EXPECT_EQ(sensor->stop(), QuorvanSuccess);
    kit.start_status = -1;
    EXPECT_EQ(sensor->start(), QuorvanUnkownError);
    // The refused start still counts as started until stop.
    EXPECT_EQ(sensor->start(), QuorvanUnkownError);
    sensor->stop();
    kit.start_status = 0;
    EXPECT_EQ(sensor->start(), QuorvanSuccess);
}

TEST_F(UsbSensorTest, SubframesLandBackToBackWithTheLastTimestamp) {
    openAndStart();
    for (uint16_t i = 0; i < 4; ++i)
        kit.addImage(50 + i, 0x100 + i);
    ASSERT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
    EXPECT_EQ(timestamp, 53u);
    // Sub-frame n starts at byte 2wh * n: here sample 8n.
    for (int subframe = 0; subframe < 4; ++subframe) {
        for (int sample = 0; sample < 8; ++sample)
            EXPECT_EQ(cache[subframe * 8 + sample], 0x100 + subframe);
    }
    EXPECT_EQ(kit.last_timeout_ms, 2000);
    EXPECT_EQ(kit.outstanding, 0);
}

TEST_F(UsbSensorTest, TimestampGapRestartsTheAssembly) {
    openAndStart();
    const uint64_t stamps[] = {100, 101, 120, 121, 122, 123};
    for (uint64_t stamp : stamps)
        kit.addImage(stamp, static_cast<uint16_t>(stamp));
    ASSERT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
    EXPECT_EQ(timestamp, 123u);
    EXPECT_EQ(kit.captures, 6);
    for (int subframe = 0; subframe < 4; ++subframe)
        EXPECT_EQ(subframeValue(subframe), 120 + subframe);
    EXPECT_EQ(kit.outstanding, 0);
}

TEST_F(UsbSensorTest, StepsBelowTheThresholdDoNotRestartButBackwardsDoes) {
    openAndStart();
    for (uint64_t stamp : {10, 15, 20, 25})  // 5 apart: one frame
        kit.addImage(stamp, static_cast<uint16_t>(stamp));
    ASSERT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
    EXPECT_EQ(timestamp, 25u);
    EXPECT_EQ(subframeValue(0), 10);

    for (uint64_t stamp : {40, 41, 30, 31, 32, 33})  // backwards: an unsigned wrap
        kit.addImage(stamp, static_cast<uint16_t>(stamp));
    ASSERT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
    EXPECT_EQ(timestamp, 33u);
    EXPECT_EQ(subframeValue(0), 30);
}

TEST_F(UsbSensorTest, EndlessGapsGiveUpAfterBoundedRestarts) {
    openAndStart();
    for (uint64_t stamp = 0; stamp < 100; ++stamp)
        kit.addImage(stamp * 10, 1);  // every image 10 apart
    EXPECT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanUnkownError);
    // The first image plus one per restart.
    EXPECT_EQ(kit.captures, 2 + QuorvanTOFUSBSensor::kMaxRestartsPerFrame);
    EXPECT_EQ(kit.outstanding, 0);
    // The next call starts afresh and can still fail or succeed on its own.
    kit.script.clear();
    for (uint64_t stamp : {500, 501, 502, 503})
        kit.addImage(stamp, 2);
    EXPECT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
    EXPECT_EQ(timestamp, 503u);
}

TEST_F(UsbSensorTest, TimedOutSubframeMeansNoFrame) {
    openAndStart();
    kit.addImage(10, 1);
    kit.addTimeout();
    kit.addImage(12, 3);
    kit.addImage(13, 4);
    EXPECT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanUnkownError);
    // Given up at once: the images after the timeout stay with the kit.
    EXPECT_EQ(kit.captures, 2);
    EXPECT_EQ(kit.outstanding, 0);
}

TEST_F(UsbSensorTest, WrongSizedImageIsFreedAndRefused) {
    openAndStart();
    kit.addImage(10, 1);
    kit.addImage(11, 2);
    kit.script.back().size_adjustment = -2;
    EXPECT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanUnkownError);
    EXPECT_EQ(kit.frees, 2);
    EXPECT_EQ(kit.outstanding, 0);
    // The wrong image was not copied.
    EXPECT_EQ(subframeValue(1), 0xBEEF);

    kit.addImage(20, 1);
    kit.script.back().size_adjustment = +2;
    EXPECT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanUnkownError);
}

TEST_F(UsbSensorTest, NotStreamingReturnsAtOnceWithoutTouchingAnything) {
    openAndStart();
    sensor->stop();
    kit.addImage(10, 1);
    EXPECT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
    EXPECT_EQ(timestamp, 777u);
    EXPECT_EQ(kit.captures, 0);
    EXPECT_EQ(subframeValue(0), 0xBEEF);
}

TEST_F(UsbSensorTest, SampleWidthsBecomeRightAlignedTwelveBits) {
    struct Case {
        uint8_t bits;
        uint16_t delivered;
        uint16_t expected;
    };
    for (const Case c :
         {Case{8, 0xFF, 0x0FF0}, Case{10, 0x03FF, 0x0FFC}, Case{12, 0x0ABC, 0x0ABC},
          Case{16, 0xFFFF, 0x0FFF}, Case{16, 0x1230, 0x0123}, Case{8, 0x01, 0x0010}}) {
        kit = ScriptedKit{};
        kit.bits_per_pixel = c.bits;
        openAndStart();
        for (uint64_t stamp : {1, 2, 3, 4})
            kit.addImage(stamp, c.delivered);
        cache.assign(cache.size(), 0xBEEF);
        ASSERT_EQ(sensor->getFrame(cacheBytes(), &timestamp), QuorvanSuccess);
        for (uint16_t sample : cache)
            ASSERT_EQ(sample, c.expected) << int(c.bits) << " bits, " << c.delivered;
    }
}

TEST_F(UsbSensorTest, RangeWritesOneOfTwoRegisterSets) {
    openAndStart();
    EXPECT_EQ(sensor->setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    using Writes = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(kit.registers,
              (Writes{{0x216c, 0x08}, {0x2179, 0x0a}, {0x217a, 0x0e}, {0x217b, 0x12}}));
    for (int range : {4000, 3000, 0}) {
        kit.registers.clear();
        EXPECT_EQ(sensor->setControl(CameraCtrl::RANGE, range), QuorvanSuccess);
        EXPECT_EQ(kit.registers,
                  (Writes{{0x216c, 0x10}, {0x2179, 0x0e}, {0x217a, 0x16}, {0x217b, 0x1e}}));
    }
    kit.registers.clear();
    EXPECT_EQ(sensor->setControl(CameraCtrl::FRAME_RATE, 10), QuorvanInvalidParameter);
    EXPECT_EQ(sensor->setControl(CameraCtrl::FMT_WIDTH, 640), QuorvanInvalidParameter);
    EXPECT_TRUE(kit.registers.empty());
}

TEST_F(UsbSensorTest, EveryControlReadIsNotImplementedAndLeavesTheValue) {
    openAndStart();
    for (CameraCtrl control : {CameraCtrl::RANGE, CameraCtrl::FMT_WIDTH, CameraCtrl::EXPOSURE,
                               CameraCtrl::FRAME_RATE, CameraCtrl::CONFIG_DIR_EXT}) {
        int value = -12345;
        EXPECT_EQ(sensor->getControl(control, &value), QuorvanNotImplemented);
        EXPECT_EQ(value, -12345);
    }
}

TEST_F(UsbSensorTest, DestroyingAnOpenSensorReleasesTheKit) {
    openAndStart();
    kit.calls.clear();
    sensor.reset();
    EXPECT_EQ(kit.calls, (std::vector<std::string>{"stopCamera", "closeCamera"}));

    {
        QuorvanTOFUSBSensor closed("", 0, kit);
        ASSERT_EQ(closed.open(camera), QuorvanSuccess);
        closed.close();
        kit.calls.clear();
    }
    EXPECT_TRUE(kit.calls.empty());
}

}  // namespace
}  // namespace Quorvan

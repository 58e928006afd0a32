// The 640x480 device on its own: control table, sensor sizes, raw copy,
// start sequence with its files and calibration, and close.
#include "device/vga_device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "device/default_config_files.h"
#include "support/plane_descriptors.h"
#include "vga/counting_kernel.h"
#include "vga/fake_vga_sensor.h"
#include "vga/scoped_working_directory.h"
#include "vga/vga_capture_helpers.h"

namespace Quorvan {
namespace {

using testing_support::CountingKernel;
using testing_support::FakeVgaSensor;
using testing_support::ScopedWorkingDirectory;
namespace fs = std::filesystem;

int control(QuorvanDevice& device, CameraCtrl id, int* status = nullptr) {
    int value = -12345;
    const int result = device.getControl(id, &value);
    if (status != nullptr) {
        *status = result;
    }
    return value;
}

// A set the device refuses leaves the control as it was.
void expectRefusedAndUnchanged(QuorvanDevice& device, CameraCtrl id, int value) {
    const int before = control(device, id);
    EXPECT_EQ(device.setControl(id, value), QuorvanInvalidParameter) << value;
    EXPECT_EQ(control(device, id), before) << value;
}

class VgaDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(device.open(&sensor), QuorvanSuccess); }

    FakeVgaSensor sensor{640, 2405, true};
    QuorvanDeviceVGA device{0, 640, 480};
};

TEST_F(VgaDeviceTest, ModeDecidesRangeAndRowsAndRangeCannotBeSet) {
    EXPECT_EQ(device.getDeviceType(), VGA);
    EXPECT_EQ(control(device, CameraCtrl::MODE), 0);
    EXPECT_EQ(control(device, CameraCtrl::RANGE), 1250);
    expectRefusedAndUnchanged(device, CameraCtrl::RANGE, 2000);
    expectRefusedAndUnchanged(device, CameraCtrl::RANGE, 4500);

    EXPECT_EQ(device.setControl(CameraCtrl::MODE, 1), QuorvanSuccess);
    EXPECT_EQ(control(device, CameraCtrl::MODE), 1);
    EXPECT_EQ(control(device, CameraCtrl::RANGE), 4500);
    expectRefusedAndUnchanged(device, CameraCtrl::MODE, 2);

    EXPECT_EQ(device.configureSensor(), QuorvanSuccess);
    ASSERT_EQ(sensor.set_calls.size(), 2u);
    EXPECT_EQ(sensor.set_calls[0], std::make_pair(CameraCtrl::FMT_WIDTH, 640));
    EXPECT_EQ(sensor.set_calls[1], std::make_pair(CameraCtrl::FMT_HEIGHT, 4810));

    ASSERT_EQ(device.setControl(CameraCtrl::FMT_WIDTH, 320), QuorvanSuccess);
    ASSERT_EQ(device.setControl(CameraCtrl::FMT_HEIGHT, 240), QuorvanSuccess);
    EXPECT_EQ(device.configureSensor(), QuorvanSuccess);
    EXPECT_EQ(sensor.set_calls[3], std::make_pair(CameraCtrl::FMT_HEIGHT, 2410));
    ASSERT_EQ(device.setControl(CameraCtrl::MODE, 0), QuorvanSuccess);
    EXPECT_EQ(device.configureSensor(), QuorvanSuccess);
    EXPECT_EQ(sensor.set_calls[5], std::make_pair(CameraCtrl::FMT_HEIGHT, 1205));
}

TEST_F(VgaDeviceTest, SizesAcceptOnlyTheTwoOutputs) {
    EXPECT_EQ(control(device, CameraCtrl::FMT_WIDTH), 640);
    EXPECT_EQ(control(device, CameraCtrl::FMT_HEIGHT), 480);
    expectRefusedAndUnchanged(device, CameraCtrl::FMT_WIDTH, 800);
    expectRefusedAndUnchanged(device, CameraCtrl::FMT_HEIGHT, 600);
    EXPECT_EQ(device.setControl(CameraCtrl::FMT_WIDTH, 320), QuorvanSuccess);
    EXPECT_EQ(control(device, CameraCtrl::FMT_WIDTH), 320);
}

TEST_F(VgaDeviceTest, OtherControlsAreRefusedOrForwarded) {
    int status = 0;
    EXPECT_EQ(device.setControl(CameraCtrl::FRAME_MODE, 1), QuorvanNotImplemented);
    control(device, CameraCtrl::FRAME_MODE, &status);
    EXPECT_EQ(status, QuorvanNotImplemented);
    EXPECT_EQ(device.setControl(CameraCtrl::EXPOSURE, 100), QuorvanInvalidParameter);
    EXPECT_EQ(control(device, CameraCtrl::EXPOSURE, &status), 777);
    EXPECT_EQ(status, QuorvanSuccess);
    EXPECT_EQ(device.setControl(CameraCtrl::SKIP_FRAME, 1), QuorvanInvalidParameter);
    control(device, CameraCtrl::AUTO_FRAME_RATE, &status);
    EXPECT_EQ(status, QuorvanNotImplemented);  // the sensor's answer
    // Only the frame rate reaches the sensor through setControl.
    for (const auto& call : sensor.set_calls) {
        EXPECT_EQ(call.first, CameraCtrl::FRAME_RATE);
    }

    QuorvanDeviceVGA unbound(0, 640, 480);
    EXPECT_EQ(unbound.open(nullptr), QuorvanInvalidParameter);
}

TEST_F(VgaDeviceTest, DefaultFrameRatesUntilTheSensorAcceptsOne) {
    int status = 0;
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE), 41);
    device.setControl(CameraCtrl::MODE, 1);
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE), 23);
    device.setControl(CameraCtrl::FMT_WIDTH, 320);
    control(device, CameraCtrl::FRAME_RATE, &status);
    EXPECT_EQ(status, QuorvanInvalidParameter);  // 320 x 480 has no known rate
    device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE), 36);
    device.setControl(CameraCtrl::MODE, 0);
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE), 61);

    // A refused rate passes the sensor's status through and changes nothing.
    sensor.max_frame_rate = 20;
    EXPECT_EQ(device.setControl(CameraCtrl::FRAME_RATE, 30), QuorvanInvalidParameter);
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE), 61);
    // From an accepted rate on, the sensor answers.
    EXPECT_EQ(device.setControl(CameraCtrl::FRAME_RATE, 17), QuorvanSuccess);
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE, &status), 17);
    EXPECT_EQ(status, QuorvanSuccess);
    device.setControl(CameraCtrl::FMT_HEIGHT, 480);
    EXPECT_EQ(control(device, CameraCtrl::FRAME_RATE), 17);
}

TEST_F(VgaDeviceTest, ConfigurationDirectoryRoundTrip) {
    const char* text = nullptr;
    ASSERT_EQ(device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvanSuccess);
    EXPECT_STREQ(text, "");
    std::string directory = "/opt/sensor config/ä";
    ASSERT_EQ(device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, directory.c_str()), QuorvanSuccess);
    directory.assign("changed by the caller");  // the device keeps its own copy
    ASSERT_EQ(device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), QuorvanSuccess);
    EXPECT_STREQ(text, "/opt/sensor config/ä");
    EXPECT_EQ(device.setControlExt(CameraCtrl::RANGE, "x"), QuorvanInvalidParameter);
    EXPECT_EQ(device.getControlExt(CameraCtrl::MODE, &text), QuorvanInvalidParameter);
    EXPECT_STREQ(text, "/opt/sensor config/ä");
}

TEST_F(VgaDeviceTest, FrameFormatsFollowSizeAndMode) {
    PlaneDescriptor raw{0, 0, 0};
    PlaneDescriptor depth{99, 0, 0};
    device.getFrameFormats(raw, depth);
    EXPECT_TRUE(testing_support::planeIs(raw, 2, 640, 2405));
    EXPECT_TRUE(testing_support::planeIs(depth, 99, 640, 480));  // the kind is left alone
    device.setControl(CameraCtrl::MODE, 1);
    device.setControl(CameraCtrl::FMT_WIDTH, 320);
    device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    ::testing::internal::CaptureStderr();  // the sensor still holds 640 x 2405
    device.getFrameFormats(raw, depth);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(raw.width, 320);
    EXPECT_EQ(raw.height, 2410);
    EXPECT_EQ(depth.height, 240);
}

TEST_F(VgaDeviceTest, RawFramesAreTheCacheUnchanged) {
    PlaneDescriptor raw{}, depth{};
    device.getFrameFormats(raw, depth);
    std::vector<uint8_t> cache(2 * 640 * 2405);
    for (size_t i = 0; i < cache.size(); ++i) {
        cache[i] = static_cast<uint8_t>(i * 7 + i / 640);
    }
    std::vector<int16_t> plane(640 * 2405, 0);
    ASSERT_TRUE(device.getRawImages(cache.data(), plane.data()));
    EXPECT_EQ(std::memcmp(plane.data(), cache.data(), cache.size()), 0);
}

TEST(VgaDeviceSensorSize, FixedSensorCaptureSetsTheSizeAndMode) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    struct Case {
        uint32_t width, rows;
        int32_t expected_width, expected_height, expected_mode;
    };
    // Like the USB kit: the size request is refused and the kit's capture stays.
    for (const Case& c : {Case{640, 4810, 640, 480, 1}, Case{640, 2405, 640, 480, 0},
                          Case{320, 1205, 320, 240, 0}, Case{320, 2410, 320, 240, 1}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.rows));
        FakeVgaSensor sensor(c.width, c.rows, false);
        QuorvanDeviceVGA device(0, 640, 480);
        ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
        ASSERT_EQ(device.configureSensor(), QuorvanSuccess);
        EXPECT_EQ(control(device, CameraCtrl::FMT_WIDTH), c.expected_width);
        EXPECT_EQ(control(device, CameraCtrl::FMT_HEIGHT), c.expected_height);
        EXPECT_EQ(control(device, CameraCtrl::MODE), c.expected_mode);
        ASSERT_EQ(device.startProcessing(), QuorvanSuccess);
        PlaneDescriptor raw{}, depth{};
        device.getFrameFormats(raw, depth);
        EXPECT_EQ(raw.width, static_cast<int32_t>(c.width));
        EXPECT_EQ(raw.height, static_cast<int32_t>(c.rows));
        EXPECT_EQ(depth.width, c.expected_width);
        EXPECT_EQ(depth.height, c.expected_height);
        device.close();
    }
}

TEST(VgaDeviceSensorSize, CaptureFittingNoLayoutFailsWithOneMessage) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    FakeVgaSensor sensor(320, 1000, false);
    QuorvanDeviceVGA device(0, 640, 480);
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(device.configureSensor(), QuorvanUnkownError);
    std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
    EXPECT_NE(messages.find("320x1000"), std::string::npos) << messages;

    // A caller that streams all the same gets no frame, and no read past the
    // sensor's cache: one that size exactly trips ASan on any overrun.
    ASSERT_EQ(device.startProcessing(), QuorvanSuccess);
    PlaneDescriptor raw{}, depth{};
    ::testing::internal::CaptureStderr();
    device.getFrameFormats(raw, depth);
    const size_t cache_bytes = 2u * 320 * 1000;
    auto cache = std::make_unique<uint8_t[]>(cache_bytes);
    std::memset(cache.get(), 0x11, cache_bytes);
    std::vector<int16_t> raw_plane(640 * 2405, 5);
    std::vector<float> planes(3 * 640 * 480, -1.0f);
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_FALSE(device.getRawImages(cache.get(), raw_plane.data()));
        EXPECT_FALSE(device.getPhaseImage(cache.get(), planes.data(), planes.data() + 307200,
                                          planes.data() + 2 * 307200));
    }
    messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
    EXPECT_NE(messages.find("320x1000"), std::string::npos) << messages;
    EXPECT_EQ(raw_plane[0], 5);
    EXPECT_EQ(planes[0], -1.0f);
}

TEST(VgaDeviceSensorSize, ModeChangedWhileStreamingRefusesDepthUntilRestart) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    FakeVgaSensor sensor(640, 4810, false);  // holds a double-mode capture
    QuorvanDeviceVGA device(0, 640, 480);
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    ASSERT_EQ(device.startProcessing(), QuorvanSuccess);  // started in single mode
    PlaneDescriptor raw{}, depth{};
    device.getFrameFormats(raw, depth);
    // A single-mode capture in the double-sized cache: decodable until the
    // mode changes, then refused by the device although the library (still
    // latched to single mode) would decode it.
    emulation::CaptureSettings settings;
    settings.signal_gain = 400.0;
    std::vector<uint16_t> cache =
        testing_support::renderCapture("wall", {{"distance_mm", 900.0}}, true, 640, 480, settings)
            .raw;
    cache.resize(640 * 4810);
    const auto* cache_bytes = reinterpret_cast<const uint8_t*>(cache.data());
    std::vector<float> planes(3 * 640 * 480);
    EXPECT_TRUE(device.getPhaseImage(cache_bytes, planes.data(), planes.data() + 307200,
                                     planes.data() + 2 * 307200));

    device.setControl(CameraCtrl::MODE, 1);
    ::testing::internal::CaptureStderr();
    device.getFrameFormats(raw, depth);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("mode changed"), std::string::npos);
    EXPECT_FALSE(device.getPhaseImage(cache_bytes, planes.data(), planes.data() + 307200,
                                      planes.data() + 2 * 307200));
    const testing_support::RenderedCapture capture =
        testing_support::renderCapture("wall", {{"distance_mm", 2600.0}}, false);
    ASSERT_EQ(device.startProcessing(), QuorvanSuccess);
    device.getFrameFormats(raw, depth);
    ASSERT_TRUE(device.getPhaseImage(reinterpret_cast<const uint8_t*>(capture.raw.data()),
                                     planes.data(), planes.data() + 307200,
                                     planes.data() + 2 * 307200));
    EXPECT_NEAR(planes[240 * 640 + 320], capture.truth.distance_mm[240 * 640 + 320], 26.0f);
}

std::string readFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(VgaDeviceStart, WritesExactFilesAndRestoresEditedOnes) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    FakeVgaSensor sensor(640, 2405, true);
    QuorvanDeviceVGA device(0, 640, 480);
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    ASSERT_EQ(device.startProcessing(), QuorvanSuccess);
    for (const DefaultConfigText& text : kDefaultConfigTexts) {
        EXPECT_EQ(readFile(text.file_name),
                  std::string(reinterpret_cast<const char*>(text.bytes), text.size));
    }
    std::ofstream("ConfigCamera.json", std::ios::trunc) << "[VideoInfo]\nsensorType=edited\n";
    ASSERT_EQ(device.startProcessing(), QuorvanSuccess);
    EXPECT_EQ(readFile("ConfigCamera.json").size(), 9476u);
}

TEST(VgaDeviceStart, UnwritableDirectoryFailsBeforeTheLibraryAndCreatesNothing) {
    FakeVgaSensor sensor(640, 2405, true);
    QuorvanDeviceVGA device(0, 640, 480);
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    fs::path read_only = directory.path();
    if (::geteuid() == 0) {
        // Root writes into mode 0555 directories; sysfs takes no new regular
        // file from anyone.
        read_only = "/sys";
        if (!fs::is_directory(read_only)) {
            GTEST_SKIP() << "no sysfs mounted to stand for a read-only directory";
        }
    } else {
        ASSERT_EQ(::chmod(read_only.c_str(), 0555), 0);
    }
    const auto before = std::distance(fs::directory_iterator(read_only), fs::directory_iterator());
    fs::current_path(read_only);
    EXPECT_EQ(device.startProcessing(), QuorvanUnkownError);
    const auto after = std::distance(fs::directory_iterator(read_only), fs::directory_iterator());
    fs::current_path(directory.path());
    EXPECT_EQ(after, before);
    EXPECT_FALSE(fs::exists(read_only / "ConfigAlgorithm.json"));
    // The library was not touched: a start in a writable place still works.
    EXPECT_EQ(device.startProcessing(), QuorvanSuccess);
}

TEST(VgaDeviceStart, DirectoryNamedLikeTheCameraFileFailsAfterTheFirstFile) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    fs::create_directory("ConfigCamera.json");
    FakeVgaSensor sensor(640, 2405, true);
    QuorvanDeviceVGA device(0, 640, 480);
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    EXPECT_EQ(device.startProcessing(), QuorvanUnkownError);
    EXPECT_EQ(fs::file_size("ConfigAlgorithm.json"), 273u);
    EXPECT_FALSE(fs::exists("register.json"));
}

TEST(VgaDeviceStart, CalibrationMappingLivesWithTheHandleAndNeverLeaks) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    std::ofstream("cali.bin", std::ios::binary) << std::string(64, '\0');
    CountingKernel kernel;
    FakeVgaSensor sensor(640, 2405, true);
    auto device = std::make_unique<QuorvanDeviceVGA>(0, 640, 480, kernel);
    ASSERT_EQ(device->open(&sensor), QuorvanSuccess);
    ::testing::internal::CaptureStderr();  // the library rejects these bytes
    for (int start = 0; start < 3; ++start) {
        ASSERT_EQ(device->startProcessing(), QuorvanSuccess);
        EXPECT_EQ(kernel.open_descriptors, 1);
        EXPECT_EQ(kernel.live_mappings, 1);
        EXPECT_EQ(device->stop(), QuorvanSuccess);
        EXPECT_EQ(kernel.live_mappings, 1);  // stop leaves the library alone
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(device->close(), QuorvanSuccess);
    EXPECT_EQ(kernel.open_descriptors, 0);
    EXPECT_EQ(kernel.live_mappings, 0);

    // An empty file is closed again; a missing one opens nothing.
    ASSERT_EQ(device->open(&sensor), QuorvanSuccess);
    std::ofstream("cali.bin", std::ios::trunc).close();
    ASSERT_EQ(device->startProcessing(), QuorvanSuccess);
    EXPECT_EQ(kernel.open_descriptors, 0);
    fs::remove("cali.bin");
    ASSERT_EQ(device->startProcessing(), QuorvanSuccess);
    EXPECT_EQ(kernel.open_descriptors, 0);

    // Destroying a device that was never closed still releases everything.
    std::ofstream("cali.bin", std::ios::binary) << std::string(64, '\0');
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(device->startProcessing(), QuorvanSuccess);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(kernel.live_mappings, 1);
    device.reset();
    EXPECT_EQ(kernel.open_descriptors, 0);
    EXPECT_EQ(kernel.live_mappings, 0);
}

TEST(VgaDeviceStart, FailedInitDestroysTheHandleAndCloseStillWorks) {
    ScopedWorkingDirectory directory;
    ASSERT_TRUE(directory.ready());
    FakeVgaSensor sensor(640, 2405, true);
    QuorvanDeviceVGA device(0, 0, 0);  // a size the library cannot initialise
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    EXPECT_EQ(device.startProcessing(), QuorvanUnkownError);
    EXPECT_EQ(device.startProcessing(), QuorvanUnkownError);
    EXPECT_EQ(device.close(), QuorvanSuccess);
}

TEST(VgaDeviceClose, TakesAtLeastHalfASecond) {
    FakeVgaSensor sensor(640, 2405, true);
    QuorvanDeviceVGA device(0, 640, 480);
    ASSERT_EQ(device.open(&sensor), QuorvanSuccess);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(device.close(), QuorvanSuccess);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_EQ(device.close(), QuorvanSuccess);  // a second close finds no handle
}

}  // namespace
}  // namespace Quorvan

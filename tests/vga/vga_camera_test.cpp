// The 640x480 device behind a real camera: frame-rate bounds, raw frames and
// depth through requestFrame, with a scripted sensor and with the emulated
// USB kit. These tests start the camera's capture thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_backend_factory.h"
#include "quorvan/camera.h"
#include "support/test_deadlines.h"
#include "vga/fake_vga_sensor.h"
#include "vga/scoped_working_directory.h"
#include "vga/vga_capture_helpers.h"

namespace Quorvan {
namespace {

using testing_support::DepthAccuracy;
using testing_support::FakeVgaSensor;
using testing_support::measureAccuracy;
using testing_support::ScopedWorkingDirectory;

const int16_t kFrameTimeoutMs = testing_support::frameDeadlineMs(3000);

// Hands the camera one FakeVgaSensor (as its USB sensor) and the library's
// 640x480 device. Outlives the camera it is given to.
struct VgaKit {
    VgaKit(uint32_t width, uint32_t height) {
        factory->make_usb_sensor = [this, width, height](const char*, uint32_t) {
            auto created = std::make_unique<FakeVgaSensor>(width, height, true);
            sensor = created.get();
            return created;
        };
        factory->useLibraryDevices();
    }
    VgaKit(const VgaKit&) = delete;
    VgaKit& operator=(const VgaKit&) = delete;

    std::shared_ptr<fakes::FakeBackendFactory> factory =
        std::make_shared<fakes::FakeBackendFactory>();
    FakeVgaSensor* sensor = nullptr;  // owned by the camera
};

// Releases the frame, then stops and closes the camera; each must succeed.
void finishStream(QuorvanTOFCamera& camera, QuorvanFrameBuffer* frame) {
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

// A camera opened on a VgaKit with the 640 x 2405 single-mode capture, in a
// scratch working directory for whatever the device writes.
class VgaCamera : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(directory.ready());
        ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    }

    // Scripts a whole capture of distinct 12-bit words, `step` apart.
    void scriptCapture(size_t step) {
        kit.sensor->capture.resize(640 * 2405);
        for (size_t i = 0; i < kit.sensor->capture.size(); ++i)
            kit.sensor->capture[i] = static_cast<uint16_t>((i * step) & 0xFFF);
    }

    // True when the frame's raw plane is the scripted capture, word for word.
    bool carriesTheCapture(QuorvanFrameBuffer& frame) const {
        const std::vector<uint16_t>& capture = kit.sensor->capture;
        return std::memcmp(frame.getData(FrameType::RAW), capture.data(), capture.size() * 2) == 0;
    }

    ScopedWorkingDirectory directory;
    VgaKit kit{640, 2405};
    QuorvanTOFCamera camera{kit.factory};
};

TEST_F(VgaCamera, FrameRateBoundFollowsTheDevice) {
    EXPECT_EQ(camera.getCameraInfo().device_type, VGA);
    int32_t value = 0;
    ASSERT_EQ(camera.getControl(CameraCtrl::FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 41);
    EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 42), QuorvanInvalidParameter);

    // 320 wide but 480 high: no rate is known, so every rate is refused.
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), QuorvanSuccess);
    for (int32_t rate : {1, 10, 36, 41, 61, 100}) {
        EXPECT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, rate), QuorvanInvalidParameter) << rate;
    }
    EXPECT_EQ(kit.sensor->frame_rate.load(), 0);  // nothing reached the sensor

    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), QuorvanSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::FRAME_RATE, 30), QuorvanSuccess);
    ASSERT_EQ(camera.getControl(CameraCtrl::FRAME_RATE, &value), QuorvanSuccess);
    EXPECT_EQ(value, 30);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(VgaCamera, RawFramesCarryTheWholeCapture) {
    scriptCapture(13);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(kFrameTimeoutMs);
    ASSERT_NE(frame, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(frame->getFormat(FrameType::RAW, format), QuorvanSuccess);
    EXPECT_EQ(format.width, 640u);
    EXPECT_EQ(format.height, 2405u);
    EXPECT_TRUE(carriesTheCapture(*frame));
    finishStream(camera, frame);
}

TEST_F(VgaCamera, SizeAndModeChangesWhileStreamingKeepTheSizeInForce) {
    scriptCapture(29);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    // The cache and planes were sized for 640 x 2405 at start; changes made
    // now take effect at the next start and must not reach the frames.
    for (int turn = 0; turn < 8; ++turn) {
        EXPECT_EQ(camera.setControl(CameraCtrl::MODE, turn % 2), QuorvanSuccess);
        // Odd turns ask for 640 x 4810 (more than the cache), even turns for
        // 320 x 1205 (a different row length).
        EXPECT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, turn % 2 ? 640 : 320), QuorvanSuccess);
        EXPECT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, turn % 2 ? 480 : 240), QuorvanSuccess);
        int32_t range = 0;
        EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &range), QuorvanSuccess);
        EXPECT_EQ(range, turn % 2 ? 4500 : 1250);
        QuorvanFrameBuffer* frame = camera.requestFrame(kFrameTimeoutMs);
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(carriesTheCapture(*frame));
        EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    }
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

// Streams depth and returns the accuracy of the first frame against `truth`.
DepthAccuracy streamDepth(QuorvanTOFCamera& camera, const emulation::GroundTruth& truth,
                          float range_mm, float min_amplitude) {
    DepthAccuracy accuracy;
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(kFrameTimeoutMs);
    EXPECT_NE(frame, nullptr);
    if (frame != nullptr) {
        FrameDataFormat format{};
        EXPECT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvanSuccess);
        EXPECT_EQ(format.width, static_cast<uint32_t>(truth.width));
        EXPECT_EQ(format.height, static_cast<uint32_t>(truth.height));
        const size_t pixels = truth.distance_mm.size();
        const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
        const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
        accuracy = measureAccuracy(std::vector<float>(depth, depth + pixels),
                                   std::vector<float>(amplitude, amplitude + pixels), truth,
                                   range_mm, min_amplitude);
        std::printf("depth vs truth: %zu pixels compared, %zu invalid, p99 %.2f mm, max %.2f mm\n",
                    accuracy.compared, accuracy.invalid, accuracy.p99_error_mm,
                    accuracy.max_error_mm);
        EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    }
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    return accuracy;
}

TEST_F(VgaCamera, DoubleModeDepthFromAScriptedSensor) {
    ASSERT_EQ(camera.setControl(CameraCtrl::MODE, 1), QuorvanSuccess);
    const testing_support::RenderedCapture capture =
        testing_support::renderCapture("default", {}, false);
    kit.sensor->capture = capture.raw;
    const DepthAccuracy accuracy = streamDepth(camera, capture.truth, 4500.0f, 20.0f);
    EXPECT_EQ(kit.sensor->format.height, 4810u);  // asked for by configureSensor
    EXPECT_GT(accuracy.compared, 200000u);
    EXPECT_LT(accuracy.p99_error_mm, 10.0f);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

// The shipped example kit configuration `file`.
std::string exampleConfig(const char* file) {
    return std::string(QUORVAN_KIT_CONFIG_DIR) + "/" + file;
}

float centreDepth(QuorvanFrameBuffer& frame, int32_t width, int32_t height) {
    const auto* depth = static_cast<const float*>(frame.getData(FrameType::DEPTH));
    return depth[(height / 2) * width + width / 2];
}

void expectControl(QuorvanTOFCamera& camera, CameraCtrl control, int32_t expected) {
    int32_t value = 0;
    EXPECT_EQ(camera.getControl(control, &value), QuorvanSuccess);
    EXPECT_EQ(value, expected) << "control " << static_cast<int>(control);
}

std::string writeKitConfig(const std::string& name, const std::string& text) {
    std::ofstream(name) << text;
    return (std::filesystem::current_path() / name).string();
}

// The emulated kit behind a plain camera, in a scratch working directory
// for the configurations a test writes and whatever the device writes.
class VgaEmulatedKit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory.ready()); }

    ScopedWorkingDirectory directory;
};

TEST_F(VgaEmulatedKit, SingleModeDepthMatchesTheScene) {
    // A tilted wall whose distances sweep most of the single-mode range.
    const std::string path = writeKitConfig(
        "kit.cfg",
        "geometry = 640x2405\nframe_rate = 20\nscene = wall\nscene.distance_mm = 700\n"
        "scene.tilt_deg = 30\nscene.reflectivity = 0.3\nsignal_gain = 400\nnoise = off\n");
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(path.c_str(), 0), QuorvanSuccess);
    EXPECT_EQ(camera.getCameraInfo().device_type, VGA);
    const emulation::GroundTruth truth = emulation::renderSceneView(
        "wall", {{"distance_mm", 700.0}, {"tilt_deg", 30.0}, {"reflectivity", 0.3}}, 640, 480);
    const DepthAccuracy accuracy = streamDepth(camera, truth, 1250.0f, 20.0f);
    EXPECT_GT(accuracy.compared, 200000u);
    EXPECT_EQ(accuracy.invalid, 0u);
    EXPECT_LT(accuracy.p99_error_mm, 5.0f);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(VgaEmulatedKit, DoubleModeDepthWithShotNoise) {
    const std::string path = writeKitConfig(
        "kit.cfg", "geometry = 640x4810\nframe_rate = 10\nscene = default\nnoise = on\nseed = 3\n");
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(path.c_str(), 0), QuorvanSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::MODE, 1), QuorvanSuccess);
    const emulation::GroundTruth truth = emulation::renderSceneView("default", {}, 640, 480);
    const DepthAccuracy accuracy = streamDepth(camera, truth, 4500.0f, 40.0f);
    EXPECT_GT(accuracy.compared, 150000u);
    EXPECT_LT(accuracy.p99_error_mm, 40.0f);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

// The shipped 640x480-sensor example configurations and what each streams.
struct ShippedExample {
    const char* file;
    int32_t mode, width, height, range;
    float centre_mm;  // what the example's scene shows in the middle; 0: some depth
};
constexpr ShippedExample kShippedExamples[] = {
    {"vga640_single.cfg", 0, 640, 480, 1250, 800.0f},
    {"vga640_double.cfg", 1, 640, 480, 4500, 0.0f},
    {"vga320_single.cfg", 0, 320, 240, 1250, 1000.0f},
};

TEST_F(VgaEmulatedKit, ExampleConfigurationsStreamDepth) {
    for (const ShippedExample& example : kShippedExamples) {
        SCOPED_TRACE(example.file);
        QuorvanTOFCamera camera;
        ASSERT_EQ(camera.openWithFile(exampleConfig(example.file).c_str(), 0), QuorvanSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::MODE, example.mode), QuorvanSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, example.width), QuorvanSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, example.height), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        QuorvanFrameBuffer* frame = camera.requestFrame(kFrameTimeoutMs);
        ASSERT_NE(frame, nullptr);
        const float centre = centreDepth(*frame, example.width, example.height);
        if (example.centre_mm > 0.0f) {
            EXPECT_NEAR(centre, example.centre_mm, 0.02f * example.centre_mm);
        } else {
            EXPECT_GT(centre, 0.0f);
        }
        finishStream(camera, frame);
    }
}

TEST_F(VgaEmulatedKit, ShippedExamplesStreamWithAPlainOpenAndStart) {
    // The kit keeps the layout its configuration describes; the camera
    // streams in that size and frequency mode without being told.
    for (const ShippedExample& example : kShippedExamples) {
        SCOPED_TRACE(example.file);
        QuorvanTOFCamera camera;
        ASSERT_EQ(camera.openWithFile(exampleConfig(example.file).c_str(), 0), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        QuorvanFrameBuffer* frame = camera.requestFrame(kFrameTimeoutMs);
        ASSERT_NE(frame, nullptr);
        expectControl(camera, CameraCtrl::MODE, example.mode);
        expectControl(camera, CameraCtrl::FMT_WIDTH, example.width);
        expectControl(camera, CameraCtrl::FMT_HEIGHT, example.height);
        expectControl(camera, CameraCtrl::RANGE, example.range);
        EXPECT_GT(centreDepth(*frame, example.width, example.height), 0.0f);
        finishStream(camera, frame);
    }
}

TEST_F(VgaEmulatedKit, ModeSetAgainstTheKitsCaptureIsTakenBackAtStart) {
    const std::string path =
        writeKitConfig("kit.cfg", "geometry = 640x4810\nframe_rate = 20\nnoise = off\n");
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(path.c_str(), 0), QuorvanSuccess);
    // A mode the kit's capture cannot hold is taken back at start.
    ASSERT_EQ(camera.setControl(CameraCtrl::MODE, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_NE(camera.requestFrame(kFrameTimeoutMs), nullptr);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

}  // namespace
}  // namespace Quorvan

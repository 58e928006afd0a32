#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "device/hqvga_device.h"
#include "fakes/call_log.h"
#include "fakes/fake_backend_factory.h"
#include "host/host_platform.h"
#include "hqvga/hqvga_test_support.h"
#include "quorvan/camera.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using hqvga_test::kPixels;
using hqvga_test::uniformCapture;

constexpr float kDepthAt4000 = 1409.6655f;
constexpr float kDepthAt2000 = 204.83275f;

TEST(HQVGARangeRace, EveryFrameUsesOneConsistentRangeAndFrequency) {
    QuorvanDeviceHQVGA device(0, 37500000.0f, 4000, 0);
    const std::vector<uint8_t> cache = uniformCapture({100, 200, 300, 50});
    std::vector<float> depth(kPixels), amplitude(kPixels), confidence(kPixels);
    std::atomic<bool> running{true};
    std::thread toggler([&] {
        for (int turn = 0; running; ++turn) {
            device.setControl(CameraCtrl::RANGE, turn % 2 ? 2000 : 4000);
        }
    });
    int mixed = 0;
    int frames_at[2] = {0, 0};  // 4000, 2000
    for (int frame = 0; frame < 20000 && (frames_at[0] < 50 || frames_at[1] < 50); ++frame) {
        ASSERT_TRUE(
            device.getPhaseImage(cache.data(), depth.data(), amplitude.data(), confidence.data()));
        const float first = depth[0];
        if (first == kDepthAt4000) {
            ++frames_at[0];
        } else if (first == kDepthAt2000) {
            ++frames_at[1];
        } else {
            ++mixed;
        }
        if (depth[kPixels - 1] != first)
            ++mixed;
    }
    running = false;
    toggler.join();
    EXPECT_EQ(mixed, 0);
    // Both settings really reached the computation while it ran.
    EXPECT_GT(frames_at[0], 0);
    EXPECT_GT(frames_at[1], 0);
}

// Delivers the same four phase images every few milliseconds.
class PhaseSensor final : public QuorvanTOFSensor {
public:
    explicit PhaseSensor(std::shared_ptr<fakes::CallLog> log)
        : log(std::move(log)), capture(uniformCapture({100, 200, 300, 50})) {}

    int open(QuorvanTOFCamera& camera) override {
        camera.reportSensorSize(240, 180);
        camera.reportSampleFormat(12, 2);
        format = camera.getCameraInfo();
        return 0;
    }
    int close() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    CameraInfo getFormat() override { return format; }
    int getFrame(uint8_t* cache, uint64_t* timestamp) override {
        if (subframe_count != 4)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::memcpy(cache, capture.data(), capture.size());
        *timestamp = ++frames;
        return 0;
    }
    int setControl(CameraCtrl id, int value) override {
        log->record("sensor.setControl(" + std::to_string(static_cast<int>(id)) + "," +
                    std::to_string(value) + ")");
        return QuorvanInvalidParameter;  // the device must not care
    }
    int getControl(CameraCtrl, int*) override { return QuorvanNotImplemented; }

private:
    std::shared_ptr<fakes::CallLog> log;
    std::vector<uint8_t> capture;
    CameraInfo format{};
    uint64_t frames = 0;
};

// A factory whose USB sensor is a PhaseSensor, with the library's devices.
std::shared_ptr<fakes::FakeBackendFactory> phaseSensorFactory() {
    auto factory = std::make_shared<fakes::FakeBackendFactory>();
    factory->make_usb_sensor = [log = factory->log](const char*, uint32_t) {
        return std::make_unique<PhaseSensor>(log);
    };
    factory->useLibraryDevices();
    return factory;
}

float nextDepth(QuorvanTOFCamera& camera) {
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
    if (frame == nullptr)
        return -1.0f;
    const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
    const float value = depth[kPixels / 2];
    EXPECT_EQ(depth[0], value);
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    return value;
}

TEST(HQVGACamera, StreamsDepthAndFollowsRangeAcrossRestarts) {
    auto factory = phaseSensorFactory();
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_FLOAT_EQ(nextDepth(camera), kDepthAt4000);

    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
    EXPECT_TRUE(fakes::waitUntil([&] { return nextDepth(camera) == kDepthAt2000; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);

    // start re-applies the range, so the sensor hears it again.
    factory->log->clear();
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(factory->log->entries(), std::vector<std::string>{"sensor.setControl(0,2000)"});
    EXPECT_TRUE(fakes::waitUntil([&] { return nextDepth(camera) == kDepthAt2000; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);

    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
    ASSERT_NE(frame, nullptr);
    const int16_t* raw = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
    EXPECT_EQ(raw[0], 1600);
    EXPECT_EQ(raw[240], 3200);
    EXPECT_EQ(raw[2 * 240], 4800);
    EXPECT_EQ(raw[3 * 240], 800);
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

}  // namespace
}  // namespace Quorvan

// Raw frames of the noise-free emulated kit pushed through a camera on the
// playback backend: the depth must be the live camera's, bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulation/kit_test_support.h"
#include "quorvan/camera.h"
#include "quorvan/playback.h"

namespace Quorvan {
namespace {

using testing_support::TempConfigFile;

constexpr size_t kPixels = 240 * 180;
constexpr size_t kRawSamples = kPixels * 4;
constexpr int16_t kTimeoutMs = 3000;

struct DepthPlanes {
    std::vector<float> depth, amplitude, confidence;
    uint64_t timestamp = 0;
};

std::vector<float> copyPlane(QuorvanFrameBuffer* frame, FrameType type) {
    const auto* data = static_cast<const float*>(frame->getData(type));
    return std::vector<float>(data, data + kPixels);
}

bool nextDepth(QuorvanTOFCamera& camera, DepthPlanes& planes) {
    QuorvanFrameBuffer* frame = camera.requestFrame(kTimeoutMs);
    if (frame == nullptr)
        return false;
    planes.depth = copyPlane(frame, FrameType::DEPTH);
    planes.amplitude = copyPlane(frame, FrameType::AMPLITUDE);
    planes.confidence = copyPlane(frame, FrameType::CONFIDENCE);
    FrameDataFormat format{};
    frame->getFormat(FrameType::DEPTH, format);
    planes.timestamp = format.timestamp;
    camera.releaseFrame(frame);
    return true;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class PlaybackCamera : public testing::Test {
protected:
    void SetUp() override {
        QuorvanTOFCamera live;
        ASSERT_EQ(live.openWithFile(config.c_str(), 0), QuorvanSuccess);
        info = live.getCameraInfo();
        ASSERT_EQ(live.start(FrameType::RAW), QuorvanSuccess);
        QuorvanFrameBuffer* frame = live.requestFrame(kTimeoutMs);
        ASSERT_NE(frame, nullptr);
        const auto* samples = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
        raw.assign(samples, samples + kRawSamples);
        live.releaseFrame(frame);
        live.stop();
        ASSERT_EQ(live.start(FrameType::DEPTH), QuorvanSuccess);
        ASSERT_TRUE(nextDepth(live, live_depth));
        live.stop();
        live.close();
    }

    TempConfigFile config{"noise = off\n"};
    CameraInfo info{};
    std::vector<int16_t> raw;
    DepthPlanes live_depth;
};

TEST_F(PlaybackCamera, RecordedRawFramesGiveTheLiveDepthBitForBit) {
    auto playback = std::make_shared<PlaybackBackendFactory>(
        PlaybackFormat{info.width, info.height, info.bit_width, info.bpp});
    QuorvanTOFCamera camera(playback);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    EXPECT_EQ(camera.getCameraInfo().device_type, HQVGA);
    EXPECT_EQ(camera.open(Connection::CSI, 0), QuorvanSystemError) << "no CSI on playback";
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);

    std::vector<uint16_t> cache(kRawSamples);
    ASSERT_TRUE(rawPlaneToCache(HQVGA, raw.data(), raw.size(), cache.data(), cache.size()));
    for (uint64_t timestamp : {1000u, 1033u, 1066u}) {
        SCOPED_TRACE(timestamp);
        ASSERT_EQ(playback->feed().push(cache.data(), cache.size(), timestamp, kTimeoutMs),
                  QuorvanSuccess);
        DepthPlanes replayed;
        ASSERT_TRUE(nextDepth(camera, replayed));
        EXPECT_EQ(replayed.timestamp, timestamp);
        EXPECT_TRUE(sameBits(replayed.depth, live_depth.depth));
        EXPECT_TRUE(sameBits(replayed.amplitude, live_depth.amplitude));
        EXPECT_TRUE(sameBits(replayed.confidence, live_depth.confidence));
    }
    EXPECT_EQ(camera.requestFrame(200), nullptr) << "no push, no frame";
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(playback->feed().push(cache.data(), cache.size(), 1, 0), QuorvanUnkownError);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(PlaybackCamera, RawOutputRoundTripsThroughTheCache) {
    auto playback = std::make_shared<PlaybackBackendFactory>(
        PlaybackFormat{info.width, info.height, info.bit_width, info.bpp});
    QuorvanTOFCamera camera(playback);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    std::vector<uint16_t> cache(kRawSamples);
    ASSERT_TRUE(rawPlaneToCache(HQVGA, raw.data(), raw.size(), cache.data(), cache.size()));
    ASSERT_EQ(playback->feed().push(cache.data(), cache.size(), 5, kTimeoutMs), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(kTimeoutMs);
    ASSERT_NE(frame, nullptr);
    const auto* replayed = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
    EXPECT_EQ(std::memcmp(replayed, raw.data(), raw.size() * sizeof(int16_t)), 0);
    camera.releaseFrame(frame);
    camera.stop();
    camera.close();
}

TEST(PlaybackSensor, RefusesAnImpossibleRecordedFormat) {
    auto playback = std::make_shared<PlaybackBackendFactory>(PlaybackFormat{240, 180, 12, 3});
    QuorvanTOFCamera camera(playback);
    EXPECT_EQ(camera.open(Connection::USB, 0), QuorvanInvalidParameter);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
}

}  // namespace
}  // namespace Quorvan

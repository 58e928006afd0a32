// Raw frames of the emulated kit pushed through a camera on the playback
// backend: the depth must be the live camera's, bit for bit, frame by frame.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "emulation/kit_test_support.h"
#include "log/recorded_log.h"
#include "quorvan/camera.h"
#include "quorvan/playback.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using testing_support::TempConfigFile;

constexpr size_t kPixels = 240 * 180;
constexpr size_t kRawSamples = kPixels * 4;
const int16_t kTimeoutMs = testing_support::frameDeadlineMs(3000);

struct DepthPlanes {
    std::vector<float> depth, amplitude, confidence;
    uint64_t timestamp = 0;
    uint64_t sequence = 0;
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
    planes.sequence = frame->getSequence();
    camera.releaseFrame(frame);
    return true;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The kit's shot noise is a function of its seed and the capture's index, so
// two cameras opened on one configuration capture the same sequence of
// frames, each different from the one before; the kit delivers every frame
// (however late a slow machine is) and is paced, so the consumer sees each.
// One camera streams raw, the other depth; their frames pair up by sequence
// number, which is the kit's capture index. A playback that repeated a frame
// could not match.
class PlaybackCamera : public testing::Test {
protected:
    static constexpr size_t kFrames = 3;

    void SetUp() override {
        {
            QuorvanTOFCamera live;
            ASSERT_EQ(live.openWithFile(config.c_str(), 0), QuorvanSuccess);
            info = live.getCameraInfo();
            ASSERT_EQ(live.start(FrameType::RAW), QuorvanSuccess);
            while (raw.size() < kFrames) {
                QuorvanFrameBuffer* frame = live.requestFrame(kTimeoutMs);
                ASSERT_NE(frame, nullptr);
                const auto* samples = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
                raw.emplace_back(samples, samples + kRawSamples);
                raw_sequences.push_back(frame->getSequence());
                live.releaseFrame(frame);
            }
        }
        QuorvanTOFCamera live;
        ASSERT_EQ(live.openWithFile(config.c_str(), 0), QuorvanSuccess);
        ASSERT_EQ(live.start(FrameType::DEPTH), QuorvanSuccess);
        live_depth.resize(kFrames);
        for (size_t found = 0; found < kFrames;) {
            DepthPlanes planes;
            ASSERT_TRUE(nextDepth(live, planes));
            ASSERT_LE(planes.sequence, raw_sequences.back()) << "a raw frame's twin was lost";
            for (size_t i = 0; i < kFrames; ++i) {
                if (raw_sequences[i] == planes.sequence) {
                    live_depth[i] = planes;
                    ++found;
                }
            }
        }
        ASSERT_FALSE(sameBits(live_depth[0].depth, live_depth[1].depth))
            << "consecutive frames are identical: the reference cannot tell them apart";
    }

    TempConfigFile config{"frame_rate = 30\nskip_missed_frames = off\nnoise = on\n"};
    CameraInfo info{};
    std::vector<std::vector<int16_t>> raw;
    std::vector<uint64_t> raw_sequences;
    std::vector<DepthPlanes> live_depth;
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

    for (size_t i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        const uint64_t timestamp = 1000u + 33u * i;
        ASSERT_EQ(playback->pushRaw(raw[i].data(), raw[i].size(), timestamp, kTimeoutMs),
                  QuorvanSuccess);
        DepthPlanes replayed;
        ASSERT_TRUE(nextDepth(camera, replayed));
        EXPECT_EQ(replayed.timestamp, timestamp);
        EXPECT_TRUE(sameBits(replayed.depth, live_depth[i].depth));
        EXPECT_TRUE(sameBits(replayed.amplitude, live_depth[i].amplitude));
        EXPECT_TRUE(sameBits(replayed.confidence, live_depth[i].confidence));
    }
    EXPECT_EQ(camera.requestFrame(200), nullptr) << "no push, no frame";
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(playback->pushRaw(raw[0].data(), raw[0].size(), 1, 0), QuorvanUnkownError)
        << "no pushes while the camera does not stream";
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(PlaybackCamera, RawOutputRoundTripsThroughTheCache) {
    auto playback = std::make_shared<PlaybackBackendFactory>(
        PlaybackFormat{info.width, info.height, info.bit_width, info.bpp});
    QuorvanTOFCamera camera(playback);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    EXPECT_EQ(playback->pushRaw(raw[0].data(), raw[0].size() - 240, 4, kTimeoutMs),
              QuorvanInvalidParameter)
        << "a plane that is not the device's layout";
    for (size_t i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(playback->pushRaw(raw[i].data(), raw[i].size(), 5 + i, kTimeoutMs),
                  QuorvanSuccess);
        QuorvanFrameBuffer* frame = camera.requestFrame(kTimeoutMs);
        ASSERT_NE(frame, nullptr);
        const auto* replayed = static_cast<const int16_t*>(frame->getData(FrameType::RAW));
        EXPECT_EQ(std::memcmp(replayed, raw[i].data(), raw[i].size() * sizeof(int16_t)), 0);
        camera.releaseFrame(frame);
    }
    camera.stop();
    camera.close();
}

// Pushes one whole capture of constant samples stamped `timestamp`; whether the
// camera made a frame of it.
bool frameFromOneCapture(QuorvanTOFCamera& camera, PlaybackBackendFactory& playback,
                         uint64_t timestamp) {
    const std::vector<uint16_t> cache(kRawSamples, 0x10);
    if (playback.pushCapture(cache.data(), cache.size(), timestamp, kTimeoutMs) != QuorvanSuccess)
        return false;
    QuorvanFrameBuffer* frame = camera.requestFrame(kTimeoutMs);
    if (frame == nullptr)
        return false;
    camera.releaseFrame(frame);
    return true;
}

// A camera opened on a playback of the 240x180 kit's raw format.
class PlaybackSensor : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess); }

    std::shared_ptr<PlaybackBackendFactory> playback =
        std::make_shared<PlaybackBackendFactory>(PlaybackFormat{240, 180, 12, 2});
    QuorvanTOFCamera camera{playback};
};

TEST_F(PlaybackSensor, AFeedThatPausesIsNotReportedAsFailingCaptures) {
    const testing_support::RecordedLog log;
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    // Longer than the silence after which a failing stream is reported.
    EXPECT_EQ(camera.requestFrame(3500), nullptr);
    EXPECT_EQ(log.text().find("no complete frame"), std::string::npos) << log.text();
    // and the camera takes frames again as soon as they are fed.
    EXPECT_TRUE(frameFromOneCapture(camera, *playback, 7));
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST_F(PlaybackSensor, TheCaptureSizeChangesOnlyBetweenStreams) {
    EXPECT_EQ(playback->setCaptureSize(0, 180), QuorvanInvalidParameter);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    EXPECT_EQ(playback->setCaptureSize(240, 90), QuorvanUnkownError)
        << "the capture thread reads the size while streaming";
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    // Set and set back: the next start sizes the feed from what was set last.
    ASSERT_EQ(playback->setCaptureSize(240, 90), QuorvanSuccess);
    ASSERT_EQ(playback->setCaptureSize(240, 180), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);
    const std::vector<uint16_t> half(kRawSamples / 2, 0x10);
    EXPECT_EQ(playback->pushCapture(half.data(), half.size(), 1, 0), QuorvanInvalidParameter);
    EXPECT_TRUE(frameFromOneCapture(camera, *playback, 1));
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST(PlaybackSensorFormat, RefusesAnImpossibleRecordedFormat) {
    auto playback = std::make_shared<PlaybackBackendFactory>(PlaybackFormat{240, 180, 12, 3});
    QuorvanTOFCamera camera(playback);
    EXPECT_EQ(camera.open(Connection::USB, 0), QuorvanInvalidParameter);
    EXPECT_EQ(camera.start(FrameType::DEPTH), QuorvanUnkownError);
}

}  // namespace
}  // namespace Quorvan

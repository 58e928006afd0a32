// Frame accounting against a sensor with a known failure pattern and a
// consumer slower than the sensor: every capture must end up counted in
// exactly one place, and sequence numbers must show what the consumer missed.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "camera/skip_pattern.h"
#include "fakes/fake_backends.h"
#include "quorvan/camera.h"

namespace Quorvan {
namespace {

using fakes::FakeBackendFactory;
using fakes::waitUntil;

void expectBalanced(const FrameStatistics& s) {
    EXPECT_EQ(s.captured, s.delivered + s.overwritten + s.skipped + s.queued)
        << "captured " << s.captured << " delivered " << s.delivered << " overwritten "
        << s.overwritten << " skipped " << s.skipped << " queued " << s.queued;
}

// How many of the first `captures` the skip pattern drops, from a fresh camera.
uint64_t droppedByPattern(uint64_t captures, int32_t skip, int32_t loop) {
    int32_t counter = 0;
    uint64_t dropped = 0;
    for (uint64_t i = 0; i < captures; ++i) {
        const SkipStep step = advanceSkipPattern(counter, skip, loop);
        counter = step.counter;
        dropped += step.dropped;
    }
    return dropped;
}

class FrameStatisticsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess); }
    fakes::FakeSensor& sensor() { return *factory->lastSensor(); }

    std::shared_ptr<FakeBackendFactory> factory = std::make_shared<FakeBackendFactory>();
    QuorvanTOFCamera camera{factory};
};

TEST_F(FrameStatisticsTest, EveryCaptureIsAccountedForWithASlowConsumer) {
    EXPECT_EQ(camera.getStatistics().captured, 0u);  // never started
    sensor().fail_every = 7;
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 5), QuorvanSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 2), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);

    // The sensor delivers every millisecond; the consumer takes 5 ms a frame.
    std::vector<uint64_t> sequences;
    while (sequences.size() < 40) {
        QuorvanFrameBuffer* frame = camera.requestFrame(2000);
        ASSERT_NE(frame, nullptr);
        sequences.push_back(frame->getSequence());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
        expectBalanced(camera.getStatistics());  // balanced while streaming too
    }
    ASSERT_EQ(camera.stop(), QuorvanSuccess);

    const FrameStatistics s = camera.getStatistics();
    expectBalanced(s);
    EXPECT_EQ(s.captured, sensor().frames_captured.load());
    EXPECT_EQ(s.sensor_failures, sensor().frame_attempts.load() - sensor().frames_captured.load());
    EXPECT_EQ(s.sensor_failures, sensor().frame_attempts.load() / 7);
    EXPECT_EQ(s.skipped, droppedByPattern(s.captured, 2, 5));
    EXPECT_EQ(s.delivered, sequences.size());
    EXPECT_GT(s.overwritten, 0u);  // the consumer is slower than the sensor
    EXPECT_LE(s.queued, 3u);

    // Sequence numbers rise, never name a skipped capture, and their gaps add
    // up to what the consumer missed.
    int32_t counter = 0;
    std::vector<bool> skipped_position;
    for (uint64_t i = 0; i < s.captured; ++i) {
        const SkipStep step = advanceSkipPattern(counter, 2, 5);
        counter = step.counter;
        skipped_position.push_back(step.dropped);
    }
    for (std::size_t i = 0; i < sequences.size(); ++i) {
        ASSERT_LT(sequences[i], s.captured);
        EXPECT_FALSE(skipped_position[sequences[i]]) << sequences[i];
        if (i > 0) {
            EXPECT_GT(sequences[i], sequences[i - 1]);
        }
    }

    // Frames still queued after stop are delivered and move across.
    const uint32_t queued = s.queued;
    for (uint32_t i = 0; i < queued; ++i) {
        QuorvanFrameBuffer* frame = camera.requestFrame(0);
        ASSERT_NE(frame, nullptr);
        EXPECT_GT(frame->getSequence(), sequences.back());
        camera.releaseFrame(frame);
    }
    const FrameStatistics drained = camera.getStatistics();
    EXPECT_EQ(drained.queued, 0u);
    EXPECT_EQ(drained.delivered, s.delivered + queued);
    expectBalanced(drained);
}

TEST_F(FrameStatisticsTest, CountersAndSequenceNumbersRestartAtStart) {
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_TRUE(waitUntil([&] { return camera.getStatistics().captured >= 20; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_GE(camera.getStatistics().captured, 20u);  // kept after stop

    sensor().frame_delay_us = 20000;  // slow enough to see the first captures
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(3000);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->getSequence(), 0u);
    const FrameStatistics s = camera.getStatistics();
    EXPECT_LT(s.captured, 20u);
    EXPECT_EQ(s.delivered, 1u);
    camera.releaseFrame(frame);
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    expectBalanced(camera.getStatistics());
}

TEST_F(FrameStatisticsTest, AFailingSensorCountsFailuresOnly) {
    sensor().frame_result = -1;
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_TRUE(waitUntil([&] { return camera.getStatistics().sensor_failures >= 10; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    const FrameStatistics s = camera.getStatistics();
    EXPECT_EQ(s.captured, 0u);
    EXPECT_EQ(s.sensor_failures, sensor().frame_attempts.load());
    expectBalanced(s);
}

}  // namespace
}  // namespace Quorvan

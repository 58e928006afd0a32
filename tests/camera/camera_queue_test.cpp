#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_backends.h"
#include "quorvan/camera.h"

namespace Quorvan {
namespace {

using fakes::FakeBackendFactory;
using fakes::waitUntil;
using Clock = std::chrono::steady_clock;

uint64_t timestampOf(QuorvanFrameBuffer* frame) {
    FrameDataFormat format{};
    EXPECT_EQ(frame->getFormat(FrameType::DEPTH, format), QuorvanSuccess);
    return format.timestamp;
}

// The fake device copies the capture's sequence number into the plane.
uint64_t contentsOf(QuorvanFrameBuffer* frame) {
    uint64_t sequence = 0;
    std::memcpy(&sequence, frame->getData(FrameType::DEPTH), sizeof(sequence));
    return sequence;
}

class CameraQueue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess); }
    void TearDown() override {
        camera.stop();
        const NodeCensus census = CameraTestAccess::census(camera);
        EXPECT_TRUE(census.lists_consistent);
    }
    fakes::FakeSensor& sensor() { return *factory->lastSensor(); }
    fakes::FakeDevice& device() { return *factory->lastDevice(); }

    // Sequence numbers of the frames a consumer receives until `captures`
    // sensor frames have been taken, then stops the camera.
    std::vector<uint64_t> collectUntil(uint64_t captures) {
        std::vector<uint64_t> delivered;
        while (sensor().frames_captured < captures) {
            QuorvanFrameBuffer* frame = camera.requestFrame(100);
            if (frame == nullptr)
                continue;
            delivered.push_back(timestampOf(frame));
            EXPECT_EQ(contentsOf(frame), delivered.back());
            EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
        }
        EXPECT_EQ(camera.stop(), QuorvanSuccess);
        return delivered;
    }

    std::shared_ptr<FakeBackendFactory> factory = std::make_shared<FakeBackendFactory>();
    QuorvanTOFCamera camera{factory};
};

TEST_F(CameraQueue, ASlowConsumerGetsTheNewestFrames) {
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_TRUE(waitUntil([&] { return sensor().frames_captured >= 30; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    const uint64_t last = sensor().frames_captured;
    for (uint64_t expected = last - 2; expected <= last; ++expected) {
        QuorvanFrameBuffer* frame = camera.requestFrame(0);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(timestampOf(frame), expected);
        EXPECT_EQ(contentsOf(frame), expected);
    }
    EXPECT_EQ(camera.requestFrame(0), nullptr);
}

TEST_F(CameraQueue, RequestTimeouts) {
    sensor().frame_result = -1;
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);

    auto begin = Clock::now();
    EXPECT_EQ(camera.requestFrame(0), nullptr);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(5));

    begin = Clock::now();
    EXPECT_EQ(camera.requestFrame(200), nullptr);
    const auto waited = Clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(195));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // A negative timeout waits for as long as it takes.
    std::thread unblock([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sensor().frame_result = 0;
    });
    QuorvanFrameBuffer* frame = camera.requestFrame(-1);
    unblock.join();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(timestampOf(frame), contentsOf(frame));
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
}

TEST_F(CameraQueue, HoldingEveryFramePausesCaptureUntilOneIsReleased) {
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* held[3];
    for (auto& frame : held) {
        frame = camera.requestFrame(2000);
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(CameraTestAccess::isFrameHeld(camera, frame));
    }
    const NodeCensus census = CameraTestAccess::census(camera);
    EXPECT_EQ(census.consumer_held, 3);
    // With every node held the capture thread has nothing to fill.
    const uint64_t attempts = sensor().frame_attempts;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(sensor().frame_attempts, attempts);

    const uint64_t newest_held = timestampOf(held[2]);
    ASSERT_EQ(camera.releaseFrame(held[0]), QuorvanSuccess);
    QuorvanFrameBuffer* next = camera.requestFrame(2000);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next, held[0]);  // the only node there was to fill
    EXPECT_GT(timestampOf(next), newest_held);
    for (QuorvanFrameBuffer* frame : {next, held[1], held[2]}) {
        EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    }
}

// With two frames held, the one node left circulates between the capture
// thread and the ready list. A consumer waiting for it must get each frame
// published to it, whatever the sensor's pace, instead of the capture thread
// taking the frame straight back to overwrite it. A capture that keeps the
// CPU busy (copying, rendering) is the case that starved the consumer.
TEST_F(CameraQueue, AConsumerHoldingTwoFramesStillReceivesTheThird) {
    struct Pace {
        int delay_us;
        bool busy;
    };
    for (const Pace pace : {Pace{0, false}, Pace{1000, false}, Pace{1000, true}}) {
        SCOPED_TRACE(testing::Message() << pace.delay_us << " us, busy " << pace.busy);
        sensor().frame_delay_us = pace.delay_us;
        sensor().frame_delay_busy = pace.busy;
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        QuorvanFrameBuffer* first = camera.requestFrame(2000);
        QuorvanFrameBuffer* second = camera.requestFrame(2000);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        uint64_t newest = timestampOf(second);
        for (int turn = 0; turn < 30; ++turn) {
            QuorvanFrameBuffer* third = camera.requestFrame(2000);
            ASSERT_NE(third, nullptr) << "turn " << turn;
            EXPECT_NE(third, first);
            EXPECT_NE(third, second);
            EXPECT_GT(timestampOf(third), newest);
            newest = timestampOf(third);
            ASSERT_EQ(camera.releaseFrame(third), QuorvanSuccess);
        }
        EXPECT_EQ(camera.releaseFrame(first), QuorvanSuccess);
        EXPECT_EQ(camera.releaseFrame(second), QuorvanSuccess);
        ASSERT_EQ(camera.stop(), QuorvanSuccess);
    }
}

TEST_F(CameraQueue, ReleaseRefusesWhatTheConsumerDoesNotHold) {
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(2000);
    ASSERT_NE(frame, nullptr);
    DepthData stranger({1, 1, FrameType::DEPTH, 0}, {1, 1, FrameType::CONFIDENCE, 0});
    EXPECT_EQ(camera.releaseFrame(nullptr), QuorvanUnkownError);
    EXPECT_EQ(camera.releaseFrame(&stranger), QuorvanUnkownError);
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    EXPECT_FALSE(CameraTestAccess::isFrameHeld(camera, frame));
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanUnkownError);
    // A capture that has begun is published before the thread sees the stop,
    // so a second capture guarantees a ready frame to take after stopping.
    ASSERT_TRUE(waitUntil([&] { return sensor().frames_captured >= 2; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);

    // A frame captured before stop can still be taken after it.
    const uint64_t generation = CameraTestAccess::poolGeneration(camera);
    QuorvanFrameBuffer* kept = camera.requestFrame(0);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(timestampOf(kept), contentsOf(kept));
    EXPECT_TRUE(CameraTestAccess::isFrameHeld(camera, kept));
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(CameraTestAccess::poolGeneration(camera), generation + 1);
    const NodeCensus census = CameraTestAccess::census(camera);
    EXPECT_EQ(census.total, 3);
    EXPECT_EQ(census.consumer_held, 0);  // the old pool went with its frames
}

TEST_F(CameraQueue, SkipPatterns) {
    struct Case {
        int32_t skip, loop;
        std::set<uint64_t> kept_positions;  // sequence number modulo loop
    };
    for (const Case& c : {Case{1, 2, {1}}, Case{2, 5, {1, 3, 4}}, Case{1, 3, {1, 2}}}) {
        auto own_factory = std::make_shared<FakeBackendFactory>();
        QuorvanTOFCamera own(own_factory);
        ASSERT_EQ(own.open(Connection::USB, 0), QuorvanSuccess);
        ASSERT_EQ(own.setControl(CameraCtrl::SKIP_FRAME_LOOP, c.loop), QuorvanSuccess);
        ASSERT_EQ(own.setControl(CameraCtrl::SKIP_FRAME, c.skip), QuorvanSuccess);
        ASSERT_EQ(own.start(FrameType::RAW), QuorvanSuccess);
        fakes::FakeSensor& fake = *own_factory->lastSensor();
        int delivered = 0;
        while (fake.frames_captured < 40) {
            QuorvanFrameBuffer* frame = own.requestFrame(100);
            if (frame == nullptr)
                continue;
            FrameDataFormat format{};
            ASSERT_EQ(frame->getFormat(FrameType::RAW, format), QuorvanSuccess);
            EXPECT_EQ(c.kept_positions.count(format.timestamp % c.loop), 1u)
                << "frame " << format.timestamp << " should have been dropped (" << c.skip << " of "
                << c.loop << ")";
            ++delivered;
            ASSERT_EQ(own.releaseFrame(frame), QuorvanSuccess);
        }
        ASSERT_EQ(own.stop(), QuorvanSuccess);
        EXPECT_GT(delivered, 0);
        // Every kept capture was processed, no dropped one was.
        uint64_t kept = 0;
        for (uint64_t sequence = 1; sequence <= fake.frames_captured; ++sequence) {
            kept += c.kept_positions.count(sequence % c.loop);
        }
        EXPECT_EQ(own_factory->lastDevice()->raw_calls, kept);
    }
}

TEST_F(CameraQueue, DroppingEveryFrameDeliversNothing) {
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 3), QuorvanSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 3), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.requestFrame(200), nullptr);
    EXPECT_GT(sensor().frames_captured, 0u);
    EXPECT_EQ(device().phase_calls, 0u);
    EXPECT_EQ(CameraTestAccess::measuredFps(camera), 0.0f);
    // Shrinking the loop under the skip count keeps dropping everything.
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 1), QuorvanSuccess);
    EXPECT_EQ(camera.requestFrame(100), nullptr);
    EXPECT_EQ(device().phase_calls, 0u);
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 0), QuorvanSuccess);
    EXPECT_NE(camera.requestFrame(2000), nullptr);
}

TEST_F(CameraQueue, OnlyAZeroSensorResultIsAFrame) {
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 2), QuorvanSuccess);
    ASSERT_EQ(camera.setControl(CameraCtrl::SKIP_FRAME, 1), QuorvanSuccess);
    for (int failure : {-1, -2, 2, 240}) {
        sensor().frame_result = failure;
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        const uint64_t attempts = sensor().frame_attempts;
        ASSERT_TRUE(waitUntil([&] { return sensor().frame_attempts > attempts + 5; }));
        EXPECT_EQ(camera.requestFrame(0), nullptr) << failure;
        EXPECT_EQ(device().phase_calls, 0u) << failure;
        ASSERT_EQ(camera.stop(), QuorvanSuccess);
        EXPECT_EQ(CameraTestAccess::census(camera).free, 3);
    }
    // Failures did not advance the skip loop: capture 1 is still the first
    // of the loop and is kept, 2 is dropped, and so on.
    sensor().frame_result = 0;
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    for (uint64_t sequence : collectUntil(20))
        EXPECT_EQ(sequence % 2, 1u) << sequence;
}

TEST_F(CameraQueue, ASensorThatKeepsFailingDoesNotSpin) {
    sensor().frame_delay_us = 0;
    sensor().frame_result = -2;
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    // With a few milliseconds of back-off this is about a hundred; a spinning
    // thread makes hundreds of thousands.
    EXPECT_LT(sensor().frame_attempts, 2000u);
    EXPECT_GT(sensor().frame_attempts, 8u);
}

TEST_F(CameraQueue, FailedProcessingCostsOneFrame) {
    device().phase_result = false;
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.requestFrame(100), nullptr);
    device().phase_result = true;
    QuorvanFrameBuffer* frame = camera.requestFrame(2000);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(timestampOf(frame), contentsOf(frame));
    EXPECT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
}

TEST_F(CameraQueue, MeasuredRateFollowsDeliveredFrames) {
    sensor().frame_delay_us = 5000;
    EXPECT_EQ(CameraTestAccess::measuredFps(camera), 0.0f);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_TRUE(waitUntil([&] { return sensor().frames_captured >= 20; }));
    ASSERT_EQ(camera.stop(), QuorvanSuccess);
    // About 200 fps from a 5 ms capture; generous bounds for a loaded machine.
    EXPECT_GT(CameraTestAccess::measuredFps(camera), 5.0f);
    EXPECT_LT(CameraTestAccess::measuredFps(camera), 1000.0f);
}

TEST(CameraAutoFrameRate, LowersTheSettingToTheMeasuredRateOnlyWhenEnabled) {
    auto automatic_factory = std::make_shared<FakeBackendFactory>();
    auto manual_factory = std::make_shared<FakeBackendFactory>();
    QuorvanTOFCamera automatic(automatic_factory);
    QuorvanTOFCamera manual(manual_factory);
    for (QuorvanTOFCamera* camera : {&automatic, &manual}) {
        ASSERT_EQ(camera->open(Connection::USB, 0), QuorvanSuccess);
    }
    ASSERT_EQ(manual.setControl(CameraCtrl::AUTO_FRAME_RATE, 0), QuorvanSuccess);
    for (auto& factory : {automatic_factory, manual_factory}) {
        factory->lastSensor()->frame_delay_us = 50000;  // about 20 fps
        factory->lastDevice()->frame_rate = 30;
        factory->log->clear();
    }
    ASSERT_EQ(automatic.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_EQ(manual.start(FrameType::DEPTH), QuorvanSuccess);
    // The first correction is due three seconds after start.
    ASSERT_TRUE(waitUntil(
        [&] {
            return !automatic_factory->log->entriesStartingWith("device1.setControl(6,").empty();
        },
        std::chrono::seconds(15)));
    ASSERT_EQ(automatic.stop(), QuorvanSuccess);
    ASSERT_EQ(manual.stop(), QuorvanSuccess);
    const int32_t corrected = automatic_factory->lastDevice()->frame_rate;
    EXPECT_GE(corrected, 2);
    EXPECT_LE(corrected, 21);
    EXPECT_TRUE(manual_factory->log->entriesStartingWith("device1.setControl(6,").empty());
    EXPECT_EQ(manual_factory->lastDevice()->frame_rate, 30);
}

}  // namespace
}  // namespace Quorvan

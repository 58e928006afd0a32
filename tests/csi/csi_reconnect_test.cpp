// A streaming CSI camera whose drivers unload and load again: the capture
// node vanishes under the capture thread (ENODEV, POLLERR | POLLHUP), the
// camera lets go of every handle and mapping at once, and with
// auto-reconnect on it finds the same camera again, possibly under another
// /dev/videoN and /dev/mediaN, and streams on with its settings and its
// sequence numbers. Without auto-reconnect it reports and stays down until
// opened again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "host/host_platform.h"
#include "quorvan/camera.h"
#include "quorvan/camera_connection.h"
#include "support/simulated_board.h"
#include "support/simulated_board_factory.h"
#include "support/test_deadlines.h"
#include "support/thread_count.h"

namespace Quorvan {
namespace {

using Clock = std::chrono::steady_clock;
using simulation::SensorState;
using simulation::SimulatedBoard;
using testing_support::frameDeadlineMs;
using testing_support::scaledDeadlineMs;
using testing_support::waitUntil;

// The short range, which the sensor driver forgets on every reload.
constexpr int32_t kShortRangeMm = 2000;

struct StreamingBoard {
    explicit StreamingBoard(int32_t platform) : board(platform) {
        board.kernel().setDequeuePacing(std::chrono::milliseconds(1));
    }
    SimulatedBoard board;
};

// Takes every frame already queued, checking that sequence numbers grow.
void drainQueued(QuorvanTOFCamera& camera, uint64_t* last_sequence) {
    while (QuorvanFrameBuffer* old = camera.requestFrame(0)) {
        EXPECT_GT(old->getSequence(), *last_sequence);
        *last_sequence = old->getSequence();
        camera.releaseFrame(old);
    }
}

class CsiReconnect : public ::testing::TestWithParam<int32_t> {};

TEST_P(CsiReconnect, ComesBackUnderOtherNodeNumbersWithItsSettingsAndSequence) {
    // Ten cycles on the host with the most to set up again (a media graph
    // with a route to enable), a few on the others.
    const int kCycles = GetParam() == RASPBERRY_PI_5 ? 10 : 3;
    StreamingBoard host(GetParam());
    SimulatedBoard& board = host.board;
    const size_t threads_before = testing_support::baselineThreadCount();
    int64_t slowest_resume_ms = 0;
    {
        QuorvanTOFCamera camera(simulation::boardFactory(board));
        ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
        ASSERT_EQ(setAutoReconnect(camera, true), QuorvanSuccess);
        const bool has_range_control = board.hasMediaGraph();
        if (has_range_control) {
            ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, kShortRangeMm), QuorvanSuccess);
            ASSERT_NE(board.sensor().range_setting, SensorState{}.range_setting);
        }
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        const int16_t frame_wait = frameDeadlineMs(3000);
        QuorvanFrameBuffer* held = camera.requestFrame(frame_wait);
        ASSERT_NE(held, nullptr);
        const float held_depth = static_cast<const float*>(held->getData(FrameType::DEPTH))[500];
        uint64_t last_sequence = held->getSequence();
        for (int i = 0; i < 3; ++i) {
            QuorvanFrameBuffer* frame = camera.requestFrame(frame_wait);
            ASSERT_NE(frame, nullptr);
            last_sequence = frame->getSequence();
            camera.releaseFrame(frame);
        }

        for (int cycle = 0; cycle < kCycles; ++cycle) {
            board.unplug();
            ASSERT_TRUE(waitUntil(
                [&] { return camera.getStatistics().disconnects == uint64_t(cycle + 1); }, 3000))
                << "cycle " << cycle;
            // Nothing of the vanished device is held, so its driver could
            // unload: not a node, a sub-device, the I2C bus or a mapping.
            EXPECT_EQ(board.kernel().openDescriptorCount(), 0) << "cycle " << cycle;
            EXPECT_EQ(board.kernel().liveMappingCount(), 0) << "cycle " << cycle;
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            drainQueued(camera, &last_sequence);
            // Odd cycles come back at new numbers, even ones at the old.
            const int node_number = cycle % 2 == 0 ? 3 + cycle : 0;
            board.replug(node_number, node_number);
            const auto returned = Clock::now();
            QuorvanFrameBuffer* frame = camera.requestFrame(frame_wait);
            ASSERT_NE(frame, nullptr) << "cycle " << cycle;
            slowest_resume_ms = std::max<int64_t>(
                slowest_resume_ms,
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - returned)
                    .count());
            EXPECT_GT(frame->getSequence(), last_sequence);
            last_sequence = frame->getSequence();
            camera.releaseFrame(frame);
            EXPECT_TRUE(board.captureNode().streaming());
            if (has_range_control) {
                EXPECT_NE(board.sensor().range_setting, SensorState{}.range_setting)
                    << "the range was not applied again";
            }
        }
        // A frame handed out before every departure is still what it was.
        EXPECT_EQ(static_cast<const float*>(held->getData(FrameType::DEPTH))[500], held_depth);
        EXPECT_EQ(camera.releaseFrame(held), QuorvanSuccess);

        const FrameStatistics statistics = camera.getStatistics();
        EXPECT_EQ(statistics.disconnects, uint64_t(kCycles));
        EXPECT_EQ(statistics.reconnects, uint64_t(kCycles));
        EXPECT_GT(statistics.lost_while_disconnected, 0u);
        const std::vector<ConnectionEvent> events = takeConnectionEvents(camera);
        ASSERT_EQ(events.size(), 2u * kCycles);
        uint64_t lost = 0;
        for (int i = 0; i < kCycles; ++i) {
            EXPECT_EQ(events[2 * i].kind, ConnectionEvent::Kind::Disconnected);
            EXPECT_EQ(events[2 * i + 1].kind, ConnectionEvent::Kind::Reconnected);
            EXPECT_GE(events[2 * i + 1].gap_ms, 120u);
            lost += events[2 * i + 1].frames_lost;
        }
        EXPECT_EQ(lost, statistics.lost_while_disconnected);
        EXPECT_EQ(camera.stop(), QuorvanSuccess);
        EXPECT_EQ(camera.close(), QuorvanSuccess);
        EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
        EXPECT_EQ(board.kernel().liveMappingCount(), 0);

        // Usable after all of it: opened again where the node is now.
        const int index = std::stoi(board.videoNodePath().substr(10));
        ASSERT_EQ(camera.open(Connection::CSI, index), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        QuorvanFrameBuffer* frame = camera.requestFrame(frame_wait);
        ASSERT_NE(frame, nullptr);
        camera.releaseFrame(frame);
        EXPECT_EQ(camera.stop(), QuorvanSuccess);
        EXPECT_EQ(camera.close(), QuorvanSuccess);
    }
    std::printf("slowest return to streaming: %lld ms\n",
                static_cast<long long>(slowest_resume_ms));
    // A return is noticed within one poll (100 ms) on a quiet machine.
    EXPECT_LT(slowest_resume_ms, scaledDeadlineMs(1000));
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
    EXPECT_EQ(board.kernel().liveMappingCount(), 0);
    EXPECT_EQ(testing_support::threadCountSettledTo(threads_before), threads_before);
}

// One host of each discovery kind: a media graph with a route to enable, the
// sensor named in the capture node's name, a multi-planar receiver.
INSTANTIATE_TEST_SUITE_P(Hosts, CsiReconnect,
                         ::testing::Values(RASPBERRY_PI_5, JETSON_TX1_NANO, RADXA_ROCK));

TEST(CsiReconnectOff, AVanishedCameraReportsAndStaysDownUntilOpenedAgain) {
    StreamingBoard host(RASPBERRY_PI);
    SimulatedBoard& board = host.board;
    QuorvanTOFCamera camera(simulation::boardFactory(board));
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(frameDeadlineMs(3000));
    ASSERT_NE(frame, nullptr);
    camera.releaseFrame(frame);

    board.unplug();
    ASSERT_TRUE(waitUntil([&] { return camera.getStatistics().disconnects == 1; }, 3000));
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
    EXPECT_EQ(board.kernel().liveMappingCount(), 0);
    board.replug(0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint64_t ignored = 0;
    drainQueued(camera, &ignored);
    EXPECT_EQ(camera.requestFrame(100), nullptr);
    const FrameStatistics statistics = camera.getStatistics();
    EXPECT_EQ(statistics.reconnects, 0u);
    EXPECT_GT(statistics.sensor_failures, 0u);
    EXPECT_FALSE(board.captureNode().streaming());
    const std::vector<ConnectionEvent> events = takeConnectionEvents(camera);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, ConnectionEvent::Kind::Disconnected);

    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    // A start without an open has no device to start.
    EXPECT_NE(camera.start(FrameType::DEPTH), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    frame = camera.requestFrame(frameDeadlineMs(3000));
    ASSERT_NE(frame, nullptr);
    camera.releaseFrame(frame);
    EXPECT_EQ(camera.getStatistics().disconnects, 0u);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
}

// Stopping while the camera is away, or while it looks for its device,
// returns at once and leaves nothing open; the next stream counts afresh.
TEST(CsiReconnectOff, StopWhileAwayAndAnotherCameraAtTheOldNumber) {
    StreamingBoard host(RASPBERRY_PI_5);
    SimulatedBoard& board = host.board;
    QuorvanTOFCamera camera(simulation::boardFactory(board));
    ASSERT_EQ(camera.open(Connection::CSI, 0), QuorvanSuccess);
    ASSERT_EQ(setAutoReconnect(camera, true), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(frameDeadlineMs(3000));
    ASSERT_NE(frame, nullptr);
    camera.releaseFrame(frame);
    board.unplug();
    ASSERT_TRUE(waitUntil([&] { return camera.getStatistics().disconnects == 1; }, 3000));
    // Another receiver's node takes the old number: it answers as a capture
    // node of another driver, so the camera keeps looking.
    auto stranger = std::make_shared<simulation::SimulatedCaptureNode>(
        simulation::CaptureNodeSetup{}, std::make_shared<SensorState>(),
        std::make_shared<simulation::SceneSource>());
    stranger->driver_name = "another-receiver";
    board.kernel().addDevice("/dev/video0", 81, 200, stranger);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(camera.getStatistics().reconnects, 0u);
    EXPECT_FALSE(stranger->streaming());
    const auto stopping = Clock::now();
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(scaledDeadlineMs(1000)));
    EXPECT_EQ(camera.close(), QuorvanSuccess);
    EXPECT_EQ(board.kernel().openDescriptorCount(), 0);
    EXPECT_EQ(board.kernel().liveMappingCount(), 0);
}

}  // namespace
}  // namespace Quorvan

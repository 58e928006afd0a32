// Cameras on a bus of several emulated kits: listing, opening by index and
// by serial, and a streaming camera whose kit is unplugged and plugged back.
#include "quorvan/camera_connection.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "connection/kit_set_environment.h"
#include "quorvan/camera.h"
#include "quorvan_evk_emulator.h"
#include "support/resumed_frames.h"
#include "support/test_deadlines.h"
#include "support/thread_count.h"

namespace Quorvan {
namespace {

using testing_support::scaledDeadlineMs;

const auto* const kKits = ::testing::AddGlobalTestEnvironment(
    new testing_support::KitSetEnvironment("noise = off\n"
                                           "frame_rate = 30\n"
                                           "kit.0.serial = CONN-A\n"
                                           "kit.1.serial = CONN-B\n"
                                           "kit.1.geometry = 640x2405\n"
                                           "kit.2.serial = CONN-C\n"));

size_t entriesIn(const char* directory) {
    size_t count = 0;
    if (DIR* listing = ::opendir(directory)) {
        while (::readdir(listing) != nullptr)
            ++count;
        ::closedir(listing);
    }
    return count;
}

TEST(CameraConnection, ListsEachKitWithItsSerialAndSize) {
    const std::vector<AttachedCamera> found = listAttachedCameras();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].serial, "CONN-A");
    EXPECT_EQ(found[1].serial, "CONN-B");
    EXPECT_EQ(found[2].serial, "CONN-C");
    for (uint32_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].index, i);
        EXPECT_EQ(found[i].connection, Connection::USB);
        EXPECT_TRUE(found[i].attached);
    }
    EXPECT_EQ(found[0].width, 240u);
    EXPECT_EQ(found[1].width, 640u);
    // A configuration of its own lists its kits instead.
    testing_support::TempConfigFile other("serial = CONN-OTHER\n");
    const std::vector<AttachedCamera> listed = listAttachedCameras(other.c_str());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].serial, "CONN-OTHER");
    EXPECT_TRUE(listAttachedCameras("/nonexistent/kits.cfg").empty());
}

TEST(CameraConnection, OpensByIndexOrSerialAndRefusesWhatIsNotThere) {
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.open(Connection::USB, 1), QuorvanSuccess);
    EXPECT_EQ(cameraSerial(camera), "CONN-B");
    EXPECT_EQ(camera.getCameraInfo().width, 640u);
    ASSERT_EQ(camera.close(), QuorvanSuccess);
    // The emulated bus no longer answers every index.
    EXPECT_NE(camera.open(Connection::USB, 3), QuorvanSuccess);

    ASSERT_EQ(openBySerial(camera, "CONN-C"), QuorvanSuccess);
    EXPECT_EQ(cameraSerial(camera), "CONN-C");
    EXPECT_EQ(camera.getCameraInfo().index, 2u);
    EXPECT_EQ(camera.getCameraInfo().width, 240u);
    ASSERT_EQ(camera.close(), QuorvanSuccess);

    EXPECT_EQ(openBySerial(camera, "NOBODY"), QuorvanUnkownDevice);
    EXPECT_EQ(openBySerial(camera, ""), QuorvanInvalidParameter);
    EXPECT_EQ(openBySerial(camera, nullptr), QuorvanInvalidParameter);
    // Still usable after the refusals.
    ASSERT_EQ(openBySerial(camera, "CONN-A"), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
    ASSERT_NE(frame, nullptr);
    camera.releaseFrame(frame);
    camera.stop();
    camera.close();
}

TEST(CameraConnection, WithoutAutoReconnectAnUnpluggedCameraReportsItAndStaysDown) {
    QuorvanTOFCamera camera;
    ASSERT_EQ(openBySerial(camera, "CONN-C"), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
    ASSERT_NE(frame, nullptr);
    camera.releaseFrame(frame);

    ASSERT_EQ(QuorvanEvkSetAttached("CONN-C", 0), QUORVAN_EVK_OK);
    testing_support::waitUntil([&] { return camera.getStatistics().disconnects != 0; }, 3000);
    EXPECT_EQ(camera.getStatistics().disconnects, 1u);
    ASSERT_EQ(QuorvanEvkSetAttached("CONN-C", 1), QUORVAN_EVK_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const FrameStatistics statistics = camera.getStatistics();
    EXPECT_EQ(statistics.reconnects, 0u);
    EXPECT_GT(statistics.sensor_failures, 0u);
    const std::vector<ConnectionEvent> events = takeConnectionEvents(camera);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, ConnectionEvent::Kind::Disconnected);
    EXPECT_EQ(events[0].serial, "CONN-C");
    EXPECT_TRUE(takeConnectionEvents(camera).empty());
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    // Opening again is how a camera without auto-reconnect comes back.
    camera.close();
    ASSERT_EQ(openBySerial(camera, "CONN-C"), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
    ASSERT_NE(frame, nullptr);
    camera.releaseFrame(frame);
    EXPECT_EQ(camera.getStatistics().disconnects, 0u);
    camera.stop();
    camera.close();
}

TEST(CameraConnection, TenUnplugCyclesWithAutoReconnectKeepTheStreamGoing) {
    const size_t threads_before = testing_support::baselineThreadCount();
    const size_t descriptors_before = entriesIn("/proc/self/fd");
    constexpr int kCycles = 10;
    int64_t slowest_resume_ms = 0;
    {
        QuorvanTOFCamera camera;
        ASSERT_EQ(openBySerial(camera, "CONN-A"), QuorvanSuccess);
        ASSERT_EQ(setAutoReconnect(camera, true), QuorvanSuccess);
        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), QuorvanSuccess);
        ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
        const int16_t frame_wait = testing_support::frameDeadlineMs(2000);
        QuorvanFrameBuffer* held = camera.requestFrame(frame_wait);
        ASSERT_NE(held, nullptr);
        const float first_depth = static_cast<float*>(held->getData(FrameType::DEPTH))[100];
        uint64_t last_sequence = held->getSequence();
        // A few frames first, from which the camera learns the frame period.
        for (int i = 0; i < 3; ++i) {
            QuorvanFrameBuffer* frame = camera.requestFrame(frame_wait);
            ASSERT_NE(frame, nullptr);
            EXPECT_GT(frame->getSequence(), last_sequence);
            last_sequence = frame->getSequence();
            camera.releaseFrame(frame);
        }

        for (int cycle = 0; cycle < kCycles; ++cycle) {
            ASSERT_EQ(QuorvanEvkSetAttached("CONN-A", 0), QUORVAN_EVK_OK);
            testing_support::waitUntil(
                [&] { return camera.getStatistics().disconnects >= uint64_t(cycle + 1); }, 3000);
            ASSERT_EQ(camera.getStatistics().disconnects, uint64_t(cycle + 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            // Frames queued before the kit left may still come; drain them.
            while (QuorvanFrameBuffer* old = camera.requestFrame(0)) {
                EXPECT_GT(old->getSequence(), last_sequence);
                last_sequence = old->getSequence();
                camera.releaseFrame(old);
            }
            ASSERT_EQ(QuorvanEvkSetAttached("CONN-A", 1), QUORVAN_EVK_OK);
            const int64_t resumed_ms =
                testing_support::awaitResumedFrameMs(camera, frame_wait, &last_sequence);
            ASSERT_GE(resumed_ms, 0) << "no frame after the kit came back, cycle " << cycle;
            slowest_resume_ms = std::max(slowest_resume_ms, resumed_ms);
        }
        // The frame held through every cycle is still the one it was.
        EXPECT_EQ(static_cast<float*>(held->getData(FrameType::DEPTH))[100], first_depth);
        EXPECT_EQ(camera.releaseFrame(held), QuorvanSuccess);
        // The setting survived: range 2000 still answers as such.
        int32_t range = 0;
        camera.getControl(CameraCtrl::RANGE, &range);
        EXPECT_EQ(range, 2000);

        const FrameStatistics statistics = camera.getStatistics();
        EXPECT_EQ(statistics.disconnects, uint64_t(kCycles));
        EXPECT_EQ(statistics.reconnects, uint64_t(kCycles));
        // At least 150 ms away at 30 frames per second, ten times.
        EXPECT_GE(statistics.lost_while_disconnected, uint64_t(kCycles) * 3);
        EXPECT_EQ(statistics.captured, statistics.delivered + statistics.overwritten +
                                           statistics.skipped + statistics.queued);
        const std::vector<ConnectionEvent> events = takeConnectionEvents(camera);
        ASSERT_EQ(events.size(), 2u * kCycles);
        for (int i = 0; i < kCycles; ++i) {
            EXPECT_EQ(events[2 * i].kind, ConnectionEvent::Kind::Disconnected);
            EXPECT_EQ(events[2 * i + 1].kind, ConnectionEvent::Kind::Reconnected);
            EXPECT_GE(events[2 * i + 1].gap_ms, 150u);
            EXPECT_GE(events[2 * i + 1].frames_lost, 3u) << events[2 * i + 1].gap_ms;
        }
        EXPECT_EQ(camera.stop(), QuorvanSuccess);
        EXPECT_EQ(camera.close(), QuorvanSuccess);
    }
    std::printf("slowest return to streaming: %lld ms\n",
                static_cast<long long>(slowest_resume_ms));
    // Generous: a return is noticed within a poll (100 ms) on a quiet machine.
    EXPECT_LT(slowest_resume_ms, scaledDeadlineMs(3000));
    EXPECT_EQ(testing_support::threadCountSettledTo(threads_before), threads_before);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors_before);
}

TEST(CameraConnection, AutoReconnectNeedsAnOpenKit) {
    QuorvanTOFCamera camera;
    EXPECT_EQ(setAutoReconnect(camera, true), QuorvanUnkownError);
    EXPECT_EQ(cameraSerial(camera), "");
    EXPECT_TRUE(takeConnectionEvents(camera).empty());
}

}  // namespace
}  // namespace Quorvan

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "camera/camera_internals.h"
#include "fakes/fake_backends.h"
#include "quorvan/camera.h"

namespace Quorvan {
namespace {

using Clock = std::chrono::steady_clock;

struct ConsumerReport {
    uint64_t frames = 0;
    uint64_t corrupted = 0;     // contents changed while held, or not matching the stamp
    uint64_t out_of_order = 0;  // a consumer saw time go backwards
    uint64_t bad_releases = 0;  // a held frame was refused
};

uint64_t stampOf(QuorvanFrameBuffer* frame) {
    FrameDataFormat format{};
    frame->getFormat(FrameType::RAW, format);
    return format.timestamp;
}

uint64_t contentsOf(QuorvanFrameBuffer* frame) {
    uint64_t sequence = 0;
    std::memcpy(&sequence, frame->getData(FrameType::RAW), sizeof(sequence));
    return sequence;
}

// Requests and releases frames until `running` clears, holding up to two at a
// time and releasing them in random order; returns with nothing held.
void consume(QuorvanTOFCamera& camera, const std::atomic<bool>& running, unsigned seed,
             ConsumerReport& report) {
    std::mt19937 random(seed);
    std::vector<QuorvanFrameBuffer*> held;
    uint64_t newest = 0;
    auto release = [&](size_t index) {
        QuorvanFrameBuffer* frame = held[index];
        if (contentsOf(frame) != stampOf(frame))
            ++report.corrupted;
        // No double releases here: once released, the node may already be
        // held by the other consumer, and its pointer would be accepted again.
        if (camera.releaseFrame(frame) != QuorvanSuccess)
            ++report.bad_releases;
        held.erase(held.begin() + static_cast<long>(index));
    };
    while (running.load()) {
        QuorvanFrameBuffer* frame = camera.requestFrame(static_cast<int16_t>(random() % 20));
        if (frame != nullptr) {
            ++report.frames;
            const uint64_t stamp = stampOf(frame);
            if (contentsOf(frame) != stamp)
                ++report.corrupted;
            if (stamp < newest)
                ++report.out_of_order;
            newest = stamp;
            held.push_back(frame);
        }
        if (held.size() == 2 || (!held.empty() && random() % 2 == 0)) {
            release(random() % held.size());
        }
    }
    while (!held.empty())
        release(held.size() - 1);
}

TEST(CameraStress, TwoConsumersAcrossStartStopCyclesLoseNoNode) {
    auto factory = std::make_shared<fakes::FakeBackendFactory>();
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    factory->lastSensor()->frame_delay_us = 0;  // unpaced

    ConsumerReport reports[2];
    uint64_t captures_before = 0;
    for (int cycle = 0; cycle < 8; ++cycle) {
        ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess) << cycle;
        std::atomic<bool> running{true};
        std::thread consumers[2];
        for (int i = 0; i < 2; ++i) {
            consumers[i] = std::thread(consume, std::ref(camera), std::cref(running),
                                       static_cast<unsigned>(cycle * 2 + i), std::ref(reports[i]));
        }
        // Controls change under the running capture thread.
        const auto phase_end = Clock::now() + std::chrono::milliseconds(350);
        int turn = 0;
        while (Clock::now() < phase_end) {
            camera.setControl(CameraCtrl::SKIP_FRAME_LOOP, 1 + turn % 4);
            camera.setControl(CameraCtrl::SKIP_FRAME, turn % 3);
            camera.setControl(CameraCtrl::AUTO_FRAME_RATE, turn % 2);
            (void)CameraTestAccess::measuredFps(camera);
            ++turn;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        camera.setControl(CameraCtrl::SKIP_FRAME, 0);
        // Stopping while consumers still request is allowed; starting is not.
        if (cycle % 2 == 0) {
            ASSERT_EQ(camera.stop(), QuorvanSuccess);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        running = false;
        for (auto& consumer : consumers)
            consumer.join();
        if (cycle % 2 == 1) {
            ASSERT_EQ(camera.stop(), QuorvanSuccess);
        }

        const NodeCensus census = CameraTestAccess::census(camera);
        EXPECT_TRUE(census.lists_consistent) << cycle;
        EXPECT_EQ(census.total, 3);
        EXPECT_EQ(census.consumer_held, 0) << cycle;
        EXPECT_EQ(census.free + census.ready, 3) << cycle;
        EXPECT_EQ(CameraTestAccess::readyCount(camera), census.ready) << cycle;
        EXPECT_GT(factory->lastSensor()->frames_captured, captures_before) << cycle;
        captures_before = factory->lastSensor()->frames_captured;
    }
    std::printf("captures: %llu, frames consumed: %llu + %llu\n",
                static_cast<unsigned long long>(captures_before),
                static_cast<unsigned long long>(reports[0].frames),
                static_cast<unsigned long long>(reports[1].frames));
    EXPECT_FALSE(factory->lastSensor()->frame_called_while_stopped);
    for (const ConsumerReport& report : reports) {
        EXPECT_GT(report.frames, 0u);
        EXPECT_EQ(report.corrupted, 0u);
        EXPECT_EQ(report.out_of_order, 0u);
        EXPECT_EQ(report.bad_releases, 0u);
    }
    ASSERT_EQ(camera.close(), QuorvanSuccess);
}

TEST(CameraStress, WaitingConsumersAcrossRestartsOnAnotherThread) {
    // The way a binding that gives up its interpreter lock drives a camera:
    // four consumers wait without limit (more than there are frames) while
    // another thread stops and starts the camera, replacing the pool under
    // them. Every wait must end, every frame must go back, and no consumer may
    // pair a frame with a newer pool than the one it came from.
    auto factory = std::make_shared<fakes::FakeBackendFactory>();
    QuorvanTOFCamera camera(factory);
    ASSERT_EQ(camera.open(Connection::USB, 0), QuorvanSuccess);
    factory->lastSensor()->frame_delay_us = 0;
    ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess);

    std::atomic<bool> running{true};
    std::atomic<int> polls{0};
    InterruptCheck check;
    check.context = &polls;
    check.interrupted = [](void* context) {
        ++*static_cast<std::atomic<int>*>(context);
        return false;
    };
    std::atomic<uint64_t> frames{0}, refused_releases{0}, generation_mismatches{0};
    std::vector<std::thread> consumers;
    for (int i = 0; i < 4; ++i) {
        consumers.emplace_back([&] {
            while (running) {
                uint64_t generation = 0;
                QuorvanFrameBuffer* frame =
                    CameraInternals::requestFrame(camera, -1, check, &generation);
                if (frame == nullptr) {
                    std::this_thread::yield();  // stopped: wait for the next start
                    continue;
                }
                if (generation > CameraInternals::poolGeneration(camera))
                    ++generation_mismatches;
                // The frame's memory is not read: a restart on the other
                // thread replaces the pool, and with it every frame, at any
                // moment (only the Python layer's handles guard against that).
                // A frame of a replaced pool is refused; one of the current pool not.
                if (camera.releaseFrame(frame) != QuorvanSuccess &&
                    generation == CameraInternals::poolGeneration(camera))
                    ++refused_releases;
                ++frames;
            }
        });
    }
    for (int cycle = 0; cycle < 20; ++cycle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        ASSERT_EQ(camera.stop(), QuorvanSuccess) << cycle;
        ASSERT_EQ(camera.start(FrameType::RAW), QuorvanSuccess) << cycle;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    running = false;
    ASSERT_EQ(camera.stop(), QuorvanSuccess);  // ends the waits still in progress
    for (auto& consumer : consumers)
        consumer.join();
    EXPECT_GT(frames.load(), 0u);
    EXPECT_EQ(refused_releases.load(), 0u);
    EXPECT_EQ(generation_mismatches.load(), 0u);
    const NodeCensus census = CameraTestAccess::census(camera);
    EXPECT_TRUE(census.lists_consistent);
    EXPECT_EQ(census.consumer_held, 0);
    ASSERT_EQ(camera.close(), QuorvanSuccess);
}

}  // namespace
}  // namespace Quorvan

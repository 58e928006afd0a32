// Several kits streaming at once in one process, each camera on its own
// capture thread. Under ThreadSanitizer this shows the capture paths share
// no unguarded state; the frame counts show neither stalls the other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "connection/kit_set_environment.h"
#include "quorvan/camera.h"
#include "quorvan/camera_connection.h"
#include "quorvan_evk_emulator.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

const auto* const kKits = ::testing::AddGlobalTestEnvironment(
    new testing_support::KitSetEnvironment("frame_rate = 30\n"
                                           "kit.0.serial = MULTI-A\n"
                                           "kit.1.serial = MULTI-B\n"
                                           "kit.1.scene.wall_distance_mm = 2000\n"
                                           "kit.2.serial = MULTI-C\n"
                                           "kit.2.scene = wall\n"));

TEST(MultiCamera, ThreeKitsStreamAtOnceEachItsOwnScene) {
    constexpr int kCameras = 3;
    constexpr int kFrames = 15;
    std::vector<std::unique_ptr<QuorvanTOFCamera>> cameras;
    const char* serials[kCameras] = {"MULTI-A", "MULTI-B", "MULTI-C"};
    for (const char* serial : serials) {
        cameras.push_back(std::make_unique<QuorvanTOFCamera>());
        ASSERT_EQ(openBySerial(*cameras.back(), serial), QuorvanSuccess);
        ASSERT_EQ(setAutoReconnect(*cameras.back(), true), QuorvanSuccess);
    }
    for (auto& camera : cameras)
        ASSERT_EQ(camera->start(FrameType::DEPTH), QuorvanSuccess);

    std::atomic<int> received[kCameras] = {};
    float centre_depth[kCameras] = {};
    std::vector<std::thread> consumers;
    const int16_t wait = testing_support::frameDeadlineMs(2000);
    for (int i = 0; i < kCameras; ++i) {
        consumers.emplace_back([&, i] {
            for (int n = 0; n < kFrames; ++n) {
                QuorvanFrameBuffer* frame = cameras[i]->requestFrame(wait);
                if (!frame)
                    return;
                centre_depth[i] =
                    static_cast<float*>(frame->getData(FrameType::DEPTH))[90 * 240 + 120];
                cameras[i]->releaseFrame(frame);
                ++received[i];
            }
        });
    }
    for (auto& consumer : consumers)
        consumer.join();
    for (auto& camera : cameras) {
        EXPECT_EQ(camera->stop(), QuorvanSuccess);
        camera->close();
    }
    for (int i = 0; i < kCameras; ++i)
        EXPECT_EQ(received[i].load(), kFrames) << serials[i];
    // Each kit looks at its own scene: no two see the same centre depth.
    EXPECT_NE(centre_depth[0], centre_depth[1]);
    EXPECT_NE(centre_depth[0], centre_depth[2]);
    EXPECT_NE(centre_depth[1], centre_depth[2]);
}

TEST(MultiCamera, AReconnectOnTheCaptureThreadRacesNoneOfTheApplicationsCalls) {
    QuorvanTOFCamera unplugged;
    QuorvanTOFCamera neighbour;
    ASSERT_EQ(openBySerial(unplugged, "MULTI-A"), QuorvanSuccess);
    ASSERT_EQ(openBySerial(neighbour, "MULTI-B"), QuorvanSuccess);
    ASSERT_EQ(setAutoReconnect(unplugged, true), QuorvanSuccess);
    ASSERT_EQ(unplugged.start(FrameType::DEPTH), QuorvanSuccess);
    ASSERT_EQ(neighbour.start(FrameType::DEPTH), QuorvanSuccess);
    const int16_t wait = testing_support::frameDeadlineMs(2000);

    // The application keeps asking while the kit comes and goes.
    std::atomic<bool> done{false};
    std::atomic<int> neighbour_frames{0};
    std::thread asker([&] {
        while (!done.load()) {
            (void)unplugged.getStatistics();
            (void)takeConnectionEvents(unplugged);
            if (QuorvanFrameBuffer* frame = unplugged.requestFrame(5))
                unplugged.releaseFrame(frame);
        }
    });
    std::thread other([&] {
        while (!done.load()) {
            if (QuorvanFrameBuffer* frame = neighbour.requestFrame(wait)) {
                neighbour.releaseFrame(frame);
                ++neighbour_frames;
            }
        }
    });
    const auto limit = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(testing_support::scaledDeadlineMs(5000));
    for (uint64_t cycle = 1; cycle <= 2; ++cycle) {
        ASSERT_EQ(QuorvanEvkSetAttached("MULTI-A", 0), 0);
        while (unplugged.getStatistics().disconnects < cycle &&
               std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(QuorvanEvkSetAttached("MULTI-A", 1), 0);
        while (unplugged.getStatistics().reconnects < cycle &&
               std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done.store(true);
    asker.join();
    other.join();
    EXPECT_EQ(unplugged.getStatistics().reconnects, 2u);
    // The neighbour never noticed.
    EXPECT_GT(neighbour_frames.load(), 0);
    EXPECT_EQ(neighbour.getStatistics().disconnects, 0u);
    EXPECT_EQ(unplugged.stop(), QuorvanSuccess);
    EXPECT_EQ(neighbour.stop(), QuorvanSuccess);
}

}  // namespace
}  // namespace Quorvan

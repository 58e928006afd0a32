#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "emulation/kit_client.h"

namespace Quorvan {
namespace {

using testing_support::decodeAgainstTruth;
using testing_support::hqvgaGroundTruth;
using testing_support::KitClient;

TEST(EmulatedKitThreads, StopReleasesACaptureWaitingWithoutLimit) {
    KitClient kit("noise = off\nframe_rate = 0.1\n");
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::vector<uint16_t> cache;
    ASSERT_TRUE(kit.captureFrame(&cache));
    std::atomic<int> status{1};
    std::thread waiter([&] {
        QuorvanImage image{};
        status = QuorvanCaptureImage(kit.handle(), &image, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(QuorvanStopCamera(kit.handle()), QUORVAN_EVK_OK);
    waiter.join();  // ten seconds to the next frame: returning at all is the test
    EXPECT_EQ(status.load(), QUORVAN_EVK_NOT_STARTED);
}

TEST(EmulatedKitThreads, RangeChangesWhileCapturingNeverMixAFrame) {
    const auto truth = hqvgaGroundTruth();
    KitClient kit("noise = off\nframe_rate = unpaced\n");
    ASSERT_EQ(QuorvanStartCamera(kit.handle()), QUORVAN_EVK_OK);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int turn = 0; !done.load(); ++turn) {
            QuorvanWriteSensorReg(kit.handle(), 0x216c, turn % 2 ? 0x08 : 0x10);
            std::this_thread::yield();
        }
    });
    int frames_at[2] = {0, 0};
    for (int frame = 0; frame < 40; ++frame) {
        std::vector<uint16_t> cache;
        ASSERT_TRUE(kit.captureFrame(&cache));
        const bool long_range = decodeAgainstTruth(cache, 4000, truth).p99_error_mm < 2.0;
        const bool short_range = decodeAgainstTruth(cache, 2000, truth).p99_error_mm < 2.0;
        EXPECT_NE(long_range, short_range) << "frame " << frame;
        ++frames_at[short_range ? 1 : 0];
    }
    done = true;
    writer.join();
    EXPECT_EQ(frames_at[0] + frames_at[1], 40);
}

}  // namespace
}  // namespace Quorvan

// The capture thread's depth filters: the chain is exactly the filters of
// tof_filters.h run in the documented order, and a camera streaming the
// emulated kit hands out frames filtered that way once asked to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "emulation/kit_test_support.h"
#include "processing/capture_filter_chain.h"
#include "quorvan/camera.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

using testing_support::TempConfigFile;

constexpr int kWidth = 240;
constexpr int kHeight = 180;
constexpr std::size_t kPixels = static_cast<std::size_t>(kWidth) * kHeight;

struct Planes {
    std::vector<float> depth;
    std::vector<float> amplitude;
};

Planes randomPlanes(unsigned seed) {
    Planes planes{std::vector<float>(kPixels), std::vector<float>(kPixels)};
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distance(500.0f, 3000.0f);
    std::uniform_real_distribution<float> light(0.0f, 200.0f);
    for (std::size_t i = 0; i < kPixels; ++i) {
        planes.depth[i] = i % 37 == 0 ? 0.0f : distance(generator);
        planes.amplitude[i] = light(generator);
    }
    return planes;
}

CaptureFilterSettings everyFilter() {
    CaptureFilterSettings settings;
    settings.min_amplitude = 50.0f;
    settings.flying_pixels = true;
    settings.median = true;
    settings.temporal = true;
    settings.temporal_parameters.alpha = 0.5f;
    return settings;
}

// The chosen steps written out with the public filters, in the chain's order.
void filterByHand(std::vector<float>& depth, const std::vector<float>& amplitude,
                  std::vector<float>& history, const CaptureFilterSettings& settings) {
    std::vector<float> scratch(kPixels);
    if (settings.min_amplitude > 0.0f)
        filters::thresholdAmplitude(depth.data(), amplitude.data(), kPixels,
                                    settings.min_amplitude);
    if (settings.flying_pixels) {
        filters::removeFlyingPixels(depth.data(), scratch.data(), kWidth, kHeight, settings.flying);
        depth = scratch;
    }
    if (settings.median) {
        filters::median3x3(depth.data(), scratch.data(), kWidth, kHeight);
        depth = scratch;
    }
    if (settings.temporal)
        filters::temporalFilter(depth.data(), history.data(), kPixels,
                                settings.temporal_parameters);
}

TEST(CaptureFilterChain, IsTheFiltersInTheirOrderFrameAfterFrame) {
    const CaptureFilterSettings settings = everyFilter();
    CaptureFilterChain chain;
    chain.configure(settings);
    std::vector<float> history(kPixels, 0.0f);
    for (unsigned frame = 0; frame < 3; ++frame) {
        Planes planes = randomPlanes(frame + 1);
        std::vector<float> expected = planes.depth;
        filterByHand(expected, planes.amplitude, history, settings);
        chain.apply(planes.depth.data(), planes.amplitude.data(), kWidth, kHeight);
        ASSERT_EQ(std::memcmp(planes.depth.data(), expected.data(), kPixels * sizeof(float)), 0)
            << "frame " << frame;
    }

    // A restart forgets the history: the next frame is filtered as a first.
    chain.restart();
    std::fill(history.begin(), history.end(), 0.0f);
    Planes planes = randomPlanes(9);
    std::vector<float> expected = planes.depth;
    filterByHand(expected, planes.amplitude, history, settings);
    chain.apply(planes.depth.data(), planes.amplitude.data(), kWidth, kHeight);
    EXPECT_EQ(std::memcmp(planes.depth.data(), expected.data(), kPixels * sizeof(float)), 0);
}

TEST(CaptureFilterChain, LeavesTheFrameAloneWhenNothingIsChosenOrTheSizeIsEmpty) {
    CaptureFilterChain chain;
    Planes planes = randomPlanes(3);
    const std::vector<float> original = planes.depth;
    chain.apply(planes.depth.data(), planes.amplitude.data(), kWidth, kHeight);
    EXPECT_EQ(planes.depth, original);
    EXPECT_FALSE(chain.active());

    chain.configure(everyFilter());
    chain.apply(planes.depth.data(), planes.amplitude.data(), 0, kHeight);
    chain.apply(nullptr, planes.amplitude.data(), kWidth, kHeight);
    EXPECT_EQ(planes.depth, original);
}

TEST(CaptureFilters, OutOfRangeSettingsAreRefusedAndChangeNothing) {
    QuorvanTOFCamera camera;
    CaptureFilterSettings good;
    good.min_amplitude = 10.0f;
    ASSERT_EQ(camera.setCaptureFilters(good), QuorvanSuccess);

    std::vector<CaptureFilterSettings> bad(6, good);
    bad[0].min_amplitude = -1.0f;
    bad[1].min_amplitude = NAN;
    bad[2].flying.min_jump_mm = -5.0f;
    bad[3].flying.relative_jump = INFINITY;
    bad[4].temporal_parameters.alpha = 0.0f;
    bad[5].temporal_parameters.alpha = 1.5f;
    for (std::size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(camera.setCaptureFilters(bad[i]), QuorvanInvalidParameter) << "case " << i;
    EXPECT_EQ(camera.getCaptureFilters().min_amplitude, 10.0f);
    EXPECT_FALSE(camera.getCaptureFilters().flying_pixels);
}

// One depth frame of a running camera, copied.
bool nextDepth(QuorvanTOFCamera& camera, Planes* planes) {
    QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(3000));
    if (frame == nullptr)
        return false;
    const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
    const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
    planes->depth.assign(depth, depth + kPixels);
    planes->amplitude.assign(amplitude, amplitude + kPixels);
    return camera.releaseFrame(frame) == QuorvanSuccess;
}

TEST(CaptureFilters, TheCaptureThreadFiltersDepthFromTheNextFrameOn) {
    // Without noise every frame of the kit is the same, so a frame taken
    // before the filters were chosen, filtered by hand, is what the camera
    // must hand out afterwards (from the first frame captured after the call).
    TempConfigFile config("noise = off\n");
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(config.c_str(), 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    Planes unfiltered;
    ASSERT_TRUE(nextDepth(camera, &unfiltered));

    CaptureFilterSettings settings;
    settings.min_amplitude = 2400.0f;
    settings.median = true;
    ASSERT_EQ(camera.setCaptureFilters(settings), QuorvanSuccess);
    std::vector<float> history(kPixels, 0.0f);
    std::vector<float> expected = unfiltered.depth;
    filterByHand(expected, unfiltered.amplitude, history, settings);
    // Frames captured before the call may still be queued; within a few
    // frames the filtered ones arrive, and then every one is filtered.
    int filtered_in_a_row = 0;
    for (int frame = 0; frame < 40 && filtered_in_a_row < 5; ++frame) {
        Planes planes;
        ASSERT_TRUE(nextDepth(camera, &planes));
        const bool filtered = planes.depth == expected;
        if (!filtered) {
            ASSERT_EQ(filtered_in_a_row, 0) << "an unfiltered frame after filtered ones";
        }
        filtered_in_a_row += filtered;
    }
    EXPECT_EQ(filtered_in_a_row, 5);
    const std::size_t rejected = std::count(expected.begin(), expected.end(), 0.0f) -
                                 std::count(unfiltered.depth.begin(), unfiltered.depth.end(), 0.0f);
    EXPECT_GT(rejected, 0u) << "the threshold rejected nothing; the check would prove little";

    // Off again: frames are the device's own once more.
    ASSERT_EQ(camera.setCaptureFilters(CaptureFilterSettings{}), QuorvanSuccess);
    bool unfiltered_again = false;
    for (int frame = 0; frame < 40 && !unfiltered_again; ++frame) {
        Planes planes;
        ASSERT_TRUE(nextDepth(camera, &planes));
        unfiltered_again = planes.depth == unfiltered.depth;
    }
    EXPECT_TRUE(unfiltered_again);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

TEST(CaptureFilters, SettingsChangeWhileStreamingFromAnotherThread) {
    TempConfigFile config("noise = off\n");
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(config.c_str(), 0), QuorvanSuccess);
    ASSERT_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess);
    std::thread changer([&camera] {
        for (int turn = 0; turn < 200; ++turn) {
            CaptureFilterSettings settings = everyFilter();
            settings.median = turn % 2 == 0;
            settings.temporal = turn % 3 == 0;
            EXPECT_EQ(camera.setCaptureFilters(settings), QuorvanSuccess);
            std::this_thread::yield();
        }
    });
    int frames = 0;
    for (int i = 0; i < 30; ++i) {
        Planes planes;
        frames += nextDepth(camera, &planes);
    }
    changer.join();
    EXPECT_EQ(frames, 30);
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

}  // namespace
}  // namespace Quorvan

// Once streaming, the per-frame path (capture through the emulated kit,
// processing, queueing, requestFrame and releaseFrame) allocates nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "alloc/allocation_counter.h"
#include "quorvan/camera.h"
#include "support/test_deadlines.h"

namespace Quorvan {
namespace {

constexpr int kWarmUpFrames = 20;
constexpr int kCountedFrames = 60;

class KitConfigFile {
public:
    explicit KitConfigFile(const char* text) {
        char path[] = "/tmp/quorvan_alloc_test_XXXXXX";
        const int descriptor = mkstemp(path);
        if (descriptor >= 0) {
            FILE* file = fdopen(descriptor, "w");
            std::fputs(text, file);
            std::fclose(file);
            path_ = path;
        }
    }
    ~KitConfigFile() {
        if (!path_.empty())
            std::remove(path_.c_str());
    }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

#define SKIP_WITHOUT_COUNTER()                                                    \
    if (!allocation_counter::available())                                         \
    GTEST_SKIP() << "a sanitizer replaces malloc; allocation counting needs the " \
                    "plain build"

TEST(AllocationCounter, SeesAllocationsOnAnyThread) {
    SKIP_WITHOUT_COUNTER();
    allocation_counter::start();
    int* volatile value = new int(7);
    delete value;
    EXPECT_GE(allocation_counter::stop(), 1u);

    std::thread worker;
    allocation_counter::start();
    worker = std::thread([] {
        char* volatile block = static_cast<char*>(std::malloc(333));
        std::free(block);
    });
    worker.join();
    EXPECT_GE(allocation_counter::stop(), 1u);
}

struct StreamingCase {
    const char* name;
    FrameType type;
    const char* kit_config;
    bool every_capture_filter = false;
};

class PerFrameAllocationTest : public ::testing::TestWithParam<StreamingCase> {};

TEST_P(PerFrameAllocationTest, SteadyStreamingAllocatesNothing) {
    SKIP_WITHOUT_COUNTER();
    const StreamingCase& scenario = GetParam();
    KitConfigFile config(scenario.kit_config);
    QuorvanTOFCamera camera;
    ASSERT_EQ(camera.openWithFile(config.path(), 0), QuorvanSuccess);
    if (scenario.every_capture_filter) {
        CaptureFilterSettings filters;
        filters.min_amplitude = 100.0f;
        filters.flying_pixels = filters.median = filters.temporal = true;
        ASSERT_EQ(camera.setCaptureFilters(filters), QuorvanSuccess);
    }
    ASSERT_EQ(camera.start(scenario.type), QuorvanSuccess);
    for (int i = 0; i < kWarmUpFrames; ++i) {
        QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
        ASSERT_NE(frame, nullptr);
        ASSERT_EQ(camera.releaseFrame(frame), QuorvanSuccess);
    }

    // Nothing inside the window may allocate on its own: failures are only
    // tallied here and reported after counting stops.
    int missing = 0;
    int refused = 0;
    allocation_counter::start();
    for (int i = 0; i < kCountedFrames; ++i) {
        QuorvanFrameBuffer* frame = camera.requestFrame(testing_support::frameDeadlineMs(2000));
        if (frame == nullptr) {
            ++missing;
            continue;
        }
        refused += camera.releaseFrame(frame) != QuorvanSuccess;
    }
    const uint64_t allocations = allocation_counter::stop();
    const size_t first_size = allocation_counter::firstSize();

    EXPECT_EQ(missing, 0);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(allocations, 0u) << scenario.name << ": first allocation of " << first_size
                               << " bytes";
    EXPECT_EQ(camera.stop(), QuorvanSuccess);
    EXPECT_EQ(camera.close(), QuorvanSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    EmulatedKit, PerFrameAllocationTest,
    ::testing::Values(
        StreamingCase{"depth", FrameType::DEPTH, "frame_rate = unpaced\nnoise = off\n"},
        StreamingCase{"raw", FrameType::RAW, "frame_rate = unpaced\nnoise = off\n"},
        StreamingCase{"depth_with_noise", FrameType::DEPTH, "frame_rate = unpaced\nnoise = on\n"},
        StreamingCase{"depth_every_capture_filter", FrameType::DEPTH,
                      "frame_rate = unpaced\nnoise = off\n", true},
        StreamingCase{"depth_640x480", FrameType::DEPTH,
                      "geometry = 640x2405\nframe_rate = unpaced\nscene = wall\n"
                      "scene.distance_mm = 800\nnoise = off\n"}),
    [](const ::testing::TestParamInfo<StreamingCase>& info) { return info.param.name; });

}  // namespace
}  // namespace Quorvan

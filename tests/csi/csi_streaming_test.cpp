// Streaming on the CSI sensor: the frames each host's layout yields, the
// grouping of sub-frames by timestamp, and every injected driver fault
// ending in a status with nothing left mapped.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <string>

#include "csi/line_copy.h"
#include "csi_rig.h"
#include "host/host_platform.h"
#include "support/driver_layout.h"

namespace Quorvan {
namespace {

using simulation::Fault;
using simulation::kAlways;
using simulation::KernelCall;
using simulation::PatternSource;

constexpr size_t kPixels = 240 * 180;

// The sample the cache should hold at `index` of a frame whose sub-frames
// came from phases 0..3, as the host's copy routine delivers it.
uint16_t expectedSample(int32_t platform, size_t index) {
    const int phase = static_cast<int>(index / kPixels);
    const uint32_t row = static_cast<uint32_t>(index % kPixels) / 240;
    const uint32_t column = static_cast<uint32_t>(index % kPixels) % 240;
    // The Xavier/Orin receiver delivers its samples shifted left by 4.
    const int shift = platform == JETSON_XAVIER_ORIN ? 4 : 0;
    return static_cast<uint16_t>(PatternSource::sampleAt(phase, row, column) << shift);
}

void expectPhaseImages(const CsiRig& rig, int32_t platform) {
    for (size_t i = 0; i < 4 * kPixels; ++i) {
        ASSERT_EQ(rig.sample(i), expectedSample(platform, i)) << "sample " << i;
    }
}

TEST(CsiStreaming, EveryHostDeliversItsPhaseImages) {
    for (int32_t platform :
         {RASPBERRY_PI, RASPBERRY_PI_5, RADXA_ROCK, JETSON_TX1_NANO, JETSON_XAVIER_ORIN}) {
        SCOPED_TRACE(platform);
        CsiRig rig(CsiRig::patternBoard(platform));
        testing::internal::CaptureStderr();  // range writes fail on Jetson hosts
        ASSERT_EQ(rig.openAndStart(), 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 8);
        for (int frame = 0; frame < 3; ++frame) {
            uint64_t timestamp = 0;
            ASSERT_EQ(rig.grabFrame(&timestamp), 0);
            expectPhaseImages(rig, platform);
            // Captures start 10 ms before the 1000 s mark, 33 ms apart; the
            // fourth sub-frame is 3 ms after the first.
            EXPECT_EQ(timestamp, 1000993u + frame * 33u);
        }
        EXPECT_EQ(rig.board.captureNode().queuedCount(), 8u);
        EXPECT_EQ(rig.sensor.stop(), 0);
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
        // Buffers are requested again by the next start.
        ASSERT_EQ(rig.sensor.start(), 0);
        uint64_t timestamp = 0;
        ASSERT_EQ(rig.grabFrame(&timestamp), 0);
        EXPECT_EQ(rig.sensor.stop(), 0);
        EXPECT_EQ(rig.sensor.close(), 0);
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
    }
}

TEST(CsiStreaming, LateSubframeStartsANewGroup) {
    CsiRig rig(CsiRig::patternBoard(RASPBERRY_PI));
    // The third sub-frame comes 6 ms after the second: the first two are
    // dropped, and the group that completes is the next capture.
    rig.board.captureNode().addTimestampGap(2, 5000);
    ASSERT_EQ(rig.openAndStart(), 0);
    uint64_t timestamp = 0;
    ASSERT_EQ(rig.grabFrame(&timestamp), 0);
    EXPECT_EQ(rig.board.captureNode().dequeuedCount(), 8u);
    expectPhaseImages(rig, RASPBERRY_PI);
    EXPECT_EQ(timestamp, 1000990u + 5u + 33u + 3u);
}

TEST(CsiStreaming, GroupingComparesWholeTimestampsAcrossSecondBoundaries) {
    struct Case {
        int64_t first_us;
        int64_t gap_us;     // added before the second sub-frame
        uint64_t dequeues;  // until a group of four completes
    };
    const Case cases[] = {
        {999998000, 2000, 4},  // 0.998 s -> 1.001 s: 3 ms, kept
        {999999000, 4000, 4},  // 0.999 s -> 1.004 s: exactly 5 ms, kept
        {999997000, 5000, 8},  // 0.997 s -> 1.003 s: 6 ms, regrouped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first_us);
        CsiRig rig(CsiRig::patternBoard(RASPBERRY_PI));
        rig.board.captureNode().first_timestamp_us = c.first_us - 999000000;
        rig.board.captureNode().addTimestampGap(1, c.gap_us);
        ASSERT_EQ(rig.openAndStart(), 0);
        uint64_t timestamp = 0;
        ASSERT_EQ(rig.grabFrame(&timestamp), 0);
        EXPECT_EQ(rig.board.captureNode().dequeuedCount(), c.dequeues);
        expectPhaseImages(rig, RASPBERRY_PI);
    }
}

TEST(CsiStreaming, BuffersAlwaysTooFarApartEndEachFrameInAStatus) {
    CsiRig rig(CsiRig::patternBoard(RASPBERRY_PI));
    // vivid's fastest timings put buffers 8.3 ms apart: no group of four forms.
    rig.board.captureNode().subframe_spacing_us = 8333;
    ASSERT_EQ(rig.openAndStart(), 0);
    uint64_t timestamp = 0;
    EXPECT_NE(rig.grabFrame(&timestamp), 0);
    EXPECT_EQ(rig.board.captureNode().dequeuedCount(), 32u);
    EXPECT_EQ(rig.board.captureNode().queuedCount(), 8u);
    EXPECT_EQ(rig.sensor.stop(), 0);
}

TEST(CsiStreaming, BufferFlaggedAsCorruptIsNoFrame) {
    CsiRig rig(CsiRig::patternBoard(RASPBERRY_PI));
    rig.board.captureNode().flagErrorOnDequeue(1);
    ASSERT_EQ(rig.openAndStart(), 0);
    uint64_t timestamp = 0;
    EXPECT_NE(rig.grabFrame(&timestamp), 0);
    // Given back to the driver, and the next frame is whole.
    EXPECT_EQ(rig.board.captureNode().queuedCount(), 8u);
    EXPECT_EQ(rig.grabFrame(&timestamp), 0);
    EXPECT_EQ(rig.sensor.stop(), 0);
    EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
}

TEST(CsiStreaming, IndexOutsideTheTableIsNoCache) {
    CsiRig rig(CsiRig::patternBoard(RASPBERRY_PI));
    rig.board.captureNode().reportIndexOnDequeue(1, 9);
    ASSERT_EQ(rig.openAndStart(), 0);
    uint64_t timestamp = 77;
    EXPECT_EQ(rig.grabFrame(&timestamp), 2);
    EXPECT_EQ(timestamp, 77u);
    // That buffer is not given back; the others keep streaming.
    EXPECT_EQ(rig.board.captureNode().queuedCount(), 7u);
    ASSERT_EQ(rig.grabFrame(&timestamp), 0);
    EXPECT_EQ(rig.sensor.stop(), 0);
    EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
}

TEST(CsiStreaming, ExactPaddedFrameLengthTakesTheStrideCopyOnEveryHost) {
    for (int32_t platform :
         {RASPBERRY_PI, RASPBERRY_PI_5, JETSON_TX1_NANO, JETSON_XAVIER_ORIN, OTHER}) {
        SCOPED_TRACE(platform);
        CsiRig rig(CsiRig::patternBoard(platform));
        auto& node = rig.board.captureNode();
        node.extra_buffer_bytes = kPaddedFrameLength - node.currentFormat().sizeimage;
        testing::internal::CaptureStderr();
        if (platform == OTHER) {
            // No bus on an unknown host, but streaming needs only the node.
            rig.open();
            rig.sensor.subframe_count = 4;
            rig.cache.assign(4 * kPixels * 2, 0);
            rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 240);
            rig.sensor.setControl(CameraCtrl::FMT_HEIGHT, 180);
            ASSERT_EQ(rig.sensor.start(), 0);
        } else {
            ASSERT_EQ(rig.openAndStart(), 0);
        }
        testing::internal::GetCapturedStderr();
        uint64_t timestamp = 0;
        ASSERT_EQ(rig.grabFrame(&timestamp), 0);
        const auto layout = platform == RASPBERRY_PI_5       ? simulation::DriverLayout::Packed12
                            : platform == JETSON_TX1_NANO    ? simulation::DriverLayout::PaddedLines
                            : platform == JETSON_XAVIER_ORIN ? simulation::DriverLayout::LinePairs
                                                             : simulation::DriverLayout::Plain;
        for (int phase = 0; phase < 4; ++phase) {
            std::vector<uint16_t> samples(kPixels);
            PatternSource().render(240, 180, 0, phase, samples.data());
            std::vector<uint8_t> driver = simulation::layOutFrame(layout, samples.data(), 240, 180);
            driver.resize(kPaddedFrameLength, simulation::kPaddingByte);
            for (size_t line = 0; line < 180; ++line) {
                ASSERT_EQ(0, std::memcmp(rig.cache.data() + phase * kPixels * 2 + line * 480,
                                         driver.data() + line * 512, 480))
                    << "phase " << phase << " line " << line;
            }
        }
        rig.sensor.stop();
        rig.sensor.close();
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
    }
}

// Buffers longer than a frame, and lengths the driver claims beyond what was
// mapped: each sub-frame still lands in its own place and nothing outside
// the cache or the mapping is touched (the cache ends exactly at its size).
TEST(CsiStreaming, OversizedDriverBuffersStayWithinTheirSubframe) {
    for (int32_t platform : {RASPBERRY_PI, RASPBERRY_PI_5, RADXA_ROCK, JETSON_XAVIER_ORIN}) {
        for (bool overstated : {false, true}) {
            SCOPED_TRACE(std::to_string(platform) + (overstated ? " overstated" : " longer"));
            CsiRig rig(CsiRig::patternBoard(platform));
            auto& node = rig.board.captureNode();
            if (overstated) {
                node.overstated_length = 100000;
            } else {
                node.extra_buffer_bytes = 4096;
            }
            testing::internal::CaptureStderr();
            ASSERT_EQ(rig.openAndStart(), 0);
            testing::internal::GetCapturedStderr();
            uint64_t timestamp = 0;
            ASSERT_EQ(rig.grabFrame(&timestamp), 0);
            expectPhaseImages(rig, platform);
            rig.sensor.stop();
        }
    }
}

TEST(CsiStreaming, WrongBufferCountFailsStartAndMapsNothing) {
    for (uint32_t granted : {4u, 12u}) {
        SCOPED_TRACE(granted);
        CsiRig rig(RASPBERRY_PI);
        rig.board.captureNode().granted_buffers = granted;
        testing::internal::CaptureStderr();
        EXPECT_EQ(rig.openAndStart(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "VIDIOC_REQBUFS: driver granted " +
                                                              std::to_string(granted) +
                                                              " buffers instead of 8\n");
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
        EXPECT_FALSE(rig.board.captureNode().streaming());
        // The granted table was given back: the driver takes a format again.
        rig.board.captureNode().granted_buffers = 0;
        EXPECT_EQ(rig.sensor.start(), 0);
        EXPECT_EQ(rig.sensor.stop(), 0);
        rig.sensor.close();
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
}

TEST(CsiStreaming, FailedStartLeavesNothingMapped) {
    struct Case {
        Fault fault;
        int result;
    };
    const Case cases[] = {
        {{KernelCall::Ioctl, VIDIOC_TRY_FMT, "", EINVAL, 0, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_S_FMT, "", EBUSY, 0, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_SUBDEV_S_FMT, "", EIO, 0, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_SUBDEV_G_FMT, "", EIO, 0, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_REQBUFS, "", ENOMEM, 0, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_QUERYBUF, "", EINVAL, 2, 1}, -1},
        {{KernelCall::Mmap, 0, "", ENOMEM, 4, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_QBUF, "", EIO, 7, 1}, -1},
        {{KernelCall::Ioctl, VIDIOC_STREAMON, "", EIO, 0, 1}, -2},
        // Transient errors are absorbed by the retry rule.
        {{KernelCall::Ioctl, VIDIOC_QBUF, "", EAGAIN, 0, 4}, 0},
        {{KernelCall::Ioctl, VIDIOC_STREAMON, "", ETIMEDOUT, 0, 4}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fault.request) + " skip " + std::to_string(c.fault.skip));
        CsiRig rig(RASPBERRY_PI_5);
        ASSERT_EQ(rig.open(), 0);
        rig.board.kernel().injectFault(c.fault);
        rig.sensor.subframe_count = 4;
        EXPECT_EQ(rig.sensor.start(), c.result);
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), c.result == 0 ? 8 : 0);
        // The sensor is still usable: the next start works.
        rig.board.kernel().clearFaults();
        if (c.result != 0) {
            EXPECT_EQ(rig.sensor.start(), 0);
        }
        rig.cache.assign(4 * kPixels * 2, 0);
        uint64_t timestamp = 0;
        EXPECT_EQ(rig.grabFrame(&timestamp), 0);
        EXPECT_EQ(rig.sensor.stop(), 0);
        rig.sensor.close();
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
}

TEST(CsiStreaming, SizeTheSensorCannotDeliverIsRefused) {
    CsiRig rig(RASPBERRY_PI);
    ASSERT_EQ(rig.open(), 0);
    EXPECT_EQ(rig.sensor.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    EXPECT_EQ(rig.sensor.start(), -1);
    EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
}

TEST(CsiStreaming, FrameFaultsEndInStatusCodes) {
    struct Case {
        Fault fault;
        int result;
    };
    const Case cases[] = {
        {{KernelCall::Ioctl, VIDIOC_DQBUF, "", EIO, 1, 1}, -2},
        {{KernelCall::Ioctl, VIDIOC_DQBUF, "", EAGAIN, 0, kAlways}, -2},
        {{KernelCall::Ioctl, VIDIOC_QBUF, "", EINVAL, 2, 1}, -2},
        {{KernelCall::Ioctl, VIDIOC_DQBUF, "", EINTR, 0, 4}, 0},
        // The wait before each dequeue: a failure is final, a signal is
        // waited out a few times.
        {{KernelCall::Poll, 0, "", EIO, 1, 1}, -2},
        {{KernelCall::Poll, 0, "", EINTR, 0, 2}, 0},
        {{KernelCall::Poll, 0, "", EINTR, 0, kAlways}, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fault.request) + " errno " + std::to_string(c.fault.error));
        CsiRig rig(CsiRig::patternBoard(RASPBERRY_PI));
        ASSERT_EQ(rig.openAndStart(), 0);
        rig.board.kernel().injectFault(c.fault);
        uint64_t timestamp = 5;
        EXPECT_EQ(rig.grabFrame(&timestamp), c.result);
        if (c.result != 0) {
            EXPECT_EQ(timestamp, 5u);
        } else {
            expectPhaseImages(rig, RASPBERRY_PI);
        }
        EXPECT_EQ(rig.sensor.stop(), 0);
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
    }
}

TEST(CsiStreaming, NoSubframesWantedTouchesNothing) {
    CsiRig rig(RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), 0);
    rig.sensor.subframe_count = 0;
    uint64_t timestamp = 99;
    EXPECT_EQ(rig.grabFrame(&timestamp), 0);
    EXPECT_EQ(timestamp, 0u);
    EXPECT_EQ(rig.board.captureNode().dequeuedCount(), 0u);
    rig.sensor.stop();
}

TEST(CsiStreaming, StopFailuresAreReportedAndNothingLeaks) {
    {
        // A failed stream-off unmaps nothing; close releases the buffers.
        CsiRig rig(RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(), 0);
        rig.board.kernel().injectFault({KernelCall::Ioctl, VIDIOC_STREAMOFF, "", EIO, 0, 1});
        EXPECT_EQ(rig.sensor.stop(), -2);
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 8);
        EXPECT_EQ(rig.sensor.close(), 0);
        EXPECT_EQ(rig.board.kernel().liveMappingCount(), 0);
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
    for (const Fault& fault : {Fault{KernelCall::Ioctl, VIDIOC_QUERYBUF, "", EINVAL, 3, 1},
                               Fault{KernelCall::Munmap, 0, "", EINVAL, 3, 1}}) {
        CsiRig rig(RADXA_ROCK);
        ASSERT_EQ(rig.openAndStart(), 0);
        rig.board.kernel().injectFault(fault);
        EXPECT_EQ(rig.sensor.stop(), -2);
        EXPECT_EQ(rig.sensor.mappedBufferCount(), 0);
        rig.sensor.close();
        EXPECT_EQ(rig.board.kernel().openDescriptorCount(), 0);
    }
    CsiRig never_opened(RASPBERRY_PI);
    EXPECT_EQ(never_opened.sensor.stop(), -2);
}

}  // namespace
}  // namespace Quorvan

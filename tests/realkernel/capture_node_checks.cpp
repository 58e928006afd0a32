// The capture node class on its own against vivid, in whichever buffer type
// the node offers; on the multi-planar instance this is the only way our code
// streams, since the sensor takes that type on media-graph hosts only. Two
// geometries stream through the whole queue cycle with the bytes compared to
// a plain V4L2 read of the same pattern; then vivid's disconnect is pulled
// while a thread waits in dequeue, which must end in a status within the
// bound, with stop and close leaving nothing of the node behind.
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "check.h"
#include "csi/capture_node.h"
#include "csi/v4l2_records.h"
#include "process_resources.h"
#include "realkernel_checks.h"
#include "vivid_node.h"

namespace Quorvan::realkernel {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t bytesUsed(const CapturedBuffer& buffer) {
    return isMultiPlanar(buffer.record.type) ? buffer.plane.bytesused : buffer.record.bytesused;
}

bool startStreaming(CaptureNode& capture, uint32_t width, uint32_t height) {
    return RK_CHECK_EQ(capture.applyFormat(width, height, kPixelFormatY12), 0) &&
           RK_CHECK_EQ(capture.requestBuffers(), 0) &&
           RK_CHECK_EQ(capture.mapAndQueueBuffers(), 0) &&
           RK_CHECK_EQ(capture.mappedBufferCount(), 8) && RK_CHECK_EQ(capture.streamOn(), 0);
}

// Sixteen buffers (each index twice): the driver's bytes as mapped, in time
// order, each given back. Each goes back poisoned, so its second use matches
// only if the driver wrote it again and our mapping is the memory it wrote.
void checkBuffers(CaptureNode& capture, const std::string& reference) {
    int64_t previous = 0;
    int matching = 0;
    int out_of_order = 0;
    std::map<uint32_t, int64_t> time_of_index;
    for (int count = 0; count < 16; ++count) {
        CapturedBuffer buffer;
        if (!RK_CHECK_EQ(capture.dequeue(buffer), 0) || !RK_CHECK(buffer.data != nullptr))
            return;
        RK_CHECK_EQ(bytesUsed(buffer), reference.size());
        RK_CHECK(buffer.length >= reference.size());
        matching += bytesUsed(buffer) == reference.size() &&
                    std::memcmp(buffer.data, reference.data(), reference.size()) == 0;
        // vivid marks a buffer done before writing its timestamp; a dequeue
        // that wins that race sees the time of the same buffer's previous
        // use (zero on its first). Anything else out of order is ours.
        const int64_t microseconds = timestampMicroseconds(buffer.record);
        if (microseconds <= previous) {
            const auto earlier = time_of_index.find(buffer.record.index);
            const int64_t stale = earlier == time_of_index.end() ? 0 : earlier->second;
            out_of_order += microseconds != stale;
            std::printf("NOTE buffer %u at %lld us, not after %lld us (stale would be %lld)\n",
                        buffer.record.index, static_cast<long long>(microseconds),
                        static_cast<long long>(previous), static_cast<long long>(stale));
        } else {
            previous = microseconds;
        }
        time_of_index[buffer.record.index] = microseconds;
        // The mapping is shared and writable; the driver owns the bytes
        // again once the buffer is queued. Without its compose rectangle
        // vivid writes the whole image on every use.
        std::memset(const_cast<uint8_t*>(buffer.data), kPoisonByte,
                    std::min(bytesUsed(buffer), buffer.length));
        RK_CHECK_EQ(capture.requeue(buffer), 0);
    }
    RK_CHECK_EQ(matching, 16);
    RK_CHECK_EQ(out_of_order, 0);
}

void checkStreamCycle(CaptureNode& capture, const char* node, uint32_t width, uint32_t height) {
    Scope scope(std::to_string(width) + "x" + std::to_string(height));
    const std::string reference = captureOneBuffer(node, width, height);
    if (!RK_CHECK_EQ(reference.size(), static_cast<size_t>(width) * height * 2))
        return;
    RK_CHECK(hasSeveralSampleValues(reference));
    RK_CHECK(hasSeveralSampleValues(lastLine(reference, width)));
    if (startStreaming(capture, width, height))
        checkBuffers(capture, reference);
    RK_CHECK_EQ(capture.streamOff(), 0);
    RK_CHECK_EQ(capture.releaseBuffers(), 0);
    RK_CHECK_EQ(capture.mappedBufferCount(), 0);
    RK_CHECK_EQ(mappingsOf(node), 0);
}

void checkUnplugWhileDequeuing(CaptureNode& capture, const char* node) {
    Scope scope("unplug");
    if (!startStreaming(capture, 640, 2405))
        return;
    std::atomic<bool> unplugged{false};
    auto dequeuing = std::async(std::launch::async, [&] {
        int result = 0;
        for (int count = 0; count < 5000 && result == 0; ++count) {
            CapturedBuffer buffer;
            result = capture.dequeue(buffer);
            if (result == 0)
                result = capture.requeue(buffer);
            // One more wait after the unplug: it must not block.
            if (result == 0 && unplugged.load())
                result = capture.dequeue(buffer);
        }
        return result;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        VividNode vivid(node);
        RK_CHECK(vivid.setControl("Disconnect", 1));
    }
    unplugged = true;
    const auto unplug_time = Clock::now();
    const bool reported = dequeuing.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (RK_CHECK(reported)) {
        const int result = dequeuing.get();
        RK_CHECK(result != 0);
        std::printf("NOTE %s: dequeue after unplug returned %d in %.2f s\n", node, result,
                    secondsSince(unplug_time));
    }
    const auto stopping = Clock::now();
    const int stopped = capture.streamOff();
    const int released = capture.releaseBuffers();
    std::printf("NOTE %s: stream off after unplug returned %d, release %d, in %.2f s\n", node,
                stopped, released, secondsSince(stopping));
    RK_CHECK(secondsSince(stopping) < 2.0);
    RK_CHECK_EQ(capture.mappedBufferCount(), 0);
    capture.close();
    RK_CHECK_EQ(openDescriptorsOf(node), 0);
    RK_CHECK_EQ(mappingsOf(node), 0);
}

}  // namespace

void runCaptureNodeChecks(const char* node) {
    Scope scope(std::string(node) + " capture node");
    bool multi_planar = false;
    {
        VividNode vivid(node);
        if (!RK_CHECK(vivid.isOpen()))
            return;
        multi_planar = vivid.isMultiPlanar();
        RK_CHECK(makePatternStatic(vivid));
        RK_CHECK(composeWholeBuffer(vivid));
        RK_CHECK(vivid.useFastestHdmiTimings() > 0);
    }
    std::printf("NOTE %s: capture node streams %s buffers\n", node,
                multi_planar ? "multi-planar" : "single-planar");
    const int descriptors_before = openDescriptorCount();
    {
        CaptureNode capture(linuxKernel(), node);
        if (!RK_CHECK_EQ(capture.open(), 0))
            return;
        capture.setBufferType(multi_planar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE
                                           : V4L2_BUF_TYPE_VIDEO_CAPTURE);
        // Both sizes twice: the driver's table freed at each release is what
        // lets the next format through.
        for (int cycle = 0; cycle < 2; ++cycle) {
            checkStreamCycle(capture, node, 240, 180);
            checkStreamCycle(capture, node, 640, 2405);
        }
        checkUnplugWhileDequeuing(capture, node);
    }
    RK_CHECK_EQ(openDescriptorCount(), descriptors_before);
}

}  // namespace Quorvan::realkernel

// Faults from the real driver: vivid's error injection (REQBUFS, QBUF and
// STREAMON refused, a buffer flagged as corrupt, a fatal queue error) and its
// disconnect control pulled while the capture side waits for a buffer. Each
// must end in a status, with stop bounded and nothing left open or mapped.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "check.h"
#include "process_resources.h"
#include "realkernel_checks.h"
#include "sensor_rig.h"
#include "vivid_node.h"

namespace Quorvan::realkernel {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool prepareNode(const char* node) {
    VividNode vivid(node);
    return RK_CHECK(vivid.isOpen()) && RK_CHECK(!vivid.isMultiPlanar()) &&
           RK_CHECK(makePatternStatic(vivid)) && RK_CHECK(vivid.useFastestHdmiTimings() > 0);
}

// A refused start leaves nothing mapped, and the next start works.
void checkRefusedStart(SensorRig& rig, const VividNode& vivid, const std::string& node,
                       const char* control) {
    Scope scope(control);
    RK_CHECK(vivid.setControl(control, 1));
    RK_CHECK(rig.start(240, 180, 1) != 0);
    RK_CHECK_EQ(rig.sensor.mappedBufferCount(), 0);
    RK_CHECK_EQ(mappingsOf(node), 0);
    // The injection controls are buttons: one press, one failure; writing
    // them again would arm another.
    uint64_t timestamp = 0;
    RK_CHECK_EQ(rig.start(240, 180, 1), 0);
    RK_CHECK_EQ(rig.frame(&timestamp), 0);
    RK_CHECK_EQ(rig.sensor.stop(), 0);
    RK_CHECK_EQ(mappingsOf(node), 0);
}

// A fault while frames flow: the frame reports it, stop stays bounded, and a
// new start streams again.
void checkFaultWhileStreaming(SensorRig& rig, const VividNode& vivid, const std::string& node,
                              const char* control) {
    Scope scope(control);
    uint64_t timestamp = 0;
    if (!RK_CHECK_EQ(rig.start(240, 180, 1), 0))
        return;
    RK_CHECK_EQ(rig.frame(&timestamp), 0);
    RK_CHECK(vivid.setControl(control, 1));
    int failures = 0;
    for (int frame = 0; frame < 4; ++frame)
        failures += rig.frame(&timestamp) != 0;
    RK_CHECK(failures > 0);
    const auto stopping = Clock::now();
    rig.sensor.stop();
    RK_CHECK(secondsSince(stopping) < 2.0);
    rig.sensor.close();
    RK_CHECK_EQ(mappingsOf(node), 0);
    RK_CHECK_EQ(rig.open(), 0);
    RK_CHECK_EQ(rig.start(240, 180, 1), 0);
    RK_CHECK_EQ(rig.frame(&timestamp), 0);
    RK_CHECK_EQ(rig.sensor.stop(), 0);
}

}  // namespace

void runFaultChecks(const char* node) {
    Scope scope(node);
    if (!prepareNode(node))
        return;
    VividNode vivid(node);
    SensorRig rig(node);
    if (!RK_CHECK(rig.stage.ready()) || !RK_CHECK_EQ(rig.open(), 0))
        return;
    checkRefusedStart(rig, vivid, node, "Inject VIDIOC_REQBUFS Error");
    checkRefusedStart(rig, vivid, node, "Inject VIDIOC_QBUF Error");
    checkRefusedStart(rig, vivid, node, "Inject VIDIOC_STREAMON Error");
    checkFaultWhileStreaming(rig, vivid, node, "Inject V4L2_BUF_FLAG_ERROR");
    checkFaultWhileStreaming(rig, vivid, node, "Inject Fatal Streaming Error");
    RK_CHECK_EQ(rig.sensor.close(), 0);
    RK_CHECK_EQ(openDescriptorsOf(node), 1);  // the test's own control handle
    RK_CHECK_EQ(mappingsOf(node), 0);
}

// Pulls vivid's disconnect while the capture side sits in the wait for a
// buffer: the pending frame ends in a status, stop and close are bounded
// and leave nothing of the node behind.
void runUnplugChecks(const char* node) {
    Scope scope(node);
    if (!prepareNode(node))
        return;
    const int descriptors_before = openDescriptorCount();
    {
        SensorRig rig(node);
        if (!RK_CHECK(rig.stage.ready()) || !RK_CHECK_EQ(rig.open(), 0))
            return;
        if (!RK_CHECK_EQ(rig.start(640, 2405, 1), 0))
            return;
        uint64_t timestamp = 0;
        RK_CHECK_EQ(rig.frame(&timestamp), 0);
        // Frames keep coming until the disconnect; then the one in flight
        // must report it.
        std::atomic<bool> unplugged{false};
        auto capture = std::async(std::launch::async, [&] {
            int result = 0;
            for (int frame = 0; frame < 1000 && result == 0; ++frame) {
                uint64_t stamp = 0;
                result = rig.frame(&stamp);
                if (result == 0 && unplugged.load())
                    result = rig.frame(&stamp);
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
        const bool reported =
            capture.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        RK_CHECK(reported);
        if (reported)
            RK_CHECK(capture.get() != 0);
        std::printf("NOTE %s: frame after unplug reported in %.2f s\n", node,
                    secondsSince(unplug_time));
        const auto stopping = Clock::now();
        const int stopped = rig.sensor.stop();
        std::printf("NOTE %s: stop after unplug returned %d in %.2f s\n", node, stopped,
                    secondsSince(stopping));
        RK_CHECK(secondsSince(stopping) < 2.0);
        RK_CHECK_EQ(rig.sensor.close(), 0);
        RK_CHECK_EQ(openDescriptorsOf(node), 0);
        RK_CHECK_EQ(mappingsOf(node), 0);
        RK_CHECK_EQ(openDescriptorsOf("/dev/i2c-"), 0);
        // Whatever the vanished node answers, a new open returns.
        std::printf("NOTE %s: open after unplug returned %d\n", node, rig.open());
        rig.sensor.close();
    }
    RK_CHECK_EQ(openDescriptorCount(), descriptors_before);
}

// After the module is loaded again, the re-created node streams.
void runFreshOpenChecks(const char* node) {
    Scope scope(node);
    if (!prepareNode(node))
        return;
    SensorRig rig(node);
    if (!RK_CHECK(rig.stage.ready()) || !RK_CHECK_EQ(rig.open(), 0))
        return;
    RK_CHECK_EQ(rig.start(240, 180, 1), 0);
    // The sensor hands on the time of the buffer it dequeued, as the driver
    // stamped it. vivid marks a buffer done before it writes that time, so a
    // dequeue that wins the race reads the buffer's previous time; these four
    // frames are the first use of each of the node's eight buffers, where
    // that time is zero. One such frame per stream is the driver, as in the
    // streaming checks; a zero more often, or any other time that does not
    // grow, is ours.
    uint64_t previous = 0;
    int stale_timestamps = 0;
    for (int frame = 0; frame < 4; ++frame) {
        uint64_t timestamp = 0;
        RK_CHECK_EQ(rig.frame(&timestamp), 0);
        const bool stale = timestamp == 0;
        stale_timestamps += stale;
        RK_CHECK(stale || timestamp > previous);
        if (!stale)
            previous = timestamp;
    }
    RK_CHECK(stale_timestamps <= 1);
    RK_CHECK_EQ(rig.sensor.stop(), 0);
    RK_CHECK_EQ(rig.sensor.close(), 0);
    RK_CHECK_EQ(mappingsOf(node), 0);
    RK_CHECK_EQ(openDescriptorsOf(node), 0);
}

}  // namespace Quorvan::realkernel

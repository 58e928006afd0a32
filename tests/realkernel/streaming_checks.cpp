// The CSI streaming engine against vivid: both sensor geometries, many
// frames, several start/stop cycles with size changes, the copied bytes
// against an independently dequeued driver buffer, growing timestamps, and
// nothing of the node left in /proc/self after stop and close.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "check.h"
#include "process_resources.h"
#include "realkernel_checks.h"
#include "sensor_rig.h"
#include "vivid_node.h"

namespace Quorvan::realkernel {

namespace {

struct Geometry {
    uint32_t width;
    uint32_t height;
    int32_t subframes;  // per camera frame, as each camera type streams
    int frames;
};

// vivid's fastest listed timings put buffers 8.3 ms apart, further than a
// sensor's sub-frames ever are, so a four-sub-frame group never forms (see
// checkSlowCadenceEndsInAStatus); the geometries stream one buffer a frame.
constexpr Geometry kGeometries[] = {{240, 180, 1, 8}, {640, 2405, 1, 4}};
constexpr int kCycles = 3;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Sub-frames in the cache that differ from the reference buffer.
int mismatchedSubframes(const std::vector<uint8_t>& cache, const std::string& reference) {
    const size_t subframe = reference.size();
    int mismatched = 0;
    for (size_t offset = 0; offset + subframe <= cache.size(); offset += subframe)
        mismatched += std::memcmp(cache.data() + offset, reference.data(), subframe) != 0;
    return mismatched;
}

void streamGeometry(SensorRig& rig, const std::string& node, const Geometry& geometry,
                    const std::string& reference) {
    Scope scope(std::to_string(geometry.width) + "x" + std::to_string(geometry.height));
    if (!RK_CHECK_EQ(rig.start(geometry.width, geometry.height, geometry.subframes), 0))
        return;
    RK_CHECK_EQ(rig.sensor.mappedBufferCount(), 8);
    RK_CHECK_EQ(mappingsOf(node), 8);
    uint64_t newest = 0;
    int good_frames = 0;
    int exact_frames = 0;
    int stale_timestamps = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int frame = 0; frame < geometry.frames; ++frame) {
        // vivid's pattern is the same in every buffer, so a copy that stopped
        // after the first frame would still match if the cache kept it.
        rig.poisonCache();
        uint64_t timestamp = 0;
        if (rig.frame(&timestamp) != 0)
            continue;
        // vivid marks a buffer done before it writes the buffer's timestamp,
        // so a dequeue that wins that race reads the time of the buffer's
        // previous use: older than the newest, never newer. One such frame
        // per stream is the driver; more, or a time that is not older, is us.
        if (good_frames > 0 && timestamp <= newest)
            ++stale_timestamps;
        newest = std::max(newest, timestamp);
        ++good_frames;
        exact_frames += mismatchedSubframes(rig.cache, reference) == 0;
    }
    std::printf("NOTE %s %ux%u: %d of %d frames in %.2f s, %d stale timestamps\n", node.c_str(),
                geometry.width, geometry.height, good_frames, geometry.frames,
                secondsSince(started), stale_timestamps);
    RK_CHECK(stale_timestamps <= 1);
    RK_CHECK_EQ(good_frames, geometry.frames);
    RK_CHECK_EQ(exact_frames, good_frames);
    RK_CHECK_EQ(rig.sensor.stop(), 0);
    RK_CHECK_EQ(rig.sensor.mappedBufferCount(), 0);
    RK_CHECK_EQ(mappingsOf(node), 0);
}

// Buffers further apart than sub-frames of one capture never complete a
// group of four: each frame must end in a status after a bounded number of
// buffers instead of dequeuing forever.
void checkSlowCadenceEndsInAStatus(SensorRig& rig) {
    Scope scope("four sub-frames at vivid's cadence");
    if (!RK_CHECK_EQ(rig.start(240, 180, 4), 0))
        return;
    for (int frame = 0; frame < 2; ++frame) {
        const auto started = std::chrono::steady_clock::now();
        uint64_t timestamp = 0;
        RK_CHECK(rig.frame(&timestamp) != 0);
        const double seconds = secondsSince(started);
        std::printf("NOTE incomplete group reported after %.2f s\n", seconds);
        RK_CHECK(seconds < 2.0);
    }
    RK_CHECK_EQ(rig.sensor.stop(), 0);
}

}  // namespace

void runStreamingChecks(const char* node) {
    Scope scope(node);
    {
        VividNode vivid(node);
        if (!RK_CHECK(vivid.isOpen()))
            return;
        std::printf("NOTE controls: %s\n", vivid.controlNames().c_str());
        // The sensor drives multi-planar nodes on media-graph hosts only.
        if (!RK_CHECK(!vivid.isMultiPlanar()))
            return;
        RK_CHECK(makePatternStatic(vivid));
        RK_CHECK(composeWholeBuffer(vivid));
        RK_CHECK(vivid.useFastestHdmiTimings() > 0);
    }
    std::string references[2];
    for (int i = 0; i < 2; ++i) {
        references[i] = captureOneBuffer(node, kGeometries[i].width, kGeometries[i].height);
        RK_CHECK_EQ(references[i].size(),
                    static_cast<size_t>(kGeometries[i].width) * kGeometries[i].height * 2);
        RK_CHECK(hasSeveralSampleValues(references[i]));
        // vivid's bars run top to bottom, so a last line of one value means
        // the pattern does not reach the end of the buffer.
        RK_CHECK(hasSeveralSampleValues(lastLine(references[i], kGeometries[i].width)));
    }
    const int descriptors_before = openDescriptorCount();
    {
        SensorRig rig(node);
        if (!RK_CHECK(rig.stage.ready()) || !RK_CHECK_EQ(rig.open(), 0))
            return;
        RK_CHECK_EQ(openDescriptorsOf(node), 1);
        RK_CHECK_EQ(openDescriptorsOf("/dev/i2c-"), 1);
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            Scope cycle_scope("cycle " + std::to_string(cycle));
            for (int i = 0; i < 2; ++i)
                streamGeometry(rig, node, kGeometries[i], references[i]);
        }
        checkSlowCadenceEndsInAStatus(rig);
        RK_CHECK_EQ(rig.sensor.close(), 0);
        RK_CHECK_EQ(openDescriptorsOf(node), 0);
        RK_CHECK_EQ(openDescriptorsOf("/dev/i2c-"), 0);
        RK_CHECK_EQ(mappingsOf(node), 0);
    }
    RK_CHECK_EQ(openDescriptorCount(), descriptors_before);
}

}  // namespace Quorvan::realkernel

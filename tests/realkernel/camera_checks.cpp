// The whole camera on the real kernel: QuorvanTOFCamera::open(CSI, n) with
// the host staged as a Jetson Nano, start, requestFrame, then vivid's
// disconnect pulled while a consumer waits in requestFrame; stop and close
// must return in bounded time and leave nothing of the node behind.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "check.h"
#include "host_stage.h"
#include "process_resources.h"
#include "quorvan/camera.h"
#include "realkernel_checks.h"
#include "vivid_node.h"

namespace Quorvan::realkernel {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

void runCameraChecks(const char* node) {
    Scope scope(node);
    {
        VividNode vivid(node);
        if (!RK_CHECK(vivid.isOpen()) || !RK_CHECK(!vivid.isMultiPlanar()))
            return;
        RK_CHECK(makePatternStatic(vivid));
        RK_CHECK(vivid.useFastestHdmiTimings() > 0);
    }
    // The camera takes its geometry from the node's current format.
    RK_CHECK(!captureOneBuffer(node, 240, 180).empty());
    HostStage stage("NVIDIA Jetson Nano Developer Kit", node);
    if (!RK_CHECK(stage.ready()))
        return;
    const int index = std::stoi(std::string(node).substr(std::string("/dev/video").size()));
    const int descriptors_before = openDescriptorCount();
    {
        QuorvanTOFCamera camera;
        if (!RK_CHECK_EQ(camera.open(Connection::CSI, index), QuorvanSuccess))
            return;
        const CameraInfo info = camera.getCameraInfo();
        RK_CHECK_EQ(info.width, 240u);
        RK_CHECK_EQ(info.height, 180u);
        if (!RK_CHECK_EQ(camera.start(FrameType::DEPTH), QuorvanSuccess))
            return;
        RK_CHECK_EQ(mappingsOf(node), 8);
        // vivid's buffers come too far apart for a group of four sub-frames,
        // so no depth frame forms; the wait must still end on time.
        const auto waited = Clock::now();
        QuorvanFrameBuffer* frame = camera.requestFrame(500);
        std::printf("NOTE requestFrame(500) gave %s after %.2f s\n", frame ? "a frame" : "none",
                    secondsSince(waited));
        if (frame != nullptr)
            camera.releaseFrame(frame);
        RK_CHECK(secondsSince(waited) < 2.0);

        auto consumer = std::async(std::launch::async, [&] {
            QuorvanFrameBuffer* waited_frame = camera.requestFrame(1500);
            if (waited_frame != nullptr)
                camera.releaseFrame(waited_frame);
            return waited_frame != nullptr;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        {
            VividNode vivid(node);
            RK_CHECK(vivid.setControl("Disconnect", 1));
        }
        RK_CHECK(consumer.wait_for(std::chrono::seconds(3)) == std::future_status::ready);
        const auto stopping = Clock::now();
        const TofErrorCode stopped = camera.stop();
        std::printf("NOTE camera stop after unplug returned %d in %.2f s\n", stopped,
                    secondsSince(stopping));
        RK_CHECK(secondsSince(stopping) < 2.0);
        camera.close();
        RK_CHECK_EQ(openDescriptorsOf(node), 0);
        RK_CHECK_EQ(mappingsOf(node), 0);
        RK_CHECK_EQ(openDescriptorsOf("/dev/i2c-"), 0);
    }
    RK_CHECK_EQ(openDescriptorCount(), descriptors_before);
}

}  // namespace Quorvan::realkernel

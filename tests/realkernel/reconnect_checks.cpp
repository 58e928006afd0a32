// A streaming camera with auto-reconnect while vivid goes away and comes
// back: the camera must let go of the node once it reports itself gone (the
// module cannot be unloaded while any descriptor of it is open), vivid is
// then unloaded and loaded again, and the camera must find the same camera
// by what survives the reload and stream on, with growing sequence numbers,
// the gap counted, and no descriptor, mapping or thread left over.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "host_stage.h"
#include "process_resources.h"
#include "quorvan/camera.h"
#include "quorvan/camera_connection.h"
#include "realkernel_checks.h"
#include "vivid_node.h"

namespace Quorvan::realkernel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCycles = 3;
constexpr const char* kJetsonModel = "NVIDIA Jetson Nano Developer Kit";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int threadCount() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks))
            count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

// rmmod: 0 or the errno the kernel refused with.
int unloadVivid() {
    return ::syscall(SYS_delete_module, "vivid", O_NONBLOCK) == 0 ? 0 : errno;
}

// insmod with the parameters the VM's init loads vivid with.
int loadVivid() {
    const char* module = std::getenv("VIVID_MODULE");
    const char* parameters = std::getenv("VIVID_PARAMETERS");
    if (module == nullptr || parameters == nullptr)
        return EINVAL;
    const int fd = ::open(module, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int result = ::syscall(SYS_finit_module, fd, parameters, 0) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

template <typename Condition>
bool waitFor(Condition done, double seconds) {
    const auto start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Takes the frames still queued from before a departure.
void drainQueued(QuorvanTOFCamera& camera, uint64_t* last_sequence, bool* sequence_grew) {
    while (QuorvanFrameBuffer* frame = camera.requestFrame(0)) {
        *sequence_grew = *sequence_grew && frame->getSequence() > *last_sequence;
        *last_sequence = frame->getSequence();
        camera.releaseFrame(frame);
    }
}

// The next frame within `seconds`, which must be newer than *last_sequence.
bool nextNewFrame(QuorvanTOFCamera& camera, uint64_t* last_sequence, double seconds,
                  bool* sequence_grew) {
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        QuorvanFrameBuffer* frame = camera.requestFrame(200);
        if (frame == nullptr)
            continue;
        *sequence_grew = *sequence_grew && frame->getSequence() > *last_sequence;
        *last_sequence = frame->getSequence();
        camera.releaseFrame(frame);
        return true;
    }
    return false;
}

}  // namespace

void runReconnectChecks(const char* node) {
    Scope scope(node);
    {
        VividNode vivid(node);
        if (!RK_CHECK(vivid.isOpen()) || !RK_CHECK(vivid.useFastestHdmiTimings() > 0))
            return;
    }
    // A 640-wide format: the camera opens as the 640x480 sensor, which takes
    // one buffer a frame, so frames form at vivid's cadence.
    RK_CHECK(!captureOneBuffer(node, 640, 480).empty());
    HostStage host(kJetsonModel, node);
    if (!RK_CHECK(host.ready()))
        return;
    const int index = std::stoi(std::string(node).substr(std::string("/dev/video").size()));
    const int descriptors_before = openDescriptorCount();
    const int threads_before = threadCount();
    double slowest_return = 0.0;
    {
        QuorvanTOFCamera camera;
        if (!RK_CHECK_EQ(camera.open(Connection::CSI, index), QuorvanSuccess))
            return;
        RK_CHECK_EQ(camera.getCameraInfo().width, 640u);
        RK_CHECK_EQ(setAutoReconnect(camera, true), QuorvanSuccess);
        if (!RK_CHECK_EQ(camera.start(FrameType::RAW), QuorvanSuccess))
            return;
        QuorvanFrameBuffer* first = camera.requestFrame(3000);
        if (!RK_CHECK(first != nullptr))
            return;
        uint64_t last_sequence = first->getSequence();
        camera.releaseFrame(first);
        bool sequence_grew = true;

        for (int cycle = 0; cycle < kCycles; ++cycle) {
            Scope cycle_scope("cycle " + std::to_string(cycle));
            // A few frames first, from whose stamps the camera learns the
            // period it counts the frames lost while away by.
            for (int frame = 0; frame < 4; ++frame)
                RK_CHECK(nextNewFrame(camera, &last_sequence, 5.0, &sequence_grew));
            const int refused = unloadVivid();
            std::printf("NOTE rmmod vivid while streaming: %s\n",
                        refused == 0 ? "unloaded" : std::strerror(refused));
            RK_CHECK(refused != 0);
            {
                VividNode vivid(node);
                RK_CHECK(vivid.setControl("Disconnect", 1));
            }
            RK_CHECK(waitFor(
                [&] { return camera.getStatistics().disconnects == uint64_t(cycle + 1); }, 3.0));
            // Released at once, so the module can go.
            RK_CHECK(waitFor([&] { return openDescriptorsOf(node) == 0; }, 2.0));
            RK_CHECK_EQ(mappingsOf(node), 0);
            drainQueued(camera, &last_sequence, &sequence_grew);
            RK_CHECK(waitFor([] { return unloadVivid() == 0; }, 3.0));
            RK_CHECK_EQ(loadVivid(), 0);
            const auto loaded = Clock::now();
            // The reloaded node has its own sysfs name again; the host's
            // naming of the sensor is staged anew.
            HostStage renamed(nullptr, node);
            RK_CHECK(renamed.ready());
            const bool resumed =
                waitFor([&] { return camera.getStatistics().reconnects == uint64_t(cycle + 1); },
                        10.0) &&
                nextNewFrame(camera, &last_sequence, 5.0, &sequence_grew);
            RK_CHECK(resumed);
            const double took = secondsSince(loaded);
            slowest_return = std::max(slowest_return, took);
            std::printf("NOTE cycle %d: streaming again %.2f s after the reload\n", cycle, took);
            RK_CHECK(took < 5.0);
        }
        RK_CHECK(sequence_grew);
        const FrameStatistics statistics = camera.getStatistics();
        RK_CHECK_EQ(statistics.disconnects, uint64_t(kCycles));
        RK_CHECK_EQ(statistics.reconnects, uint64_t(kCycles));
        // Counted by the frame period the device's own timestamps show;
        // vivid hands some buffers back unstamped, which must not count.
        std::printf("NOTE %llu frames counted lost while away\n",
                    static_cast<unsigned long long>(statistics.lost_while_disconnected));
        RK_CHECK(statistics.lost_while_disconnected > 0);
        const std::vector<ConnectionEvent> events = takeConnectionEvents(camera);
        uint64_t shortest_gap_ms = UINT64_MAX;
        for (const ConnectionEvent& event : events) {
            if (event.kind == ConnectionEvent::Kind::Reconnected)
                shortest_gap_ms = std::min(shortest_gap_ms, event.gap_ms);
        }
        RK_CHECK_EQ(events.size(), size_t(2 * kCycles));
        // Each gap spans at least the unload and the load.
        RK_CHECK(shortest_gap_ms > 0 && shortest_gap_ms != UINT64_MAX);
        RK_CHECK_EQ(camera.stop(), QuorvanSuccess);
        RK_CHECK_EQ(camera.close(), QuorvanSuccess);
        RK_CHECK_EQ(openDescriptorsOf(node), 0);
        RK_CHECK_EQ(mappingsOf(node), 0);
        RK_CHECK_EQ(openDescriptorsOf("/dev/i2c-"), 0);
    }
    std::printf("NOTE slowest return to streaming: %.2f s\n", slowest_return);
    RK_CHECK_EQ(openDescriptorCount(), descriptors_before);
    RK_CHECK_EQ(threadCount(), threads_before);
}

}  // namespace Quorvan::realkernel

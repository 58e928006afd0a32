// The whole C++ path with the emulated kit delivering as fast as it is asked:
// capture, processing, queue, requestFrame and releaseFrame. Prints, per
// output type and kit setting, the frames per second the consumer receives,
// the capture-to-consumer latency and the CPU time per delivered frame, with
// the kit's own cost (time inside the sensor's getFrame) shown apart.
//
//   quorvan_pipeline_bench [--frames N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorvan/camera.h"
#include "timed_backend_factory.h"

namespace {

using namespace Quorvan;

constexpr int kWarmUpFrames = 50;

struct Scenario {
    const char* name;
    FrameType type;
    const char* kit_config;
    int frame_divisor;  // the noisy kit renders every image anew and is slow
};

struct Figures {
    double fps = 0;
    double median_latency_us = 0;
    double p99_latency_us = 0;
    double process_cpu_us = 0;  // per delivered frame, every thread
    double kit_cpu_us = 0;      // per delivered frame, inside the sensor's getFrame
    double captures_per_frame = 0;
    int timeouts = 0;
};

std::string writeKitConfig(const char* text) {
    char path[] = "/tmp/quorvan_pipeline_bench_XXXXXX";
    const int descriptor = mkstemp(path);
    if (descriptor < 0)
        return {};
    FILE* file = fdopen(descriptor, "w");
    std::fputs(text, file);
    std::fclose(file);
    return path;
}

bool consumeFrame(QuorvanTOFCamera& camera, FrameType type, std::vector<double>* latencies,
                  int* timeouts) {
    QuorvanFrameBuffer* frame = camera.requestFrame(2000);
    if (frame == nullptr) {
        ++*timeouts;
        return false;
    }
    FrameDataFormat format{};
    frame->getFormat(type, format);
    const volatile auto* data = static_cast<const uint8_t*>(frame->getData(type));
    (void)data[0];
    if (latencies != nullptr)
        latencies->push_back(static_cast<double>(bench::steadyMicroseconds() - format.timestamp));
    camera.releaseFrame(frame);
    return true;
}

bool measure(const Scenario& scenario, int frames, Figures* figures) {
    const std::string config_path = writeKitConfig(scenario.kit_config);
    auto cost = std::make_shared<bench::SensorCost>();
    QuorvanTOFCamera camera(bench::timedBackendFactory(cost));
    bool ok = camera.openWithFile(config_path.c_str(), 0) == QuorvanSuccess &&
              camera.start(scenario.type) == QuorvanSuccess;
    if (ok) {
        int timeouts = 0;
        for (int i = 0; i < kWarmUpFrames; ++i)
            consumeFrame(camera, scenario.type, nullptr, &timeouts);
        std::vector<double> latencies;
        latencies.reserve(frames);
        const uint64_t kit_cpu_start = cost->cpu_ns.load();
        const uint64_t captures_start = cost->captures.load();
        const uint64_t cpu_start = bench::processCpuNanoseconds();
        const uint64_t wall_start = bench::steadyMicroseconds();
        int delivered = 0;
        for (int i = 0; i < frames; ++i)
            delivered += consumeFrame(camera, scenario.type, &latencies, &figures->timeouts);
        const double wall_us = static_cast<double>(bench::steadyMicroseconds() - wall_start);
        const double cpu_ns = static_cast<double>(bench::processCpuNanoseconds() - cpu_start);
        const double kit_ns = static_cast<double>(cost->cpu_ns.load() - kit_cpu_start);
        const double captures = static_cast<double>(cost->captures.load() - captures_start);
        camera.stop();
        ok = delivered > 0;
        if (ok) {
            std::sort(latencies.begin(), latencies.end());
            figures->fps = delivered / (wall_us / 1e6);
            figures->median_latency_us = latencies[latencies.size() / 2];
            figures->p99_latency_us = latencies[latencies.size() * 99 / 100];
            figures->process_cpu_us = cpu_ns / 1e3 / delivered;
            figures->kit_cpu_us = kit_ns / 1e3 / delivered;
            figures->captures_per_frame = captures / delivered;
        }
    }
    camera.close();
    std::remove(config_path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 5000;
    if (argc == 3 && std::strcmp(argv[1], "--frames") == 0)
        frames = std::max(1, std::atoi(argv[2]));
    const Scenario scenarios[] = {
        {"depth", FrameType::DEPTH, "frame_rate = unpaced\nnoise = off\n", 1},
        {"raw", FrameType::RAW, "frame_rate = unpaced\nnoise = off\n", 1},
        {"depth_noisy_kit", FrameType::DEPTH, "frame_rate = unpaced\nnoise = on\n", 20},
    };
    int failures = 0;
    for (const Scenario& scenario : scenarios) {
        Figures f;
        if (!measure(scenario, std::max(1, frames / scenario.frame_divisor), &f)) {
            std::printf("pipeline_%s: FAILED to stream\n", scenario.name);
            ++failures;
            continue;
        }
        std::printf(
            "pipeline_%s: %.0f fps, latency median %.1f us p99 %.1f us, CPU per frame %.1f us "
            "(kit inside getFrame %.1f us, library %.1f us), %.2f captures per delivered frame, "
            "%d timeouts\n",
            scenario.name, f.fps, f.median_latency_us, f.p99_latency_us, f.process_cpu_us,
            f.kit_cpu_us, f.process_cpu_us - f.kit_cpu_us, f.captures_per_frame, f.timeouts);
    }
    return failures == 0 ? 0 : 1;
}

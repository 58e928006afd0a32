// How fast the emulated evaluation kit renders, configuration by configuration.
//
// For every shipped configuration (emulation/evk_sdk/configs/*.cfg) and a few
// extra settings (240x180 noisy unpaced, 640x480 double at 30 fps), streams
// for a few seconds
//   - through the kit's C interface on one thread, which is where the kit
//     renders: delivered frames per second and that thread's CPU time per
//     frame (CLOCK_THREAD_CPUTIME_ID), as a share of one core;
//   - through the public camera API (QuorvanTOFCamera, depth frames): frames
//     per second the consumer receives, the capture thread's CPU time inside
//     the sensor's getFrame (the kit and the USB backend's assembly) and the
//     whole process's CPU time per frame (CLOCK_PROCESS_CPUTIME_ID: the kit,
//     the depth computation, si4c for the 640x480 sensor, the consumer).
// Then the depth-processing stand-in (si4c) on its own: CPU time per 640x480
// capture, single and double frequency.
//
//   quorvan_kit_rate [--seconds S] [--configs DIR] [--only NAME]
//
// --only measures the settings whose name contains NAME (for profiling).
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kit_config.h"
#include "quorvan/camera.h"
#include "quorvan_evk_sdk.h"
#include "scene/scene.h"
#include "scene/vga_raw_renderer.h"
#include "si4c.h"
#include "timed_backend_factory.h"

namespace {

using namespace Quorvan;
using Clock = std::chrono::steady_clock;

uint64_t threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Setting {
    std::string name;
    std::string path;  // configuration file (shipped, or written for an extra setting)
};

struct Rate {
    bool opened = false;
    double fps = 0.0;
    double cpu_ms = 0.0;  // per frame
    double other_ms = 0.0;
};

// Images per camera frame: four phase images at 240x180, one capture for the
// 640x480 sensor's layouts.
uint32_t imagesPerFrame(const evk::KitConfig& config) {
    return config.geometry == "240x180" ? 4u : 1u;
}

Rate kitAlone(const Setting& setting, const evk::KitConfig& config, double seconds) {
    Rate rate;
    QuorvanOpenParam param;
    QuorvanDefaultParam(&param);
    param.config_path = setting.path.c_str();
    QuorvanCameraHandle handle = nullptr;
    if (QuorvanOpenCamera(&handle, &param) != QUORVAN_EVK_OK)
        return rate;
    if (QuorvanInitCamera(handle) != QUORVAN_EVK_OK ||
        QuorvanStartCamera(handle) != QUORVAN_EVK_OK) {
        QuorvanCloseCamera(handle);
        return rate;
    }
    rate.opened = true;
    const uint32_t per_frame = imagesPerFrame(config);
    auto captureOne = [&] {
        QuorvanImage image{};
        if (QuorvanCaptureImage(handle, &image, 2000) != QUORVAN_EVK_OK)
            return false;
        QuorvanFreeImage(handle, image);
        return true;
    };
    for (uint32_t i = 0; i < per_frame; ++i)  // the first frame starts the schedule
        captureOne();
    uint64_t images = 0;
    const uint64_t cpu_start = threadCpuNanoseconds();
    const auto start = Clock::now();
    while (secondsSince(start) < seconds)
        images += captureOne();
    const double elapsed = secondsSince(start);
    const double cpu_ns = static_cast<double>(threadCpuNanoseconds() - cpu_start);
    QuorvanStopCamera(handle);
    QuorvanCloseCamera(handle);
    const double frames = static_cast<double>(images) / per_frame;
    rate.fps = frames / elapsed;
    rate.cpu_ms = frames > 0 ? cpu_ns / 1e6 / frames : 0.0;
    return rate;
}

Rate throughCamera(const Setting& setting, double seconds) {
    Rate rate;
    auto cost = std::make_shared<bench::SensorCost>();
    QuorvanTOFCamera camera(bench::timedBackendFactory(cost));
    if (camera.openWithFile(setting.path.c_str(), 0) != QuorvanSuccess)
        return rate;
    if (camera.start(FrameType::DEPTH) != QuorvanSuccess) {
        camera.close();
        return rate;
    }
    rate.opened = true;
    auto consumeOne = [&] {
        QuorvanFrameBuffer* frame = camera.requestFrame(2000);
        if (frame == nullptr)
            return false;
        camera.releaseFrame(frame);
        return true;
    };
    consumeOne();
    uint64_t frames = 0;
    const uint64_t kit_start = cost->cpu_ns.load();
    const uint64_t cpu_start = bench::processCpuNanoseconds();
    const auto start = Clock::now();
    while (secondsSince(start) < seconds)
        frames += consumeOne();
    const double elapsed = secondsSince(start);
    const double cpu_ns = static_cast<double>(bench::processCpuNanoseconds() - cpu_start);
    const double kit_ns = static_cast<double>(cost->cpu_ns.load() - kit_start);
    camera.stop();
    camera.close();
    rate.fps = static_cast<double>(frames) / elapsed;
    if (frames > 0) {
        rate.cpu_ms = kit_ns / 1e6 / static_cast<double>(frames);
        rate.other_ms = cpu_ns / 1e6 / static_cast<double>(frames);
    }
    return rate;
}

// CPU time of one SiSDKGetPhaseImage on a noisy capture of the default scene.
double si4cMilliseconds(bool single, double seconds) {
    constexpr int kWidth = 640;
    constexpr int kHeight = 480;
    const auto truth = emulation::renderSceneView("default", {}, kWidth, kHeight);
    emulation::CaptureSettings settings;
    settings.shot_noise = true;
    const emulation::VgaRawRenderer renderer(truth, single, settings);
    std::vector<uint16_t> words(renderer.sampleCount());
    renderer.render(1, words.data());
    const std::vector<uint8_t> raw = emulation::littleEndianBytes(words);
    SiSDKHandle handle = nullptr;
    if (!SiSDKCreate(&handle) || !SiSDKInit(handle, kWidth, kHeight))
        return -1.0;
    SiSDKSetSingleFreq(handle, single);
    SiSDKStart(handle);
    std::vector<float> depth(kWidth * kHeight), amplitude(depth.size()), confidence(depth.size());
    int calls = 0;
    bool ok = true;
    const uint64_t cpu_start = threadCpuNanoseconds();
    const auto start = Clock::now();
    while (ok && (calls < 3 || secondsSince(start) < seconds)) {
        ok = SiSDKGetPhaseImage(handle, raw.data(), depth.data(), amplitude.data(),
                                confidence.data());
        ++calls;
    }
    const double cpu_ns = static_cast<double>(threadCpuNanoseconds() - cpu_start);
    SiSDKDestroy(&handle);
    return ok ? cpu_ns / 1e6 / calls : -1.0;
}

std::vector<Setting> shippedConfigurations(const std::string& directory) {
    std::vector<Setting> settings;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr)
        return settings;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cfg") == 0)
            settings.push_back({name, directory + "/" + name});
    }
    closedir(listing);
    std::sort(settings.begin(), settings.end(),
              [](const Setting& a, const Setting& b) { return a.name < b.name; });
    return settings;
}

Setting writtenSetting(const std::string& name, const std::string& text) {
    const std::string path = std::filesystem::current_path().string() + "/" + name + ".cfg";
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
    return {name, path};
}

std::string configuredRate(const evk::KitConfig& config) {
    if (config.frame_rate <= 0.0)
        return "unpaced";
    char text[32];
    std::snprintf(text, sizeof text, "%g fps", config.frame_rate);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2.0;
    std::string configs = QUORVAN_KIT_CONFIG_DIR;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(0.2, std::atof(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--configs") == 0) {
            configs = argv[i + 1];
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--configs DIR] [--only NAME]\n",
                         argv[0]);
            return 2;
        }
    }
    configs = std::filesystem::absolute(configs).string();
    std::vector<Setting> settings = shippedConfigurations(configs);
    if (settings.empty()) {
        std::fprintf(stderr, "no configurations in %s\n", configs.c_str());
        return 1;
    }

    // A 640x480 camera writes its configuration files into the working
    // directory at every start; keep them (and the extra settings) apart.
    char scratch[] = "/tmp/quorvan_kit_rate_XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
        std::perror("scratch directory");
        return 1;
    }
    settings.push_back(writtenSetting("hqvga_noisy_unpaced", "frame_rate = unpaced\nnoise = on\n"));
    settings.push_back(writtenSetting("vga640_double_30fps",
                                      "geometry = 640x4810\nframe_rate = 30\nnoise = on\n"));
    settings.push_back(writtenSetting("vga640_double_unpaced",
                                      "geometry = 640x4810\nframe_rate = unpaced\nnoise = on\n"));

    std::printf("emulated kit rate, %.1f s per measurement (load average at start: %.2f)\n",
                seconds, [] {
                    double load = 0.0;
                    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
                        if (std::fscanf(file, "%lf", &load) != 1)
                            load = 0.0;
                        std::fclose(file);
                    }
                    return load;
                }());
    // "core": CPU time over wall time; "fps/core": frames one fully busy core
    // would render, 1 s over the CPU time per frame (independent of load).
    std::printf("%-24s %-6s %-10s| %-38s| %s\n", "configuration", "noise", "configured",
                "kit C interface, one thread", "camera API, depth frames, CPU per frame");
    std::printf("%-24s %-6s %-10s| %8s %9s %6s %9s | %8s %9s %12s\n", "", "", "", "fps",
                "CPU/frame", "core", "fps/core", "fps", "kit", "process");
    int failures = 0;
    for (const Setting& setting : settings) {
        if (setting.name.find(only) == std::string::npos)
            continue;
        evk::KitConfig config;
        std::string error;
        if (!evk::loadKitConfig(setting.path, &config, &error)) {
            std::printf("%-24s does not parse: %s\n", setting.name.c_str(), error.c_str());
            ++failures;
            continue;
        }
        const std::string rate = configuredRate(config);
        const char* noise = config.noise ? "on" : "off";
        if (config.faults.fail_open) {
            std::printf("%-24s %-6s %-10s| open fails, as configured\n", setting.name.c_str(),
                        noise, rate.c_str());
            continue;
        }
        const Rate kit = kitAlone(setting, config, seconds);
        const Rate camera = throughCamera(setting, seconds);
        if (!kit.opened || !camera.opened) {
            std::printf("%-24s FAILED to stream\n", setting.name.c_str());
            ++failures;
            continue;
        }
        std::printf("%-24s %-6s %-10s| %8.1f %6.2f ms %5.0f%% %9.0f | %8.1f %6.2f ms %9.2f ms\n",
                    setting.name.c_str(), noise, rate.c_str(), kit.fps, kit.cpu_ms,
                    kit.fps * kit.cpu_ms / 10.0, kit.cpu_ms > 0 ? 1000.0 / kit.cpu_ms : 0.0,
                    camera.fps, camera.cpu_ms, camera.other_ms);
        std::fflush(stdout);
    }
    for (const bool single : {true, false}) {
        if (std::string("si4c").find(only) == std::string::npos)
            continue;
        const double ms = si4cMilliseconds(single, seconds);
        if (ms < 0.0) {
            std::printf("si4c 640x480 %s: FAILED\n", single ? "single" : "double");
            ++failures;
            continue;
        }
        std::printf(
            "si4c 640x480 %s frequency: %.2f ms CPU per capture (%.0f captures/s on one "
            "core)\n",
            single ? "single" : "double", ms, 1000.0 / ms);
    }
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return failures == 0 ? 0 : 1;
}

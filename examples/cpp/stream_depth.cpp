// Streams depth from the USB evaluation kit (the emulated one unless the
// vendor's library is installed), prints the frame rate and depth
// statistics, and saves the last frame's depth and amplitude as pictures.
//
//   stream_depth [--config FILE] [--seconds N] [--range 2000|4000] [--output DIR]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "png_writer.h"
#include "quorvan/camera.h"

using namespace Quorvan;

namespace {

struct Options {
    std::string config;
    double seconds = 3.0;
    int range = 4000;
    std::string output = ".";
};

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (flag == "--config")
            options->config = value;
        else if (flag == "--seconds")
            options->seconds = std::atof(value);
        else if (flag == "--range")
            options->range = std::atoi(value);
        else if (flag == "--output")
            options->output = value;
        else
            return false;
    }
    return options->seconds > 0.0;
}

// A perceptually ordered blue-to-red ramp; 0 (no return) stays black.
void colourFor(float value, float maximum, uint8_t* rgb) {
    if (value <= 0.0f) {
        rgb[0] = rgb[1] = rgb[2] = 0;
        return;
    }
    const float t = std::clamp(value / maximum, 0.0f, 1.0f);
    const float r = std::clamp(1.5f - std::fabs(4.0f * t - 3.0f), 0.0f, 1.0f);
    const float g = std::clamp(1.5f - std::fabs(4.0f * t - 2.0f), 0.0f, 1.0f);
    const float b = std::clamp(1.5f - std::fabs(4.0f * t - 1.0f), 0.0f, 1.0f);
    rgb[0] = static_cast<uint8_t>(255.0f * r);
    rgb[1] = static_cast<uint8_t>(255.0f * g);
    rgb[2] = static_cast<uint8_t>(255.0f * b);
}

struct FrameCopy {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> depth;
    std::vector<float> amplitude;
};

// Amplitude below which a pixel's depth is too noisy to count (the 240x180
// device reports 16 times the sensor's signal amplitude).
constexpr float kMinimumAmplitude = 800.0f;

void printStatistics(const FrameCopy& frame) {
    std::vector<float> valid;
    double amplitude_sum = 0.0;
    for (size_t i = 0; i < frame.depth.size(); ++i) {
        amplitude_sum += frame.amplitude[i];
        if (frame.amplitude[i] >= kMinimumAmplitude)
            valid.push_back(frame.depth[i]);
    }
    std::printf("mean amplitude %.1f\n", amplitude_sum / frame.depth.size());
    if (valid.empty()) {
        std::printf("no pixel with amplitude >= %.0f\n", kMinimumAmplitude);
        return;
    }
    std::sort(valid.begin(), valid.end());
    std::printf("depth of %zu valid pixels (%.1f%%): min %.1f mm, median %.1f mm, max %.1f mm\n",
                valid.size(), 100.0 * valid.size() / frame.depth.size(), valid.front(),
                valid[valid.size() / 2], valid.back());
}

bool savePictures(const FrameCopy& frame, const std::string& directory, int range) {
    const size_t pixels = frame.depth.size();
    std::vector<uint8_t> depth_rgb(pixels * 3);
    for (size_t i = 0; i < pixels; ++i) {
        const float depth = frame.amplitude[i] >= kMinimumAmplitude ? frame.depth[i] : 0.0f;
        colourFor(depth, static_cast<float>(range), &depth_rgb[3 * i]);
    }
    // Amplitude falls off with the square of distance; a square root keeps
    // far surfaces visible.
    const float brightest = *std::max_element(frame.amplitude.begin(), frame.amplitude.end());
    std::vector<uint8_t> amplitude_grey(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        const float level = brightest > 0.0f ? std::sqrt(frame.amplitude[i] / brightest) : 0.0f;
        amplitude_grey[i] = static_cast<uint8_t>(255.0f * std::clamp(level, 0.0f, 1.0f));
    }
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::string depth_path = directory + "/depth.png";
    const std::string amplitude_path = directory + "/amplitude.png";
    if (!png::write(depth_path, frame.width, frame.height, 3, depth_rgb.data()) ||
        !png::write(amplitude_path, frame.width, frame.height, 1, amplitude_grey.data())) {
        std::fprintf(stderr, "cannot write pictures into %s\n", directory.c_str());
        return false;
    }
    std::printf("wrote %s and %s\n", depth_path.c_str(), amplitude_path.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: %s [--config FILE] [--seconds N] [--range 2000|4000] "
                     "[--output DIR]\n",
                     argv[0]);
        return 2;
    }

    QuorvanTOFCamera camera;
    const TofErrorCode opened = options.config.empty()
                                    ? camera.open(Connection::USB, 0)
                                    : camera.openWithFile(options.config.c_str(), 0);
    if (opened != QuorvanSuccess) {
        std::fprintf(stderr, "open failed: %s\n", to_str(opened));
        return 1;
    }
    const CameraInfo info = camera.getCameraInfo();
    std::printf("camera %ux%u, %u bits per sample\n", info.width, info.height, info.bit_width);
    camera.setControl(CameraCtrl::RANGE, options.range);
    if (camera.start(FrameType::DEPTH) != QuorvanSuccess) {
        std::fprintf(stderr, "start failed\n");
        return 1;
    }

    FrameCopy last;
    int frames = 0;
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration<double>(options.seconds);
    auto latest = begin;
    while (std::chrono::steady_clock::now() < end) {
        QuorvanFrameBuffer* frame = camera.requestFrame(500);
        if (!frame)
            continue;
        FrameDataFormat format{};
        if (frame->getFormat(FrameType::DEPTH, format) == QuorvanSuccess) {
            const size_t pixels = static_cast<size_t>(format.width) * format.height;
            const auto* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            const auto* amplitude = static_cast<const float*>(frame->getData(FrameType::AMPLITUDE));
            last.width = format.width;
            last.height = format.height;
            last.depth.assign(depth, depth + pixels);
            last.amplitude.assign(amplitude, amplitude + pixels);
            ++frames;
            latest = std::chrono::steady_clock::now();
        }
        camera.releaseFrame(frame);
    }
    const double elapsed = std::chrono::duration<double>(latest - begin).count();
    camera.stop();
    camera.close();

    if (frames == 0) {
        std::fprintf(stderr, "no frame arrived in %.1f s\n", options.seconds);
        return 1;
    }
    std::printf("%d frames in %.2f s: %.1f frames per second\n", frames, elapsed, frames / elapsed);
    printStatistics(last);
    return savePictures(last, options.output, options.range) ? 0 : 1;
}

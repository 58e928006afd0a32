// The depth filters and the deprojection on their own, per frame of both
// sensor sizes, without the Python binding's copies (bench/processing_bench.py
// measures them from Python, copies included, beside NumPy).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"
#include "quorvan/tof_filters.h"

namespace Quorvan {
namespace {

struct Size {
    int width, height;
    std::size_t pixels() const { return static_cast<std::size_t>(width) * height; }
};

Size sizeOf(const benchmark::State& state) {
    return state.range(0) == 0 ? Size{240, 180} : Size{640, 480};
}

// A room-like depth plane: 500 to 3000 mm, 2% of pixels without depth, and
// amplitudes spread over the threshold, so that every branch is taken.
struct Planes {
    explicit Planes(Size size) : depth(size.pixels()), amplitude(size.pixels()) {
        std::mt19937 generator(42);
        std::uniform_real_distribution<float> distance(500.0f, 3000.0f);
        std::uniform_real_distribution<float> light(0.0f, 200.0f);
        std::uniform_int_distribution<int> hole(0, 49);
        for (std::size_t i = 0; i < depth.size(); ++i) {
            depth[i] = hole(generator) == 0 ? filters::kInvalidDepth : distance(generator);
            amplitude[i] = light(generator);
        }
    }
    std::vector<float> depth;
    std::vector<float> amplitude;
};

void sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgName("vga")->Arg(0)->Arg(1);
}

void BM_ThresholdAmplitude(benchmark::State& state) {
    const Size size = sizeOf(state);
    const Planes planes(size);
    std::vector<float> depth = planes.depth;
    for (auto _ : state) {
        filters::thresholdAmplitude(depth.data(), planes.amplitude.data(), size.pixels(), 20.0f);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ThresholdAmplitude)->Apply(sizes);

void BM_RejectSaturated(benchmark::State& state) {
    const Size size = sizeOf(state);
    const Planes planes(size);
    std::vector<int16_t> raw(4 * size.pixels());
    std::mt19937 generator(7);
    for (int16_t& sample : raw)
        sample = static_cast<int16_t>(static_cast<int>(generator() % 2048 - 1024) * 16);
    const filters::PhaseSamples phases{raw.data(), static_cast<std::size_t>(size.width),
                                       4 * static_cast<std::size_t>(size.width)};
    std::vector<float> depth = planes.depth;
    for (auto _ : state) {
        filters::rejectSaturated(depth.data(), size.width, size.height, phases,
                                 filters::kHqvgaRawClipLow, filters::kHqvgaRawClipHigh);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RejectSaturated)->Apply(sizes);

void BM_RemoveFlyingPixels(benchmark::State& state) {
    const Size size = sizeOf(state);
    const Planes planes(size);
    std::vector<float> out(size.pixels());
    for (auto _ : state) {
        filters::removeFlyingPixels(planes.depth.data(), out.data(), size.width, size.height, {});
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RemoveFlyingPixels)->Apply(sizes);

void BM_TemporalFilter(benchmark::State& state) {
    const Size size = sizeOf(state);
    const Planes planes(size);
    std::vector<float> state_plane(size.pixels(), 0.0f);
    std::vector<float> depth(size.pixels());
    for (auto _ : state) {
        // A fresh frame each time (the copy, one plane, is in the figure).
        depth = planes.depth;
        filters::temporalFilter(depth.data(), state_plane.data(), size.pixels(), {});
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TemporalFilter)->Apply(sizes);

void BM_Median3x3(benchmark::State& state) {
    const Size size = sizeOf(state);
    const Planes planes(size);
    std::vector<float> out(size.pixels());
    for (auto _ : state) {
        filters::median3x3(planes.depth.data(), out.data(), size.width, size.height);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Median3x3)->Apply(sizes);

void BM_Deproject(benchmark::State& state) {
    const Size size = sizeOf(state);
    const Planes planes(size);
    CameraIntrinsics intrinsics;
    intrinsics.width = static_cast<uint32_t>(size.width);
    intrinsics.height = static_cast<uint32_t>(size.height);
    intrinsics.fx = intrinsics.fy = 0.9f * static_cast<float>(size.width);
    intrinsics.cx = 0.5f * static_cast<float>(size.width);
    intrinsics.cy = 0.5f * static_cast<float>(size.height);
    const RayTable rays(intrinsics);
    if (rays.pixelCount() != size.pixels()) {
        state.SkipWithError("intrinsics refused");
        return;
    }
    std::vector<float> xyz(3 * size.pixels());
    for (auto _ : state) {
        deprojectDepth(rays, planes.depth.data(), xyz.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Deproject)->Apply(sizes);

}  // namespace
}  // namespace Quorvan

BENCHMARK_MAIN();

// Depth computation and raw unpack of the 240x180 device: the optimised
// kernels (each runnable instruction-set variant, and the one the library
// selects) beside the scalar reference, plus a memcpy of the unpack's bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "device/hqvga_kernels.h"
#include "device/hqvga_kernels_variants.h"
#include "reference/hqvga_reference.h"

namespace Quorvan {
namespace {

constexpr int kSamples = 4 * hqvga::kPixels;

// Random 16-bit samples: every bit pattern the sensor may deliver, and no
// structure a branch predictor could learn.
const std::vector<uint16_t>& randomCache() {
    static const std::vector<uint16_t> cache = [] {
        std::vector<uint16_t> samples(kSamples);
        std::mt19937 generator(20240601);
        for (uint16_t& sample : samples)
            sample = static_cast<uint16_t>(generator());
        return samples;
    }();
    return cache;
}

struct DepthPlanes {
    std::vector<float> depth = std::vector<float>(hqvga::kPixels);
    std::vector<float> amplitude = std::vector<float>(hqvga::kPixels);
    std::vector<float> confidence = std::vector<float>(hqvga::kPixels);
};

float frequencyFor(int32_t range) {
    return range == 2000 ? 75000000.0f : 37500000.0f;
}

void runDepth(benchmark::State& state, hqvga::DepthKernel kernel) {
    const int32_t range = static_cast<int32_t>(state.range(0));
    const auto shift = static_cast<uint8_t>(state.range(1));
    const std::vector<uint16_t>& cache = randomCache();
    DepthPlanes planes;
    for (auto _ : state) {
        kernel(cache.data(), planes.depth.data(), planes.amplitude.data(), planes.confidence.data(),
               range, frequencyFor(range), shift);
        benchmark::DoNotOptimize(planes.depth.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * hqvga::kPixels);
}

void depthArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"range", "shift"});
    for (int range : {4000, 2000})
        for (int shift : {0, 4})
            benchmark->Args({range, shift});
    benchmark->Unit(benchmark::kMicrosecond);
}

void BM_DepthReference(benchmark::State& state) {
    runDepth(state, reference::computeHqvgaDepth);
}
BENCHMARK(BM_DepthReference)->Apply(depthArguments);

void BM_DepthOptimised(benchmark::State& state) {
    runDepth(state, hqvga::computeDepth);
}
BENCHMARK(BM_DepthOptimised)->Apply(depthArguments);

void runUnpack(benchmark::State& state, hqvga::UnpackKernel kernel) {
    const auto shift = static_cast<uint8_t>(state.range(0));
    const std::vector<uint16_t>& cache = randomCache();
    std::vector<int16_t> raw(kSamples);
    for (auto _ : state) {
        kernel(cache.data(), raw.data(), shift);
        benchmark::DoNotOptimize(raw.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSamples * 2);
}

void BM_UnpackReference(benchmark::State& state) {
    runUnpack(state, reference::unpackHqvgaRaw);
}
BENCHMARK(BM_UnpackReference)->ArgName("shift")->Arg(0)->Arg(4)->Unit(benchmark::kMicrosecond);

void BM_UnpackOptimised(benchmark::State& state) {
    runUnpack(state, hqvga::unpackRaw);
}
BENCHMARK(BM_UnpackOptimised)->ArgName("shift")->Arg(0)->Arg(4)->Unit(benchmark::kMicrosecond);

// The floor for the unpack: moving the same 345600 bytes.
void BM_UnpackMemcpy(benchmark::State& state) {
    const std::vector<uint16_t>& cache = randomCache();
    std::vector<int16_t> raw(kSamples);
    for (auto _ : state) {
        std::memcpy(raw.data(), cache.data(), kSamples * 2);
        benchmark::DoNotOptimize(raw.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kSamples * 2);
}
BENCHMARK(BM_UnpackMemcpy)->Unit(benchmark::kMicrosecond);

// Depth reads four 16-bit planes and writes three float planes; this moves
// as many bytes (half of them read, half written).
void BM_DepthMemcpy(benchmark::State& state) {
    constexpr std::size_t kBytes = (4 * 2 + 3 * 4) * hqvga::kPixels / 2;
    std::vector<uint8_t> source(kBytes, 1), target(kBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 2 * kBytes);
}
BENCHMARK(BM_DepthMemcpy)->Unit(benchmark::kMicrosecond);

// Each instruction-set variant this processor runs, forced, for every
// configuration: BM_DepthVariant/<variant>/range:R/shift:S and
// BM_UnpackVariant/<variant>/shift:S.
void registerVariants() {
    const hqvga::KernelVariantList variants = hqvga::runnableKernelVariants();
    for (int v = 0; v < variants.count; ++v) {
        const hqvga::KernelVariant& variant = variants.items[v];
        benchmark::RegisterBenchmark(
            (std::string("BM_DepthVariant/") + variant.name).c_str(),
            [kernel = variant.depth](benchmark::State& state) { runDepth(state, kernel); })
            ->Apply(depthArguments);
        benchmark::RegisterBenchmark(
            (std::string("BM_UnpackVariant/") + variant.name).c_str(),
            [kernel = variant.unpack](benchmark::State& state) { runUnpack(state, kernel); })
            ->ArgName("shift")
            ->Arg(0)
            ->Arg(4)
            ->Unit(benchmark::kMicrosecond);
    }
}

const bool kVariantsRegistered = (registerVariants(), true);
const bool kContextAdded =
    (benchmark::AddCustomContext("depth_kernel_variant", hqvga::selectedKernelVariant().name),
     true);

}  // namespace
}  // namespace Quorvan

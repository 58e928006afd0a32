// The depth filters and the deprojection on their own, per frame of both
// sensor sizes, without the Python binding's copies (bench/processing_bench.py
// measures them from Python, copies included, beside NumPy): the scalar
// reference (bench/reference), every instruction-set variant this processor
// runs, and a memcpy moving as many bytes as the routine reads and writes
// together (half of them read, half written).
//
// Benchmarks are named BM_Processing/<routine>_<width>x<height>/<variant>,
// the variant being "reference", "memcpy" or a name from the variant table.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "processing/processing_variants.h"
#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"
#include "quorvan/tof_filters.h"
#include "reference/filter_reference.h"

namespace Quorvan {
namespace {

using processing::ProcessingVariant;
using reference::PlaneSize;

constexpr PlaneSize kSizes[] = {{240, 180}, {640, 480}};

// A room-like depth plane: 500 to 3000 mm, 2% of pixels without depth, and
// amplitudes spread over the threshold, so that every select goes both ways.
struct Frame {
    explicit Frame(PlaneSize size_in)
        : size(size_in),
          depth(size.pixels()),
          amplitude(size.pixels()),
          raw(4 * size.pixels()),
          out(3 * size.pixels()),
          state(size.pixels(), 0.0f),
          rays(intrinsicsFor(size)) {
        std::mt19937 generator(42);
        std::uniform_real_distribution<float> distance(500.0f, 3000.0f);
        std::uniform_real_distribution<float> light(0.0f, 200.0f);
        std::uniform_int_distribution<int> hole(0, 49);
        for (std::size_t i = 0; i < depth.size(); ++i) {
            depth[i] = hole(generator) == 0 ? filters::kInvalidDepth : distance(generator);
            amplitude[i] = light(generator);
        }
        for (int16_t& sample : raw)
            sample = static_cast<int16_t>(static_cast<int>(generator() % 2048 - 1024) * 16);
    }
    static CameraIntrinsics intrinsicsFor(PlaneSize size) {
        CameraIntrinsics intrinsics;
        intrinsics.width = static_cast<uint32_t>(size.width);
        intrinsics.height = static_cast<uint32_t>(size.height);
        intrinsics.fx = intrinsics.fy = 0.9f * static_cast<float>(size.width);
        intrinsics.cx = 0.5f * static_cast<float>(size.width);
        intrinsics.cy = 0.5f * static_cast<float>(size.height);
        return intrinsics;
    }
    filters::PhaseSamples phases() const {
        return {raw.data(), static_cast<std::size_t>(size.width),
                4 * static_cast<std::size_t>(size.width)};
    }

    PlaneSize size;
    std::vector<float> depth, amplitude;
    std::vector<int16_t> raw;
    std::vector<float> out, state;
    RayTable rays;
};

// The functions of one variant (or of the reference), as the benchmarks call
// them.
struct Routines {
    decltype(ProcessingVariant::threshold_amplitude) threshold_amplitude;
    decltype(ProcessingVariant::reject_saturated) reject_saturated;
    decltype(ProcessingVariant::remove_flying_pixels) remove_flying_pixels;
    decltype(ProcessingVariant::temporal_filter) temporal_filter;
    decltype(ProcessingVariant::median3x3) median3x3;
    decltype(ProcessingVariant::deproject) deproject;
};

struct Routine {
    const char* name;
    std::size_t bytes_per_pixel;  // read and written together
    std::function<void(const Routines&, Frame&)> run;
};

// Each runs on the frame in place where the routine works in place: the
// loops have no data-dependent branches, so repeating them on their own
// output costs what the first pass cost.
const Routine kRoutines[] = {
    {"threshold", 12,
     [](const Routines& r, Frame& f) {
         r.threshold_amplitude(f.depth.data(), f.amplitude.data(), f.size.pixels(), 20.0f);
     }},
    {"saturation", 16,
     [](const Routines& r, Frame& f) {
         r.reject_saturated(f.depth.data(), f.size.width, f.size.height, f.phases(),
                            filters::kHqvgaRawClipLow, filters::kHqvgaRawClipHigh);
     }},
    {"flying_pixels", 8,
     [](const Routines& r, Frame& f) {
         r.remove_flying_pixels(f.depth.data(), f.out.data(), f.size.width, f.size.height, {});
     }},
    {"temporal", 16,
     [](const Routines& r, Frame& f) {
         r.temporal_filter(f.depth.data(), f.state.data(), f.size.pixels(), {});
     }},
    {"median3x3", 8,
     [](const Routines& r, Frame& f) {
         r.median3x3(f.depth.data(), f.out.data(), f.size.width, f.size.height);
     }},
    {"deproject", 28,
     [](const Routines& r, Frame& f) { r.deproject(f.rays, f.depth.data(), f.out.data()); }},
};

void registerRoutine(const Routine& routine, PlaneSize size, const std::string& variant,
                     const Routines& routines) {
    const std::string name =
        "BM_Processing/" + std::string(routine.name) + "_" + size.text() + "/" + variant;
    benchmark::RegisterBenchmark(name.c_str(), [&routine, size, routines](benchmark::State& state) {
        Frame frame(size);
        for (auto _ : state) {
            routine.run(routines, frame);
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(
            static_cast<int64_t>(state.iterations() * size.pixels() * routine.bytes_per_pixel));
    })->Unit(benchmark::kMicrosecond);
}

// The floor: memcpy of half the routine's bytes, so that it too reads and
// writes that many together.
void registerMemcpy(const Routine& routine, PlaneSize size) {
    const std::string name =
        "BM_Processing/" + std::string(routine.name) + "_" + size.text() + "/memcpy";
    const std::size_t bytes = size.pixels() * routine.bytes_per_pixel / 2;
    benchmark::RegisterBenchmark(name.c_str(), [bytes](benchmark::State& state) {
        std::vector<uint8_t> source(bytes, 1), target(bytes);
        for (auto _ : state) {
            std::memcpy(target.data(), source.data(), bytes);
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * bytes));
    })->Unit(benchmark::kMicrosecond);
}

void registerAll() {
    const Routines reference_routines = {reference::thresholdAmplitude, reference::rejectSaturated,
                                         reference::removeFlyingPixels, reference::temporalFilter,
                                         reference::median3x3,          reference::deprojectDepth};
    const processing::ProcessingVariantList list = processing::runnableProcessingVariants();
    for (const Routine& routine : kRoutines) {
        for (const PlaneSize size : kSizes) {
            registerMemcpy(routine, size);
            registerRoutine(routine, size, "reference", reference_routines);
            for (int v = 0; v < list.count; ++v) {
                const ProcessingVariant& variant = list.items[v];
                registerRoutine(routine, size, variant.name,
                                {variant.threshold_amplitude, variant.reject_saturated,
                                 variant.remove_flying_pixels, variant.temporal_filter,
                                 variant.median3x3, variant.deproject});
            }
        }
    }
    benchmark::AddCustomContext("processing_variant", processing::selectedProcessingVariant().name);
}

}  // namespace
}  // namespace Quorvan

int main(int argc, char** argv) {
    Quorvan::registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Runs one per-frame routine a given number of times on a fixed 240x180
// input and nothing else, so that an emulator counting executed
// instructions (bench/instruction_counts.sh) can take the difference between
// two repetition counts as the routine's cost per frame, free of start-up.
//
//   quorvan_instruction_count_driver list
//   quorvan_instruction_count_driver <routine> <variant> <frames>
//
// `list` prints every routine with every instruction-set variant this
// processor runs. Depth runs range 4000, shift 0; raw_unpack shift 0;
// packed12 unpacks one sub-frame of 240x180 12-bit samples in 368-byte
// lines; the filters and the deprojection run on a 240x180 plane like
// bench/filter_bench.cpp's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "csi/line_copy.h"
#include "device/hqvga_kernels.h"
#include "device/hqvga_kernels_variants.h"
#include "processing/processing_variants.h"

namespace {

using namespace Quorvan;

constexpr uint32_t kWidth = 240;
constexpr size_t kPacked12Length = 368 * 180;
constexpr size_t kSubframeBytes = 240 * 180 * 2;

template <typename Bytes>
void fillRandom(Bytes& values, unsigned seed) {
    std::mt19937 generator(seed);
    for (auto& value : values)
        value = static_cast<typename Bytes::value_type>(generator());
}

const char* const kProcessingRoutines[] = {"threshold", "saturation", "flying_pixels",
                                           "temporal",  "median3x3",  "deproject"};

int listVariants() {
    const hqvga::KernelVariantList depth = hqvga::runnableKernelVariants();
    for (int v = 0; v < depth.count; ++v)
        std::printf("depth %s\n", depth.items[v].name);
    for (int v = 0; v < depth.count; ++v)
        std::printf("raw_unpack %s\n", depth.items[v].name);
    const packed12::GroupVariantList groups = packed12::runnableGroupVariants();
    for (int v = 0; v < groups.count; ++v)
        std::printf("packed12 %s\n", groups.items[v].name);
    const processing::ProcessingVariantList processing = processing::runnableProcessingVariants();
    for (const char* routine : kProcessingRoutines) {
        for (int v = 0; v < processing.count; ++v)
            std::printf("%s %s\n", routine, processing.items[v].name);
    }
    return 0;
}

// The runnable variant `name` of `list`; null, after saying so, when this
// processor has none of that name.
template <typename Variant>
const Variant* findVariant(const VariantList<Variant>& list, const char* routine,
                           const char* name) {
    const Variant* variant = list.named(name);
    if (variant == nullptr)
        std::fprintf(stderr, "no %s variant %s here\n", routine, name);
    return variant;
}

// A 240x180 kernel input of random samples, the same on every run.
std::vector<uint16_t> randomKernelCache() {
    std::vector<uint16_t> cache(4 * hqvga::kPixels);
    fillRandom(cache, 20240601);
    return cache;
}

int runUnpack(const char* name, long frames) {
    const auto* variant = findVariant(hqvga::runnableKernelVariants(), "raw_unpack", name);
    if (variant == nullptr)
        return 2;
    const std::vector<uint16_t> cache = randomKernelCache();
    std::vector<int16_t> raw(4 * hqvga::kPixels);
    for (long frame = 0; frame < frames; ++frame)
        variant->unpack(cache.data(), raw.data(), 0);
    std::fprintf(stderr, "raw[100] = %d\n", raw[100]);
    return 0;
}

// One filter or the deprojection on a 240x180 room-like plane with 2% holes.
int runProcessing(const char* routine, const char* name, long frames) {
    const auto* variant = findVariant(processing::runnableProcessingVariants(), routine, name);
    if (variant == nullptr)
        return 2;
    constexpr int kFilterWidth = hqvga::kWidth, kFilterHeight = hqvga::kHeight;
    constexpr std::size_t kPixels = hqvga::kPixels;
    std::mt19937 generator(42);
    std::vector<float> depth(kPixels), amplitude(kPixels), out(3 * kPixels), state(kPixels);
    for (std::size_t i = 0; i < kPixels; ++i) {
        depth[i] = generator() % 50 == 0 ? 0.0f : 500.0f + static_cast<float>(generator() % 2500);
        amplitude[i] = static_cast<float>(generator() % 200);
    }
    std::vector<int16_t> raw(4 * kPixels);
    for (int16_t& sample : raw)
        sample = static_cast<int16_t>(static_cast<int>(generator() % 2048 - 1024) * 16);
    CameraIntrinsics intrinsics;
    intrinsics.width = kFilterWidth;
    intrinsics.height = kFilterHeight;
    intrinsics.fx = intrinsics.fy = 216.0f;
    intrinsics.cx = 120.0f;
    intrinsics.cy = 90.0f;
    const RayTable rays(intrinsics);
    const filters::PhaseSamples phases{raw.data(), kFilterWidth, 4 * kFilterWidth};
    for (long frame = 0; frame < frames; ++frame) {
        if (std::strcmp(routine, "threshold") == 0)
            variant->threshold_amplitude(depth.data(), amplitude.data(), kPixels, 20.0f);
        else if (std::strcmp(routine, "saturation") == 0)
            variant->reject_saturated(depth.data(), kFilterWidth, kFilterHeight, phases,
                                      filters::kHqvgaRawClipLow, filters::kHqvgaRawClipHigh);
        else if (std::strcmp(routine, "flying_pixels") == 0)
            variant->remove_flying_pixels(depth.data(), out.data(), kFilterWidth, kFilterHeight,
                                          {});
        else if (std::strcmp(routine, "temporal") == 0)
            variant->temporal_filter(depth.data(), state.data(), kPixels, {});
        else if (std::strcmp(routine, "median3x3") == 0)
            variant->median3x3(depth.data(), out.data(), kFilterWidth, kFilterHeight);
        else
            variant->deproject(rays, depth.data(), out.data());
    }
    std::fprintf(stderr, "out[100] = %g\n", static_cast<double>(out[100] + depth[100]));
    return 0;
}

int runDepth(const char* name, long frames) {
    const auto* variant = findVariant(hqvga::runnableKernelVariants(), "depth", name);
    if (variant == nullptr)
        return 2;
    const std::vector<uint16_t> cache = randomKernelCache();
    std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels), confidence(hqvga::kPixels);
    for (long frame = 0; frame < frames; ++frame)
        variant->depth(cache.data(), depth.data(), amplitude.data(), confidence.data(), 4000,
                       37500000.0f, 0);
    // Printed so that the work cannot be optimised away.
    std::fprintf(stderr, "depth[100] = %g\n", static_cast<double>(depth[100]));
    return 0;
}

int runPacked12(const char* name, long frames) {
    const auto* variant = findVariant(packed12::runnableGroupVariants(), "packed12", name);
    if (variant == nullptr)
        return 2;
    std::vector<uint8_t> source(kPacked12Length);
    fillRandom(source, 7);
    std::vector<uint8_t> cache(kSubframeBytes);
    for (long frame = 0; frame < frames; ++frame) {
        size_t offset = 0;
        unpackPacked12LinesWith(variant->kernel, source.data(), source.size(), kWidth, cache.data(),
                                cache.size(), offset);
    }
    std::fprintf(stderr, "cache[100] = %d\n", cache[100]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "list") == 0)
        return listVariants();
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s list | <routine> <variant> <frames>\n", argv[0]);
        return 2;
    }
    const long frames = std::strtol(argv[3], nullptr, 10);
    if (frames < 0) {
        std::fprintf(stderr, "frames must not be negative\n");
        return 2;
    }
    if (std::strcmp(argv[1], "depth") == 0)
        return runDepth(argv[2], frames);
    if (std::strcmp(argv[1], "raw_unpack") == 0)
        return runUnpack(argv[2], frames);
    if (std::strcmp(argv[1], "packed12") == 0)
        return runPacked12(argv[2], frames);
    for (const char* routine : kProcessingRoutines) {
        if (std::strcmp(argv[1], routine) == 0)
            return runProcessing(routine, argv[2], frames);
    }
    std::fprintf(stderr, "unknown routine %s\n", argv[1]);
    return 2;
}

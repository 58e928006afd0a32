// Runs one per-frame routine a given number of times on a fixed 240x180
// input and nothing else, so that an emulator counting executed
// instructions (bench/instruction_counts.sh) can take the difference between
// two repetition counts as the routine's cost per frame, free of start-up.
//
//   quorvan_instruction_count_driver list
//   quorvan_instruction_count_driver depth <variant> <frames>
//   quorvan_instruction_count_driver packed12 <variant> <frames>
//
// <variant> is a name from `list` (the instruction-set variants this
// processor runs). Depth runs range 4000, shift 0; packed12 unpacks one
// sub-frame of 240x180 12-bit samples in 368-byte lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "csi/line_copy.h"
#include "device/hqvga_kernels.h"
#include "device/hqvga_kernels_variants.h"

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

int listVariants() {
    const hqvga::KernelVariantList depth = hqvga::runnableKernelVariants();
    for (int v = 0; v < depth.count; ++v)
        std::printf("depth %s\n", depth.items[v].name);
    const packed12::GroupVariantList groups = packed12::runnableGroupVariants();
    for (int v = 0; v < groups.count; ++v)
        std::printf("packed12 %s\n", groups.items[v].name);
    return 0;
}

int runDepth(const char* name, long frames) {
    const hqvga::KernelVariantList list = hqvga::runnableKernelVariants();
    for (int v = 0; v < list.count; ++v) {
        if (std::strcmp(list.items[v].name, name) != 0)
            continue;
        std::vector<uint16_t> cache(4 * hqvga::kPixels);
        fillRandom(cache, 20240601);
        std::vector<float> depth(hqvga::kPixels), amplitude(hqvga::kPixels),
            confidence(hqvga::kPixels);
        for (long frame = 0; frame < frames; ++frame)
            list.items[v].depth(cache.data(), depth.data(), amplitude.data(), confidence.data(),
                                4000, 37500000.0f, 0);
        // Printed so that the work cannot be optimised away.
        std::fprintf(stderr, "depth[100] = %g\n", static_cast<double>(depth[100]));
        return 0;
    }
    std::fprintf(stderr, "no depth variant %s here\n", name);
    return 2;
}

int runPacked12(const char* name, long frames) {
    const packed12::GroupVariantList list = packed12::runnableGroupVariants();
    for (int v = 0; v < list.count; ++v) {
        if (std::strcmp(list.items[v].name, name) != 0)
            continue;
        std::vector<uint8_t> source(kPacked12Length);
        fillRandom(source, 7);
        std::vector<uint8_t> cache(kSubframeBytes);
        for (long frame = 0; frame < frames; ++frame) {
            size_t offset = 0;
            unpackPacked12LinesWith(list.items[v].kernel, source.data(), source.size(), kWidth,
                                    cache.data(), cache.size(), offset);
        }
        std::fprintf(stderr, "cache[100] = %d\n", cache[100]);
        return 0;
    }
    std::fprintf(stderr, "no packed12 variant %s here\n", name);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "list") == 0)
        return listVariants();
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s list | depth|packed12 <variant> <frames>\n", argv[0]);
        return 2;
    }
    const long frames = std::strtol(argv[3], nullptr, 10);
    if (frames < 0) {
        std::fprintf(stderr, "frames must not be negative\n");
        return 2;
    }
    if (std::strcmp(argv[1], "depth") == 0)
        return runDepth(argv[2], frames);
    if (std::strcmp(argv[1], "packed12") == 0)
        return runPacked12(argv[2], frames);
    std::fprintf(stderr, "unknown routine %s\n", argv[1]);
    return 2;
}

// The optimised raw unpack against the scalar reference: every 16-bit value
// in every phase plane, for the shifts the hardware uses and odd ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "device/hqvga_kernels.h"
#include "device/hqvga_kernels_variants.h"
#include "kernels/named_kernels.h"
#include "reference/hqvga_reference.h"

namespace Quorvan {
namespace {

constexpr int kRawSamples = 4 * hqvga::kPixels;
constexpr int16_t kSentinel = 0x5A5A;
constexpr int kGuardSamples = 64;

using NamedUnpack = kernel_check::NamedKernel<hqvga::UnpackKernel>;

std::vector<NamedUnpack> unpackKernels() {
    return kernel_check::runnableKernels(&hqvga::KernelVariant::unpack, "unpackRaw",
                                         hqvga::unpackRaw);
}

// Frame `frame` of two: together they give every plane every 16-bit value
// (two frames of 43200 samples per plane cover 86400 consecutive values).
std::vector<uint16_t> everyValueFrame(int frame) {
    std::vector<uint16_t> cache(kRawSamples);
    for (int plane = 0; plane < 4; ++plane)
        for (int i = 0; i < hqvga::kPixels; ++i)
            cache[plane * hqvga::kPixels + i] =
                static_cast<uint16_t>(frame * hqvga::kPixels + i + plane * 12345);
    return cache;
}

TEST(RawUnpack, EveryValueEveryPlaneMatchesReference) {
    const std::vector<std::vector<uint16_t>> frames = {everyValueFrame(0), everyValueFrame(1)};
    std::vector<int16_t> expected(kRawSamples);
    std::vector<int16_t> got(kRawSamples + kGuardSamples);
    for (const NamedUnpack& kernel : unpackKernels()) {
        for (uint8_t shift : {0, 1, 4, 11, 15, 16, 31, 255}) {
            for (const std::vector<uint16_t>& cache : frames) {
                reference::unpackHqvgaRaw(cache.data(), expected.data(), shift);
                std::fill(got.begin(), got.end(), kSentinel);
                kernel.kernel(cache.data(), got.data(), shift);
                int mismatches = 0;
                for (int i = 0; i < kRawSamples; ++i)
                    mismatches += got[i] != expected[i];
                EXPECT_EQ(mismatches, 0) << kernel.name << ", shift " << int(shift);
                for (int i = kRawSamples; i < kRawSamples + kGuardSamples; ++i)
                    ASSERT_EQ(got[i], kSentinel) << kernel.name << " wrote past the plane";
            }
        }
    }
}

// The vector unpacks align their stores to the output rows, which sit at
// whatever offset the caller's plane has: every offset of a 2-byte plane
// from a 32-byte boundary, with nothing written before or after the plane.
TEST(RawUnpack, EveryOutputAlignmentMatchesReference) {
    const std::vector<uint16_t> cache = everyValueFrame(0);
    std::vector<int16_t> expected(kRawSamples);
    reference::unpackHqvgaRaw(cache.data(), expected.data(), 0);
    // 64-byte aligned storage with room for guards on both sides.
    std::vector<int16_t> storage(kRawSamples + 4 * kGuardSamples);
    int16_t* const aligned = reinterpret_cast<int16_t*>(
        (reinterpret_cast<uintptr_t>(storage.data()) + 2 * kGuardSamples * 2 + 63) &
        ~uintptr_t{63});
    for (const NamedUnpack& kernel : unpackKernels()) {
        for (int offset = 0; offset < 16; ++offset) {
            std::fill(storage.begin(), storage.end(), kSentinel);
            int16_t* const raw = aligned + offset;
            kernel.kernel(cache.data(), raw, 0);
            int mismatches = 0;
            for (int i = 0; i < kRawSamples; ++i)
                mismatches += raw[i] != expected[i];
            EXPECT_EQ(mismatches, 0) << kernel.name << ", offset " << offset;
            for (int i = 1; i <= kGuardSamples; ++i) {
                ASSERT_EQ(raw[-i], kSentinel) << kernel.name << " wrote before the plane";
                ASSERT_EQ(raw[kRawSamples - 1 + i], kSentinel)
                    << kernel.name << " wrote past the plane";
            }
        }
    }
}

TEST(RawUnpack, RowsInterleavePhasesAndConvertSamples) {
    std::vector<uint16_t> cache(kRawSamples);
    for (int plane = 0; plane < 4; ++plane)
        for (int i = 0; i < hqvga::kPixels; ++i)
            cache[plane * hqvga::kPixels + i] = static_cast<uint16_t>(plane * 100 + i % 7);
    cache[0] = 0x0064;                   // 1600
    cache[3 * hqvga::kPixels] = 0x0400;  // sign bit: -16384
    cache[hqvga::kPixels - 1] = 0x0FFF;  // bit 11 ignored: -16
    std::vector<int16_t> raw(kRawSamples);
    hqvga::unpackRaw(cache.data(), raw.data(), 0);
    EXPECT_EQ(raw[0], 1600);                                // row 0: P0 row 0
    EXPECT_EQ(raw[3 * hqvga::kWidth], -16384);              // row 3: P3 row 0
    EXPECT_EQ(raw[4 * hqvga::kWidth + 1], 16 * (241 % 7));  // row 4: P0 row 1
    EXPECT_EQ(raw[719 * hqvga::kWidth + 5], 16 * (300 + (179 * 240 + 5) % 7));
    EXPECT_EQ(raw[716 * hqvga::kWidth + 239], -16);  // P0 row 179, last column

    // Shift 4 (the Xavier/Orin layout): 0x0640 converts like 0x0064.
    cache[0] = 0x0640;
    hqvga::unpackRaw(cache.data(), raw.data(), 4);
    EXPECT_EQ(raw[0], 1600);
}

}  // namespace
}  // namespace Quorvan

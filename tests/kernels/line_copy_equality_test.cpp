// The CSI line copy routines against their scalar reference: on random
// buffers of the sizes the hosts deliver, two sub-frames back to back, and on
// random lengths, capacities, offsets and line widths, with every group
// unpacker this processor runs forced in turn.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "csi/line_copy.h"
#include "kernels/line_copy_comparison.h"
#include "reference/line_copy_reference.h"

namespace Quorvan {
namespace {

constexpr size_t kSlack = 4096;  // room for the reference's whole-line reads

using line_copy_check::randomBytes;
using line_copy_check::ReferenceByteCopy;

// Runs both routines over two consecutive sub-frames and compares the cache
// bytes and the final offset.
void expectSameAsReference(LineCopyRoutine routine, ReferenceByteCopy reference_routine,
                           size_t length, uint32_t width, size_t output_per_call) {
    const std::vector<uint8_t> first = randomBytes(length + kSlack, 1);
    const std::vector<uint8_t> second = randomBytes(length + kSlack, 2);
    const size_t capacity = 2 * output_per_call;
    std::vector<uint8_t> expected(capacity + kSlack, 0xEE);
    std::vector<uint8_t> got(capacity + kSlack, 0xEE);
    size_t expected_offset = 0;
    size_t got_offset = 0;
    for (const std::vector<uint8_t>* source : {&first, &second}) {
        reference_routine(source->data(), length, expected.data(), expected_offset);
        routine(source->data(), length, width, got.data(), capacity, got_offset);
    }
    EXPECT_EQ(got_offset, expected_offset);
    EXPECT_EQ(got_offset, capacity);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + capacity, expected.begin()));
    for (size_t i = capacity; i < got.size(); ++i)
        ASSERT_EQ(got[i], 0xEE) << "wrote past the capacity at " << i;
}

TEST(LineCopyEquality, PaddedLinesMatchReference) {
    expectSameAsReference(copyPaddedLines, reference::copyPaddedLines, kPaddedFrameLength, 240,
                          180 * 480);
}

TEST(LineCopyEquality, LinePairsMatchReference) {
    expectSameAsReference(copyLinePairs, reference::copyLinePairs, 90 * kLinePairBlock, 240,
                          90 * kLinePairBlock);
}

TEST(LineCopyEquality, PlainCopyMatchesReference) {
    expectSameAsReference(copyPlain, reference::copyPlain, 240 * 180 * 2, 240, 240 * 180 * 2);
}

// Whole frames, two sub-frames back to back, at every width from 1 to 400, so
// every line padding from 0 to 15 bytes: the samples kept must be the
// layout's. Where a line's padding is at least 8 bytes the stop before the
// buffer's last 8 bytes costs nothing and even-width frames come out whole.
TEST(LineCopyEquality, Packed12LinesMatchTheLayoutAtEveryWidth) {
    for (uint32_t width = 1; width <= 400; ++width) {
        SCOPED_TRACE("width " + std::to_string(width));
        const size_t payload = width * 3 / 2;
        const size_t stride = (payload + 15) / 16 * 16;
        const size_t lines = width == 240 ? 180 : 5;
        const size_t length = stride * lines;
        const size_t samples_per_call = static_cast<size_t>(width) * lines;
        // Room for two calls' worth of the layout's samples: with an odd width
        // a group's second sample starts the next row, so a call can keep
        // more samples than width x lines.
        const size_t capacity = 2 * (2 * (length / 3) + 2) * 2;
        std::vector<uint16_t> got(capacity / 2 + kSlack, 0xEEEE);
        size_t got_bytes = 0;
        for (uint32_t seed : {3u, 4u}) {
            const std::vector<uint8_t> source = randomBytes(length, seed + width);
            const size_t first = got_bytes / 2;
            std::vector<uint16_t> layout(first + 2 * (length / 3) + 2, 0);
            size_t layout_end = first;
            reference::unpackPacked12Lines(source.data(), length, width, layout.data(), layout_end);
            const size_t kept = reference::packed12SamplesKept(length, width, first);
            ASSERT_LE(kept, layout_end - first);
            if (width % 2 == 0 && stride - payload >= 8) {
                EXPECT_EQ(kept, samples_per_call);
            }
            unpackPacked12Lines(source.data(), length, width,
                                reinterpret_cast<uint8_t*>(got.data()), capacity, got_bytes);
            ASSERT_EQ(got_bytes, 2 * (first + kept)) << "seed " << seed;
            int mismatches = 0;
            for (size_t i = first; i < first + kept; ++i)
                mismatches += got[i] != layout[i];
            EXPECT_EQ(mismatches, 0) << "seed " << seed;
        }
        for (size_t i = got_bytes / 2; i < got.size(); ++i)
            ASSERT_EQ(got[i], 0xEEEE) << "wrote past its output at " << i;
    }
}

TEST(LineCopyEquality, ByteCopiesMatchReferenceOnAnyLengthCapacityAndOffset) {
    struct Routine {
        const char* name;
        LineCopyRoutine routine;
        line_copy_check::ReferenceByteCopy reference;
        size_t line_stride;
        size_t lines;
    };
    const Routine routines[] = {
        {"padded lines", copyPaddedLines, reference::copyPaddedLines, kPaddedLineStride, 180},
        {"line pairs", copyLinePairs, reference::copyLinePairs, kLinePairBlock, 90},
        {"plain", copyPlain, reference::copyPlain, 480, 180},
    };
    std::mt19937 generator(11);
    for (const Routine& r : routines) {
        for (int i = 0; i < 200; ++i) {
            const line_copy_check::CopyCase c =
                line_copy_check::randomCase(generator, 240, r.line_stride, r.lines);
            ASSERT_EQ(line_copy_check::compareByteCopy(r.routine, r.reference, c), "") << r.name;
        }
    }
}

// Runs of every length, with the source ending right after the last group,
// so the wide loads' tails are exercised at every alignment.
TEST(LineCopyEquality, EveryGroupUnpackerMatchesOneGroupAtATimeForAnyRun) {
    const packed12::GroupVariantList variants = packed12::runnableGroupVariants();
    ASSERT_GE(variants.count, 1);
    for (int v = 0; v < variants.count; ++v) {
        for (size_t groups = 0; groups <= 100; ++groups) {
            ASSERT_EQ(line_copy_check::compareGroupKernel(variants.items[v].kernel, groups,
                                                          static_cast<uint32_t>(groups)),
                      "")
                << variants.items[v].name;
        }
    }
}

// Odd and even widths, line padding of 0 to 15 bytes, buffers cut anywhere,
// caches that end mid-line and sub-frames that start mid-line.
TEST(LineCopyEquality, EveryGroupUnpackerMatchesReferenceOnRandomLines) {
    const packed12::GroupVariantList variants = packed12::runnableGroupVariants();
    for (int v = 0; v < variants.count; ++v) {
        std::mt19937 generator(13);
        for (int i = 0; i < 400; ++i) {
            const uint32_t width = i % 4 == 0 ? 240 : 1 + generator() % 400;
            const size_t stride = (width * 3 / 2 + 15) / 16 * 16;
            const line_copy_check::CopyCase c =
                line_copy_check::randomCase(generator, width, stride, 40);
            ASSERT_EQ(line_copy_check::comparePacked12(variants.items[v].kernel, c), "")
                << variants.items[v].name;
        }
    }
}

// The routine the camera calls uses one of the variants checked above.
TEST(LineCopyEquality, SelectedGroupUnpackerIsTheMostCapableRunnable) {
    const packed12::GroupVariantList variants = packed12::runnableGroupVariants();
    EXPECT_EQ(&packed12::selectedGroupVariant(), &variants.items[variants.count - 1]);
}

}  // namespace
}  // namespace Quorvan

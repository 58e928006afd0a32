// The copy routines against hand-built buffers (exact byte placement) and
// against the simulated drivers' layouts (round trip back to the samples),
// with sources and caches that end exactly where their bounds say, so that
// AddressSanitizer catches any access past them.
#include "csi/line_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/driver_layout.h"
#include "support/subframe_source.h"

namespace Quorvan {
namespace {

using simulation::DriverLayout;
using simulation::layOutFrame;
using simulation::PatternSource;

constexpr uint32_t kWidth = 240;
constexpr uint32_t kHeight = 180;
constexpr size_t kFrameBytes = kWidth * kHeight * 2;
constexpr uint8_t kUntouched = 0x5A;

std::vector<uint16_t> patternFrame(int phase) {
    std::vector<uint16_t> samples(kWidth * kHeight);
    PatternSource().render(kWidth, kHeight, 0, phase, samples.data());
    return samples;
}

uint16_t sampleAt(const std::vector<uint8_t>& cache, size_t index) {
    uint16_t sample = 0;
    std::memcpy(&sample, cache.data() + index * 2, 2);
    return sample;
}

std::vector<uint8_t> sequentialBytes(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

TEST(LineCopy, PaddedLinesKeep480OfEach512Bytes) {
    const std::vector<uint8_t> source = sequentialBytes(kPaddedFrameLength);
    std::vector<uint8_t> cache(kFrameBytes, kUntouched);
    size_t offset = 0;
    copyPaddedLines(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, kFrameBytes);
    for (size_t line = 0; line < kHeight; ++line) {
        ASSERT_EQ(0, std::memcmp(cache.data() + line * 480, source.data() + line * 512, 480))
            << "line " << line;
    }
}

TEST(LineCopy, LinePairsFollowTheReceiverBlockOrder) {
    const std::vector<uint8_t> source = sequentialBytes(2 * kLinePairBlock);
    std::vector<uint8_t> cache(2 * kLinePairBlock, kUntouched);
    size_t offset = 0;
    copyLinePairs(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, 2 * kLinePairBlock);
    for (size_t block = 0; block < 2; ++block) {
        const uint8_t* in = source.data() + block * kLinePairBlock;
        const uint8_t* out = cache.data() + block * kLinePairBlock;
        EXPECT_EQ(0, std::memcmp(out, in, 448));
        EXPECT_EQ(0, std::memcmp(out + 448, in + 896, 32));
        EXPECT_EQ(0, std::memcmp(out + 480, in + 448, 448));
        EXPECT_EQ(0, std::memcmp(out + 928, in + 928, 32));
    }
}

// A block cut short by the mapping: each piece is copied as far as the
// source goes, and the offset still advances by a whole block.
TEST(LineCopy, LinePairsCopyWhatAShortBlockHolds) {
    const std::vector<uint8_t> source = sequentialBytes(kLinePairBlock + 910);
    std::vector<uint8_t> cache(2 * kLinePairBlock, kUntouched);
    size_t offset = 0;
    copyLinePairs(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, 2 * kLinePairBlock);
    const uint8_t* in = source.data() + kLinePairBlock;
    const uint8_t* out = cache.data() + kLinePairBlock;
    EXPECT_EQ(0, std::memcmp(out, in, 448));
    EXPECT_EQ(0, std::memcmp(out + 448, in + 896, 14));
    EXPECT_EQ(out[448 + 14], kUntouched);
    EXPECT_EQ(0, std::memcmp(out + 480, in + 448, 448));
    EXPECT_EQ(out[928], kUntouched);
}

TEST(LineCopy, PackedTwelveBitSamplesTakeHighBytesThenNibbles) {
    // Two lines of four samples: payload 6 bytes, stride 16, padding 10.
    std::vector<uint8_t> source(40, 0xEE);
    const uint8_t line0[] = {0xAB, 0xCD, 0x21, 0x12, 0x34, 0x65};
    const uint8_t line1[] = {0x01, 0xFF, 0xF0, 0x80, 0x7F, 0x0F};
    std::memcpy(source.data(), line0, 6);
    std::memcpy(source.data() + 16, line1, 6);
    std::vector<uint8_t> cache(16, kUntouched);
    size_t offset = 0;
    unpackPacked12Lines(source.data(), source.size(), 4, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, 16u);
    const uint16_t expected[] = {0xAB1, 0xCD2, 0x125, 0x346, 0x010, 0xFFF, 0x80F, 0x7F0};
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(sampleAt(cache, i), expected[i]) << i;
}

TEST(LineCopy, PackedEightByteBufferYieldsNothing) {
    const std::vector<uint8_t> source(8, 0x11);
    std::vector<uint8_t> cache(16, kUntouched);
    size_t offset = 0;
    unpackPacked12Lines(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(cache[0], kUntouched);
}

TEST(LineCopy, PlainCopyAdvancesByTheLength) {
    const std::vector<uint8_t> source = sequentialBytes(100);
    std::vector<uint8_t> cache(300, kUntouched);
    size_t offset = 0;
    copyPlain(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    copyPlain(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, 200u);
    EXPECT_EQ(0, std::memcmp(cache.data() + 100, source.data(), 100));
    EXPECT_EQ(cache[200], kUntouched);
}

// What each host's driver writes comes back as the sensor's samples (the
// Xavier/Orin receiver also shifts them left by 4).
TEST(LineCopy, UndoesTheDriverLayouts) {
    struct Case {
        DriverLayout layout;
        LineCopyRoutine routine;
        size_t driver_bytes;
        int shift;
    };
    const Case cases[] = {
        {DriverLayout::Plain, copyPlain, kFrameBytes, 0},
        {DriverLayout::PaddedLines, copyPaddedLines, kPaddedFrameLength, 0},
        {DriverLayout::Packed12, unpackPacked12Lines, 66240, 0},
        {DriverLayout::LinePairs, copyLinePairs, kFrameBytes, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.layout));
        std::vector<uint8_t> cache(2 * kFrameBytes, kUntouched);
        size_t offset = 0;
        for (int phase = 0; phase < 2; ++phase) {
            const std::vector<uint16_t> samples = patternFrame(phase);
            const std::vector<uint8_t> driver =
                layOutFrame(c.layout, samples.data(), kWidth, kHeight);
            ASSERT_EQ(driver.size(), c.driver_bytes);
            c.routine(driver.data(), driver.size(), kWidth, cache.data(), cache.size(), offset);
            ASSERT_EQ(offset, (phase + 1) * kFrameBytes);
            for (size_t i = 0; i < samples.size(); ++i) {
                ASSERT_EQ(sampleAt(cache, phase * samples.size() + i),
                          static_cast<uint16_t>(samples[i] << c.shift))
                    << "row " << i / kWidth << ", column " << i % kWidth;
            }
        }
    }
}

// Lengths the routines were not built for: output stops at the cache's end
// and input at the source's end (a wrong access would trip ASan here since
// both vectors end exactly at their bounds).
TEST(LineCopy, StaysInsideSourceAndCache) {
    const LineCopyRoutine routines[] = {copyPaddedLines, copyLinePairs, unpackPacked12Lines,
                                        copyPlain};
    const size_t source_lengths[] = {1, 7, 8, 9, 500, 959, 961, 66239, 92160, 92161, 200000};
    const size_t capacities[] = {0, 1, 3, 479, 481, 1000, kFrameBytes};
    for (LineCopyRoutine routine : routines) {
        for (size_t length : source_lengths) {
            const std::vector<uint8_t> source = sequentialBytes(length);
            for (size_t capacity : capacities) {
                std::vector<uint8_t> cache(capacity + 16, kUntouched);
                size_t offset = 0;
                routine(source.data(), source.size(), kWidth, cache.data(), capacity, offset);
                ASSERT_LE(offset, capacity) << length << " into " << capacity;
                for (size_t i = capacity; i < cache.size(); ++i) {
                    ASSERT_EQ(cache[i], kUntouched) << length << " into " << capacity;
                }
            }
        }
    }
}

TEST(LineCopy, ResumesAtTheOffsetWithinTheCapacity) {
    const std::vector<uint8_t> source = sequentialBytes(kPaddedFrameLength);
    std::vector<uint8_t> cache(kFrameBytes + 1000, kUntouched);
    size_t offset = 1000;
    copyPaddedLines(source.data(), source.size(), kWidth, cache.data(), cache.size(), offset);
    EXPECT_EQ(offset, cache.size());
    EXPECT_EQ(cache[999], kUntouched);
    EXPECT_EQ(0, std::memcmp(cache.data() + 1000, source.data(), 480));
}

}  // namespace
}  // namespace Quorvan

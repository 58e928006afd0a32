// The RVL stream: a stream built by hand from the format decodes as it
// should, every 16-bit value and every step between values survives, and a
// cut or garbled stream is refused without reading past its end (each
// stream under test lives in a buffer of exactly its size, so a sanitizer
// build sees any over-read).
#include "ros/rvl_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace Quorvan::ros {
namespace {

std::vector<uint8_t> encode(const std::vector<uint16_t>& depth) {
    std::vector<uint8_t> stream(rvlEncodedSize(depth.data(), depth.size()));
    EXPECT_EQ(rvlEncode(depth.data(), depth.size(), stream.data()), stream.size());
    return stream;
}

RvlStatus decode(const std::vector<uint8_t>& stream, std::vector<uint16_t>* depth) {
    return rvlDecode(stream.data(), stream.size(), depth->data(), depth->size());
}

// Nibbles, most significant first in each little-endian 32-bit word.
std::vector<uint8_t> words(const std::vector<uint32_t>& values) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : values)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<uint8_t>(word >> shift));
    return bytes;
}

TEST(Rvl, HandBuiltStreamDecodesAndIsWhatTheEncoderWrites) {
    // {0, 0, 5, 6, 0}: 2 zeros, 2 valid; 5 - 0 folds to 10 (groups 2 and 1,
    // so nibbles A 1), 6 - 5 folds to 2; then 1 zero, 0 valid; one pad nibble.
    const std::vector<uint8_t> stream = words({0x22A12100});
    std::vector<uint16_t> depth(5, 0xffff);
    ASSERT_EQ(decode(stream, &depth), RvlStatus::Ok);
    EXPECT_EQ(depth, (std::vector<uint16_t>{0, 0, 5, 6, 0}));
    EXPECT_EQ(encode(depth), stream);

    // No zeros, 2 valid: 7 folds to 14 (groups 6 and 1: E 1), the step of -4
    // to 7; then 20 zeros (groups 4 and 2: C 2) and 0 valid. One full word.
    const std::vector<uint8_t> second = words({0x02E17C20});
    std::vector<uint16_t> more(22, 1);
    ASSERT_EQ(decode(second, &more), RvlStatus::Ok);
    std::vector<uint16_t> expected(22, 0);
    expected[0] = 7;
    expected[1] = 3;
    EXPECT_EQ(more, expected);
    EXPECT_EQ(encode(expected), second);
}

TEST(Rvl, EveryValueAndTheLargestStepsSurvive) {
    std::vector<uint16_t> rising(65536);
    for (std::size_t value = 0; value < rising.size(); ++value)
        rising[value] = static_cast<uint16_t>(value);
    // 65535 -> 1 -> 65535 ...: steps of -65534 and +65534 each way.
    std::vector<uint16_t> swinging(4097);
    for (std::size_t index = 0; index < swinging.size(); ++index)
        swinging[index] = index % 2 ? 1 : 65535;
    std::vector<uint16_t> falling(rising.rbegin(), rising.rend());
    for (const auto* depth : {&rising, &swinging, &falling}) {
        const std::vector<uint8_t> stream = encode(*depth);
        EXPECT_EQ(stream.size() % 4, 0u);
        std::vector<uint16_t> decoded(depth->size());
        ASSERT_EQ(decode(stream, &decoded), RvlStatus::Ok);
        EXPECT_EQ(decoded, *depth);
    }
}

TEST(Rvl, AllZeroAndAllValidPlanesAndTheEmptyPlane) {
    const std::vector<uint16_t> zeros(100000, 0);
    const std::vector<uint8_t> zero_stream = encode(zeros);
    EXPECT_LE(zero_stream.size(), 8u);  // one run length and a 0
    std::vector<uint16_t> decoded(zeros.size(), 3);
    ASSERT_EQ(decode(zero_stream, &decoded), RvlStatus::Ok);
    EXPECT_EQ(decoded, zeros);

    const std::vector<uint16_t> flat(1001, 2000);
    decoded.assign(flat.size(), 0);
    ASSERT_EQ(decode(encode(flat), &decoded), RvlStatus::Ok);
    EXPECT_EQ(decoded, flat);

    EXPECT_EQ(rvlEncodedSize(nullptr, 0), 0u);
    EXPECT_EQ(rvlDecode(nullptr, 0, nullptr, 0), RvlStatus::Ok);
}

TEST(Rvl, EveryCutOfAStreamIsRefused) {
    std::vector<uint16_t> depth(257);
    for (std::size_t index = 0; index < depth.size(); ++index)
        depth[index] = index % 9 == 0 ? 0 : static_cast<uint16_t>(500 + index * 37);
    const std::vector<uint8_t> stream = encode(depth);
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
        const std::vector<uint8_t> prefix(stream.begin(), stream.begin() + cut);
        std::vector<uint16_t> decoded(depth.size());
        EXPECT_EQ(decode(prefix, &decoded), RvlStatus::Truncated) << "cut at " << cut;
    }
}

TEST(Rvl, RunsBeyondThePixelsAndOverlongNumbersAreCorrupt) {
    std::vector<uint16_t> depth(4);
    EXPECT_EQ(decode(words({0x50000000}), &depth), RvlStatus::Corrupt);  // 5 zeros of 4
    EXPECT_EQ(decode(words({0x05000000}), &depth), RvlStatus::Corrupt);  // 5 valid of 4
    // Twelve continued groups: more than 32 bits.
    EXPECT_EQ(decode(words({0x88888888, 0x88880000}), &depth), RvlStatus::Corrupt);
    // Eleven groups whose last one reaches beyond bit 31.
    EXPECT_EQ(decode(words({0x88888888, 0x88700000}), &depth), RvlStatus::Corrupt);
}

}  // namespace
}  // namespace Quorvan::ros

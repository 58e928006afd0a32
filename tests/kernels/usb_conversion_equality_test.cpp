// The USB backend's sample conversions against their scalar reference: every
// input value, from an odd (unaligned) input address, for each bit width.
#include <gtest/gtest.h>

#include <vector>

#include "device/usb_sample_conversion.h"
#include "reference/usb_conversion_reference.h"

namespace Quorvan {
namespace {

constexpr size_t kSamples = 65536;

// Every 16-bit value once, little-endian, starting one byte into the buffer.
std::vector<uint8_t> everyTwoByteValue() {
    std::vector<uint8_t> bytes(1 + 2 * kSamples);
    for (size_t i = 0; i < kSamples; ++i) {
        bytes[1 + 2 * i] = static_cast<uint8_t>(i);
        bytes[2 + 2 * i] = static_cast<uint8_t>(i >> 8);
    }
    return bytes;
}

int countDifferences(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
    int differences = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differences += a[i] != b[i];
    return differences;
}

TEST(UsbConversionEquality, EveryTwoByteSampleMatchesReference) {
    const std::vector<uint8_t> input = everyTwoByteValue();
    const uint8_t* samples = input.data() + 1;
    std::vector<uint16_t> expected(kSamples), got(kSamples);

    reference::copy12BitSamples(samples, expected.data(), kSamples);
    usb::copy12BitSamples(samples, got.data(), kSamples);
    EXPECT_EQ(countDifferences(got, expected), 0) << "12-bit copy";

    for (uint32_t bits = 9; bits <= 16; ++bits) {
        if (bits == 12)
            continue;
        if (bits > 12) {
            reference::shiftWideSamplesRight(samples, expected.data(), kSamples, bits - 12);
            usb::shiftWideSamplesRight(samples, got.data(), kSamples, bits - 12);
        } else {
            reference::shiftNarrowSamplesLeft(samples, expected.data(), kSamples, 12 - bits);
            usb::shiftNarrowSamplesLeft(samples, got.data(), kSamples, 12 - bits);
        }
        EXPECT_EQ(countDifferences(got, expected), 0) << bits << "-bit samples";
        std::fill(got.begin(), got.end(), 0);
        EXPECT_TRUE(usb::convertSamples(samples, got.data(), kSamples, bits, 2));
        EXPECT_EQ(countDifferences(got, expected), 0) << bits << "-bit samples, dispatched";
    }

    // Every shift count, including those no sample width produces, takes a
    // loop specialised for it or the general one; each must agree.
    for (unsigned shift = 0; shift <= 17; ++shift) {
        reference::shiftWideSamplesRight(samples, expected.data(), kSamples, shift);
        usb::shiftWideSamplesRight(samples, got.data(), kSamples, shift);
        EXPECT_EQ(countDifferences(got, expected), 0) << "right shift " << shift;
        if (shift > 15)
            continue;  // the reference's int arithmetic overflows past 15
        reference::shiftNarrowSamplesLeft(samples, expected.data(), kSamples, shift);
        usb::shiftNarrowSamplesLeft(samples, got.data(), kSamples, shift);
        EXPECT_EQ(countDifferences(got, expected), 0) << "left shift " << shift;
    }
}

TEST(UsbConversionEquality, EveryByteSampleMatchesReference) {
    std::vector<uint8_t> input(1 + 256);
    for (size_t i = 0; i < 256; ++i)
        input[1 + i] = static_cast<uint8_t>(i);
    std::vector<uint16_t> expected(256), got(256);
    reference::convert8BitSamples(input.data() + 1, expected.data(), 256);
    usb::convert8BitSamples(input.data() + 1, got.data(), 256);
    EXPECT_EQ(countDifferences(got, expected), 0);
    EXPECT_EQ(got[0xFF], 0x0FF0);
}

}  // namespace
}  // namespace Quorvan

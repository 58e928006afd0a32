// RVL: lossless run-length and variable-length coding of 16-bit depth.
//
// The pixels are walked in order as alternating runs: a run of zeros (no
// depth), then a run of valid pixels. Each run starts with its length; each
// valid pixel is the zigzag-folded difference to the previous valid pixel
// (the first one to 0), so the small steps of a smooth surface take few bits.
// Every number is written as 3-bit groups, least significant first, one group
// per 4-bit nibble whose top bit says that another group follows. Nibbles
// fill 32-bit words from the most significant end; a partial last word is
// padded with zero nibbles; the words are stored little-endian.
//
// A stream carries no pixel count: the decoder is told how many to expect.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace ros {

enum class RvlStatus {
    Ok,
    Truncated,  // the stream ends before the expected pixels do
    Corrupt,    // a run longer than the pixels left, or a number beyond 32 bits
};

const char* rvlStatusText(RvlStatus status);

// The exact encoded size in bytes (a multiple of 4) of `count` pixels.
std::size_t rvlEncodedSize(const uint16_t* depth, std::size_t count);

// Writes rvlEncodedSize(depth, count) bytes to `out` and returns that size.
std::size_t rvlEncode(const uint16_t* depth, std::size_t count, uint8_t* out);

// Decodes exactly `count` pixels from `size` bytes; reads nothing beyond
// them, and past a failure `out` holds whatever was decoded so far.
RvlStatus rvlDecode(const uint8_t* stream, std::size_t size, uint16_t* out, std::size_t count);

}  // namespace ros
}  // namespace Quorvan

// Scalar reference of the CSI line copy routines, written straight from the
// definition: no bounds handling beyond it, so callers give buffers large
// enough for everything a routine reads and writes. Offsets are in bytes,
// except the 12-bit unpack's, which counts 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace reference {

// 512-byte lines, the first 480 bytes of each kept; reads whole lines.
void copyPaddedLines(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset);
// 960-byte blocks rebuilt as bytes 0..447, 896..927, 448..895, 928..959; reads
// whole blocks.
void copyLinePairs(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset);
// Y12P lines, the plain layout: every group of three bytes b0 b1 b2 that
// lies wholly in the buffer gives (b0 << 4) | (b2 & 0x0F), then
// (b1 << 4) | (b2 >> 4); after each group that completes a cache row of
// `width` samples the line's padding to a 16-byte stride follows. Reads
// nothing past `length`.
void unpackPacked12Lines(const uint8_t* source, size_t length, uint32_t width, uint16_t* cache,
                         size_t& sample_offset);
// How many of those samples the CSI routine keeps, a rule of its own rather
// than of the layout: it stops after the first group that ends within the
// buffer's last 8 bytes (for 240-sample lines, the last line's padding), and
// a buffer of exactly 8 bytes yields nothing. `sample_offset` is where the
// call begins in the cache.
size_t packed12SamplesKept(size_t length, uint32_t width, size_t sample_offset);
void copyPlain(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset);

}  // namespace reference
}  // namespace Quorvan

// Routines that move one driver buffer into the camera's raw cache, undoing
// the line layout the host's capture driver uses. Each host's driver pads or
// packs lines differently; the cache always receives rows of width 16-bit
// samples back to back.
//
// Common contract: `source` holds `length` readable bytes (what is mapped,
// not what the driver claims), `cache` holds `capacity` writable bytes.
// Output goes to cache + offset and `offset` (bytes) advances past it, so
// consecutive calls lay sub-frames one after another. No routine reads at or
// past `length` or writes at or past `capacity`; output that would not fit is
// dropped and the offset stops at `capacity`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "csi/packed12_groups.h"

namespace Quorvan {

using LineCopyRoutine = void (*)(const uint8_t* source, size_t length, uint32_t width,
                                 uint8_t* cache, size_t capacity, size_t& offset);

// Drivers that align lines to 512 bytes: 480 bytes (240 samples) of each
// 512-byte line are kept.
constexpr size_t kPaddedLineStride = 512;
constexpr size_t kPaddedLinePayload = 480;
// A 240x180 frame in 512-byte lines; only this buffer size takes that route.
constexpr size_t kPaddedFrameLength = kPaddedLineStride * 180;

void copyPaddedLines(const uint8_t* source, size_t length, uint32_t width, uint8_t* cache,
                     size_t capacity, size_t& offset);

// The Xavier/Orin receiver delivers lines of 240 samples in 960-byte pairs:
// [line 1 bytes 0..447][line 2 bytes 0..447][line 1 bytes 448..479]
// [line 2 bytes 448..479]. Each block is rebuilt as bytes 0..447 and
// 896..927 (line 1), then 448..895 and 928..959 (line 2).
constexpr size_t kLinePairBlock = 960;

void copyLinePairs(const uint8_t* source, size_t length, uint32_t width, uint8_t* cache,
                   size_t capacity, size_t& offset);

// Y12P lines as the Pi 5 receiver writes them: two samples in three bytes
// (high bytes first, then both low nibbles), each line padded to a multiple
// of 16 bytes. Every sample becomes (high byte << 4) | low nibble. The last
// 8 bytes of a buffer are never unpacked.
void unpackPacked12Lines(const uint8_t* source, size_t length, uint32_t width, uint8_t* cache,
                         size_t capacity, size_t& offset);

// The same with a given group unpacker, so that every instruction-set
// variant can be checked; `unpackPacked12Lines` uses the selected one.
void unpackPacked12LinesWith(packed12::GroupKernel unpack_groups, const uint8_t* source,
                             size_t length, uint32_t width, uint8_t* cache, size_t capacity,
                             size_t& offset);

// Samples already laid out as the cache wants them.
void copyPlain(const uint8_t* source, size_t length, uint32_t width, uint8_t* cache,
               size_t capacity, size_t& offset);

}  // namespace Quorvan

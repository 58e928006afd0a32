#include "csi/line_copy.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Quorvan {

namespace {

// Copies up to `count` bytes from source[from] to cache[to], clipped to both
// buffers. Returns the bytes copied.
size_t copyClipped(const uint8_t* source, size_t length, size_t from, uint8_t* cache,
                   size_t capacity, size_t to, size_t count) {
    if (from >= length || to >= capacity)
        return 0;
    count = std::min({count, length - from, capacity - to});
    std::memcpy(cache + to, source + from, count);
    return count;
}

// A fixed-size loop the compiler turns into inline vector moves; a memcpy
// call per piece costs more than the piece itself at these sizes.
template <size_t Count>
void copyFixed(const uint8_t* __restrict source, uint8_t* __restrict target) {
    for (size_t i = 0; i < Count; ++i)
        target[i] = source[i];
}

constexpr size_t kPairHead = 448;       // bytes of each line ahead of the tails
constexpr size_t kPairLine = 480;       // one 240-sample line
constexpr size_t kPairFirstTail = 896;  // where line 1's last 32 bytes sit
constexpr size_t kPairSecondTail = 928;
constexpr size_t kPairTailBytes = kPairLine - kPairHead;

constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

// Groups from sample index `sample` up to and including the one after which
// the sample index is a multiple of `width` (where a line's padding is
// skipped). Two samples per group, so with an even width an odd index never
// gets there.
size_t groupsToLineEnd(size_t sample, size_t width) {
    if (width % 2 == 0) {
        if (sample % 2 != 0)
            return kNoLimit;
        const size_t groups_per_line = width / 2;
        return groups_per_line - (sample / 2) % groups_per_line;
    }
    // Odd width: the smallest k >= 1 with sample + 2k a multiple of width.
    const size_t to_end = (width - sample % width) % width;
    const size_t groups = (to_end % 2 == 0 ? to_end : to_end + width) / 2;
    return groups == 0 ? width : groups;
}

// Groups from byte `position` up to and including the one after which
// fewer than 9 bytes remain, where unpacking stops.
size_t groupsToBufferEnd(size_t position, size_t length) {
    if (length <= position + 8)
        return 1;
    return (length - position - 8 + 2) / 3;
}

}  // namespace

void copyPaddedLines(const uint8_t* source, size_t length, uint32_t /*width*/, uint8_t* cache,
                     size_t capacity, size_t& offset) {
    for (size_t line = 0; line < length && offset < capacity; line += kPaddedLineStride) {
        if (line + kPaddedLinePayload <= length && offset + kPaddedLinePayload <= capacity) {
            copyFixed<kPaddedLinePayload>(source + line, cache + offset);
            offset += kPaddedLinePayload;
            continue;
        }
        copyClipped(source, length, line, cache, capacity, offset, kPaddedLinePayload);
        offset = std::min(offset + kPaddedLinePayload, capacity);
    }
}

// The receiver writes each pair of 240-sample lines as one 960-byte block:
// [line 1 bytes 0..447][line 2 bytes 0..447][line 1 bytes 448..479]
// [line 2 bytes 448..479]. Line 1 is therefore block bytes 0..447 + 896..927
// and line 2 bytes 448..895 + 928..959.
void copyLinePairs(const uint8_t* source, size_t length, uint32_t /*width*/, uint8_t* cache,
                   size_t capacity, size_t& offset) {
    for (size_t block = 0; block < length && offset < capacity; block += kLinePairBlock) {
        const uint8_t* in = source + block;
        uint8_t* out = cache + offset;
        if (block + kLinePairBlock <= length && offset + kLinePairBlock <= capacity) {
            copyFixed<kPairHead>(in, out);
            copyFixed<kPairTailBytes>(in + kPairFirstTail, out + kPairHead);
            copyFixed<kPairHead>(in + kPairHead, out + kPairLine);
            copyFixed<kPairTailBytes>(in + kPairSecondTail, out + kPairLine + kPairHead);
            offset += kLinePairBlock;
            continue;
        }
        // A block cut short by the mapping or the cache: each piece as far
        // as both allow.
        const size_t pieces[4][2] = {{0, 0},
                                     {kPairFirstTail, kPairHead},
                                     {kPairHead, kPairLine},
                                     {kPairSecondTail, kPairLine + kPairHead}};
        const size_t sizes[4] = {kPairHead, kPairTailBytes, kPairHead, kPairTailBytes};
        for (int piece = 0; piece < 4; ++piece) {
            copyClipped(source, length, block + pieces[piece][0], cache, capacity,
                        offset + pieces[piece][1], sizes[piece]);
        }
        offset = std::min(offset + kLinePairBlock, capacity);
    }
}

void unpackPacked12LinesWith(packed12::GroupKernel unpack_groups, const uint8_t* source,
                             size_t length, uint32_t width, uint8_t* cache, size_t capacity,
                             size_t& offset) {
    // An 8-byte buffer carries no line data.
    if (length == 8)
        return;
    const size_t payload = static_cast<size_t>(width) * 3 / 2;
    const size_t stride = (payload + 15) / 16 * 16;
    const size_t padding = stride - payload;
    size_t position = 0;
    // Group by group, unpacking stops once fewer than 9 bytes remain (for
    // 240-sample lines those are the final line's padding) and skips the
    // padding whenever the sample index reaches a multiple of the width.
    // Runs of groups between two such events go to the wide unpacker whole.
    while (position + 3 <= length && offset + 4 <= capacity) {
        size_t groups = std::min((capacity - offset) / 4, groupsToBufferEnd(position, length));
        if (padding != 0)
            groups = std::min(groups, groupsToLineEnd(offset / 2, width));
        unpack_groups(source + position, length - position, cache + offset, groups);
        position += 3 * groups;
        offset += 4 * groups;
        if (position + 8 >= length)
            break;
        if (padding != 0 && (offset / 2) % width == 0)
            position += padding;
    }
}

void unpackPacked12Lines(const uint8_t* source, size_t length, uint32_t width, uint8_t* cache,
                         size_t capacity, size_t& offset) {
    static const packed12::GroupKernel selected = packed12::selectedGroupVariant().kernel;
    unpackPacked12LinesWith(selected, source, length, width, cache, capacity, offset);
}

void copyPlain(const uint8_t* source, size_t length, uint32_t /*width*/, uint8_t* cache,
               size_t capacity, size_t& offset) {
    offset += copyClipped(source, length, 0, cache, capacity, offset, length);
}

}  // namespace Quorvan

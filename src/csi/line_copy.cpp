#include "csi/line_copy.h"

#include <algorithm>
#include <cstring>

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

void storeSample(uint8_t* cache, size_t offset, uint16_t sample) {
    std::memcpy(cache + offset, &sample, sizeof(sample));
}

}  // namespace

void copyPaddedLines(const uint8_t* source, size_t length, uint32_t /*width*/, uint8_t* cache,
                     size_t capacity, size_t& offset) {
    for (size_t line = 0; line < length && offset < capacity; line += kPaddedLineStride) {
        copyClipped(source, length, line, cache, capacity, offset, kPaddedLinePayload);
        offset = std::min(offset + kPaddedLinePayload, capacity);
    }
}

void copyLinePairs(const uint8_t* source, size_t length, uint32_t /*width*/, uint8_t* cache,
                   size_t capacity, size_t& offset) {
    for (size_t block = 0; block < length && offset < capacity; block += kLinePairBlock) {
        copyClipped(source, length, block, cache, capacity, offset, 448);
        copyClipped(source, length, block + 896, cache, capacity, offset + 448, 32);
        copyClipped(source, length, block + 448, cache, capacity, offset + 480, 480);
        offset = std::min(offset + kLinePairBlock, capacity);
    }
}

void unpackPacked12Lines(const uint8_t* source, size_t length, uint32_t width, uint8_t* cache,
                         size_t capacity, size_t& offset) {
    // An 8-byte buffer carries no line data.
    if (length == 8)
        return;
    const size_t payload = static_cast<size_t>(width) * 3 / 2;
    const size_t stride = (payload + 15) / 16 * 16;
    const size_t padding = stride - payload;
    size_t position = 0;
    // The last 8 bytes of a buffer are never unpacked; for 240-sample lines
    // they are exactly the final line's padding.
    while (position + 3 <= length && offset + 4 <= capacity) {
        const uint8_t high0 = source[position];
        const uint8_t high1 = source[position + 1];
        const uint8_t low_nibbles = source[position + 2];
        storeSample(cache, offset, static_cast<uint16_t>((high0 << 4) | (low_nibbles & 0x0F)));
        storeSample(cache, offset + 2, static_cast<uint16_t>((high1 << 4) | (low_nibbles >> 4)));
        offset += 4;
        position += 3;
        if (position + 8 >= length)
            break;
        if (padding != 0 && (offset / 2) % width == 0)
            position += padding;
    }
}

void copyPlain(const uint8_t* source, size_t length, uint32_t /*width*/, uint8_t* cache,
               size_t capacity, size_t& offset) {
    offset += copyClipped(source, length, 0, cache, capacity, offset, length);
}

}  // namespace Quorvan

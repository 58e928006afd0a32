#include "reference/line_copy_reference.h"

namespace Quorvan {
namespace reference {

void copyPaddedLines(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset) {
    const size_t lines = (length + 511) / 512;
    for (size_t line = 0; line < lines; ++line) {
        for (size_t i = 0; i < 480; ++i)
            cache[offset + i] = source[line * 512 + i];
        offset += 480;
    }
}

void copyLinePairs(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset) {
    for (size_t block = 0; block < length; block += 960) {
        const uint8_t* b = source + block;
        uint8_t* out = cache + offset;
        for (size_t i = 0; i < 448; ++i)
            out[i] = b[i];
        for (size_t i = 0; i < 32; ++i)
            out[448 + i] = b[896 + i];
        for (size_t i = 0; i < 448; ++i)
            out[480 + i] = b[448 + i];
        for (size_t i = 0; i < 32; ++i)
            out[928 + i] = b[928 + i];
        offset += 960;
    }
}

void unpackPacked12Lines(const uint8_t* source, size_t length, uint32_t width, uint16_t* cache,
                         size_t& sample_offset) {
    const size_t payload = static_cast<size_t>(width * 1.5);
    const size_t stride = (payload + 15) / 16 * 16;
    const size_t padding = stride - payload;
    if (length == 8)
        return;
    size_t j = 0;
    for (;;) {
        const uint8_t b0 = source[j];
        const uint8_t b1 = source[j + 1];
        const uint8_t b2 = source[j + 2];
        cache[sample_offset] = static_cast<uint16_t>((b0 << 4) | (b2 & 0x0F));
        cache[sample_offset + 1] = static_cast<uint16_t>((b1 << 4) | (b2 >> 4));
        sample_offset += 2;
        j += 3;
        if (static_cast<long long>(j) >= static_cast<long long>(length) - 8)
            break;
        if (padding != 0 && sample_offset % width == 0)
            j += padding;
    }
}

void copyPlain(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset) {
    for (size_t i = 0; i < length; ++i)
        cache[offset + i] = source[i];
    offset += length;
}

}  // namespace reference
}  // namespace Quorvan

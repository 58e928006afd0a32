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

namespace {

// Line padding of Y12P lines `width` samples wide: the payload (1.5 bytes a
// sample, truncated) is padded to a multiple of 16 bytes.
size_t packed12Padding(uint32_t width) {
    const size_t payload = static_cast<size_t>(width) * 3 / 2;
    const size_t stride = (payload + 15) / 16 * 16;
    return stride - payload;
}

// Whether the line's padding follows the group that brought the cache's
// sample index to `sample_offset`: a cache row of `width` samples ends there.
bool rowEndsAt(size_t sample_offset, uint32_t width, size_t padding) {
    return padding != 0 && sample_offset % width == 0;
}

}  // namespace

void unpackPacked12Lines(const uint8_t* source, size_t length, uint32_t width, uint16_t* cache,
                         size_t& sample_offset) {
    const size_t padding = packed12Padding(width);
    for (size_t j = 0; j + 3 <= length; j += 3) {
        const uint8_t b0 = source[j];
        const uint8_t b1 = source[j + 1];
        const uint8_t b2 = source[j + 2];
        cache[sample_offset] = static_cast<uint16_t>((b0 << 4) | (b2 & 0x0F));
        cache[sample_offset + 1] = static_cast<uint16_t>((b1 << 4) | (b2 >> 4));
        sample_offset += 2;
        if (rowEndsAt(sample_offset, width, padding))
            j += padding;
    }
}

size_t packed12SamplesKept(size_t length, uint32_t width, size_t sample_offset) {
    if (length == 8)
        return 0;
    const size_t padding = packed12Padding(width);
    size_t samples = 0;
    for (size_t j = 0; j + 3 <= length; j += 3) {
        samples += 2;
        if (j + 3 + 8 >= length)
            break;
        if (rowEndsAt(sample_offset + samples, width, padding))
            j += padding;
    }
    return samples;
}

void copyPlain(const uint8_t* source, size_t length, uint8_t* cache, size_t& offset) {
    for (size_t i = 0; i < length; ++i)
        cache[offset + i] = source[i];
    offset += length;
}

}  // namespace reference
}  // namespace Quorvan

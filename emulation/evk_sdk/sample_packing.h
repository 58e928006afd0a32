// How the kit stores a 12-bit sensor word at its configured sample width:
// scaled to that width, as a kit with a wider or narrower converter would
// deliver it (8 bits: one byte; 10, 12 and 16 bits: two bytes, little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace evk {

inline uint32_t bytesPerSample(uint32_t bits_per_pixel) {
    return bits_per_pixel > 8 ? 2u : 1u;
}

// Writes `count` samples into `out` (count x bytesPerSample bytes); the two
// buffers must not overlap.
void packSamples(const uint16_t* words, std::size_t count, uint32_t bits_per_pixel, uint8_t* out);

// True when the stored samples are the 12-bit words themselves, byte for
// byte (12 bits on a little-endian host): then an image can be rendered
// straight into the kit's buffer and packing is a copy at most.
bool storesWordsAsIs(uint32_t bits_per_pixel);

}  // namespace evk
}  // namespace Quorvan

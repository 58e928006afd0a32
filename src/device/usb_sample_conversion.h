// Turns the kit library's image samples into the right-aligned 12-bit values
// of the raw capture cache. Input samples of two bytes are little-endian and
// may sit at any address; `count` is the number of samples.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace usb {

// One byte per sample holding the top 8 of 12 bits: b << 4.
void convert8BitSamples(const uint8_t* in, uint16_t* out, size_t count);
// Two bytes per sample already holding 12 bits: copied unchanged.
void copy12BitSamples(const uint8_t* in, uint16_t* out, size_t count);
// Two bytes per sample wider than 12 bits: the extra low bits are dropped.
void shiftWideSamplesRight(const uint8_t* in, uint16_t* out, size_t count, unsigned shift);
// Two bytes per sample narrower than 12 bits: shifted up, low 16 bits kept.
void shiftNarrowSamplesLeft(const uint8_t* in, uint16_t* out, size_t count, unsigned shift);

// Picks the conversion for a sample format and applies it; false (nothing
// written) for a format none of them covers (one byte of fewer than 8 bits).
bool convertSamples(const uint8_t* in, uint16_t* out, size_t count, uint32_t bit_width,
                    uint32_t bytes_per_sample);

}  // namespace usb
}  // namespace Quorvan

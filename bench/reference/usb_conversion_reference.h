// Scalar reference of the USB backend's sample conversions: every sample
// becomes a right-aligned 12-bit value in 16 bits. Two-byte input is
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace reference {

void convert8BitSamples(const uint8_t* in, uint16_t* out, size_t count);
void copy12BitSamples(const uint8_t* in, uint16_t* out, size_t count);
void shiftWideSamplesRight(const uint8_t* in, uint16_t* out, size_t count, unsigned shift);
void shiftNarrowSamplesLeft(const uint8_t* in, uint16_t* out, size_t count, unsigned shift);

}  // namespace reference
}  // namespace Quorvan

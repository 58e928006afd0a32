#include "reference/usb_conversion_reference.h"

namespace Quorvan {
namespace reference {
namespace {

uint16_t sampleAt(const uint8_t* in, size_t i) {
    return static_cast<uint16_t>(in[2 * i] | (in[2 * i + 1] << 8));
}

}  // namespace

void convert8BitSamples(const uint8_t* in, uint16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(in[i] << 4);
}

void copy12BitSamples(const uint8_t* in, uint16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i)
        out[i] = sampleAt(in, i);
}

void shiftWideSamplesRight(const uint8_t* in, uint16_t* out, size_t count, unsigned shift) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(sampleAt(in, i) >> shift);
}

void shiftNarrowSamplesLeft(const uint8_t* in, uint16_t* out, size_t count, unsigned shift) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(sampleAt(in, i) << shift);
}

}  // namespace reference
}  // namespace Quorvan

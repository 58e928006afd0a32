#include "device/usb_sample_conversion.h"

#include <array>
#include <cstring>
#include <utility>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "samples are read in host order, which must be little-endian");

namespace Quorvan {
namespace usb {

namespace {

// memcpy keeps unaligned input legal; compilers turn it into a plain load.
inline uint16_t loadSample(const uint8_t* in, size_t i) {
    uint16_t sample;
    std::memcpy(&sample, in + 2 * i, sizeof sample);
    return sample;
}

}  // namespace

void convert8BitSamples(const uint8_t* in, uint16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(in[i] << 4);
}

void copy12BitSamples(const uint8_t* in, uint16_t* out, size_t count) {
    std::memcpy(out, in, count * sizeof(uint16_t));
}

namespace {

// With the shift a compile-time constant the loops vectorise in 16-bit lanes;
// a run-time shift count makes compilers widen every sample to 32 bits first.
template <unsigned Shift>
void shiftRight(const uint8_t* in, uint16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(loadSample(in, i) >> Shift);
}

template <unsigned Shift>
void shiftLeft(const uint8_t* in, uint16_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(loadSample(in, i) << Shift);
}

using ShiftLoop = void (*)(const uint8_t*, uint16_t*, size_t);

template <size_t... Shifts>
constexpr std::array<ShiftLoop, sizeof...(Shifts)> rightShiftLoops(std::index_sequence<Shifts...>) {
    return {&shiftRight<Shifts>...};
}

template <size_t... Shifts>
constexpr std::array<ShiftLoop, sizeof...(Shifts)> leftShiftLoops(std::index_sequence<Shifts...>) {
    return {&shiftLeft<Shifts>...};
}

// Shifts 0 to 16 right, a shift of 16 clearing every sample; 0 to 12 left,
// which also keeps the promoted value far from int overflow.
constexpr auto kRightShifts = rightShiftLoops(std::make_index_sequence<17>());
constexpr auto kLeftShifts = leftShiftLoops(std::make_index_sequence<13>());

}  // namespace

void shiftWideSamplesRight(const uint8_t* in, uint16_t* out, size_t count, unsigned shift) {
    kRightShifts[shift < kRightShifts.size() ? shift : kRightShifts.size() - 1](in, out, count);
}

void shiftNarrowSamplesLeft(const uint8_t* in, uint16_t* out, size_t count, unsigned shift) {
    if (shift >= 16) {
        std::memset(out, 0, count * sizeof(uint16_t));
        return;
    }
    if (shift < kLeftShifts.size()) {
        kLeftShifts[shift](in, out, count);
        return;
    }
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<uint16_t>(loadSample(in, i) << shift);
}

bool convertSamples(const uint8_t* in, uint16_t* out, size_t count, uint32_t bit_width,
                    uint32_t bytes_per_sample) {
    if (bytes_per_sample == 1 && bit_width == 8) {
        convert8BitSamples(in, out, count);
    } else if (bytes_per_sample == 2 && bit_width == 12) {
        copy12BitSamples(in, out, count);
    } else if (bytes_per_sample == 2 && bit_width > 12) {
        // Anything past 16 bits cannot come in two bytes; shifting it all
        // out gives zeros rather than undefined behaviour.
        shiftWideSamplesRight(in, out, count, bit_width - 12 > 16 ? 16 : bit_width - 12);
    } else if (bytes_per_sample == 2) {
        shiftNarrowSamplesLeft(in, out, count, 12 - bit_width);
    } else {
        return false;
    }
    return true;
}

}  // namespace usb
}  // namespace Quorvan

#include "sample_packing.h"

namespace Quorvan {
namespace evk {

// The words and the bytes never overlap; saying so (__restrict) lets the
// loops vectorise, since a byte pointer may otherwise alias anything.
void packSamples(const uint16_t* __restrict words, std::size_t count, uint32_t bits_per_pixel,
                 uint8_t* __restrict out) {
    if (bits_per_pixel <= 8) {
        const unsigned drop = 12 - bits_per_pixel;
        for (std::size_t i = 0; i < count; ++i)
            out[i] = static_cast<uint8_t>((words[i] & 0xFFF) >> drop);
        return;
    }
    const unsigned up = bits_per_pixel >= 12 ? bits_per_pixel - 12 : 0;
    const unsigned down = bits_per_pixel >= 12 ? 0 : 12 - bits_per_pixel;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned value = ((words[i] & 0xFFFu) << up) >> down;
        out[2 * i] = static_cast<uint8_t>(value & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(value >> 8);
    }
}

bool storesWordsAsIs(uint32_t bits_per_pixel) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return bits_per_pixel == 12;
#else
    (void)bits_per_pixel;
    return false;
#endif
}

}  // namespace evk
}  // namespace Quorvan

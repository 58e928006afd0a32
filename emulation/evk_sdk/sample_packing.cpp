#include "sample_packing.h"

namespace Quorvan {
namespace evk {

void packSamples(const uint16_t* words, std::size_t count, uint32_t bits_per_pixel, uint8_t* out) {
    if (bits_per_pixel <= 8) {
        const unsigned drop = 12 - bits_per_pixel;
        for (std::size_t i = 0; i < count; ++i)
            out[i] = static_cast<uint8_t>((words[i] & 0xFFF) >> drop);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned word = words[i] & 0xFFFu;
        const unsigned value =
            bits_per_pixel >= 12 ? word << (bits_per_pixel - 12) : word >> (12 - bits_per_pixel);
        out[2 * i] = static_cast<uint8_t>(value & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(value >> 8);
    }
}

}  // namespace evk
}  // namespace Quorvan

// Counter-based shot noise: the noise of a sample is a pure function of
// (seed, frame, image, pixel), so renders need no generator state, can run
// on any thread and repeat exactly.
//
// A sample's value is the Irwin-Hall sum of the four 16-bit quarters of one
// 64-bit hash, shifted and scaled to mean 0 and variance 1 (it lies within
// +-2 sqrt 3; excess kurtosis -0.3): close enough to normal for shot noise,
// identical on every platform. The hash is the splitmix64 finaliser applied
// once per sample to a key derived once per (seed, frame), so a sample costs
// two 64-bit multiplications and no branch, and a loop over pixels
// vectorises.
#pragma once

#include <cstdint>

namespace Quorvan {
namespace emulation {

// The splitmix64 finaliser: a bijection of 64-bit words in which every
// output bit depends on every input bit.
inline uint64_t mixBits(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

// The key every sample of one frame's noise is hashed from.
inline uint64_t noiseFrameKey(uint64_t seed, uint64_t frame_index) {
    return mixBits(mixBits(seed) ^ frame_index);
}

// sqrt(3) / 65536: scales the centred sum of four 16-bit uniforms
// (variance 4 x (65536^2 - 1) / 12) to unit variance.
constexpr float kIrwinHallScale = 1.7320508075688772f / 65536.0f;

// The standard noise value of one sample.
inline float noiseSample(uint64_t frame_key, uint32_t image_index, uint32_t pixel) {
    const uint64_t key = mixBits(frame_key ^ ((static_cast<uint64_t>(image_index) << 32) | pixel));
    const uint32_t sum = static_cast<uint32_t>((key & 0xFFFF) + ((key >> 16) & 0xFFFF) +
                                               ((key >> 32) & 0xFFFF) + (key >> 48));
    return static_cast<float>(static_cast<int32_t>(sum) - 131072) * kIrwinHallScale;
}

}  // namespace emulation
}  // namespace Quorvan

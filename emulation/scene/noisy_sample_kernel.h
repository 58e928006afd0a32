// The per-pixel loop of a noisy render (ToFCaptureModel with shot noise):
// signal from the pixel's two precomputed quadrature components, plus
// sigma x noise (scene/shot_noise.h), clipped to the 11-bit range, rounded
// half to even and encoded. Internal to the scene library.
//
// It is compiled on its own (noisy_sample_kernel.cpp) with flags that let the
// loop vectorise, and on x86-64 also for AVX2 and AVX-512
// (scene/instruction_set_level.h). Floating-point contraction is off there,
// so every build, on every platform, gives the same samples.
#pragma once

#include <cstdint>

#include "scene/instruction_set_level.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace emulation {

struct NoisySampleInputs {
    const float* in_phase;    // a cos(phi) per pixel
    const float* quadrature;  // a sin(phi) per pixel
    const float* sigma;       // noise standard deviation per pixel
    uint32_t pixels;
    float cos_theta;  // of the sampling phase
    float sin_theta;
    uint64_t frame_key;  // noiseFrameKey(seed, frame)
    uint32_t image_index;
};

// With the build for this processor.
void renderNoisySamples(const NoisySampleInputs& inputs, SampleEncoding encoding, uint16_t* out);
// With the build for `level` (which the processor must run), for tests.
void renderNoisySamplesAt(InstructionSetLevel level, const NoisySampleInputs& inputs,
                          SampleEncoding encoding, uint16_t* out);

}  // namespace emulation
}  // namespace Quorvan

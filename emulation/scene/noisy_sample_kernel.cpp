#include "scene/noisy_sample_kernel.h"

#include "scene/shot_noise.h"

namespace Quorvan {
namespace emulation {
namespace {

// Nearest whole number, ties to even (what nearbyint gives in the default
// rounding mode), for |value| below 2^22: adding and taking away 1.5 x 2^23
// leaves no fraction bits. Unlike nearbyint it needs neither a library call
// nor SSE4.1, so the loop vectorises.
inline float roundToWhole(float value) {
    constexpr float kShift = 12582912.0f;
    return (value + kShift) - kShift;
}

// Signal plus noise as a sample the sensor can hold. Clipping first keeps
// the rounding trick in its range whatever the gain.
inline int32_t quantiseSample(float value) {
    value = value < static_cast<float>(kSampleMin) ? static_cast<float>(kSampleMin) : value;
    value = value > static_cast<float>(kSampleMax) ? static_cast<float>(kSampleMax) : value;
    return static_cast<int32_t>(roundToWhole(value));
}

// Inlined into each instruction-set build below (hence always_inline: the
// loop must be compiled inside the function that carries the target).
template <SampleEncoding kEncoding>
[[gnu::always_inline]] inline void renderLoop(const NoisySampleInputs& in, uint16_t* out) {
    const float* const in_phase = in.in_phase;
    const float* const quadrature = in.quadrature;
    const float* const sigma = in.sigma;
    const float cos_theta = in.cos_theta;
    const float sin_theta = in.sin_theta;
    const uint64_t frame_key = in.frame_key;
    const uint32_t image_index = in.image_index;
    for (uint32_t i = 0; i < in.pixels; ++i) {
        const float signal = in_phase[i] * cos_theta + quadrature[i] * sin_theta;
        const float noise = sigma[i] * noiseSample(frame_key, image_index, i);
        out[i] = encodeSample<kEncoding>(quantiseSample(signal + noise));
    }
}

[[gnu::always_inline]] inline void renderEncoded(const NoisySampleInputs& inputs,
                                                 SampleEncoding encoding, uint16_t* out) {
    switch (encoding) {
        case SampleEncoding::kSigned:
            renderLoop<SampleEncoding::kSigned>(inputs, out);
            return;
        case SampleEncoding::kSensorWord:
            renderLoop<SampleEncoding::kSensorWord>(inputs, out);
            return;
        case SampleEncoding::kOffsetBinary:
            renderLoop<SampleEncoding::kOffsetBinary>(inputs, out);
            return;
    }
}

void renderBaseline(const NoisySampleInputs& inputs, SampleEncoding encoding, uint16_t* out) {
    renderEncoded(inputs, encoding, out);
}

#if QUORVAN_X86_VARIANTS
QUORVAN_TARGET_X86_64_V3 void renderX86_64_v3(const NoisySampleInputs& inputs,
                                              SampleEncoding encoding, uint16_t* out) {
    renderEncoded(inputs, encoding, out);
}

QUORVAN_TARGET_X86_64_V4 void renderX86_64_v4(const NoisySampleInputs& inputs,
                                              SampleEncoding encoding, uint16_t* out) {
    renderEncoded(inputs, encoding, out);
}
#endif

}  // namespace

void renderNoisySamplesAt(InstructionSetLevel level, const NoisySampleInputs& inputs,
                          SampleEncoding encoding, uint16_t* out) {
#if QUORVAN_X86_VARIANTS
    if (level == InstructionSetLevel::kX86_64_v4)
        return renderX86_64_v4(inputs, encoding, out);
    if (level == InstructionSetLevel::kX86_64_v3)
        return renderX86_64_v3(inputs, encoding, out);
#endif
    (void)level;
    renderBaseline(inputs, encoding, out);
}

void renderNoisySamples(const NoisySampleInputs& inputs, SampleEncoding encoding, uint16_t* out) {
    static const InstructionSetLevel level = hostInstructionSetLevel();
    renderNoisySamplesAt(level, inputs, encoding, out);
}

}  // namespace emulation
}  // namespace Quorvan

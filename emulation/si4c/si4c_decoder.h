// Per-pixel depth decoding of one 640x480-layout capture (layout in
// emulation/scene/vga_raw_layout.h).
#pragma once

#include <cstdint>

#include "scene/instruction_set_level.h"
#include "si4c_settings.h"

namespace Quorvan {
namespace si4c {

struct DecoderSetup {
    int32_t width;
    int32_t height;
    bool single;
    const Calibration* calibration;
    const AlgorithmSettings* settings;
};

// True when each frequency's first metadata row names the unambiguous range
// this mode expects (above the low 4 bits, which 8- and 10-bit transports
// lose): a capture taken in the other mode fails here.
bool captureMatchesMode(const DecoderSetup& setup, const uint8_t* raw);

// Reads exactly width x rawRows(height, single) samples from `raw` and writes
// width x height values to each plane, with the instruction-set build for
// this processor (all builds give the same planes).
void decodeCapture(const DecoderSetup& setup, const uint8_t* raw, float* depth, float* amplitude,
                   float* confidence);
// The same with the build for `level` (which the processor must run), for tests.
void decodeCaptureAt(emulation::InstructionSetLevel level, const DecoderSetup& setup,
                     const uint8_t* raw, float* depth, float* amplitude, float* confidence);

// Joins two wrapped distances (in [0, 1500) and [0, 1125) mm) into one in
// [0, 4500) mm, weighting each by its precision (amplitude over range).
float unwrapDoubleFrequency(float near_distance, float near_amplitude, float far_distance,
                            float far_amplitude);

}  // namespace si4c
}  // namespace Quorvan

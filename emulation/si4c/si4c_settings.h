// What the depth-processing stand-in takes from its calibration data and its
// configuration directory (formats documented in si4c.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Quorvan {
namespace si4c {

struct Calibration {
    float single_phase_offset = 0.0f;              // radians
    float double_phase_offsets[2] = {0.0f, 0.0f};  // radians
    std::vector<float> pixel_offsets_mm;           // empty, or width x height
};

// Parses "cali.bin" bytes for an output of width x height. Unrecognised data
// gives false and leaves `calibration` at its defaults.
bool parseCalibration(const void* data, uint32_t length, int32_t width, int32_t height,
                      Calibration& calibration);

struct AlgorithmSettings {
    float valid_distance_min_mm = 0.0f;
    float valid_distance_max_mm = 7000.0f;
    float min_amplitude = 0.0f;
};

// Reads "ConfigAlgorithm.json" in `directory`; a missing file or key keeps
// the default. Lines are `key=value` under `[Section]` headers, "//" comments.
AlgorithmSettings readAlgorithmSettings(const std::string& directory);

}  // namespace si4c
}  // namespace Quorvan

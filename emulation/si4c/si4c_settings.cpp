#include "si4c_settings.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace Quorvan {
namespace si4c {
namespace {

constexpr char kCalibrationMagic[4] = {'S', 'I', 'C', '1'};
constexpr uint32_t kCalibrationHeaderBytes = 28;
constexpr uint32_t kPixelTableFlag = 1u;

uint32_t readUint32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

float readFloat(const unsigned char* bytes) {
    const uint32_t bits = readUint32(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

bool parseCalibration(const void* data, uint32_t length, int32_t width, int32_t height,
                      Calibration& calibration) {
    calibration = Calibration{};
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (length < kCalibrationHeaderBytes ||
        std::memcmp(bytes, kCalibrationMagic, sizeof kCalibrationMagic) != 0) {
        return false;
    }
    calibration.single_phase_offset = readFloat(bytes + 12);
    calibration.double_phase_offsets[0] = readFloat(bytes + 16);
    calibration.double_phase_offsets[1] = readFloat(bytes + 20);

    const uint32_t table_width = readUint32(bytes + 4);
    const uint32_t table_height = readUint32(bytes + 8);
    const bool has_table = (readUint32(bytes + 24) & kPixelTableFlag) != 0;
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    // A table made for another output size would shift every row; the global
    // offsets still hold, so only the table is dropped.
    if (has_table && table_width == static_cast<uint32_t>(width) &&
        table_height == static_cast<uint32_t>(height) &&
        (length - kCalibrationHeaderBytes) / sizeof(float) >= pixels) {
        calibration.pixel_offsets_mm.resize(pixels);
        for (uint64_t pixel = 0; pixel < pixels; ++pixel) {
            calibration.pixel_offsets_mm[pixel] =
                readFloat(bytes + kCalibrationHeaderBytes + pixel * sizeof(float));
        }
    }
    return true;
}

AlgorithmSettings readAlgorithmSettings(const std::string& directory) {
    AlgorithmSettings settings;
    std::ifstream file(directory + "/ConfigAlgorithm.json");
    std::string line;
    std::string section;
    while (std::getline(file, line)) {
        line = trim(line);
        if (line.empty() || line.compare(0, 2, "//") == 0) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t equals = line.find('=');
        if (section != "ConfidenceParams" || equals == std::string::npos) {
            continue;
        }
        const std::string key = trim(line.substr(0, equals));
        const std::string value_text = trim(line.substr(equals + 1));
        char* end = nullptr;
        const float value = std::strtof(value_text.c_str(), &end);
        if (value_text.empty() || *end != '\0') {
            continue;  // a value we cannot read keeps the default
        }
        if (key == "ValidDistMin") {
            settings.valid_distance_min_mm = value;
        } else if (key == "ValidDistMax") {
            settings.valid_distance_max_mm = value;
        } else if (key == "MinAmplitude") {
            settings.min_amplitude = value;
        }
    }
    return settings;
}

}  // namespace si4c
}  // namespace Quorvan

#include "quorvan/intrinsics.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "system/kernel_files.h"

namespace Quorvan {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A calibration file is a dozen short lines; anything this large is the wrong
// file (a device node such as /dev/zero never ends), so reading stops here.
constexpr std::size_t kMaxIntrinsicsFileBytes = 64 * 1024;

// The whole file, or false when it cannot be read, is larger than the bound
// or holds a NUL byte (text after it would be invisible to a reader of the
// file, so it is refused rather than silently cut).
bool readBoundedText(const char* path, std::string* text) {
    return readWholeFile(linuxKernel(), path, kMaxIntrinsicsFileBytes, text) &&
           text->find('\0') == std::string::npos;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool parseNumber(const std::string& text, double* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(*value);
}

// Stores one key of a calibration file; false for an unknown key or a value
// that does not fit it.
bool assignKey(const std::string& key, double value, CameraIntrinsics* out) {
    static const char* const kDistortionKeys[5] = {"k1", "k2", "p1", "p2", "k3"};
    if (key == "width" || key == "height") {
        if (value < 1 || value > 65535 || value != std::floor(value))
            return false;
        (key == "width" ? out->width : out->height) = static_cast<uint32_t>(value);
        return true;
    }
    float* const pinhole[4] = {&out->fx, &out->fy, &out->cx, &out->cy};
    static const char* const kPinholeKeys[4] = {"fx", "fy", "cx", "cy"};
    for (int i = 0; i < 4; ++i) {
        if (key == kPinholeKeys[i]) {
            *pinhole[i] = static_cast<float>(value);
            return true;
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (key == kDistortionKeys[i]) {
            out->distortion[static_cast<std::size_t>(i)] = static_cast<float>(value);
            return true;
        }
    }
    return false;
}

}  // namespace

bool CameraIntrinsics::isValid() const {
    for (float coefficient : distortion) {
        if (!std::isfinite(coefficient))
            return false;
    }
    return width > 0 && height > 0 && std::isfinite(fx) && std::isfinite(fy) && fx > 0.0f &&
           fy > 0.0f && std::isfinite(cx) && std::isfinite(cy);
}

CameraIntrinsics intrinsicsFromHorizontalFov(uint32_t width, uint32_t height,
                                             double horizontal_fov_deg) {
    CameraIntrinsics intrinsics;
    intrinsics.width = width;
    intrinsics.height = height;
    const double focal = 0.5 * width / std::tan(horizontal_fov_deg * kPi / 360.0);
    intrinsics.fx = static_cast<float>(focal);
    intrinsics.fy = static_cast<float>(focal);
    // The optical axis meets the image in its geometric middle, which lies
    // half a pixel before the centre of pixel width / 2.
    intrinsics.cx = 0.5f * static_cast<float>(width) - 0.5f;
    intrinsics.cy = 0.5f * static_cast<float>(height) - 0.5f;
    return intrinsics;
}

CameraIntrinsics nominalIntrinsics(DeviceType device_type, uint32_t width, uint32_t height) {
    const double fov =
        device_type == HQVGA ? kHqvgaNominalHorizontalFovDeg : kVgaNominalHorizontalFovDeg;
    return intrinsicsFromHorizontalFov(width, height, fov);
}

TofErrorCode loadIntrinsicsFile(const char* path, CameraIntrinsics* intrinsics) {
    if (path == nullptr || intrinsics == nullptr)
        return QuorvanInvalidParameter;
    std::string text;
    if (!readBoundedText(path, &text))
        return QuorvanInvalidParameter;
    std::istringstream lines(text);
    CameraIntrinsics loaded;
    // A key given twice is refused: which of the two the author meant is unknown.
    std::set<std::string> seen;
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            return QuorvanInvalidParameter;
        const std::string key = trimmed(line.substr(0, equals));
        double value = 0.0;
        if (!seen.insert(key).second || !parseNumber(trimmed(line.substr(equals + 1)), &value) ||
            !assignKey(key, value, &loaded))
            return QuorvanInvalidParameter;
    }
    if (!loaded.isValid())
        return QuorvanInvalidParameter;
    *intrinsics = loaded;
    return QuorvanSuccess;
}

}  // namespace Quorvan

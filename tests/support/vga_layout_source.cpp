#include "support/vga_layout_source.h"

#include <algorithm>
#include <cstring>

#include "scene/vga_raw_layout.h"
#include "scene/vga_raw_renderer.h"

namespace Quorvan {
namespace simulation {

VgaLayoutSource::VgaLayoutSource(const std::string& scene_name,
                                 const emulation::SceneParameters& parameters,
                                 const emulation::CaptureSettings& settings)
    : scene(emulation::makeScene(scene_name, parameters, nullptr)), settings(settings) {}

emulation::GroundTruth VgaLayoutSource::groundTruth(int width, int height) const {
    if (!scene)
        return {};
    return emulation::renderGroundTruth(
        *scene, emulation::PinholeCamera::withHorizontalFov(width, height,
                                                            emulation::kDefaultHorizontalFovDeg));
}

void VgaLayoutSource::render(uint32_t width, uint32_t height, int /*range_setting*/, int /*phase*/,
                             uint16_t* samples) {
    const size_t count = static_cast<size_t>(width) * height;
    const int output_height = width == 640 ? 480 : 240;
    const bool known_width = width == 640 || width == 320;
    const bool single = static_cast<int>(height) == vga_layout::rawRows(output_height, true);
    const bool is_double = static_cast<int>(height) == vga_layout::rawRows(output_height, false);
    if (!scene || !known_width || (!single && !is_double)) {
        std::fill(samples, samples + count, uint16_t{0});
        return;
    }
    std::vector<uint16_t>& layout = layouts[{width, height}];
    if (layout.empty()) {
        emulation::VgaRawRenderer renderer(groundTruth(static_cast<int>(width), output_height),
                                           single, settings);
        layout.resize(renderer.sampleCount());
        renderer.render(0, layout.data());
    }
    std::memcpy(samples, layout.data(), count * sizeof(uint16_t));
}

}  // namespace simulation
}  // namespace Quorvan

#include <iterator>

#include "frame_renderer.h"

namespace Quorvan {
namespace evk {

namespace {

// One entry per sensor geometry the kit can emulate.
const FrameRendererEntry kRenderers[] = {
    {"240x180", makeHqvgaFrameRenderer},
    // The 640x480 sensor: output 640x480 or 320x240, single or double frequency.
    {"640x2405", makeVgaFrameRenderer},
    {"640x4810", makeVgaFrameRenderer},
    {"320x1205", makeVgaFrameRenderer},
    {"320x2410", makeVgaFrameRenderer},
};

}  // namespace

emulation::CaptureSettings captureSettingsFor(const KitConfig& config) {
    emulation::CaptureSettings settings;
    settings.signal_gain = config.signal_gain;
    settings.ambient = config.ambient;
    settings.shot_noise = config.noise;
    settings.noise_scale = config.noise_scale;
    settings.seed = config.seed;
    return settings;
}

std::unique_ptr<FrameRenderer> makeFrameRenderer(const RendererInputs& inputs, std::string* error) {
    for (const auto& entry : kRenderers) {
        if (inputs.config.geometry == entry.geometry)
            return entry.create(inputs, error);
    }
    std::string known;
    for (const auto& entry : kRenderers)
        known += std::string(known.empty() ? "" : ", ") + entry.geometry;
    *error =
        "geometry: unknown sensor geometry '" + inputs.config.geometry + "' (known: " + known + ")";
    return nullptr;
}

}  // namespace evk
}  // namespace Quorvan

// The 640x480 sensor's raw layouts (scene/vga_raw_layout.h): one image per
// camera frame holding every phase and gray block, 640 or 320 samples wide,
// 5 x (height + 1) rows in single-frequency mode, 10 x (height + 1) in
// double-frequency mode. The layout fixes its own frequencies, so the range
// registers do not change what it shows.
#include <cstdio>
#include <cstring>
#include <vector>

#include "frame_renderer.h"
#include "scene/vga_raw_layout.h"
#include "scene/vga_raw_renderer.h"

namespace Quorvan {
namespace evk {

namespace {

class VgaFrameRenderer final : public FrameRenderer {
public:
    VgaFrameRenderer(const emulation::GroundTruth& truth, bool single, const KitConfig& config)
        : renderer_(truth, single, captureSettingsFor(config)), noise_(config.noise) {
        if (!noise_) {
            // Without noise every frame is the same: render it once.
            clean_.resize(renderer_.sampleCount());
            renderer_.render(0, clean_.data());
        }
    }

    uint32_t width() const override { return static_cast<uint32_t>(renderer_.width()); }
    uint32_t height() const override { return static_cast<uint32_t>(renderer_.rows()); }
    uint32_t imagesPerFrame() const override { return 1; }

    const uint16_t* renderImage(const ImageRequest& request, uint16_t* scratch) const override {
        if (!noise_) {
            return clean_.data();
        }
        renderer_.render(request.frame_index, scratch);
        return scratch;
    }

private:
    emulation::VgaRawRenderer renderer_;
    bool noise_;
    std::vector<uint16_t> clean_;
};

}  // namespace

std::unique_ptr<FrameRenderer> makeVgaFrameRenderer(const RendererInputs& inputs,
                                                    std::string* error) {
    if (!inputs.config.geometry_options.empty()) {
        *error = "geometry." + inputs.config.geometry_options.begin()->first + ": the " +
                 inputs.config.geometry + " geometry takes no options";
        return nullptr;
    }
    // The registry only sends the four geometries of this sensor here.
    unsigned width = 0;
    unsigned rows = 0;
    if (std::sscanf(inputs.config.geometry.c_str(), "%ux%u", &width, &rows) != 2) {
        *error = "geometry: '" + inputs.config.geometry + "' is not WIDTHxROWS";
        return nullptr;
    }
    const int height = width == 640 ? 480 : 240;
    const bool single = static_cast<int>(rows) == vga_layout::rawRows(height, true);
    const auto camera = emulation::PinholeCamera::withHorizontalFov(
        static_cast<int>(width), height, inputs.config.horizontal_fov_deg);
    return std::make_unique<VgaFrameRenderer>(emulation::renderGroundTruth(inputs.scene, camera),
                                              single, inputs.config);
}

}  // namespace evk
}  // namespace Quorvan

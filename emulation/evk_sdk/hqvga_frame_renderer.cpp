// The 240x180 sensor: four phase images per camera frame, ordered for the
// modulation frequency the range registers selected.
#include <array>
#include <vector>

#include "frame_renderer.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace evk {

namespace {

constexpr uint32_t kWidth = 240;
constexpr uint32_t kHeight = 180;
constexpr uint32_t kPhaseImages = 4;

class HqvgaFrameRenderer final : public FrameRenderer {
public:
    HqvgaFrameRenderer(const emulation::GroundTruth& truth, const KitConfig& config)
        : model_37_5_(truth, settingsFor(config, emulation::kFrequency37_5MHz)),
          model_75_(truth, settingsFor(config, emulation::kFrequency75MHz)),
          noise_(config.noise) {
        if (noise_)
            return;
        // Without noise every frame is the same: render each image once.
        for (int which = 0; which < 2; ++which) {
            const auto& model = which == 0 ? model_37_5_ : model_75_;
            auto& images = which == 0 ? clean_37_5_ : clean_75_;
            images.resize(kPhaseImages * kWidth * kHeight);
            model.renderPhaseImages(emulation::hqvgaPhaseLayout(model.settings().modulation_hz), 0,
                                    images.data());
        }
    }

    uint32_t width() const override { return kWidth; }
    uint32_t height() const override { return kHeight; }
    uint32_t imagesPerFrame() const override { return kPhaseImages; }

    const uint16_t* renderImage(const ImageRequest& request, uint16_t* scratch) const override {
        const bool fast = request.modulation_hz == emulation::kFrequency75MHz;
        const uint32_t image = request.image_index % kPhaseImages;
        if (!noise_) {
            const auto& images = fast ? clean_75_ : clean_37_5_;
            return images.data() + static_cast<std::size_t>(image) * kWidth * kHeight;
        }
        const auto& model = fast ? model_75_ : model_37_5_;
        model.renderPhaseImage(emulation::hqvgaPhaseLayout(model.settings().modulation_hz), image,
                               request.frame_index, scratch);
        return scratch;
    }

private:
    static emulation::CaptureSettings settingsFor(const KitConfig& config, double modulation_hz) {
        emulation::CaptureSettings settings = captureSettingsFor(config);
        settings.modulation_hz = modulation_hz;
        return settings;
    }

    emulation::ToFCaptureModel model_37_5_;
    emulation::ToFCaptureModel model_75_;
    bool noise_;
    std::vector<uint16_t> clean_37_5_;
    std::vector<uint16_t> clean_75_;
};

}  // namespace

std::unique_ptr<FrameRenderer> makeHqvgaFrameRenderer(const RendererInputs& inputs,
                                                      std::string* error) {
    if (!inputs.config.geometry_options.empty()) {
        *error = "geometry." + inputs.config.geometry_options.begin()->first +
                 ": the 240x180 geometry takes no options";
        return nullptr;
    }
    const auto camera = emulation::PinholeCamera::withHorizontalFov(
        kWidth, kHeight, inputs.config.horizontal_fov_deg);
    return std::make_unique<HqvgaFrameRenderer>(emulation::renderGroundTruth(inputs.scene, camera),
                                                inputs.config);
}

}  // namespace evk
}  // namespace Quorvan

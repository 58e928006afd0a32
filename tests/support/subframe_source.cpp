#include "support/subframe_source.h"

#include "support/simulated_device.h"

namespace Quorvan {
namespace simulation {

uint16_t PatternSource::sampleAt(int phase, uint32_t row, uint32_t column) {
    return static_cast<uint16_t>((static_cast<uint32_t>(phase) << 10 | (row * 7 + column * 3)) &
                                 0x0FFF);
}

void PatternSource::render(uint32_t width, uint32_t height, int /*range_setting*/, int phase,
                           uint16_t* samples) {
    for (uint32_t row = 0; row < height; ++row) {
        for (uint32_t column = 0; column < width; ++column) {
            samples[row * width + column] = sampleAt(phase, row, column);
        }
    }
}

SceneSource::SceneSource() : scene(emulation::makeScene("default", {}, nullptr)) {
    prepare(240, 180);
    truth_amplitude = long_range_model->amplitude();
}

void SceneSource::prepare(uint32_t width, uint32_t height) {
    if (long_range_model && model_width == width && model_height == height)
        return;
    const auto camera = emulation::PinholeCamera::withHorizontalFov(
        static_cast<int>(width), static_cast<int>(height), emulation::kDefaultHorizontalFovDeg);
    emulation::GroundTruth view = emulation::renderGroundTruth(*scene, camera);
    emulation::CaptureSettings settings;
    settings.modulation_hz = emulation::kFrequency37_5MHz;
    long_range_model = std::make_unique<emulation::ToFCaptureModel>(view, settings);
    settings.modulation_hz = emulation::kFrequency75MHz;
    short_range_model = std::make_unique<emulation::ToFCaptureModel>(view, settings);
    if (width == 240 && height == 180)
        truth = std::move(view);
    model_width = width;
    model_height = height;
}

void SceneSource::render(uint32_t width, uint32_t height, int range_setting, int phase,
                         uint16_t* samples) {
    prepare(width, height);
    const emulation::ToFCaptureModel& model =
        range_setting == SensorState::kShortRange ? *short_range_model : *long_range_model;
    model.renderPhaseImage(emulation::hqvgaPhaseLayout(model.settings().modulation_hz),
                           static_cast<uint32_t>(phase), 0, samples);
}

}  // namespace simulation
}  // namespace Quorvan

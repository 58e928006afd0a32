// What the simulated sensor sees: four phase images per capture, as 12-bit
// sensor words. A scene source renders a ToF scene (so depth can be checked
// against ground truth); a pattern source gives every sample a value that
// tells where it came from (so copy routines can be checked exactly).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "scene/scene.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace simulation {

class SubframeSource {
public:
    virtual ~SubframeSource() = default;
    // Phase image `phase` (0..3) of a width x height capture at the sensor's
    // range setting (SensorState::kLongRange or kShortRange).
    virtual void render(uint32_t width, uint32_t height, int range_setting, int phase,
                        uint16_t* samples) = 0;
};

// Sample (phase, row, column) = (phase << 10 | row * 7 + column * 3) & 0xFFF:
// distinct across neighbouring rows, columns and phases.
class PatternSource final : public SubframeSource {
public:
    static uint16_t sampleAt(int phase, uint32_t row, uint32_t column);
    void render(uint32_t width, uint32_t height, int range_setting, int phase,
                uint16_t* samples) override;
};

// The emulation's default room scene through a pinhole camera, noise free.
class SceneSource final : public SubframeSource {
public:
    SceneSource();
    void render(uint32_t width, uint32_t height, int range_setting, int phase,
                uint16_t* samples) override;

    // Ground truth of a 240x180 view (what render() shows at that size).
    const emulation::GroundTruth& groundTruth() const { return truth; }
    // Noise-free signal amplitude per pixel, in sample units.
    const std::vector<float>& amplitude() const { return truth_amplitude; }

private:
    void prepare(uint32_t width, uint32_t height);

    std::unique_ptr<emulation::Scene> scene;
    emulation::GroundTruth truth;
    std::vector<float> truth_amplitude;
    // One model per modulation frequency: the frequency sets each pixel's
    // phase, not only the sampling order.
    std::unique_ptr<emulation::ToFCaptureModel> long_range_model;
    std::unique_ptr<emulation::ToFCaptureModel> short_range_model;
    uint32_t model_width = 0;
    uint32_t model_height = 0;
};

}  // namespace simulation
}  // namespace Quorvan

// What the simulated 640x480 sensor sees: a scene in that sensor's raw
// layout (scene/vga_raw_layout.h). The capture size selects the layout:
// 640 or 320 wide, 5 x (height + 1) rows for single-frequency mode and
// 10 x (height + 1) for double. Every capture is the whole layout, so the
// `phase` the capture node cycles through is ignored; other sizes render 0.
//
//   BoardOptions options;
//   options.platform = RASPBERRY_PI;
//   options.native_width = 640;
//   options.native_height = 2405;
//   options.source = std::make_shared<VgaLayoutSource>("default");
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scene/scene.h"
#include "scene/tof_capture.h"
#include "support/subframe_source.h"

namespace Quorvan {
namespace simulation {

class VgaLayoutSource final : public SubframeSource {
public:
    explicit VgaLayoutSource(const std::string& scene_name,
                             const emulation::SceneParameters& parameters = {},
                             const emulation::CaptureSettings& settings = {});

    void render(uint32_t width, uint32_t height, int range_setting, int phase,
                uint16_t* samples) override;

    // Ground truth of the output size (640x480 or 320x240) the layout shows.
    emulation::GroundTruth groundTruth(int width, int height) const;

private:
    std::unique_ptr<emulation::Scene> scene;
    emulation::CaptureSettings settings;
    // Rendered layouts by capture size; the sensor is noise free, so one
    // render per size serves every capture.
    std::map<std::pair<uint32_t, uint32_t>, std::vector<uint16_t>> layouts;
};

}  // namespace simulation
}  // namespace Quorvan

// What a kit of a given sensor geometry sends: the images of one camera
// frame, as right-aligned 12-bit sensor words. The configured geometry picks
// a renderer from the table in frame_renderer_registry.cpp; a new sensor
// layout is one more renderer and one more table entry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kit_config.h"
#include "scene/scene.h"
#include "scene/tof_capture.h"

namespace Quorvan {
namespace evk {

struct ImageRequest {
    uint64_t frame_index = 0;  // camera frames since the kit started
    uint32_t image_index = 0;  // 0 .. imagesPerFrame() - 1
    // Modulation frequency selected by the sensor registers when the frame
    // began; layouts with frequencies of their own may ignore it.
    double modulation_hz = 0.0;
};

class FrameRenderer {
public:
    virtual ~FrameRenderer() = default;

    virtual uint32_t width() const = 0;
    // Rows of one image as the kit reports them, metadata rows included.
    virtual uint32_t height() const = 0;
    virtual uint32_t imagesPerFrame() const = 0;

    // The words of one image, width() x height(). Either fills `scratch` and
    // returns it, or returns words the renderer keeps (valid for its
    // lifetime). Called concurrently from capturing threads with different
    // scratch buffers; must not allocate.
    virtual const uint16_t* renderImage(const ImageRequest& request, uint16_t* scratch) const = 0;
};

struct RendererInputs {
    const KitConfig& config;
    const emulation::Scene& scene;
};

using FrameRendererFactory = std::unique_ptr<FrameRenderer> (*)(const RendererInputs& inputs,
                                                                std::string* error);

struct FrameRendererEntry {
    const char* geometry;  // value of the configuration's `geometry` key
    FrameRendererFactory create;
};

// Light, noise and seed of the configuration as capture-model settings, at
// the model's default modulation frequency.
emulation::CaptureSettings captureSettingsFor(const KitConfig& config);

// The renderer for config.geometry, or null with *error set.
std::unique_ptr<FrameRenderer> makeFrameRenderer(const RendererInputs& inputs, std::string* error);

// Renderers available in this build.
std::unique_ptr<FrameRenderer> makeHqvgaFrameRenderer(const RendererInputs& inputs,
                                                      std::string* error);
std::unique_ptr<FrameRenderer> makeVgaFrameRenderer(const RendererInputs& inputs,
                                                    std::string* error);

}  // namespace evk
}  // namespace Quorvan

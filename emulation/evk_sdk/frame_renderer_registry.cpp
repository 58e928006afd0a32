#include <iterator>

#include "frame_renderer.h"

namespace Quorvan {
namespace evk {

namespace {

// One entry per sensor geometry the kit can emulate.
const FrameRendererEntry kRenderers[] = {
    {"240x180", makeHqvgaFrameRenderer},
};

}  // namespace

std::unique_ptr<FrameRenderer> makeFrameRenderer(const RendererInputs& inputs,
                                                 std::string* error) {
    for (const auto& entry : kRenderers) {
        if (inputs.config.geometry == entry.geometry)
            return entry.create(inputs, error);
    }
    std::string known;
    for (const auto& entry : kRenderers)
        known += std::string(known.empty() ? "" : ", ") + entry.geometry;
    *error = "geometry: unknown sensor geometry '" + inputs.config.geometry + "' (known: " +
             known + ")";
    return nullptr;
}

}  // namespace evk
}  // namespace Quorvan

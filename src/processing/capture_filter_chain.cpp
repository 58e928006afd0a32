#include "processing/capture_filter_chain.h"

#include <algorithm>
#include <cstring>

namespace Quorvan {

void CaptureFilterChain::configure(const CaptureFilterSettings& chosen) {
    settings = chosen;
    restart();
}

void CaptureFilterChain::restart() {
    std::fill(history.begin(), history.end(), 0.0f);
}

void CaptureFilterChain::fitTo(std::size_t pixels) {
    if (scratch.size() == pixels)
        return;
    scratch.assign(pixels, 0.0f);
    history.assign(pixels, 0.0f);  // another size: the old history means nothing
}

void CaptureFilterChain::apply(float* depth, const float* amplitude, int width, int height) {
    if (!active() || depth == nullptr || width <= 0 || height <= 0)
        return;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    fitTo(pixels);
    if (settings.min_amplitude > 0.0f && amplitude != nullptr)
        filters::thresholdAmplitude(depth, amplitude, pixels, settings.min_amplitude);
    // The two neighbourhood filters write out of place; each result goes
    // back into the frame's own plane.
    if (settings.flying_pixels) {
        filters::removeFlyingPixels(depth, scratch.data(), width, height, settings.flying);
        std::memcpy(depth, scratch.data(), pixels * sizeof(float));
    }
    if (settings.median) {
        filters::median3x3(depth, scratch.data(), width, height);
        std::memcpy(depth, scratch.data(), pixels * sizeof(float));
    }
    if (settings.temporal)
        filters::temporalFilter(depth, history.data(), pixels, settings.temporal_parameters);
}

}  // namespace Quorvan

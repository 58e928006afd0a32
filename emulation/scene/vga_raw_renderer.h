// Renders a scene in the 640x480 sensor's raw layout (vga_raw_layout.h), one
// whole capture per call, for the emulated kit and the simulated CSI sensor.
//
//   GroundTruth truth = renderGroundTruth(*scene, PinholeCamera::withHorizontalFov(640, 480, fov));
//   VgaRawRenderer renderer(truth, /*single=*/false, CaptureSettings{});
//   std::vector<uint16_t> capture(renderer.sampleCount());
//   renderer.render(frame_index, capture.data());
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scene/tof_capture.h"

namespace Quorvan {
namespace emulation {

class VgaRawRenderer {
public:
    // `settings.modulation_hz` is ignored: the layout fixes each block's
    // frequency. Everything else (gain, ambient, noise, seed) applies.
    VgaRawRenderer(const GroundTruth& truth, bool single, const CaptureSettings& settings);

    int width() const { return width_; }
    int height() const { return height_; }
    int rows() const { return rows_; }
    bool single() const { return single_; }
    size_t sampleCount() const { return static_cast<size_t>(width_) * rows_; }

    // Writes sampleCount() words. Safe to call from several threads at once;
    // allocates nothing.
    void render(uint64_t frame_index, uint16_t* out) const;

private:
    int width_;
    int height_;
    int rows_;
    bool single_;
    std::vector<ToFCaptureModel> frequencies_;
    // The gray image of each frequency, which has no noise and so is the
    // same in every frame: width x height words per frequency.
    std::vector<uint16_t> gray_;
};

// A rendered capture as the depth library reads it from a kit's buffer: two
// bytes per word, low byte first, whatever the host's byte order.
std::vector<uint8_t> littleEndianBytes(const std::vector<uint16_t>& words);

// Modulation frequency whose unambiguous range is `range_mm`.
double modulationForRangeMm(double range_mm);

}  // namespace emulation
}  // namespace Quorvan

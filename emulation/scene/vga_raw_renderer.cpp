#include "scene/vga_raw_renderer.h"

#include <algorithm>
#include <cmath>

#include "scene/vga_raw_layout.h"

namespace Quorvan {
namespace emulation {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The layout's sample k is a cos(phi + k pi / 2); the capture model samples
// a cos(phi - theta), so image k is taken at theta = -k pi / 2.
double samplingPhaseOfImage(int image) {
    return -image * kPi / 2.0;
}

}  // namespace

double modulationForRangeMm(double range_mm) {
    return kSpeedOfLight / (2.0 * range_mm / 1000.0);
}

VgaRawRenderer::VgaRawRenderer(const GroundTruth& truth, bool single,
                               const CaptureSettings& settings)
    : width_(truth.width),
      height_(truth.height),
      rows_(vga_layout::rawRows(truth.height, single)),
      single_(single) {
    const size_t pixels = static_cast<size_t>(width_) * height_;
    gray_.resize(pixels * vga_layout::frequencyCount(single));
    for (int32_t frequency = 0; frequency < vga_layout::frequencyCount(single); ++frequency) {
        CaptureSettings frequency_settings = settings;
        frequency_settings.modulation_hz =
            modulationForRangeMm(vga_layout::unambiguousRangeMm(single, frequency));
        frequencies_.emplace_back(truth, frequency_settings);
        const std::vector<float>& amplitude = frequencies_.back().amplitude();
        uint16_t* gray = gray_.data() + frequency * pixels;
        for (size_t pixel = 0; pixel < pixels; ++pixel) {
            const double intensity = std::round(settings.ambient + amplitude[pixel]);
            gray[pixel] = static_cast<uint16_t>(
                std::clamp(intensity, 0.0, static_cast<double>(vga_layout::kMaxSample)));
        }
    }
}

void VgaRawRenderer::render(uint64_t frame_index, uint16_t* out) const {
    const size_t block_rows = static_cast<size_t>(height_) + 1;
    const size_t pixels = static_cast<size_t>(width_) * height_;
    for (size_t frequency = 0; frequency < frequencies_.size(); ++frequency) {
        const ToFCaptureModel& model = frequencies_[frequency];
        for (int32_t block = 0; block < vga_layout::kBlocksPerFrequency; ++block) {
            const size_t block_number = frequency * vga_layout::kBlocksPerFrequency + block;
            uint16_t* metadata = out + block_number * block_rows * width_;
            std::fill(metadata, metadata + width_, uint16_t{0});
            metadata[0] = static_cast<uint16_t>(block_number);
            metadata[1] = static_cast<uint16_t>(
                vga_layout::unambiguousRangeMm(single_, static_cast<int32_t>(frequency)));

            uint16_t* image = metadata + width_;
            if (block == vga_layout::kGrayBlock) {
                const uint16_t* gray = gray_.data() + frequency * pixels;
                std::copy(gray, gray + pixels, image);
                continue;
            }
            model.renderSamples(samplingPhaseOfImage(block), frame_index,
                                static_cast<uint32_t>(block_number), SampleEncoding::kOffsetBinary,
                                image);
        }
    }
}

std::vector<uint8_t> littleEndianBytes(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> bytes(2 * words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    return bytes;
}

}  // namespace emulation
}  // namespace Quorvan

// The public filters run the variant of processing_variants.h that suits the
// processor; the loops themselves are in tof_filters_body.h.
#include "quorvan/tof_filters.h"

#include "processing/processing_variants.h"

namespace Quorvan {
namespace filters {

using processing::selectedProcessingVariant;

void thresholdAmplitude(float* depth, const float* amplitude, std::size_t pixel_count,
                        float min_amplitude) {
    selectedProcessingVariant().threshold_amplitude(depth, amplitude, pixel_count, min_amplitude);
}

void rejectSaturated(float* depth, int width, int height, const PhaseSamples& phases,
                     int16_t clip_low, int16_t clip_high) {
    selectedProcessingVariant().reject_saturated(depth, width, height, phases, clip_low, clip_high);
}

void removeFlyingPixels(const float* in, float* out, int width, int height,
                        const FlyingPixelParameters& parameters) {
    selectedProcessingVariant().remove_flying_pixels(in, out, width, height, parameters);
}

void temporalFilter(float* depth, float* state, std::size_t pixel_count,
                    const TemporalParameters& parameters) {
    selectedProcessingVariant().temporal_filter(depth, state, pixel_count, parameters);
}

void median3x3(const float* in, float* out, int width, int height) {
    selectedProcessingVariant().median3x3(in, out, width, height);
}

}  // namespace filters
}  // namespace Quorvan

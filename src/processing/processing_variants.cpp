// The variant table of the depth filters and the deprojection, and the
// variant every build target can run.
#include "processing/processing_variants.h"

#include <limits>

#include "processing/tof_filters_body.h"

namespace Quorvan {
namespace processing {
namespace {

void thresholdAmplitudePortable(float* depth, const float* amplitude, std::size_t pixel_count,
                                float min_amplitude) {
    filters::body::thresholdAmplitude(depth, amplitude, pixel_count, min_amplitude);
}

void rejectSaturatedPortable(float* depth, int width, int height,
                             const filters::PhaseSamples& phases, int16_t clip_low,
                             int16_t clip_high) {
    filters::body::rejectSaturated(depth, width, height, phases, clip_low, clip_high);
}

void removeFlyingPixelsPortable(const float* in, float* out, int width, int height,
                                const filters::FlyingPixelParameters& parameters) {
#if defined(__x86_64__)
    filters::body::removeFlyingPixels<filters::body::CarriedJumpBits>(in, out, width, height,
                                                                      parameters);
#else
    filters::body::removeFlyingPixels(in, out, width, height, parameters);
#endif
}

void temporalFilterPortable(float* depth, float* state, std::size_t pixel_count,
                            const filters::TemporalParameters& parameters) {
    filters::body::temporalFilter(depth, state, pixel_count, parameters);
}

void median3x3Portable(const float* in, float* out, int width, int height) {
    filters::body::median3x3(in, out, width, height);
}

#if defined(__x86_64__)
// The baseline's deprojection reads the interleaved rays on x86-64
// (processing_variants_x86.cpp), as the wider variants do.
constexpr auto deprojectPortable = variants::deprojectSse2;
#else
// From the three ray planes, which NEON's interleaving stores (st3) write
// out as x, y, z triples directly.
void deprojectPortable(const RayTable& rays, const float* radial_depth_mm, float* xyz) {
    const std::size_t pixels = rays.pixelCount();
    const float* __restrict rx = rays.rayX();
    const float* __restrict ry = rays.rayY();
    const float* __restrict rz = rays.rayZ();
    const float* __restrict depth = radial_depth_mm;
    float* __restrict out = xyz;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (std::size_t i = 0; i < pixels; ++i) {
        const float d = depth[i];
        // A comparison that NaN fails, as a select so the loop vectorises.
        const bool valid = d > 0.0f && d <= filters::body::kLargestFinite;
        const float scale = valid ? d : nan;
        out[3 * i] = rx[i] * scale;
        out[3 * i + 1] = ry[i] * scale;
        out[3 * i + 2] = rz[i] * scale;
    }
}
#endif

// Least demanding first (see system/instruction_sets.h).
const ProcessingVariant* const kVariants[] = {
    &variants::kPortable,
#if defined(__x86_64__)
    &variants::kAvx2,
    &variants::kAvx512,
#endif
};
constexpr int kVariantCount = static_cast<int>(sizeof kVariants / sizeof kVariants[0]);

// The runnable variants, copied once into a plain array for the list.
struct RunnableTable {
    ProcessingVariant items[kVariantCount];
    int count = 0;
    RunnableTable() {
        while (count < kVariantCount && processorSupports(kVariants[count]->needs)) {
            items[count] = *kVariants[count];
            ++count;
        }
    }
};

const RunnableTable& runnableTable() {
    static const RunnableTable table;
    return table;
}

}  // namespace

namespace variants {
const ProcessingVariant kPortable = {"portable",
                                     thresholdAmplitudePortable,
                                     rejectSaturatedPortable,
                                     removeFlyingPixelsPortable,
                                     temporalFilterPortable,
                                     median3x3Portable,
                                     deprojectPortable,
                                     InstructionSet::Baseline};
}  // namespace variants

ProcessingVariantList runnableProcessingVariants() {
    const RunnableTable& table = runnableTable();
    return {table.items, table.count};
}

const ProcessingVariant& selectedProcessingVariant() {
    return runnableProcessingVariants().mostCapable();
}

}  // namespace processing
}  // namespace Quorvan

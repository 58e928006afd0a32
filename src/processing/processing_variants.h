// Instruction-set variants of the depth filters and the deprojection. The
// public functions (quorvan/tof_filters.h, quorvan/point_cloud.h) use the
// most capable variant the processor runs; tests and benchmarks reach every
// runnable variant through this table. Every variant gives bit-identical
// results: the loops do the same float operations in the same order, only
// more lanes at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvan/point_cloud.h"
#include "quorvan/tof_filters.h"
#include "system/instruction_sets.h"

namespace Quorvan {
namespace processing {

struct ProcessingVariant {
    const char* name;
    void (*threshold_amplitude)(float* depth, const float* amplitude, std::size_t pixel_count,
                                float min_amplitude);
    void (*reject_saturated)(float* depth, int width, int height,
                             const filters::PhaseSamples& phases, int16_t clip_low,
                             int16_t clip_high);
    void (*remove_flying_pixels)(const float* in, float* out, int width, int height,
                                 const filters::FlyingPixelParameters& parameters);
    void (*temporal_filter)(float* depth, float* state, std::size_t pixel_count,
                            const filters::TemporalParameters& parameters);
    void (*median3x3)(const float* in, float* out, int width, int height);
    void (*deproject)(const RayTable& rays, const float* radial_depth_mm, float* xyz);
    InstructionSet needs;
};

struct ProcessingVariantList {
    const ProcessingVariant* items;
    int count;  // most capable last
};

ProcessingVariantList runnableProcessingVariants();
const ProcessingVariant& selectedProcessingVariant();

namespace variants {
// Baseline instruction set of the build target (SSE2 on x86-64, NEON on
// aarch64); processing_variants.cpp lists them.
extern const ProcessingVariant kPortable;
#if defined(__x86_64__)
extern const ProcessingVariant kAvx2;
extern const ProcessingVariant kAvx512;
// The baseline variant's deprojection on x86-64.
void deprojectSse2(const RayTable& rays, const float* radial_depth_mm, float* xyz);
#endif
}  // namespace variants

}  // namespace processing
}  // namespace Quorvan

// Exhaustive comparison of depth kernels with the scalar reference, usable
// from the unit tests and from the stand-alone cross-build check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/hqvga_kernels_variants.h"
#include "kernels/named_kernels.h"

namespace Quorvan {
namespace kernel_check {

struct DepthConfiguration {
    int32_t range;
    float modulation_frequency;
    uint8_t shift;
};

using NamedDepthKernel = NamedKernel<hqvga::DepthKernel>;

struct KernelOutcome {
    std::string name;
    int64_t mismatches = 0;      // pixels whose depth, amplitude or confidence bits differ
    std::string first_mismatch;  // empty when there is none
};

struct DomainReport {
    int64_t pixels = 0;
    std::vector<KernelOutcome> kernels;
};

// Every runnable instruction-set variant plus the dispatching computeDepth.
std::vector<NamedDepthKernel> productionDepthKernels();

// Every (Y, X) pair of 11-bit differences, -2047..2047 each (every Y row when
// row_stride is 1). Each difference is split into two samples at random and
// the bits the sample conversion ignores are filled with noise.
DomainReport checkDifferenceDomain(const std::vector<NamedDepthKernel>& kernels,
                                   const DepthConfiguration& configuration, int row_stride = 1);

// Every 16-bit raw value in each of the four phase positions, the other three
// samples of the pixel random.
DomainReport checkRawValueDomain(const std::vector<NamedDepthKernel>& kernels,
                                 const DepthConfiguration& configuration);

std::string describe(const DepthConfiguration& configuration);

}  // namespace kernel_check
}  // namespace Quorvan

// GoogleTest expectation and settings shared by the domain tests.
#pragma once

#include <gtest/gtest.h>

#include "kernels/depth_domain.h"

namespace Quorvan {
namespace kernel_check {

// The modulation frequencies the kit uses at its two ranges.
constexpr float kFrequency4000 = 37500000.0f;
constexpr float kFrequency2000 = 75000000.0f;

// The settings a camera streams with: both ranges, with and without the
// 4-bit shift of the packed sensors.
inline const DepthConfiguration kStreamedConfigurations[] = {
    {4000, kFrequency4000, 0},
    {4000, kFrequency4000, 4},
    {2000, kFrequency2000, 0},
    {2000, kFrequency2000, 4},
};

inline void expectNoMismatch(const DomainReport& report, const DepthConfiguration& configuration) {
    ASSERT_FALSE(report.kernels.empty());
    for (const KernelOutcome& kernel : report.kernels) {
        EXPECT_EQ(kernel.mismatches, 0) << kernel.name << ", " << describe(configuration)
                                        << ", first mismatch: " << kernel.first_mismatch;
    }
}

}  // namespace kernel_check
}  // namespace Quorvan

// GoogleTest expectation shared by the domain tests.
#pragma once

#include <gtest/gtest.h>

#include "kernels/depth_domain.h"

namespace Quorvan {
namespace kernel_check {

inline void expectNoMismatch(const DomainReport& report, const DepthConfiguration& configuration) {
    ASSERT_FALSE(report.kernels.empty());
    for (const KernelOutcome& kernel : report.kernels) {
        EXPECT_EQ(kernel.mismatches, 0) << kernel.name << ", " << describe(configuration)
                                        << ", first mismatch: " << kernel.first_mismatch;
    }
}

}  // namespace kernel_check
}  // namespace Quorvan

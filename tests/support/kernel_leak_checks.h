// What a camera must leave behind in the simulated kernel once it is closed
// or gone: no descriptor it opened and no buffer it mapped.
#pragma once

#include <gtest/gtest.h>

#include "support/simulated_kernel.h"

namespace Quorvan {
namespace testing_support {

//   EXPECT_TRUE(leftNothingOpen(board.kernel()));
inline ::testing::AssertionResult leftNothingOpen(const simulation::SimulatedKernel& kernel) {
    const int descriptors = kernel.openDescriptorCount();
    const int mappings = kernel.liveMappingCount();
    if (descriptors == 0 && mappings == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << descriptors << " descriptors still open, " << mappings << " buffers still mapped";
}

}  // namespace testing_support
}  // namespace Quorvan

// Checks of the plane descriptors a device reports, all three fields at
// once, so a failure shows the whole descriptor next to the expected one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "quorvan/device.h"

namespace Quorvan {
namespace testing_support {

inline ::testing::AssertionResult planeIs(const PlaneDescriptor& plane, int32_t kind, int32_t width,
                                          int32_t height) {
    if (plane.kind == kind && plane.width == width && plane.height == height)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "plane {kind " << plane.kind << ", " << plane.width << " x " << plane.height
           << "}, expected {kind " << kind << ", " << width << " x " << height << "}";
}

}  // namespace testing_support
}  // namespace Quorvan

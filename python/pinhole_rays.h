// The ray table of intrinsics a Python caller gave, built once for every
// conversion or deprojection through it. Intrinsics that are not a valid
// pinhole model, and planes of another shape than theirs, are refused with
// ValueError.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"

namespace Quorvan::python {

class PinholeRays {
public:
    explicit PinholeRays(const CameraIntrinsics& intrinsics) : rays_(intrinsics) {
        if (rays_.pixelCount() == 0)
            throw pybind11::value_error("intrinsics are not a valid pinhole model");
    }

    void requireImageShape(const pybind11::array& depth) const {
        const CameraIntrinsics& model = rays_.intrinsics();
        if (depth.ndim() != 2 || depth.shape(0) != pybind11::ssize_t{model.height} ||
            depth.shape(1) != pybind11::ssize_t{model.width})
            throw pybind11::value_error(
                "depth must have the shape (height, width) of the intrinsics, (" +
                std::to_string(model.height) + ", " + std::to_string(model.width) + ")");
    }

    const RayTable& table() const { return rays_; }
    const CameraIntrinsics& intrinsics() const { return rays_.intrinsics(); }

private:
    RayTable rays_;
};

}  // namespace Quorvan::python

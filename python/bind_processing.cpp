// QuorvanIntrinsics, QuorvanDeprojector, QuorvanFilters and
// QuorvanTemporalFilter: the native point-cloud and filter functions over
// NumPy arrays. Every call returns a new array; inputs are never written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bindings.h"
#include "pinhole_rays.h"
#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"
#include "quorvan/tof_filters.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Holds nothing: QuorvanFilters is a class of static methods, since the
// module itself has no functions.
struct FilterNamespace {};

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using SampleArray = py::array_t<int16_t, py::array::c_style | py::array::forcecast>;

void requirePlane(const py::array& plane, const char* name) {
    if (plane.ndim() != 2 || plane.shape(0) < 1 || plane.shape(1) < 1)
        throw py::value_error(std::string(name) + " must be a non-empty 2-D array");
}

void requireSameShape(const py::array& a, const py::array& b, const char* name) {
    if (b.ndim() != 2 || a.shape(0) != b.shape(0) || a.shape(1) != b.shape(1))
        throw py::value_error(std::string(name) + " must have the shape of depth");
}

FloatArray newPlaneLike(const py::array& plane) {
    return FloatArray({plane.shape(0), plane.shape(1)});
}

FloatArray copied(const FloatArray& plane) {
    FloatArray out = newPlaneLike(plane);
    std::copy(plane.data(), plane.data() + plane.size(), out.mutable_data());
    return out;
}

// The ray table of one set of intrinsics, built once for every deprojection.
class Deprojector {
public:
    explicit Deprojector(const CameraIntrinsics& intrinsics) : rays_(intrinsics) {}
    FloatArray deproject(const FloatArray& depth) const {
        rays_.requireImageShape(depth);
        FloatArray xyz({depth.shape(0), depth.shape(1), py::ssize_t{3}});
        deprojectDepth(rays_.table(), depth.data(), xyz.mutable_data());
        return xyz;
    }
    const CameraIntrinsics& intrinsics() const { return rays_.intrinsics(); }

private:
    PinholeRays rays_;
};

class TemporalFilter {
public:
    // Parameters arrive as double so that Python shows the defaults as typed.
    TemporalFilter(double alpha, double reset_jump_mm)
        : parameters_{static_cast<float>(alpha), static_cast<float>(reset_jump_mm)} {
        if (!(alpha > 0.0f && alpha <= 1.0f) || !(reset_jump_mm >= 0.0f))
            throw py::value_error("alpha must lie in (0, 1] and reset_jump_mm must be >= 0");
    }
    FloatArray apply(const FloatArray& depth) {
        requirePlane(depth, "depth");
        const auto pixels = static_cast<std::size_t>(depth.size());
        if (state_.size() != pixels || rows_ != depth.shape(0)) {
            state_.assign(pixels, 0.0f);  // a new image size starts without history
            rows_ = depth.shape(0);
        }
        FloatArray out = copied(depth);
        filters::temporalFilter(out.mutable_data(), state_.data(), pixels, parameters_);
        return out;
    }
    void reset() { std::fill(state_.begin(), state_.end(), 0.0f); }

private:
    filters::TemporalParameters parameters_;
    std::vector<float> state_;
    py::ssize_t rows_ = 0;
};

}  // namespace

void init_processing(py::module_& m) {
    py::class_<CameraIntrinsics> intrinsics(
        m, "QuorvanIntrinsics",
        R"doc(Pinhole model of a camera: focal lengths and principal point in pixels
(the centre of the top-left pixel is (0, 0)) and the distortion
coefficients k1, k2, p1, p2, k3.)doc");
    py::class_<Deprojector> deprojector(
        m, "QuorvanDeprojector",
        R"doc(Turns radial depth planes of one camera into XYZ points.)doc");
    py::class_<TemporalFilter> temporal(
        m, "QuorvanTemporalFilter",
        R"doc(Exponential smoothing of depth over consecutive frames.)doc");
    py::class_<FilterNamespace> filter_class(
        m, "QuorvanFilters", R"doc(Depth filters; depth 0 marks a pixel without valid depth.)doc");

    intrinsics
        .def(py::init([](uint32_t width, uint32_t height, float fx, float fy, float cx, float cy,
                         std::vector<float> distortion) {
                 CameraIntrinsics value;
                 value.width = width;
                 value.height = height;
                 value.fx = fx;
                 value.fy = fy;
                 value.cx = cx;
                 value.cy = cy;
                 if (distortion.size() > value.distortion.size())
                     throw py::value_error(
                         "at most five distortion coefficients (k1, k2, p1, p2, k3)");
                 std::copy(distortion.begin(), distortion.end(), value.distortion.begin());
                 return value;
             }),
             "width"_a, "height"_a, "fx"_a, "fy"_a, "cx"_a, "cy"_a,
             "distortion"_a = std::vector<float>{})
        .def_readwrite("width", &CameraIntrinsics::width)
        .def_readwrite("height", &CameraIntrinsics::height)
        .def_readwrite("fx", &CameraIntrinsics::fx)
        .def_readwrite("fy", &CameraIntrinsics::fy)
        .def_readwrite("cx", &CameraIntrinsics::cx)
        .def_readwrite("cy", &CameraIntrinsics::cy)
        .def_property(
            "distortion",
            [](const CameraIntrinsics& self) {
                return std::vector<float>(self.distortion.begin(), self.distortion.end());
            },
            [](CameraIntrinsics& self, const std::vector<float>& values) {
                if (values.size() > self.distortion.size())
                    throw py::value_error(
                        "at most five distortion coefficients (k1, k2, p1, p2, k3)");
                self.distortion.fill(0.0f);
                std::copy(values.begin(), values.end(), self.distortion.begin());
            })
        .def(
            "isValid", &CameraIntrinsics::isValid,
            R"doc(True for positive finite focal lengths, a non-empty image and finite coefficients.)doc")
        .def("__repr__", [](const CameraIntrinsics& self) {
            return py::str("QuorvanIntrinsics(width={}, height={}, fx={}, fy={}, cx={}, cy={})")
                .format(self.width, self.height, self.fx, self.fy, self.cx, self.cy);
        });

    deprojector.def(py::init<const CameraIntrinsics&>(), "intrinsics"_a)
        .def("deproject", &Deprojector::deproject, "depth"_a,
             R"doc(XYZ in millimetres, float32 of shape (height, width, 3), from radial depth in
millimetres; NaN where the depth is 0, negative or not finite.)doc")
        .def("getIntrinsics", &Deprojector::intrinsics,
             R"doc(The model the rays were built from.)doc");

    temporal.def(py::init<double, double>(), "alpha"_a = 0.3, "reset_jump_mm"_a = 60.0)
        .def("apply", &TemporalFilter::apply, "depth"_a,
             R"doc(Filtered copy of this frame's depth; updates the history. Pixels that moved by
more than reset_jump_mm restart from the new depth.)doc")
        .def("reset", &TemporalFilter::reset, R"doc(Forget the history.)doc");

    filter_class
        .def_static(
            "thresholdAmplitude",
            [](const FloatArray& depth, const FloatArray& amplitude, float min_amplitude) {
                requirePlane(depth, "depth");
                requireSameShape(depth, amplitude, "amplitude");
                FloatArray out = copied(depth);
                filters::thresholdAmplitude(out.mutable_data(), amplitude.data(),
                                            static_cast<std::size_t>(out.size()), min_amplitude);
                return out;
            },
            "depth"_a, "amplitude"_a, "min_amplitude"_a,
            R"doc(Depth with 0 where amplitude (or confidence) is below min_amplitude.)doc")
        .def_static(
            "rejectSaturated",
            [](const FloatArray& depth, const SampleArray& raw, int16_t clip_low,
               int16_t clip_high) {
                requirePlane(depth, "depth");
                requirePlane(raw, "raw");
                if (raw.shape(0) != 4 * depth.shape(0) || raw.shape(1) != depth.shape(1))
                    throw py::value_error(
                        "raw must be the 240x180 device's raw plane of the same capture: "
                        "shape (4 * height, width), phases interleaved row by row");
                FloatArray out = copied(depth);
                const auto width = static_cast<std::size_t>(depth.shape(1));
                filters::rejectSaturated(out.mutable_data(), static_cast<int>(width),
                                         static_cast<int>(depth.shape(0)),
                                         {raw.data(), width, 4 * width}, clip_low, clip_high);
                return out;
            },
            "depth"_a, "raw"_a, "clip_low"_a = int{filters::kHqvgaRawClipLow},
            "clip_high"_a = int{filters::kHqvgaRawClipHigh},
            R"doc(Depth with 0 where any phase sample of the raw plane reached the sensor's clipping
limits: such depth is wrong although its amplitude looks good.)doc")
        .def_static(
            "removeFlyingPixels",
            [](const FloatArray& depth, double min_jump_mm, double relative_jump) {
                requirePlane(depth, "depth");
                FloatArray out = newPlaneLike(depth);
                filters::removeFlyingPixels(
                    depth.data(), out.mutable_data(), static_cast<int>(depth.shape(1)),
                    static_cast<int>(depth.shape(0)),
                    {static_cast<float>(min_jump_mm), static_cast<float>(relative_jump)});
                return out;
            },
            "depth"_a, "min_jump_mm"_a = 40.0, "relative_jump"_a = 0.03,
            R"doc(Depth with 0 at pixels that differ from both neighbours along a row or a column by
more than max(min_jump_mm, relative_jump * depth): mixtures of an edge and the background.)doc")
        .def_static(
            "median3x3",
            [](const FloatArray& depth) {
                requirePlane(depth, "depth");
                FloatArray out = newPlaneLike(depth);
                filters::median3x3(depth.data(), out.mutable_data(),
                                   static_cast<int>(depth.shape(1)),
                                   static_cast<int>(depth.shape(0)));
                return out;
            },
            "depth"_a,
            R"doc(3x3 median of the valid neighbours of each valid pixel; border pixels copied.)doc");
}

}  // namespace Quorvan::python

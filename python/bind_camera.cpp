// QuorvanCamera. Every method forwards to one camera operation; failures come
// back as TOFErrorCode values, and only arguments that cannot be converted
// (wrong type, integer out of range, plain int for an enum) raise TypeError,
// and a path holding a NUL character raises ValueError. Only requestFrame
// releases the interpreter lock, while it waits.
#include <pybind11/pybind11.h>

#include <memory>

#include "bindings.h"
#include "python_camera.h"
#include "quorvan/capture_filters.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

constexpr const char* kOpenDoc =
    "Initialize the camera configuration and turn on the camera, set the initialization frame "
    "according to the mode.\n\n"
    "- mode Specify the connection method.\n"
    "- index Device node, the default value is video0.";

constexpr const char* kOpenWithFileDoc =
    "Initialize the camera configuration and turn on the camera, set the initialization frame "
    "according to the mode.\n\n"
    "- path Specify the config file path.\n"
    "- index Device node, the default value is video0.";

}  // namespace

void init_camera(py::module_& m) {
    py::class_<PythonCamera> camera(m, "QuorvanCamera");

    camera.def(py::init<>())
        .def("open", &PythonCamera::open, "mode"_a, "index"_a = 0, kOpenDoc)
        .def("openWithFile", &PythonCamera::openWithFile, "path"_a, "index"_a = 0, kOpenWithFileDoc)
        .def("close", &PythonCamera::close, R"doc(Close the camera)doc")
        .def("start", &PythonCamera::start, "type"_a,
             R"doc(Start the camera stream and start processing.)doc")
        .def("stop", &PythonCamera::stop, R"doc(Stop camera stream and processing.)doc")
        .def("setControl", &PythonCamera::setControl, "ctrl"_a, "value"_a,
             R"doc(Set camera parameters.)doc")
        .def("getControl", &PythonCamera::getControl, "ctrl"_a, R"doc(Get camera parameters.)doc")
        .def("getCameraInfo", &PythonCamera::getCameraInfo, R"doc(Get camera information.)doc")
        .def("requestFrame", &PythonCamera::requestFrame, "timeout"_a,
             R"doc(Request a frame of data from the frame processing thread.)doc")
        .def("releaseFrame", &PythonCamera::releaseFrame, "frame"_a.none(true),
             R"doc(Free the memory space of the frame.)doc");
}

// Methods beyond the original interface. They are added once every class
// they name exists, so that the module's original classes keep their order
// and the signatures show Python type names.
void init_camera_additions(py::module_& m) {
    auto camera = py::reinterpret_borrow<py::class_<PythonCamera>>(m.attr("QuorvanCamera"));
    py::class_<FrameIterator> iterator(m, "QuorvanFrameIterator",
                                       R"doc(Frames of a stream; see QuorvanCamera.frames.)doc");

    py::class_<CaptureFilterSettings> capture_filters(
        m, "QuorvanCaptureFilters",
        R"doc(Depth filters the capture thread applies to every depth frame (all off by
default), in this order: amplitude threshold, flying pixels, 3x3 median,
temporal smoothing. The parameters are those of QuorvanFilters and
QuorvanTemporalFilter. Give them to QuorvanCamera.setCaptureFilters.)doc");
    capture_filters.def(py::init<>())
        .def_readwrite("min_amplitude", &CaptureFilterSettings::min_amplitude,
                       R"doc(Pixels with less amplitude lose their depth; 0 turns it off.)doc")
        .def_readwrite("flying_pixels", &CaptureFilterSettings::flying_pixels)
        .def_property(
            "min_jump_mm",
            [](const CaptureFilterSettings& self) { return self.flying.min_jump_mm; },
            [](CaptureFilterSettings& self, float value) { self.flying.min_jump_mm = value; })
        .def_property(
            "relative_jump",
            [](const CaptureFilterSettings& self) { return self.flying.relative_jump; },
            [](CaptureFilterSettings& self, float value) { self.flying.relative_jump = value; })
        .def_readwrite("median", &CaptureFilterSettings::median)
        .def_readwrite(
            "temporal", &CaptureFilterSettings::temporal,
            R"doc(Smoothing history starts afresh at each start and settings change.)doc")
        .def_property(
            "alpha",
            [](const CaptureFilterSettings& self) { return self.temporal_parameters.alpha; },
            [](CaptureFilterSettings& self, float value) {
                self.temporal_parameters.alpha = value;
            })
        .def_property(
            "reset_jump_mm",
            [](const CaptureFilterSettings& self) {
                return self.temporal_parameters.reset_jump_mm;
            },
            [](CaptureFilterSettings& self, float value) {
                self.temporal_parameters.reset_jump_mm = value;
            });

    camera
        .def(
            "setCaptureFilters",
            [](PythonCamera& self, const CaptureFilterSettings& filters) {
                return self.native().setCaptureFilters(filters);
            },
            "filters"_a,
            R"doc(Filter every depth frame from the next one captured on (see
QuorvanCaptureFilters); QuorvanInvalidParameter for a value out of range.)doc")
        .def(
            "getCaptureFilters",
            [](PythonCamera& self) { return self.native().getCaptureFilters(); },
            R"doc(The depth filters the capture thread applies.)doc")
        .def("getStatistics", &PythonCamera::getStatistics,
             R"doc(Frame counters since the last start (see QuorvanStatistics).)doc")
        .def("getIntrinsics", &PythonCamera::getIntrinsics,
             R"doc(Pinhole model of the depth image: calibrated values when set for this image
size, otherwise the sensor class's nominal lens. Width 0 before open.)doc")
        .def("setIntrinsics", &PythonCamera::setIntrinsics, "intrinsics"_a,
             R"doc(Use calibrated values for images of their size; kept across open and close.)doc")
        .def("loadIntrinsics", &PythonCamera::loadIntrinsics, "path"_a,
             R"doc(Read calibrated values from a key = value file (width, height, fx, fy, cx, cy,
k1, k2, p1, p2, k3).)doc")
        .def(
            "frames",
            [](py::object self, int16_t timeout) {
                return std::make_unique<FrameIterator>(std::move(self), timeout);
            },
            "timeout"_a,
            R"doc(Iterate over frames as they arrive; each frame is released when the next one is
taken or the loop ends. The iteration stops when no frame comes within timeout ms.)doc")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__",
            [](PythonCamera& self, const py::object&, const py::object&, const py::object&) {
                self.stopAndClose();
            },
            "exc_type"_a.none(true), "exc_value"_a.none(true), "traceback"_a.none(true));

    iterator.def("__iter__", [](py::object self) { return self; })
        .def("__next__", &FrameIterator::next)
        .def("close", &FrameIterator::close,
             R"doc(Release the current frame and end the iteration.)doc");
}

}  // namespace Quorvan::python

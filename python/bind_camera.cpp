// QuorvanCamera. Every method forwards to one camera operation; failures come
// back as TOFErrorCode values, and only arguments that cannot be converted
// (wrong type, integer out of range, plain int for an enum) raise TypeError,
// and a path holding a NUL character raises ValueError. Only requestFrame
// releases the interpreter lock, while it waits.
#include <pybind11/pybind11.h>

#include <memory>

#include "bindings.h"
#include "python_camera.h"

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

    camera
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

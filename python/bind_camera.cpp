// QuorvanCamera. Every method forwards to one camera operation; failures come
// back as TOFErrorCode values, and only arguments that cannot be converted
// (wrong type, integer out of range, plain int for an enum) raise TypeError,
// and a path holding a NUL character raises ValueError. Only requestFrame
// releases the interpreter lock, while it waits.
#include <pybind11/pybind11.h>

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
        .def("getControl", &PythonCamera::getControl, "ctrl"_a,
             R"doc(Get camera parameters.)doc")
        .def("getCameraInfo", &PythonCamera::getCameraInfo, R"doc(Get camera information.)doc")
        .def("requestFrame", &PythonCamera::requestFrame, "timeout"_a,
             R"doc(Request a frame of data from the frame processing thread.)doc")
        .def("releaseFrame", &PythonCamera::releaseFrame, "frame"_a.none(true),
             R"doc(Free the memory space of the frame.)doc");
}

}  // namespace Quorvan::python

// The QuorvanDepthCamera extension module. The same shared object also
// exports the native camera class for C++ programs that load it.
#include <pybind11/pybind11.h>

#include "bindings.h"

PYBIND11_MODULE(QuorvanDepthCamera, m) {
    Quorvan::python::init_enums(m);
    Quorvan::python::init_records(m);
    Quorvan::python::init_frames(m);
    Quorvan::python::init_camera(m);
    Quorvan::python::init_record_additions(m);
    Quorvan::python::init_processing(m);
    Quorvan::python::init_frame_additions(m);
    Quorvan::python::init_camera_additions(m);
    m.attr("__version__") = "dev";
}

// The QuorvanDepthCamera extension module. The same shared object also
// exports the native camera class for C++ programs that load it.
#include <pybind11/pybind11.h>

#include "bindings.h"

PYBIND11_MODULE(QuorvanDepthCamera, m) {
    Quorvan::python::init_enums(m);
    Quorvan::python::init_records(m);
    Quorvan::python::init_frames(m);
    Quorvan::python::init_camera(m);
    m.attr("__version__") = "dev";
    // Additions to the module come after everything it always had.
    Quorvan::python::init_playback(m);
}

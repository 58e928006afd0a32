// The QuorvanDepthCamera extension module. The same shared object also
// exports the native camera class for C++ programs that load it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "camera/live_cameras.h"

namespace {

// At interpreter exit, threads the script left running (daemon threads inside
// requestFrame, say) may still use a streaming camera while the libraries'
// static state is torn down after the interpreter. Every capture thread is
// therefore joined while the interpreter is still whole.
void stopCamerasAtExit() {
    pybind11::cpp_function stop_all(
        // The interpreter lock stays held: no Python thread can start a
        // new wait while the cameras stop, and waits in progress end with
        // the stop and return once the hook is done.
        [] { Quorvan::LiveCameras::stopAll(); }, pybind11::name("_stop_all_cameras"));
    // Held by the atexit module, not by this one: the module keeps "no
    // module-level functions".
    pybind11::module_::import("atexit").attr("register")(stop_all);
}

// pybind11 looks the NumPy C API up once, on the first array it makes, and
// does so with the interpreter lock let go and taken back in a destructor.
// A daemon thread whose first frame data comes while the interpreter shuts
// down is ended inside that destructor, which is std::terminate (a slow board
// delivers the first frame late enough for this). Made at import, the first
// array cannot come late.
void lookUpNumPyNow() {
    pybind11::array_t<float> first(0);
    (void)first;
}

}  // namespace

PYBIND11_MODULE(QuorvanDepthCamera, m) {
    Quorvan::python::init_enums(m);
    Quorvan::python::init_records(m);
    Quorvan::python::init_frames(m);
    Quorvan::python::init_camera(m);
    m.attr("__version__") = "dev";
    // Additions to the module come after everything it always had.
    Quorvan::python::init_record_additions(m);
    Quorvan::python::init_processing(m);
    Quorvan::python::init_frame_additions(m);
    Quorvan::python::init_camera_additions(m);
    Quorvan::python::init_playback(m);
    Quorvan::python::init_messages(m);
    Quorvan::python::init_logging(m);
    Quorvan::python::init_host_time(m);
    Quorvan::python::init_connection(m);
    lookUpNumPyNow();
    stopCamerasAtExit();
}

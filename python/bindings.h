// One binding function per area; module.cpp calls them in the order in which
// the module's attributes appear.
#pragma once

#include <pybind11/pybind11.h>

namespace Quorvan::python {

void init_enums(pybind11::module_& m);
void init_records(pybind11::module_& m);
void init_frames(pybind11::module_& m);
void init_camera(pybind11::module_& m);
// Classes and methods added beside the original interface, after it.
void init_record_additions(pybind11::module_& m);
void init_processing(pybind11::module_& m);
void init_frame_additions(pybind11::module_& m);
void init_camera_additions(pybind11::module_& m);
void init_playback(pybind11::module_& m);
void init_messages(pybind11::module_& m);
void init_logging(pybind11::module_& m);
void init_host_time(pybind11::module_& m);
void init_connection(pybind11::module_& m);

}  // namespace Quorvan::python

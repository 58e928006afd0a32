// Several cameras: QuorvanCamera.listCameras, openBySerial and the device
// connection of USB kits and CSI cameras (auto-reconnect, connection events). The events are
// collected by the capture thread and handed to Python only when it asks, so no Python code ever
// runs on that thread.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "bindings.h"
#include "python_camera.h"
#include "quorvan/camera_connection.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

const char* configArgument(const std::optional<std::string>& kit_config) {
    return kit_config ? kit_config->c_str() : nullptr;
}

}  // namespace

void init_connection(py::module_& m) {
    py::class_<AttachedCamera> attached(
        m, "QuorvanAttachedCamera",
        R"doc(A camera found by QuorvanCamera.listCameras: its connection and index (what
open takes), serial number and sensor size.)doc");
    attached.def_readonly("connect", &AttachedCamera::connection)
        .def_readonly("index", &AttachedCamera::index)
        .def_readonly("serial", &AttachedCamera::serial)
        .def_readonly("width", &AttachedCamera::width)
        .def_readonly("height", &AttachedCamera::height)
        .def_readonly("attached", &AttachedCamera::attached)
        .def("__repr__", [](const AttachedCamera& c) {
            return py::str("QuorvanAttachedCamera({}, index={}, serial={!r}, {}x{}, attached={})")
                .format(c.connection == Connection::CSI ? "CSI" : "USB", c.index, c.serial, c.width,
                        c.height, c.attached);
        });

    py::class_<ConnectionEvent> event(
        m, "QuorvanConnectionEvent",
        R"doc(The camera's device left the bus ("disconnected") or was reopened and streams
again ("reconnected", with the gap and the frames lost in it).)doc");
    event
        .def_property_readonly("kind",
                               [](const ConnectionEvent& e) {
                                   return e.kind == ConnectionEvent::Kind::Disconnected
                                              ? "disconnected"
                                              : "reconnected";
                               })
        .def_readonly("serial", &ConnectionEvent::serial)
        .def_readonly("host_time_ns", &ConnectionEvent::host_time_ns)
        .def_readonly("frames_lost", &ConnectionEvent::frames_lost)
        .def_readonly("gap_ms", &ConnectionEvent::gap_ms)
        .def("__repr__", [](const ConnectionEvent& e) {
            return py::str("QuorvanConnectionEvent({}, serial={!r}, frames_lost={}, gap_ms={})")
                .format(
                    e.kind == ConnectionEvent::Kind::Disconnected ? "disconnected" : "reconnected",
                    e.serial, e.frames_lost, e.gap_ms);
        });

    auto camera = py::reinterpret_borrow<py::class_<PythonCamera>>(m.attr("QuorvanCamera"));
    camera
        .def_static(
            "listCameras",
            [](const std::optional<std::string>& kit_config) {
                return listAttachedCameras(configArgument(kit_config));
            },
            "kit_config"_a = py::none(),
            R"doc(The USB kits attached now, by index, then the CSI cameras this host's
discovery finds, by their /dev/videoN number (serial empty unless the media
device has one). kit_config names a configuration file describing several kits
(None: the built-in set).)doc")
        .def(
            "openBySerial",
            [](PythonCamera& self, const std::string& serial,
               const std::optional<std::string>& kit_config) {
                return openBySerial(self.native(), serial.c_str(), configArgument(kit_config));
            },
            "serial"_a, "kit_config"_a = py::none(),
            R"doc(Open the attached kit with this serial number. QuorvanUnkownDevice when none
has it, QuorvanInvalidParameter for an empty serial.)doc")
        .def(
            "getSerial", [](const PythonCamera& self) { return cameraSerial(self.nativeConst()); },
            R"doc(The serial number of the open camera's device; empty when not known.)doc")
        .def(
            "setAutoReconnect",
            [](PythonCamera& self, bool enabled) {
                return setAutoReconnect(self.native(), enabled);
            },
            "enabled"_a,
            R"doc(With True, a camera whose device leaves the bus reopens and restarts the same
serial when it returns, keeping its settings; a CSI camera is found again by
its drivers' identity, whatever /dev/videoN it returns under. Off after every
open.)doc")
        .def(
            "takeConnectionEvents",
            [](PythonCamera& self) { return takeConnectionEvents(self.native()); },
            R"doc(The connection events since the last call, oldest first.)doc");
}

}  // namespace Quorvan::python

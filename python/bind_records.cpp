// QuorvanFormat, QuorvanInfo and QuorvanStatistics: value copies of the native records. No
// constructor is exposed; writing a property changes only the Python copy.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/types.h"
#include "record_repr.h"

namespace Quorvan::python {

namespace py = pybind11;

void init_records(py::module_& m) {
    py::class_<FrameDataFormat> format(m, "QuorvanFormat");
    py::class_<CameraInfo> info(m, "QuorvanInfo");

    format.def_readwrite("width", &FrameDataFormat::width)
        .def_readwrite("height", &FrameDataFormat::height)
        .def_readwrite("timestamp", &FrameDataFormat::timestamp)
        .def_readwrite("type", &FrameDataFormat::type);

    info.def_readwrite("index", &CameraInfo::index)
        .def_readwrite("connect", &CameraInfo::connect)
        .def_readwrite("device_type", &CameraInfo::device_type)
        .def_readwrite("type", &CameraInfo::type)
        .def_readwrite("width", &CameraInfo::width)
        .def_readwrite("height", &CameraInfo::height)
        .def_readwrite("bit_width", &CameraInfo::bit_width)
        .def_readwrite("bpp", &CameraInfo::bpp);
}

void init_record_additions(py::module_& m) {
    py::class_<FrameStatistics> statistics(
        m, "QuorvanStatistics",
        R"doc(What became of the captures since the last start: captured == delivered +
overwritten + skipped + queued. sensor_failures counts attempts that gave no frame;
disconnects, reconnects and lost_while_disconnected count the device leaving the bus,
coming back, and the frames it would have delivered meanwhile.)doc");
    statistics.def_readonly("captured", &FrameStatistics::captured)
        .def_readonly("delivered", &FrameStatistics::delivered)
        .def_readonly("overwritten", &FrameStatistics::overwritten)
        .def_readonly("skipped", &FrameStatistics::skipped)
        .def_readonly("sensor_failures", &FrameStatistics::sensor_failures)
        .def_readonly("queued", &FrameStatistics::queued)
        .def_readonly("disconnects", &FrameStatistics::disconnects)
        .def_readonly("reconnects", &FrameStatistics::reconnects)
        .def_readonly("lost_while_disconnected", &FrameStatistics::lost_while_disconnected)
        .def("__repr__", &propertiesRepr);
}

}  // namespace Quorvan::python

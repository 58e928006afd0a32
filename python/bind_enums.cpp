// The seven enumerations. DeviceType and TofErrorCode are plain native enums,
// so pybind11 makes their members compare equal to integers; the scoped ones
// compare equal only to members of the same enumeration. None of them gets
// arithmetic or ordering, and members stay inside their enumeration.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "quorvan/types.h"

namespace Quorvan::python {

namespace py = pybind11;

void init_enums(py::module_& m) {
    py::enum_<DeviceType> device_type(m, "TOFDeviceType");
    py::enum_<FrameType> output(m, "TOFOutput");
    py::enum_<Connection> connect(m, "TOFConnect");
    py::enum_<CameraCtrl> control(m, "TOFControl");
    py::enum_<TofWorkMode> work_mode(m, "TofWorkMode");
    py::enum_<TofFrameWorkMode> frame_work_mode(m, "TofFrameWorkMode");
    py::enum_<TofErrorCode> error_code(m, "TOFErrorCode");

    device_type.value("VGA", DeviceType::VGA).value("HQVGA", DeviceType::HQVGA);

    // AMPLITUDE is an internal plane name and stays out of Python.
    output.value("RAW", FrameType::RAW)
        .value("DEPTH", FrameType::DEPTH)
        .value("CONFIDENCE", FrameType::CONFIDENCE)
        .value("CACHE", FrameType::CACHE);

    connect.value("CSI", Connection::CSI).value("USB", Connection::USB);

    // AUTO_FRAME_RATE is native-only.
    control.value("RANGE", CameraCtrl::RANGE)
        .value("FMT_WIDTH", CameraCtrl::FMT_WIDTH)
        .value("FMT_HEIGHT", CameraCtrl::FMT_HEIGHT)
        .value("MODE", CameraCtrl::MODE)
        .value("FRAME_MODE", CameraCtrl::FRAME_MODE)
        .value("EXPOSURE", CameraCtrl::EXPOSURE)
        .value("FRAME_RATE", CameraCtrl::FRAME_RATE)
        .value("SKIP_FRAME", CameraCtrl::SKIP_FRAME)
        .value("SKIP_FRAME_LOOP", CameraCtrl::SKIP_FRAME_LOOP)
        .value("CONFIG_DIR_EXT", CameraCtrl::CONFIG_DIR_EXT);

    work_mode.value("SINGLE_FREQ", TofWorkMode::SINGLE_FREQ)
        .value("DOUBLE_FREQ", TofWorkMode::DOUBLE_FREQ)
        .value("TRIPLE_FREQ", TofWorkMode::TRIPLE_FREQ)
        .value("QUAD_FREQ", TofWorkMode::QUAD_FREQ)
        .value("DISTANCE", TofWorkMode::DISTANCE)
        .value("HDR", TofWorkMode::HDR)
        .value("AE", TofWorkMode::AE)
        .value("BG_OUTDOOR", TofWorkMode::BG_OUTDOOR)
        .value("GRAY_ONLY", TofWorkMode::GRAY_ONLY)
        .value("CUSTOM1", TofWorkMode::CUSTOM1)
        .value("CUSTOM2", TofWorkMode::CUSTOM2)
        .value("CUSTOM3", TofWorkMode::CUSTOM3);

    using FWM = TofFrameWorkMode;
    frame_work_mode.value("SINGLE_FREQ_2PHASE", FWM::SINGLE_FREQ_2PHASE)
        .value("SINGLE_FREQ_4PHASE", FWM::SINGLE_FREQ_4PHASE)
        .value("SINGLE_FREQ_4PHASE_GRAY", FWM::SINGLE_FREQ_4PHASE_GRAY)
        .value("SINGLE_FREQ_4PHASE_BG", FWM::SINGLE_FREQ_4PHASE_BG)
        .value("SINGLE_FREQ_4PHASE_4BG", FWM::SINGLE_FREQ_4PHASE_4BG)
        .value("SINGLE_FREQ_4PHASE_GRAY_5BG", FWM::SINGLE_FREQ_4PHASE_GRAY_5BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG", FWM::SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG)
        .value("SINGLE_FREQ_GRAY_BG_4PHASE_BG", FWM::SINGLE_FREQ_GRAY_BG_4PHASE_BG)
        .value("SINGLE_FREQ_BG_GRAY_BG_4PHASE", FWM::SINGLE_FREQ_BG_GRAY_BG_4PHASE)
        .value("SINGLE_FREQ_BG_4PHASE_BG_GRAY", FWM::SINGLE_FREQ_BG_4PHASE_BG_GRAY)
        .value("DOUBLE_FREQ_4PHASE", FWM::DOUBLE_FREQ_4PHASE)
        .value("DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG", FWM::DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG)
        .value("DOUBLE_FREQ_4PHASE_4BG", FWM::DOUBLE_FREQ_4PHASE_4BG)
        .value("DOUBLE_FREQ_4PHASE_GRAY_5BG", FWM::DOUBLE_FREQ_4PHASE_GRAY_5BG)
        .value("TRIPLE_FREQ_4PHASE", FWM::TRIPLE_FREQ_4PHASE)
        .value("TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG",
               FWM::TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG)
        .value("QUAD_FREQ_4PHASE", FWM::QUAD_FREQ_4PHASE)
        .value("QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG",
               FWM::QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG)
        .value("BG_OUTDOOR", FWM::BG_OUTDOOR)
        .value("GRAY_ONLY", FWM::GRAY_ONLY)
        .value("CUSTOM", FWM::CUSTOM);

    error_code.value("QuorvanSuccess", QuorvanSuccess)
        .value("QuorvanInvalidParameter", QuorvanInvalidParameter)
        .value("QuorvanNoCache", QuorvanNoCache)
        .value("QuorvanUnkownDevice", QuorvanUnkownDevice)
        .value("QuorvanNotImplemented", QuorvanNotImplemented)
        .value("QuorvanSkipFrame", QuorvanSkipFrame)
        .value("QuorvanSystemError", QuorvanSystemError)
        .value("QuorvanUnkownError", QuorvanUnkownError)
        .def("str", [](TofErrorCode code) { return to_str(code); });
}

}  // namespace Quorvan::python

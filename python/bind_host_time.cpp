// Host time on frames (QuorvanHostTime, QuorvanFrame.getHostTime and
// friends) and the frame-set matcher (QuorvanFrameSetMatcher).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>

#include "bindings.h"
#include "frame_handle.h"
#include "quorvan/frame_set_matcher.h"
#include "quorvan/host_time.h"
#include "record_repr.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

HostTime hostTimeOf(const FrameHandle& frame) {
    return frame.readable().buffer->getHostTime();
}

std::unique_ptr<FrameSetMatcher> makeMatcher(uint32_t cameras, int64_t tolerance_ns,
                                             int64_t patience_ns) {
    auto matcher = std::make_unique<FrameSetMatcher>(cameras, tolerance_ns, patience_ns);
    if (!matcher->valid())
        throw py::value_error(
            "a frame-set matcher needs at least one camera and a tolerance and patience of 0 ns "
            "or more");
    return matcher;
}

void addFrame(FrameSetMatcher& matcher, uint32_t camera, int64_t host_ns, uint64_t id) {
    if (camera >= matcher.cameras())
        throw py::value_error("camera " + std::to_string(camera) +
                              " is out of range (the matcher has " +
                              std::to_string(matcher.cameras()) + " cameras)");
    if (matcher.add(camera, host_ns, id) != QuorvanSuccess)
        throw py::value_error("camera " + std::to_string(camera) +
                              ": frames must come in the order of their host timestamps");
}

}  // namespace

void init_host_time(py::module_& m) {
    py::class_<HostTime> host_time(
        m, "QuorvanHostTime",
        R"doc(When a frame was captured on the host's clocks, mapped from the sensor's own
timestamp: monotonic_ns (CLOCK_MONOTONIC, as time.monotonic_ns()), realtime_ns
(CLOCK_REALTIME, as time.time_ns()), the estimated drift of the sensor's clock in
parts per million, and whether the mapping has finished warming up.)doc");
    host_time.def_readonly("monotonic_ns", &HostTime::monotonic_ns)
        .def_readonly("realtime_ns", &HostTime::realtime_ns)
        .def_readonly("drift_ppm", &HostTime::drift_ppm)
        .def_readonly("settled", &HostTime::settled)
        .def("__repr__", &propertiesRepr);

    auto frame = py::reinterpret_borrow<py::class_<FrameHandle>>(m.attr("QuorvanFrame"));
    frame
        .def("getHostTime", &hostTimeOf,
             "When this frame was captured on the host's clocks (see QuorvanHostTime).")
        .def(
            "getHostTimestampNs",
            [](const FrameHandle& self) { return hostTimeOf(self).monotonic_ns; },
            "Capture time on the host's monotonic clock (time.monotonic_ns()), nanoseconds.")
        .def(
            "getHostRealtimeNs",
            [](const FrameHandle& self) { return hostTimeOf(self).realtime_ns; },
            "Capture time on the host's real-time clock (time.time_ns()), nanoseconds.")
        .def(
            "getDeviceTimestamp",
            [](const FrameHandle& self) {
                FrameDataFormat format{};
                QuorvanFrameBuffer* buffer = self.readable().buffer;
                if (buffer->getFormat(FrameType::RAW, format) != QuorvanSuccess)
                    buffer->getFormat(FrameType::DEPTH, format);
                return format.timestamp;
            },
            "The sensor's own timestamp of this frame (milliseconds of its clock).");

    py::class_<FrameSetMember> member(m, "QuorvanFrameSetMember",
                                      "One frame of a set: its camera, host time and the id it "
                                      "was added with.");
    member.def_readonly("camera", &FrameSetMember::camera)
        .def_readonly("host_ns", &FrameSetMember::host_ns)
        .def_readonly("id", &FrameSetMember::id)
        .def("__repr__", [](const FrameSetMember& f) {
            return py::str("QuorvanFrameSetMember(camera={}, host_ns={}, id={})")
                .format(f.camera, f.host_ns, f.id);
        });

    py::class_<FrameSetMatcher> matcher(
        m, "QuorvanFrameSetMatcher",
        R"doc(Groups frames of several cameras into sets whose host timestamps lie within
tolerance_ns of each other. Add each camera's frames in the order of their host
timestamps; takeSets() returns the completed sets (one member per camera, in
camera order), takeUnmatched() the frames that can no longer be part of a set or
waited more than patience_ns (of host time of the newest frame) for partners.
Every frame ends up exactly once in one of the two.)doc");
    matcher
        .def(py::init(&makeMatcher), "cameras"_a, "tolerance_ns"_a,
             "patience_ns"_a = FrameSetMatcher::kDefaultPatienceNs)
        .def_static("defaultTolerance", &FrameSetMatcher::defaultTolerance, "frame_rate"_a,
                    "Half a frame period at frame_rate, in nanoseconds.")
        .def_property_readonly("cameras", &FrameSetMatcher::cameras)
        .def_property_readonly("tolerance_ns", &FrameSetMatcher::tolerance)
        .def("add", &addFrame, "camera"_a, "host_ns"_a, "id"_a,
             "Adds a frame; ValueError for a camera out of range or a host time before "
             "that camera's previous frame.")
        .def("flush", &FrameSetMatcher::flush, "Every frame still waiting becomes unmatched.")
        .def("takeSets", &FrameSetMatcher::takeSets)
        .def("takeUnmatched", &FrameSetMatcher::takeUnmatched)
        .def("pending", &FrameSetMatcher::pending, "Frames waiting for partners.");
}

}  // namespace Quorvan::python

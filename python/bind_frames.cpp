// Frame classes. Each plane accessor returns a new array holding a copy of
// the plane, so the array stays valid after releaseFrame and writing to it
// never touches the camera's buffer.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <stdexcept>

#include "bindings.h"
#include "frame_handle.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Copies `plane`, shaped by the format of `format_plane` (the depth format
// shapes all three float planes).
template <typename Sample>
py::array_t<Sample> copyPlane(const FrameHandle& frame, FrameType plane, FrameType format_plane,
                              const char* missing_plane_message) {
    FrameDataFormat format{};
    {
        ReadableFrame readable = frame.readable();
        if (readable.buffer->getData(plane) == nullptr) {
            throw std::runtime_error(missing_plane_message);
        }
        readable.buffer->getFormat(format_plane, format);
    }
    // Allocating the array may run arbitrary Python code (garbage collection,
    // finalizers) that could release the frame or drop the camera, so the
    // frame is checked again after it and nothing Python runs during the copy.
    py::array_t<Sample> array(
        {static_cast<py::ssize_t>(format.height), static_cast<py::ssize_t>(format.width)});
    ReadableFrame readable = frame.readable();
    const void* samples = readable.buffer->getData(plane);
    std::memcpy(array.mutable_data(), samples, static_cast<size_t>(array.size()) * sizeof(Sample));
    return array;
}

FrameDataFormat formatOf(const FrameHandle& frame, FrameType type) {
    FrameDataFormat format{};
    frame.readable().buffer->getFormat(type, format);
    return format;
}

// XYZ of every pixel through the camera's intrinsics, shaped (height, width, 3).
py::array_t<float> pointCloud(const FrameHandle& frame) {
    const FrameDataFormat format = formatOf(frame, FrameType::DEPTH);
    // Allocated before the frame is read, for the reason copyPlane gives.
    py::array_t<float> xyz({static_cast<py::ssize_t>(format.height),
                            static_cast<py::ssize_t>(format.width), py::ssize_t{3}});
    ReadableFrame readable = frame.readable();
    if (readable.camera->getPointCloud(readable.buffer, xyz.mutable_data()) != QuorvanSuccess) {
        throw std::runtime_error("this frame has no depth plane to deproject");
    }
    return xyz;
}

}  // namespace

void init_frames(py::module_& m) {
    py::class_<FrameHandle> frame(m, "QuorvanFrame");
    py::class_<RawFrameHandle, FrameHandle> raw(m, "RawData");
    py::class_<DepthFrameHandle, FrameHandle> depth(m, "DepthData");

    // The plane accessors take the common base, so a frame of the other kind
    // can be passed explicitly through the class; it lacks the plane and is
    // refused with RuntimeError rather than read as an empty array.
    raw.def(
           "getRawData",
           [](const FrameHandle& self) {
               return copyPlane<int16_t>(self, FrameType::RAW, FrameType::RAW,
                                         "this frame has no raw plane; it is not a RawData frame");
           },
           "Get raw data from the frame")
        .def(
            "getFrameFormat",
            [](const RawFrameHandle& self) { return formatOf(self, FrameType::RAW); },
            "Get the information of this frame");

    // The three planes of a depth frame, read alike.
    auto depthPlane = [](FrameType plane) {
        return [plane](const FrameHandle& self) {
            return copyPlane<float>(self, plane, FrameType::DEPTH,
                                    "this frame has no depth planes; it is not a DepthData frame");
        };
    };
    depth.def("getDepthData", depthPlane(FrameType::DEPTH), "Get depth data from the frame")
        .def("getConfidenceData", depthPlane(FrameType::CONFIDENCE),
             "Get confidence data from the frame")
        .def("getAmplitudeData", depthPlane(FrameType::AMPLITUDE),
             "Get amplitude data from the frame")
        .def(
            "getFrameFormat",
            [](const DepthFrameHandle& self) { return formatOf(self, FrameType::DEPTH); },
            "Get the information of this frame");
}

void init_frame_additions(py::module_& m) {
    auto frame = py::reinterpret_borrow<py::class_<FrameHandle>>(m.attr("QuorvanFrame"));
    auto depth =
        py::reinterpret_borrow<py::class_<DepthFrameHandle, FrameHandle>>(m.attr("DepthData"));
    frame
        .def(
            "getSequence",
            [](const FrameHandle& self) { return self.readable().buffer->getSequence(); },
            R"doc(Number of this frame's capture since start (the first is 0); gaps show frames
that were overwritten or skipped before anyone took them.)doc")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__",
            [](const FrameHandle& self, const py::object&, const py::object&, const py::object&) {
                self.releaseIfHeld();
            },
            "exc_type"_a.none(true), "exc_value"_a.none(true), "traceback"_a.none(true));
    // `with frame:` above gives the frame back on leaving, unless it already was.

    depth.def("getPointCloud", &pointCloud,
              R"doc(XYZ in millimetres through the camera's intrinsics: float32 of shape
(height, width, 3), NaN where the pixel has no valid depth.)doc");
}

}  // namespace Quorvan::python

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
    py::array_t<Sample> array({static_cast<py::ssize_t>(format.height),
                               static_cast<py::ssize_t>(format.width)});
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

    constexpr const char* kNoDepthPlanes =
        "this frame has no depth planes; it is not a DepthData frame";
    depth
        .def(
            "getDepthData",
            [=](const FrameHandle& self) {
                return copyPlane<float>(self, FrameType::DEPTH, FrameType::DEPTH, kNoDepthPlanes);
            },
            "Get depth data from the frame")
        .def(
            "getConfidenceData",
            [=](const FrameHandle& self) {
                return copyPlane<float>(self, FrameType::CONFIDENCE, FrameType::DEPTH,
                                        kNoDepthPlanes);
            },
            "Get confidence data from the frame")
        .def(
            "getAmplitudeData",
            [=](const FrameHandle& self) {
                return copyPlane<float>(self, FrameType::AMPLITUDE, FrameType::DEPTH,
                                        kNoDepthPlanes);
            },
            "Get amplitude data from the frame")
        .def(
            "getFrameFormat",
            [](const DepthFrameHandle& self) { return formatOf(self, FrameType::DEPTH); },
            "Get the information of this frame");
}

}  // namespace Quorvan::python

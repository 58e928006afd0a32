// QuorvanMessageEncoder and QuorvanDepthCodec: the native ROS 2 message
// encoders and the lossless depth codec. Every message comes back as one
// bytes object that the encoder wrote in place (no copy after encoding), so
// it goes to an MCAP writer or a Zenoh publisher as it is; bytes also give
// memoryview access. The encoders let the interpreter lock go while they
// copy or compress, so other sinks' threads keep running.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.h"
#include "pinhole_rays.h"
#include "quorvan/intrinsics.h"
#include "quorvan/point_cloud.h"
#include "ros/compressed_depth.h"
#include "ros/optical_depth.h"
#include "ros/ros_messages.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// Hold nothing: the module has no functions, so these are classes of static
// methods.
struct MessageEncoderNamespace {};
struct DepthCodecNamespace {};

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using Roi = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, bool>;

// A bytes object of `size` bytes, uninitialised: the encoder writes it.
py::bytes newBytes(std::size_t size, uint8_t** data) {
    PyObject* object = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (object == nullptr)
        throw py::error_already_set();
    *data = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(object));
    return py::reinterpret_steal<py::bytes>(object);
}

void check(ros::MessageStatus status) {
    if (status != ros::MessageStatus::Ok)
        throw py::value_error(ros::messageStatusText(status));
}

// Sizes the message, allocates it once and lets `encode` fill it without the
// interpreter lock.
template <class Encode>
py::bytes encodeMessage(std::size_t size, Encode encode) {
    if (size == 0)
        throw py::value_error(ros::messageStatusText(ros::MessageStatus::TooLarge));
    uint8_t* data = nullptr;
    py::bytes message = newBytes(size, &data);
    ros::MessageStatus status;
    {
        py::gil_scoped_release unlocked;
        status = encode(data, size);
    }
    check(status);
    return message;
}

uint32_t dimension(py::ssize_t extent) {
    if (extent < 0 || static_cast<uint64_t>(extent) > std::numeric_limits<uint32_t>::max())
        throw py::value_error("an image dimension does not fit 32 bits");
    return static_cast<uint32_t>(extent);
}

// A C-contiguous plane of samples and the array that owns them.
struct PlaneArgument {
    py::array samples;
    ros::ImagePlane plane;
};

PlaneArgument imagePlane(const py::array& input) {
    PlaneArgument argument;
    if (input.dtype().equal(py::dtype::of<int16_t>()))
        argument.plane.type = ros::SampleType::Int16;
    else if (input.dtype().equal(py::dtype::of<uint16_t>()))
        argument.plane.type = ros::SampleType::Uint16;
    else if (input.dtype().equal(py::dtype::of<float>()))
        argument.plane.type = ros::SampleType::Float32;
    else
        throw py::value_error("no image encoding for samples of type " +
                              std::string(py::str(input.dtype())));
    // A stack of sub-frames is one image of all their rows.
    if (input.ndim() != 2 && input.ndim() != 3)
        throw py::value_error("an image needs a 2-D plane (or a 3-D stack of planes)");
    argument.samples = py::array::ensure(input, py::array::c_style);
    const py::array& samples = argument.samples;
    const py::ssize_t rows =
        samples.ndim() == 3 ? samples.shape(0) * samples.shape(1) : samples.shape(0);
    argument.plane.height = dimension(rows);
    argument.plane.width = dimension(samples.shape(samples.ndim() - 1));
    argument.plane.samples = samples.data();
    return argument;
}

// 16-bit millimetres from a uint16 plane as it is, or from float millimetres.
struct DepthArgument {
    py::array_t<uint16_t, py::array::c_style> owner;
    ros::DepthPlane plane;
};

DepthArgument depthPlane(const py::array& input) {
    if (input.ndim() != 2 || input.shape(0) < 1 || input.shape(1) < 1)
        throw py::value_error("depth must be a non-empty 2-D array");
    DepthArgument argument;
    if (input.dtype().equal(py::dtype::of<uint16_t>())) {
        argument.owner = py::array_t<uint16_t, py::array::c_style>::ensure(input);
    } else if (input.dtype().equal(py::dtype::of<float>())) {
        FloatArray millimetres = FloatArray::ensure(input);
        argument.owner =
            py::array_t<uint16_t, py::array::c_style>({millimetres.shape(0), millimetres.shape(1)});
        ros::depthToMillimetres16(millimetres.data(), static_cast<std::size_t>(millimetres.size()),
                                  argument.owner.mutable_data());
    } else {
        throw py::value_error("depth must be uint16 or float32 millimetres, not " +
                              std::string(py::str(input.dtype())));
    }
    argument.plane.millimetres = argument.owner.data();
    argument.plane.height = dimension(argument.owner.shape(0));
    argument.plane.width = dimension(argument.owner.shape(1));
    return argument;
}

// Any C-contiguous buffer, seen as bytes, released on scope exit.
class ByteView {
public:
    explicit ByteView(const py::buffer& object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0)
            throw py::error_already_set();
    }
    ~ByteView() { PyBuffer_Release(&view_); }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;

    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

std::array<double, 9> matrix9(const std::vector<double>& values, const char* name) {
    std::array<double, 9> matrix{};
    if (values.size() != matrix.size())
        throw py::value_error(std::string(name) + " needs 9 values (a 3x3 matrix by rows)");
    std::copy(values.begin(), values.end(), matrix.begin());
    return matrix;
}

// The rays of one camera, built once, turning its radial depth into ROS's Z
// depth and back.
class OpticalDepth {
public:
    explicit OpticalDepth(const CameraIntrinsics& intrinsics) : rays_(intrinsics) {}

    FloatArray metres(const FloatArray& radial_mm) const {
        return convert<float>(radial_mm, ros::opticalDepthMetres);
    }
    py::array_t<uint16_t> millimetres(const FloatArray& radial_mm) const {
        return convert<uint16_t>(radial_mm, ros::opticalDepthMillimetres);
    }
    FloatArray radialMillimetres(const FloatArray& z_m) const {
        return convert<float>(z_m, ros::radialDepthFromOpticalMetres);
    }
    const CameraIntrinsics& intrinsics() const { return rays_.intrinsics(); }

private:
    template <class Out, class Convert>
    py::array_t<Out> convert(const FloatArray& plane, Convert conversion) const {
        rays_.requireImageShape(plane);
        py::array_t<Out> out({plane.shape(0), plane.shape(1)});
        Out* target = out.mutable_data();
        ros::MessageStatus status;
        {
            py::gil_scoped_release unlocked;
            status = conversion(rays_.table(), plane.data(), rays_.table().pixelCount(), target);
        }
        check(status);
        return out;
    }

    PinholeRays rays_;
};

}  // namespace

void init_messages(py::module_& m) {
    py::class_<MessageEncoderNamespace> encoder(m, "QuorvanMessageEncoder", R"doc(
ROS 2 messages as CDR bytes (little-endian, with the encapsulation header),
written from the arrays in one pass. Stamps are header.stamp's seconds and
nanoseconds.)doc");
    py::class_<DepthCodecNamespace> codec(m, "QuorvanDepthCodec", R"doc(
Lossless RVL compression of 16-bit millimetre depth, in the layout of ROS's
compressed-depth transport (the data of a "16UC1; compressedDepth rvl"
CompressedImage).)doc");

    py::class_<OpticalDepth> optical(m, "QuorvanOpticalDepth", R"doc(
Depth as ROS tools read it (REP 118): the camera's distance along each pixel's
ray turned into Z along the optical axis, with the rays of the SDK's point
cloud, so that x = (u - cx) z / fx gives back the SDK's points.)doc");
    optical.def(py::init<const CameraIntrinsics&>(), "intrinsics"_a)
        .def("metres", &OpticalDepth::metres, "radial_mm"_a,
             R"doc(Z in metres, float32 (a 32FC1 image), from radial millimetres; NaN where the
camera has no depth (0, negative or not finite).)doc")
        .def("millimetres", &OpticalDepth::millimetres, "radial_mm"_a,
             R"doc(Z in whole millimetres, uint16 (a 16UC1 image), from radial millimetres; 0
where the camera has no depth or Z exceeds 65535 mm.)doc")
        .def("radialMillimetres", &OpticalDepth::radialMillimetres, "z_m"_a,
             R"doc(The camera's radial millimetres from Z in metres; 0 where Z is NaN or not
positive.)doc")
        .def("getIntrinsics", &OpticalDepth::intrinsics,
             R"doc(The model the rays were built from.)doc");

    encoder.attr("COMPRESSED_DEPTH_FORMAT") = std::string(ros::kCompressedDepthFormat);
    encoder
        .def_static(
            "image",
            [](const py::array& plane, int32_t stamp_sec, uint32_t stamp_nanosec,
               const std::string& frame_id) {
                PlaneArgument argument = imagePlane(plane);
                const ros::MessageHeader header{stamp_sec, stamp_nanosec, frame_id};
                return encodeMessage(ros::imageMessageSize(header, argument.plane),
                                     [&](uint8_t* out, std::size_t size) {
                                         return ros::encodeImage(header, argument.plane, out, size);
                                     });
            },
            "plane"_a, "stamp_sec"_a, "stamp_nanosec"_a, "frame_id"_a,
            R"doc(sensor_msgs/msg/Image of an int16 (16SC1), uint16 (16UC1) or float32 (32FC1)
plane; a 3-D stack of planes becomes one image of all their rows.)doc")
        .def_static(
            "cameraInfo",
            [](uint32_t width, uint32_t height, const std::string& distortion_model,
               const std::vector<double>& d, const std::vector<double>& k,
               const std::vector<double>& r, const std::vector<double>& p, int32_t stamp_sec,
               uint32_t stamp_nanosec, const std::string& frame_id, uint32_t binning_x,
               uint32_t binning_y, const Roi& roi) {
                ros::CameraInfoFields info;
                info.width = width;
                info.height = height;
                info.distortion_model = distortion_model;
                info.d = d.data();
                info.d_count = d.size();
                info.k = matrix9(k, "k");
                info.r = matrix9(r, "r");
                if (p.size() != info.p.size())
                    throw py::value_error("p needs 12 values (a 3x4 matrix by rows)");
                std::copy(p.begin(), p.end(), info.p.begin());
                info.binning_x = binning_x;
                info.binning_y = binning_y;
                info.roi = {std::get<0>(roi), std::get<1>(roi), std::get<2>(roi), std::get<3>(roi),
                            std::get<4>(roi)};
                const ros::MessageHeader header{stamp_sec, stamp_nanosec, frame_id};
                return encodeMessage(ros::cameraInfoMessageSize(header, info),
                                     [&](uint8_t* out, std::size_t size) {
                                         return ros::encodeCameraInfo(header, info, out, size);
                                     });
            },
            "width"_a, "height"_a, "distortion_model"_a, "d"_a, "k"_a, "r"_a, "p"_a, "stamp_sec"_a,
            "stamp_nanosec"_a, "frame_id"_a, "binning_x"_a = 0, "binning_y"_a = 0,
            "roi"_a = Roi{0, 0, 0, 0, false},
            R"doc(sensor_msgs/msg/CameraInfo; roi is (x_offset, y_offset, height, width, do_rectify).)doc")
        .def_static(
            "compressedImage",
            [](const std::string& format, const py::buffer& data, int32_t stamp_sec,
               uint32_t stamp_nanosec, const std::string& frame_id) {
                ByteView bytes(data);
                const ros::MessageHeader header{stamp_sec, stamp_nanosec, frame_id};
                return encodeMessage(ros::compressedImageMessageSize(header, format, bytes.size()),
                                     [&](uint8_t* out, std::size_t size) {
                                         return ros::encodeCompressedImage(
                                             header, format, bytes.data(), bytes.size(), out, size);
                                     });
            },
            "format"_a, "data"_a, "stamp_sec"_a, "stamp_nanosec"_a, "frame_id"_a,
            R"doc(sensor_msgs/msg/CompressedImage of data compressed elsewhere (any buffer).)doc")
        .def_static(
            "compressedDepth",
            [](const py::array& depth, int32_t stamp_sec, uint32_t stamp_nanosec,
               const std::string& frame_id) {
                DepthArgument argument = depthPlane(depth);
                const ros::MessageHeader header{stamp_sec, stamp_nanosec, frame_id};
                std::size_t size = 0;
                {
                    py::gil_scoped_release unlocked;
                    size = ros::compressedDepthMessageSize(header, argument.plane);
                }
                return encodeMessage(size, [&](uint8_t* out, std::size_t capacity) {
                    return ros::encodeCompressedDepth(header, argument.plane, out, capacity);
                });
            },
            "depth"_a, "stamp_sec"_a, "stamp_nanosec"_a, "frame_id"_a,
            R"doc(sensor_msgs/msg/CompressedImage of "16UC1; compressedDepth rvl": lossless depth
from uint16 millimetres, or from float32 millimetres rounded, 0 where invalid (NaN, <= 0, > 65535).)doc")
        .def_static(
            "pointCloud",
            [](const FloatArray& points, int32_t stamp_sec, uint32_t stamp_nanosec,
               const std::string& frame_id, bool is_dense) {
                if (points.ndim() != 3 || points.shape(2) != 3)
                    throw py::value_error("points must have the shape (height, width, 3)");
                const ros::PointCloudPlane cloud{points.data(), dimension(points.shape(1)),
                                                 dimension(points.shape(0)), is_dense};
                const ros::MessageHeader header{stamp_sec, stamp_nanosec, frame_id};
                return encodeMessage(ros::pointCloudMessageSize(header, cloud),
                                     [&](uint8_t* out, std::size_t size) {
                                         return ros::encodePointCloud(header, cloud, out, size);
                                     });
            },
            "points"_a, "stamp_sec"_a, "stamp_nanosec"_a, "frame_id"_a, "is_dense"_a = false,
            R"doc(sensor_msgs/msg/PointCloud2 of an organised cloud: float32 fields x, y, z.)doc");

    codec
        .def_static(
            "compress",
            [](const py::array& depth) {
                DepthArgument argument = depthPlane(depth);
                return encodeMessage(ros::compressedDepthDataSize(argument.plane),
                                     [&](uint8_t* out, std::size_t size) {
                                         return ros::compressDepth(argument.plane, out, size);
                                     });
            },
            "depth"_a,
            R"doc(The compressed data of uint16 millimetres, or of float32 millimetres rounded
(0 where invalid).)doc")
        .def_static(
            "decompress",
            [](const py::buffer& data) {
                ByteView bytes(data);
                uint32_t width = 0;
                uint32_t height = 0;
                ros::DepthDecodeStatus status =
                    ros::compressedDepthSize(bytes.data(), bytes.size(), &width, &height);
                if (status != ros::DepthDecodeStatus::Ok)
                    throw py::value_error(ros::depthDecodeStatusText(status));
                py::array_t<uint16_t> depth({py::ssize_t{height}, py::ssize_t{width}});
                uint16_t* out = depth.mutable_data();
                {
                    py::gil_scoped_release unlocked;
                    status = ros::decompressDepth(bytes.data(), bytes.size(), out,
                                                  std::size_t{width} * height);
                }
                if (status != ros::DepthDecodeStatus::Ok)
                    throw py::value_error(ros::depthDecodeStatusText(status));
                return depth;
            },
            "data"_a,
            R"doc(uint16 millimetres, shape (height, width), from compressed data; ValueError for
data that is truncated, corrupt or not compressed depth.)doc");
}

}  // namespace Quorvan::python

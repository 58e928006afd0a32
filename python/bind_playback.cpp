// QuorvanPlaybackCamera: a camera whose sensor is fed by the caller with raw
// frames read from a recording. It hands out the same RawData and DepthData
// frames as QuorvanCamera, computed by the same processing device.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "bindings.h"
#include "python_camera.h"
#include "quorvan/playback.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using RawPlane = py::array_t<int16_t, py::array::c_style>;

// The playback camera as Python sees it: a camera on a playback factory.
// The camera owns the lifecycle; like QuorvanCamera's, its calls keep the
// interpreter lock, which orders them against each other. Only the waits give
// it up: requestFrame (in PythonCamera) and pushRaw, so the feeder thread and
// the consumer never hold each other back.
class PlaybackCamera {
public:
    PlaybackCamera(uint32_t width, uint32_t height, uint32_t bit_width, uint32_t bpp)
        : factory_(std::make_shared<PlaybackBackendFactory>(
              PlaybackFormat{width, height, bit_width, bpp})),
          camera_(factory_) {}

    TofErrorCode open() { return camera_.open(Connection::USB, 0); }
    PythonCamera& camera() { return camera_; }

    TofErrorCode pushRaw(const RawPlane& raw, uint64_t timestamp, int32_t timeout) {
        const int16_t* const samples = raw.data();
        const auto count = static_cast<size_t>(raw.size());
        // The array stays referenced by this call's argument while the lock
        // is given up. Taken back by a plain call, as in QuorvanCamera's
        // requestFrame: a daemon feeder at interpreter exit is ended by an
        // unwind, which a guard's destructor would turn into std::terminate.
        PyThreadState* const thread_state = PyEval_SaveThread();
        const TofErrorCode pushed = factory_->pushRaw(samples, count, timestamp, timeout);
        PyEval_RestoreThread(thread_state);
        return pushed;
    }

    TofErrorCode setCaptureSize(uint32_t width, uint32_t height) {
        return factory_->setCaptureSize(width, height);
    }
    void clear() { factory_->clearQueued(); }
    size_t queued() const { return factory_->queued(); }

private:
    std::shared_ptr<PlaybackBackendFactory> factory_;
    PythonCamera camera_;
};

// A method of the camera inside, as a method of the playback camera.
template <typename Return, typename... Args>
auto onCamera(Return (PythonCamera::*method)(Args...)) {
    return
        [method](PlaybackCamera& self, Args... args) { return (self.camera().*method)(args...); };
}

template <typename Return, typename... Args>
auto onCamera(Return (PythonCamera::*method)(Args...) const) {
    return
        [method](PlaybackCamera& self, Args... args) { return (self.camera().*method)(args...); };
}

constexpr const char* kInitDoc =
    "A camera that plays recorded raw frames: width, height, bit_width and bpp are the "
    "recorded sensor's (QuorvanInfo of the recording camera).";
constexpr const char* kPushDoc =
    "Hand one recorded raw frame (RawData.getRawData() as recorded, int16) to the camera, "
    "waiting up to timeout ms for room. QuorvanInvalidParameter when the plane does not fit "
    "the camera, QuorvanUnkownError when not streaming or on timeout.";

}  // namespace

void init_playback(py::module_& m) {
    py::class_<PlaybackCamera> playback(m, "QuorvanPlaybackCamera");
    playback
        .def(py::init<uint32_t, uint32_t, uint32_t, uint32_t>(), "width"_a, "height"_a,
             "bit_width"_a, "bpp"_a, kInitDoc)
        .def("open", &PlaybackCamera::open, "Open the camera on the recorded sensor.")
        .def("close", onCamera(&PythonCamera::close), "Close the camera.")
        .def("start", onCamera(&PythonCamera::start), "type"_a,
             "Start the stream and processing; frames come as raw frames are pushed.")
        .def("stop", onCamera(&PythonCamera::stop),
             "Stop the stream; queued raw frames are dropped.")
        .def("setControl", onCamera(&PythonCamera::setControl), "ctrl"_a, "value"_a,
             "Set a camera parameter (as the recording camera had it).")
        .def("getControl", onCamera(&PythonCamera::getControl), "ctrl"_a, "Get a camera parameter.")
        .def("getCameraInfo", onCamera(&PythonCamera::getCameraInfo), "Get camera information.")
        .def("requestFrame", onCamera(&PythonCamera::requestFrame), "timeout"_a,
             "Request the next processed frame; None after timeout ms. Waits without the "
             "interpreter lock.")
        .def("releaseFrame", onCamera(&PythonCamera::releaseFrame), "frame"_a.none(true),
             "Free the memory space of the frame.")
        .def("pushRaw", &PlaybackCamera::pushRaw, "raw"_a, "timestamp"_a, "timeout"_a, kPushDoc)
        .def("setCaptureSize", &PlaybackCamera::setCaptureSize, "width"_a, "height"_a,
             "The raw capture size from the next start on (after a recorded layout change). "
             "QuorvanUnkownError while streaming.")
        .def("clearQueue", &PlaybackCamera::clear,
             "Drop raw frames pushed but not yet processed (after a seek).")
        .def("queuedRaw", &PlaybackCamera::queued, "Raw frames pushed but not yet processed.");
}

}  // namespace Quorvan::python

// QuorvanPlaybackCamera: a camera whose sensor is fed by the caller with raw
// frames read from a recording. It hands out the same RawData and DepthData
// frames as QuorvanCamera, computed by the same processing device.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "bindings.h"
#include "python_camera.h"
#include "quorvan/playback.h"

namespace Quorvan::python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using RawPlane = py::array_t<int16_t, py::array::c_style>;

class PlaybackCamera {
public:
    PlaybackCamera(uint32_t width, uint32_t height, uint32_t bit_width, uint32_t bpp)
        : factory_(std::make_shared<PlaybackBackendFactory>(
              PlaybackFormat{width, height, bit_width, bpp})),
          camera_(factory_) {}

    // Raw frames come from a Python thread, so the lifecycle calls (a start
    // waits for the feed) run without the interpreter lock, kept apart from
    // each other by lifecycle_. requestFrame waits without the lock too, as
    // QuorvanCamera's does, and a stop on another thread ends that wait.
    TofErrorCode open() {
        return unlocked([this] { return native().open(Connection::USB, 0); });
    }
    TofErrorCode close() {
        return unlocked([this] { return native().close(); });
    }
    TofErrorCode start(FrameType type) {
        return unlocked([this, type] { return native().start(type); });
    }
    TofErrorCode stop() {
        return unlocked([this] { return native().stop(); });
    }
    py::object requestFrame(int16_t timeout) { return camera_.requestFrame(timeout); }
    TofErrorCode releaseFrame(const FrameHandle* frame) { return camera_.releaseFrame(frame); }
    PythonCamera& camera() { return camera_; }

    // Converts the plane while holding the interpreter lock, then waits for
    // room in the feed without it, so the capture thread's frames and other
    // Python threads keep moving.
    TofErrorCode pushRaw(const RawPlane& raw, uint64_t timestamp, int32_t timeout) {
        const size_t cache_samples = factory_->feed().samplesPerCapture();
        if (cache_samples == 0)
            return QuorvanUnkownError;  // not started
        cache_.resize(cache_samples);
        const DeviceType device = camera_.getCameraInfo().device_type;
        if (!rawPlaneToCache(device, raw.data(), static_cast<size_t>(raw.size()), cache_.data(),
                             cache_.size()))
            return QuorvanInvalidParameter;
        // Taken back by a plain call, as in QuorvanCamera's requestFrame: a
        // daemon feeder at interpreter exit is ended by an unwind, which a
        // guard's destructor would turn into std::terminate.
        PyThreadState* const thread_state = PyEval_SaveThread();
        const TofErrorCode pushed =
            factory_->feed().push(cache_.data(), cache_.size(), timestamp, timeout);
        PyEval_RestoreThread(thread_state);
        return pushed;
    }

    void clear() { factory_->feed().clear(); }
    size_t queued() const { return factory_->feed().queued(); }

private:
    QuorvanTOFCamera& native() { return camera_.native(); }

    template <typename Call>
    auto unlocked(Call call) -> decltype(call()) {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> lock(lifecycle_);
        return call();
    }

    std::mutex lifecycle_;
    std::shared_ptr<PlaybackBackendFactory> factory_;
    PythonCamera camera_;
    std::vector<uint16_t> cache_;
};

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
        .def("close", &PlaybackCamera::close, "Close the camera.")
        .def("start", &PlaybackCamera::start, "type"_a,
             "Start the stream and processing; frames come as raw frames are pushed.")
        .def("stop", &PlaybackCamera::stop, "Stop the stream; queued raw frames are dropped.")
        .def(
            "setControl",
            [](PlaybackCamera& self, CameraCtrl control, int32_t value) {
                return self.camera().setControl(control, value);
            },
            "ctrl"_a, "value"_a, "Set a camera parameter (as the recording camera had it).")
        .def(
            "getControl",
            [](PlaybackCamera& self, CameraCtrl control) {
                return self.camera().getControl(control);
            },
            "ctrl"_a, "Get a camera parameter.")
        .def(
            "getCameraInfo",
            [](const PlaybackCamera& self) {
                return const_cast<PlaybackCamera&>(self).camera().getCameraInfo();
            },
            "Get camera information.")
        .def("requestFrame", &PlaybackCamera::requestFrame, "timeout"_a,
             "Request the next processed frame; None after timeout ms. Waits without the "
             "interpreter lock.")
        .def("releaseFrame", &PlaybackCamera::releaseFrame, "frame"_a.none(true),
             "Free the memory space of the frame.")
        .def("pushRaw", &PlaybackCamera::pushRaw, "raw"_a, "timestamp"_a, "timeout"_a, kPushDoc)
        .def("clearQueue", &PlaybackCamera::clear,
             "Drop raw frames pushed but not yet processed (after a seek).")
        .def("queuedRaw", &PlaybackCamera::queued, "Raw frames pushed but not yet processed.");
}

}  // namespace Quorvan::python

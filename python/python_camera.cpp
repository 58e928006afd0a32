#include "python_camera.h"

#include <algorithm>
#include <utility>

#include "camera/camera_internals.h"

namespace Quorvan::python {

py::object FrameObjectRegistry::find(const QuorvanFrameBuffer* buffer, uint64_t pool_generation) {
    if (pool_generation != pool_generation_) {
        entries_.clear();
        pool_generation_ = pool_generation;
    }
    auto entry = std::find_if(entries_.begin(), entries_.end(),
                              [buffer](const Entry& e) { return e.buffer == buffer; });
    if (entry == entries_.end()) {
        return py::none();
    }
    return entry->object();  // None once the Python object has died
}

void FrameObjectRegistry::remember(const QuorvanFrameBuffer* buffer, const py::object& object) {
    auto entry = std::find_if(entries_.begin(), entries_.end(),
                              [buffer](const Entry& e) { return e.buffer == buffer; });
    if (entry != entries_.end()) {
        entry->object = py::weakref(object);
    } else {
        entries_.push_back(Entry{buffer, py::weakref(object)});
    }
}

PythonCamera::PythonCamera() : camera_(std::make_shared<QuorvanTOFCamera>()) {}

PythonCamera::PythonCamera(std::shared_ptr<BackendFactory> factory)
    : camera_(std::make_shared<QuorvanTOFCamera>(std::move(factory))) {}

TofErrorCode PythonCamera::open(Connection mode, int32_t index) {
    return camera_->open(mode, index);
}

TofErrorCode PythonCamera::openWithFile(const PathArgument& path, int32_t index) {
    return camera_->openWithFile(path.c_str(), index);
}

TofErrorCode PythonCamera::close() {
    return camera_->close();
}

TofErrorCode PythonCamera::start(FrameType type) {
    return camera_->start(type);
}

TofErrorCode PythonCamera::stop() {
    return camera_->stop();
}

TofErrorCode PythonCamera::setControl(CameraCtrl control, int32_t value) {
    return camera_->setControl(control, value);
}

int32_t PythonCamera::getControl(CameraCtrl control) {
    // The status is dropped on purpose: Python callers get the value only, and
    // a failed read leaves the holder at 0 unless the failing path wrote it.
    int32_t value = 0;
    camera_->getControl(control, &value);
    return value;
}

CameraInfo PythonCamera::getCameraInfo() const {
    return camera_->getCameraInfo();
}

namespace {

// Polled while requestFrame waits without the interpreter lock: runs the
// interpreter's signal handlers, so Ctrl-C raises KeyboardInterrupt in the
// main thread. The exception stays set and ends the wait.
bool interpreterInterrupted(void*) {
    py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() != 0;
}

}  // namespace

py::object PythonCamera::requestFrame(int16_t timeout) {
    QuorvanFrameBuffer* buffer = nullptr;
    uint64_t pool_generation = 0;
    if (timeout == 0 || !CameraInternals::framesMayArrive(*camera_)) {
        // Nothing to wait for, so the lock is kept: a daemon thread that calls
        // this in a loop after the exit hook stopped the camera must not try
        // to take the lock back while the interpreter is finalizing.
        buffer = CameraInternals::requestFrame(*camera_, 0, InterruptCheck{}, &pool_generation);
    } else {
        // The one call that gives up the interpreter lock: waiting with it
        // would freeze every other thread, including the ones that could
        // release the frames this wait is for. The lock is taken back by a
        // plain call, not a guard's destructor: a daemon thread that takes it
        // back while the interpreter finalizes is ended by an unwind, which a
        // destructor (implicitly noexcept) would turn into std::terminate.
        PyThreadState* const thread_state = PyEval_SaveThread();
        const InterruptCheck check{&interpreterInterrupted, nullptr};
        buffer = CameraInternals::requestFrame(*camera_, timeout, check, &pool_generation);
        PyEval_RestoreThread(thread_state);
    }
    if (PyErr_Occurred()) {
        if (buffer != nullptr)
            camera_->releaseFrame(buffer);
        throw py::error_already_set();
    }
    return wrapFrame(buffer, pool_generation);
}

py::object PythonCamera::wrapFrame(QuorvanFrameBuffer* buffer, uint64_t pool_generation) {
    if (buffer == nullptr) {
        return py::none();
    }
    py::object known = frames_.find(buffer, pool_generation);
    if (!known.is_none()) {
        return known;
    }
    try {
        py::object fresh = py::cast(makeFrameHandle(camera_, buffer, pool_generation));
        frames_.remember(buffer, fresh);
        return fresh;
    } catch (...) {
        // Without a Python object nobody could ever give this buffer back, and
        // the pool would be a frame short for the rest of the stream.
        camera_->releaseFrame(buffer);
        throw;
    }
}

TofErrorCode PythonCamera::releaseFrame(const FrameHandle* frame) {
    QuorvanFrameBuffer* buffer = frame != nullptr ? frame->bufferFor(*camera_) : nullptr;
    return camera_->releaseFrame(buffer);
}

FrameStatistics PythonCamera::getStatistics() const {
    return camera_->getStatistics();
}

CameraIntrinsics PythonCamera::getIntrinsics() const {
    return camera_->getIntrinsics();
}

TofErrorCode PythonCamera::setIntrinsics(const CameraIntrinsics& intrinsics) {
    return camera_->setIntrinsics(intrinsics);
}

TofErrorCode PythonCamera::loadIntrinsics(const char* path) {
    return camera_->loadIntrinsics(path);
}

void PythonCamera::stopAndClose() {
    // Either call may find nothing to do (not streaming, never opened); the
    // statuses say so and are not an error of leaving the block.
    camera_->stop();
    camera_->close();
}

FrameIterator::FrameIterator(py::object camera, int16_t timeout)
    : camera_(std::move(camera)), timeout_(timeout) {}

FrameIterator::~FrameIterator() {
    // Runs with the interpreter lock held: pybind11 destroys the instance
    // from its deallocator.
    releaseCurrent();
}

void FrameIterator::releaseCurrent() {
    if (!current_) {
        return;
    }
    py::object frame = std::move(current_);
    current_ = py::object();
    frame.cast<const FrameHandle&>().releaseIfHeld();
}

py::object FrameIterator::next() {
    releaseCurrent();
    if (finished_) {
        throw py::stop_iteration();
    }
    py::object frame = camera_.cast<PythonCamera&>().requestFrame(timeout_);
    if (frame.is_none()) {
        // No frame in time: the stream has ended or stalled.
        finished_ = true;
        throw py::stop_iteration();
    }
    current_ = frame;
    return frame;
}

void FrameIterator::close() {
    releaseCurrent();
    finished_ = true;
}

}  // namespace Quorvan::python

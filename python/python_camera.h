// The camera as Python sees it: owns one native camera and remembers the
// Python objects of the frames it has handed out, so requesting a buffer whose
// Python object is still alive returns that same object.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "frame_handle.h"
#include "path_argument.h"
#include "quorvan/camera.h"
#include "quorvan/intrinsics.h"

namespace Quorvan::python {

namespace py = pybind11;

// Weak references to the Python frame objects of one pool. A pool has three
// buffers, so a short list beats a map. Touched only with the interpreter
// lock held.
class FrameObjectRegistry {
public:
    // The live Python object of `buffer` in pool `pool_generation`, or None.
    // Asking about a newer pool forgets every object of the older one.
    py::object find(const QuorvanFrameBuffer* buffer, uint64_t pool_generation);
    void remember(const QuorvanFrameBuffer* buffer, const py::object& object);

private:
    struct Entry {
        const QuorvanFrameBuffer* buffer;
        py::weakref object;
    };
    std::vector<Entry> entries_;
    uint64_t pool_generation_ = 0;
};

class PythonCamera {
public:
    PythonCamera();
    // A camera whose sensors and devices come from `factory` (playback).
    explicit PythonCamera(std::shared_ptr<BackendFactory> factory);

    TofErrorCode open(Connection mode, int32_t index);
    TofErrorCode openWithFile(const PathArgument& path, int32_t index);
    TofErrorCode close();
    TofErrorCode start(FrameType type);
    TofErrorCode stop();
    TofErrorCode setControl(CameraCtrl control, int32_t value);
    int32_t getControl(CameraCtrl control);
    CameraInfo getCameraInfo() const;
    // A RawData or DepthData object, or None when no frame came in time.
    py::object requestFrame(int16_t timeout);
    QuorvanTOFCamera& native() { return *camera_; }
    const QuorvanTOFCamera& nativeConst() const { return *camera_; }
    TofErrorCode releaseFrame(const FrameHandle* frame);

    FrameStatistics getStatistics() const;
    CameraIntrinsics getIntrinsics() const;
    TofErrorCode setIntrinsics(const CameraIntrinsics& intrinsics);
    TofErrorCode loadIntrinsics(const char* path);
    // What `with camera:` does on leaving: stop a running stream, then close.
    void stopAndClose();

private:
    // The Python object for a buffer of pool `pool_generation` (None for null).
    py::object wrapFrame(QuorvanFrameBuffer* buffer, uint64_t pool_generation);

    // Shared only so that frame handles can hold weak references; this object
    // is the one owner, and the camera goes when it goes.
    std::shared_ptr<QuorvanTOFCamera> camera_;
    FrameObjectRegistry frames_;
};

// QuorvanCamera.frames(timeout): yields frames until one does not come in
// time, giving each back when the next is taken, when the loop ends or when
// the iterator goes.
class FrameIterator {
public:
    FrameIterator(py::object camera, int16_t timeout);
    ~FrameIterator();
    FrameIterator(const FrameIterator&) = delete;
    FrameIterator& operator=(const FrameIterator&) = delete;

    py::object next();
    void close();

private:
    void releaseCurrent();

    py::object camera_;  // a PythonCamera, kept alive by the iterator
    py::object current_;
    int16_t timeout_;
    bool finished_ = false;
};

}  // namespace Quorvan::python

// QuorvanTOFCamera: the wiring between a camera's sensor, device and frame
// pool. The camera itself only sequences its collaborators; each of them does
// one job of its own:
//   BackendFactory   creates the sensor and the device for a connection;
//   CaptureThread    moves frames from the sensor through the device into
//                    the pool;
//   FramePool        hands frames to consumers (frame_pool_sizing.h builds
//                    it for an output type);
//   CaptureControls  keeps the skip pattern, the automatic frame-rate
//                    correction and the capture filters;
//   CameraOptics     keeps the intrinsics and the ray tables of point clouds.
#include "quorvan/camera.h"

#include <cstdio>

#include "camera/camera_internals.h"
#include "camera/camera_optics.h"
#include "camera/capture_controls.h"
#include "camera/capture_thread.h"
#include "camera/frame_pool.h"
#include "camera/frame_pool_sizing.h"
#include "camera/live_cameras.h"
#include "camera/reconnect_loop.h"
#include "device/range_modes.h"
#include "device/sensor_sizes.h"
#include "log/log.h"

namespace Quorvan {

QuorvanTOFCamera::QuorvanTOFCamera() : QuorvanTOFCamera(defaultBackendFactory()) {}

QuorvanTOFCamera::QuorvanTOFCamera(std::shared_ptr<BackendFactory> backends)
    : factory(backends ? std::move(backends) : defaultBackendFactory()),
      capture_controls(std::make_unique<CaptureControls>()),
      capture(std::make_unique<CaptureThread>(*this, *capture_controls)),
      optics(std::make_unique<CameraOptics>()) {
    platform = factory->detectPlatform();
    LiveCameras::add(this);
}

QuorvanTOFCamera::~QuorvanTOFCamera() {
    LiveCameras::remove(this);
    // The capture thread uses every member below; it must be gone first.
    if (isStreaming())
        stop();
    pool.reset();
    device.reset();
    sensor.reset();
}

TofErrorCode QuorvanTOFCamera::open(Connection connection, int32_t index) {
    // The running capture thread reads from the sensor that would be replaced.
    if (isStreaming())
        return QuorvanUnkownError;
    info.index = static_cast<uint32_t>(index);
    info.connect = connection;
    switch (connection) {
        case Connection::CSI: {
            char node_path[80];
            std::snprintf(node_path, sizeof(node_path), "/dev/video%d", index);
            return installAndOpenSensor(factory->createCSISensor(node_path, platform));
        }
        case Connection::USB:
            return installAndOpenSensor(factory->createUSBSensor("", static_cast<uint32_t>(index)));
        default:
            return QuorvanUnkownError;
    }
}

TofErrorCode QuorvanTOFCamera::openWithFile(const char* path, int32_t index) {
    if (path == nullptr || isStreaming())
        return QuorvanUnkownError;
    info.index = static_cast<uint32_t>(index);
    info.connect = Connection::USB;
    return installAndOpenSensor(factory->createUSBSensor(path, static_cast<uint32_t>(index)));
}

TofErrorCode QuorvanTOFCamera::installAndOpenSensor(std::unique_ptr<QuorvanTOFSensor> created) {
    if (!created) {
        QUORVAN_LOGF(Camera, Error,
                     "QuorvanTOFCamera: no sensor backend available for this connection");
        return QuorvanSystemError;
    }
    // The old device points at the old sensor; it must not outlive it, even
    // if the new sensor then fails to open.
    device.reset();
    sensor.swap(created);
    created.reset();
    const int result = sensor->open(*this);
    if (result != QuorvanSuccess)
        return static_cast<TofErrorCode>(result);
    return openPostHandle();
}

TofErrorCode QuorvanTOFCamera::openPostHandle() {
    if (!sensor || isStreaming())
        return QuorvanUnkownError;
    const bool hqvga = kHQVGASize.is(info.width, info.height);
    std::unique_ptr<QuorvanDevice> created;
    if (hqvga) {
        created = factory->createHQVGADevice(platform, kInitialRangeMode.modulation_frequency,
                                             kInitialRangeMode.millimetres);
    } else {
        created = factory->createVGADevice(platform, kVGAFullSize.width, kVGAFullSize.height);
    }
    if (!created) {
        QUORVAN_LOGF(Camera, Error,
                     "QuorvanTOFCamera: no processing device available for a %ux%u sensor",
                     info.width, info.height);
        return QuorvanUnkownError;
    }
    if (hqvga)
        sensor->subframe_count = kHQVGASubframes;
    device.swap(created);
    created.reset();
    info.device_type = hqvga ? HQVGA : VGA;
    return static_cast<TofErrorCode>(device->open(sensor.get()));
}

TofErrorCode QuorvanTOFCamera::start(FrameType type) {
    // A second start would restart the sensor under the running capture
    // thread; refuse it before touching anything.
    if (!sensor || !device || isStreaming())
        return QuorvanUnkownError;

    int32_t range = 0;
    getControl(CameraCtrl::RANGE, &range);
    setControl(CameraCtrl::RANGE, range);

    int result = device->configureSensor();
    if (result != QuorvanSuccess)
        return static_cast<TofErrorCode>(result);
    result = sensor->start();
    if (result != QuorvanSuccess) {
        // Some backends count a start they refused as started (the kit's
        // library, say); stopping is harmless for the others.
        sensor->stop();
        return static_cast<TofErrorCode>(result);
    }
    result = device->startProcessing();
    if (result != QuorvanSuccess)
        return undoStart(static_cast<TofErrorCode>(result));

    const CameraInfo format = sensor->getFormat();
    info.width = format.width;
    info.height = format.height;
    info.bit_width = format.bit_width;
    info.bpp = format.bpp;

    const TofErrorCode output = setOutputType(type);
    if (output != QuorvanSuccess)
        return undoStart(output);

    pool->beginStreaming();
    const TofErrorCode launched = capture->start({*sensor, *device, *pool, info.type});
    if (launched != QuorvanSuccess) {
        pool->endStreaming();
        return undoStart(launched);
    }
    return QuorvanSuccess;
}

TofErrorCode QuorvanTOFCamera::undoStart(TofErrorCode failure) {
    // A failed start must leave nothing started, or the next start finds the
    // sensor streaming and fails too, until close and open.
    device->stop();
    sensor->stop();
    return failure;
}

TofErrorCode QuorvanTOFCamera::stop() {
    // Wakes the capture thread from a wait for a node and every consumer from
    // a wait for a frame that can no longer come.
    if (isStreaming())
        pool->endStreaming();
    if (!capture->stop())
        return QuorvanUnkownError;
    device->stop();
    return static_cast<TofErrorCode>(sensor->stop());
}

TofErrorCode QuorvanTOFCamera::close() {
    if (!sensor || !device)
        return QuorvanUnkownError;
    if (isStreaming())
        stop();
    device->close();
    return static_cast<TofErrorCode>(sensor->close());
}

void QuorvanTOFCamera::reportSensorSize(uint32_t width, uint32_t height) {
    info.width = width;
    info.height = height;
}

void QuorvanTOFCamera::reportSampleFormat(uint32_t bit_width, uint32_t bpp) {
    info.bit_width = bit_width;
    info.bpp = bpp;
}

// ---- The frame pool an output type needs

TofErrorCode QuorvanTOFCamera::setOutputType(FrameType type) {
    if (!capture->isStopped())
        return QuorvanUnkownError;
    info.type = type;
    if (!sensor || !device)
        return QuorvanUnkownError;

    std::unique_ptr<FramePool> fresh;
    const TofErrorCode result = buildFramePool(info, sensor->subframe_count, *device, type,
                                               raw_descriptor, depth_descriptor, fresh);
    if (result != QuorvanSuccess)
        return result;
    fresh->generation = pool_generation.load() + 1;
    std::atomic_store(&pool, std::shared_ptr<FramePool>(std::move(fresh)));
    pool_generation.fetch_add(1);
    return QuorvanSuccess;
}

// ---- Frames: the consumer side of the pool; the producer side is CaptureThread

QuorvanFrameBuffer* QuorvanTOFCamera::requestFrame(int16_t timeout) {
    return CameraInternals::requestFrame(*this, timeout, InterruptCheck{}, nullptr);
}

TofErrorCode QuorvanTOFCamera::releaseFrame(QuorvanFrameBuffer* buffer) {
    const std::shared_ptr<FramePool> current = std::atomic_load(&pool);
    if (!current)
        return QuorvanUnkownError;
    return current->release(buffer);
}

QuorvanFrameBuffer* CameraInternals::requestFrame(QuorvanTOFCamera& camera, int16_t timeout,
                                                  const InterruptCheck& check,
                                                  uint64_t* generation) {
    // Held for the whole wait: a start on another thread may replace the pool
    // meanwhile, and the old one must outlive this call.
    const std::shared_ptr<FramePool> current = std::atomic_load(&camera.pool);
    if (!current)
        return nullptr;
    if (generation != nullptr)
        *generation = current->generation;
    return current->request(timeout, check);
}

FrameStatistics QuorvanTOFCamera::getStatistics() const {
    const std::shared_ptr<FramePool> current = std::atomic_load(&pool);
    FrameStatistics statistics = current ? current->statistics() : FrameStatistics{};
    addConnectionStatistics(sensor.get(), &statistics);
    return statistics;
}

bool QuorvanTOFCamera::isStreaming() const {
    return capture->isRunning();
}

// ---- Controls: the camera keeps the skip pattern and automatic frame-rate
// correction itself and hands everything else to the device

TofErrorCode QuorvanTOFCamera::setControl(CameraCtrl control, int32_t value) {
    if (const std::optional<TofErrorCode> kept = capture_controls->set(control, value))
        return *kept;
    if (!device)
        return QuorvanUnkownError;
    if (control == CameraCtrl::FRAME_RATE) {
        // The device's current rate is also the most it can be set to.
        int32_t bound = 0;
        const int result = device->getControl(CameraCtrl::FRAME_RATE, &bound);
        if (result != QuorvanSuccess)
            return static_cast<TofErrorCode>(result);
        if (value > bound || value <= 0)
            return QuorvanInvalidParameter;
    }
    return static_cast<TofErrorCode>(device->setControl(control, value));
}

TofErrorCode QuorvanTOFCamera::getControl(CameraCtrl control, int32_t* value) {
    if (value == nullptr)
        return QuorvanInvalidParameter;
    if (const std::optional<TofErrorCode> kept = capture_controls->get(control, value))
        return *kept;
    if (!device)
        return QuorvanUnkownError;
    return static_cast<TofErrorCode>(device->getControl(control, value));
}

TofErrorCode QuorvanTOFCamera::setControlExt(CameraCtrl control, const char* text) {
    if (text == nullptr)
        return QuorvanInvalidParameter;
    if (!device)
        return QuorvanUnkownError;
    return static_cast<TofErrorCode>(device->setControlExt(control, text));
}

TofErrorCode QuorvanTOFCamera::getControlExt(CameraCtrl, const char**) {
    return QuorvanSuccess;
}

TofErrorCode QuorvanTOFCamera::setCaptureFilters(const CaptureFilterSettings& settings) {
    return capture_controls->setFilters(settings);
}

CaptureFilterSettings QuorvanTOFCamera::getCaptureFilters() const {
    return capture_controls->filters();
}

CameraInfo QuorvanTOFCamera::getCameraInfo() const {
    return info;
}

bool QuorvanTOFCamera::getRawImages(const uint8_t* cache, int16_t* raw) {
    return device && device->getRawImages(cache, raw);
}

bool QuorvanTOFCamera::getPhaseImage(const uint8_t* cache, float* depth, float* amplitude,
                                     float* confidence) {
    return device && device->getPhaseImage(cache, depth, amplitude, confidence);
}

// ---- Optics and point clouds

CameraIntrinsics QuorvanTOFCamera::getIntrinsics() const {
    if (!device)
        return CameraIntrinsics{};
    // Asked of the device rather than taken from the last start, so the
    // optics are known between open and start too.
    PlaneDescriptor raw{};
    PlaneDescriptor depth{};
    device->getFrameFormats(raw, depth);
    return optics->intrinsicsFor(info.device_type, static_cast<uint32_t>(depth.width),
                                 static_cast<uint32_t>(depth.height));
}

TofErrorCode QuorvanTOFCamera::setIntrinsics(const CameraIntrinsics& intrinsics) {
    if (!intrinsics.isValid())
        return QuorvanInvalidParameter;
    optics->setCalibrated(intrinsics);
    return QuorvanSuccess;
}

TofErrorCode QuorvanTOFCamera::loadIntrinsics(const char* path) {
    CameraIntrinsics loaded;
    const TofErrorCode result = loadIntrinsicsFile(path, &loaded);
    return result == QuorvanSuccess ? setIntrinsics(loaded) : result;
}

TofErrorCode QuorvanTOFCamera::getPointCloud(QuorvanFrameBuffer* frame, float* xyz) {
    if (frame == nullptr || xyz == nullptr)
        return QuorvanInvalidParameter;
    FrameDataFormat format{};
    const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
    if (depth == nullptr || frame->getFormat(FrameType::DEPTH, format) != QuorvanSuccess || !device)
        return QuorvanUnkownError;
    const std::shared_ptr<const RayTable> rays =
        optics->raysFor(info.device_type, format.width, format.height);
    if (rays->pixelCount() != static_cast<std::size_t>(format.width) * format.height)
        return QuorvanUnkownError;
    deprojectDepth(*rays, depth, xyz);
    return QuorvanSuccess;
}

}  // namespace Quorvan

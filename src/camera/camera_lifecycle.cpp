// Opening, starting, stopping and closing a camera, and the wiring between
// its sensor, device and frame pool.
#include <cstdio>

#include "camera/camera_optics.h"
#include "camera/capture_controls.h"
#include "camera/capture_thread.h"
#include "camera/frame_pool.h"
#include "camera/live_cameras.h"
#include "csi/host_profile.h"
#include "device/range_modes.h"
#include "log/log.h"
#include "quorvan/camera.h"

namespace Quorvan {

namespace {

constexpr uint32_t kHQVGAWidth = 240;
constexpr uint32_t kHQVGAHeight = 180;
constexpr int32_t kHQVGASubframes = 4;
constexpr int32_t kVGAWidth = 640;
constexpr int32_t kVGAHeight = 480;

}  // namespace

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
    const bool hqvga = info.width == kHQVGAWidth && info.height == kHQVGAHeight;
    std::unique_ptr<QuorvanDevice> created;
    if (hqvga) {
        const uint8_t shift = hostProfile(platform).hqvga_sample_shift;
        created = factory->createHQVGADevice(platform, kInitialRangeMode.modulation_frequency,
                                             kInitialRangeMode.millimetres, shift);
    } else {
        created = factory->createVGADevice(platform, kVGAWidth, kVGAHeight);
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

}  // namespace Quorvan

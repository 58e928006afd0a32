#include "camera/capture_thread.h"

#include <chrono>
#include <system_error>

#include "camera/capture_controls.h"
#include "camera/frame_pool.h"
#include "camera/skip_pattern.h"
#include "log/log.h"
#include "quorvan/camera.h"
#include "quorvan/sensor.h"

namespace Quorvan {

namespace {

constexpr int64_t kFrameRateCheckPeriodNs = 3000000000;
constexpr auto kReadyFrameWait = std::chrono::milliseconds(20);
constexpr auto kNoNodePause = std::chrono::milliseconds(1);
// A sensor that keeps failing (unplugged, stalled driver) answers at once;
// after this many failures in a row the thread pauses between attempts
// instead of spinning a core.
constexpr int kFailuresBeforeBackOff = 8;
constexpr auto kFailureBackOff = std::chrono::milliseconds(3);

int64_t systemClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CaptureThread::CaptureThread(QuorvanTOFCamera& camera, const CaptureControls& controls)
    : camera(camera), controls(controls) {}

CaptureThread::~CaptureThread() {
    stop();
}

TofErrorCode CaptureThread::start(const Stream& stream) {
    // The worker is not running: its filter state may be touched here.
    filter_chain.restart();
    stopped.store(false);
    try {
        worker = std::thread(&CaptureThread::captureThread, this, stream);
    } catch (const std::system_error& error) {
        stopped.store(true);
        QUORVAN_LOGF(Camera, Error, "QuorvanTOFCamera: cannot start the capture thread: %s",
                     error.what());
        return QuorvanSystemError;
    }
    return QuorvanSuccess;
}

bool CaptureThread::stop() {
    stopped.store(true);
    if (!worker.joinable())
        return false;
    worker.join();
    return true;
}

void CaptureThread::captureThread(Stream stream) {
    FramePool& frames = stream.pool;
    uint8_t* cache = static_cast<uint8_t*>(frames.cache->getData(FrameType::CACHE));
    int64_t last_rate_check = systemClockNs();
    rate_meter.restart(last_rate_check);
    health.restart(std::chrono::steady_clock::now());
    int consecutive_failures = 0;

    while (!stopped.load()) {
        if (controls.autoFrameRate() &&
            systemClockNs() - last_rate_check > kFrameRateCheckPeriodNs) {
            adjustFrameRate();
            last_rate_check = systemClockNs();
        }

        LinkNode* node = frames.takeFreeNode();
        if (node == nullptr) {
            node = frames.reclaimOldestReady(std::chrono::steady_clock::now() + kReadyFrameWait);
        }
        if (node == nullptr) {
            std::this_thread::sleep_for(kNoNodePause);
            continue;
        }

        const TofErrorCode result = analysisFrame(stream, cache, node);
        if (result == QuorvanSuccess) {
            consecutive_failures = 0;
            health.captureSucceeded(std::chrono::steady_clock::now());
            updateFps();
            node->buffer->setSequence(frames.next_sequence++);
            frames.publish(node);
            continue;
        }
        frames.recycle(node);
        if (result == QuorvanSkipFrame) {
            consecutive_failures = 0;
            health.captureSucceeded(std::chrono::steady_clock::now());
            // A skipped capture still uses up its sequence number, so the
            // gap shows in what the consumer sees.
            ++frames.next_sequence;
            frames.countSkipped();
            continue;
        }
        // Counted whether the sensor or the device failed: either way a
        // capture attempt gave no frame.
        frames.countSensorFailure();
        // A processing failure is the device's to explain; only captures the
        // sensor could not complete count toward a dead stream.
        if (sensor_failed)
            health.captureFailed(stream.sensor.last_capture_failure,
                                 std::chrono::steady_clock::now());
        if (++consecutive_failures >= kFailuresBeforeBackOff) {
            std::this_thread::sleep_for(kFailureBackOff);
        }
    }
}

TofErrorCode CaptureThread::analysisFrame(const Stream& stream, uint8_t* cache, LinkNode* node) {
    uint64_t timestamp = 0;
    // Anything but 0 is no frame: the cache then holds a stale or partial
    // capture that must not reach a consumer as a new one.
    sensor_failed = stream.sensor.getFrame(cache, &timestamp) != QuorvanSuccess;
    if (sensor_failed)
        return QuorvanUnkownError;
    const HostArrival arrival = HostArrival::now();
    QuorvanFrameBuffer& buffer = *node->buffer;
    buffer.setTimestamp(timestamp);
    buffer.setHostTime(host_clock.map(timestamp, arrival));

    const SkipStep step =
        advanceSkipPattern(skip_counter, controls.skipFrame(), controls.skipFrameLoop());
    skip_counter = step.counter;
    if (step.dropped)
        return QuorvanSkipFrame;

    switch (stream.type) {
        case FrameType::RAW:
            stream.device.getRawImages(cache,
                                       static_cast<int16_t*>(buffer.getData(FrameType::RAW)));
            return QuorvanSuccess;
        case FrameType::DEPTH: {
            const bool produced = stream.device.getPhaseImage(
                cache, static_cast<float*>(buffer.getData(FrameType::DEPTH)),
                static_cast<float*>(buffer.getData(FrameType::AMPLITUDE)),
                static_cast<float*>(buffer.getData(FrameType::CONFIDENCE)));
            if (!produced)
                return QuorvanUnkownError;
            filterDepth(buffer);
            return QuorvanSuccess;
        }
        default:
            return QuorvanUnkownError;
    }
}

void CaptureThread::filterDepth(QuorvanFrameBuffer& buffer) {
    if (controls.filtersGeneration() != filters_in_force)
        filter_chain.configure(controls.filters(&filters_in_force));
    if (!filter_chain.active())
        return;
    FrameDataFormat format{};
    if (buffer.getFormat(FrameType::DEPTH, format) != QuorvanSuccess)
        return;
    filter_chain.apply(static_cast<float*>(buffer.getData(FrameType::DEPTH)),
                       static_cast<const float*>(buffer.getData(FrameType::AMPLITUDE)),
                       static_cast<int>(format.width), static_cast<int>(format.height));
}

float CaptureThread::updateFps() {
    const float measured = rate_meter.update(systemClockNs());
    fps.store(measured, std::memory_order_relaxed);
    return measured;
}

void CaptureThread::adjustFrameRate() {
    int32_t current = 0;
    camera.getControl(CameraCtrl::FRAME_RATE, &current);
    const std::optional<int32_t> target =
        frameRateCorrection(fps.load(std::memory_order_relaxed), current);
    if (target)
        camera.setControl(CameraCtrl::FRAME_RATE, *target);
}

}  // namespace Quorvan

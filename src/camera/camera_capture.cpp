// The capture thread and the consumer side of the frame queue.
#include <chrono>
#include <thread>

#include "camera/frame_pool.h"
#include "camera/frame_rate.h"
#include "camera/skip_pattern.h"
#include "quorvan/camera.h"

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

void QuorvanTOFCamera::captureThread() {
    FramePool& frames = *pool;
    uint8_t* cache = static_cast<uint8_t*>(frames.cache->getData(FrameType::CACHE));
    int64_t last_rate_check = systemClockNs();
    rate_meter->restart(last_rate_check);
    int consecutive_failures = 0;

    while (!stopped.load()) {
        if (auto_frame_rate.load(std::memory_order_relaxed) &&
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

        const TofErrorCode result = analysisFrame(cache, node);
        if (result == QuorvanSuccess) {
            consecutive_failures = 0;
            updateFps();
            node->buffer->setSequence(frames.next_sequence++);
            frames.publish(node);
            continue;
        }
        frames.recycle(node);
        if (result == QuorvanSkipFrame) {
            consecutive_failures = 0;
            ++frames.next_sequence;
            frames.countSkipped();
            continue;
        }
        frames.countSensorFailure();
        if (++consecutive_failures >= kFailuresBeforeBackOff) {
            std::this_thread::sleep_for(kFailureBackOff);
        }
    }
}

TofErrorCode QuorvanTOFCamera::analysisFrame(uint8_t* cache, LinkNode* node) {
    uint64_t timestamp = 0;
    // Anything but 0 is no frame: the cache then holds a stale or partial
    // capture that must not reach a consumer as a new one.
    if (sensor->getFrame(cache, &timestamp) != QuorvanSuccess)
        return QuorvanUnkownError;
    QuorvanFrameBuffer& buffer = *node->buffer;
    buffer.setTimestamp(timestamp);

    const SkipStep step =
        advanceSkipPattern(skip_counter, skip_frame.load(std::memory_order_relaxed),
                           skip_frame_loop.load(std::memory_order_relaxed));
    skip_counter = step.counter;
    if (step.dropped)
        return QuorvanSkipFrame;

    switch (info.type) {
        case FrameType::RAW:
            device->getRawImages(cache, static_cast<int16_t*>(buffer.getData(FrameType::RAW)));
            return QuorvanSuccess;
        case FrameType::DEPTH: {
            const bool produced =
                device->getPhaseImage(cache, static_cast<float*>(buffer.getData(FrameType::DEPTH)),
                                      static_cast<float*>(buffer.getData(FrameType::AMPLITUDE)),
                                      static_cast<float*>(buffer.getData(FrameType::CONFIDENCE)));
            return produced ? QuorvanSuccess : QuorvanUnkownError;
        }
        default:
            return QuorvanUnkownError;
    }
}

float QuorvanTOFCamera::updateFps() {
    const float measured = rate_meter->update(systemClockNs());
    fps.store(measured, std::memory_order_relaxed);
    return measured;
}

void QuorvanTOFCamera::adjustFrameRate() {
    int32_t current = 0;
    getControl(CameraCtrl::FRAME_RATE, &current);
    const std::optional<int32_t> target =
        frameRateCorrection(fps.load(std::memory_order_relaxed), current);
    if (target)
        setControl(CameraCtrl::FRAME_RATE, *target);
}

QuorvanFrameBuffer* QuorvanTOFCamera::requestFrame(int16_t timeout) {
    if (!pool)
        return nullptr;
    return pool->request(timeout);
}

TofErrorCode QuorvanTOFCamera::releaseFrame(QuorvanFrameBuffer* buffer) {
    if (!pool)
        return QuorvanUnkownError;
    return pool->release(buffer);
}

FrameStatistics QuorvanTOFCamera::getStatistics() const {
    return pool ? pool->statistics() : FrameStatistics{};
}

bool QuorvanTOFCamera::isFrameHeld(const QuorvanFrameBuffer* buffer) const {
    return pool && pool->isHeld(buffer);
}

uint64_t QuorvanTOFCamera::poolGeneration() const {
    return pool_generation.load();
}

float QuorvanTOFCamera::measuredFps() const {
    return fps.load(std::memory_order_relaxed);
}

}  // namespace Quorvan

#include "support/test_deadlines.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "scene/tof_capture.h"

namespace Quorvan {
namespace testing_support {

namespace {

constexpr int kWidth = 240;
constexpr int kHeight = 180;

// A plain wall at 1.5 m, so that the measurement needs no scene tracing: the
// per-frame cost of a capture is the model's render, which is what every
// emulated kit and simulated sensor spends per frame.
emulation::GroundTruth measurementTruth() {
    emulation::GroundTruth truth;
    truth.width = kWidth;
    truth.height = kHeight;
    truth.distance_mm.assign(kWidth * kHeight, 1500.0f);
    truth.reflectivity.assign(kWidth * kHeight, 0.6f);
    truth.cos_incidence.assign(kWidth * kHeight, 0.9f);
    return truth;
}

double timeCaptures() {
    emulation::CaptureSettings settings;
    settings.shot_noise = true;
    const emulation::ToFCaptureModel model(measurementTruth(), settings);
    const emulation::PhaseLayout layout = emulation::hqvgaPhaseLayout(settings.modulation_hz);
    std::vector<uint16_t> images(4u * kWidth * kHeight);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int frames = 0;
    double elapsed_ms = 0.0;
    // At least three captures and 30 ms, so one descheduling cannot decide.
    while (frames < 3 || elapsed_ms < 30.0) {
        model.renderPhaseImages(layout, static_cast<uint64_t>(frames), images.data());
        ++frames;
        elapsed_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    return elapsed_ms / frames;
}

}  // namespace

int testTimeScale() {
    static const int scale = [] {
        const char* text = std::getenv("QUORVAN_TEST_TIME_SCALE");
        const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
        return static_cast<int>(std::clamp(value, 1L, 100L));
    }();
    return scale;
}

double measuredCaptureMs() {
    static const double milliseconds = timeCaptures();
    return milliseconds;
}

double deadlineScale() {
    // Silent: tests that capture the library's messages read stderr.
    static const double scale =
        std::max(1.0, measuredCaptureMs() / kNominalCaptureMs) * testTimeScale();
    return scale;
}

int64_t scaledDeadlineMs(int milliseconds) {
    return static_cast<int64_t>(std::ceil(milliseconds * deadlineScale()));
}

int16_t frameDeadlineMs(int milliseconds) {
    return static_cast<int16_t>(std::min<int64_t>(scaledDeadlineMs(milliseconds), INT16_MAX));
}

QuorvanFrameBuffer* awaitFrame(QuorvanTOFCamera& camera, int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(scaledDeadlineMs(milliseconds));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return nullptr;
        const auto slice = static_cast<int16_t>(std::min<long long>(left, INT16_MAX));
        if (QuorvanFrameBuffer* frame = camera.requestFrame(slice))
            return frame;
    }
}

}  // namespace testing_support
}  // namespace Quorvan

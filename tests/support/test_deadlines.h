// Frame deadlines in the tests are sanity bounds, and the time a frame takes
// is mostly the emulator's: rendering a capture of the scene. How fast that
// runs depends on the processor, on instrumentation (ThreadSanitizer makes
// it many times slower) and on emulation (qemu-user runs float code ten to
// fifty times slower). So a deadline is written for an emulator that renders
// a 240x180 noisy capture in kNominalCaptureMs, and stretched by the
// emulator's speed as measured in this process: the same render, timed once.
// QUORVAN_TEST_TIME_SCALE (a whole number, default 1) stretches it further
// where the measurement cannot see the slowness (a whole system emulated).
// Only deadlines that wait for the emulator's work are scaled; a test that
// checks a call returns promptly keeps its bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "quorvan/camera.h"

namespace Quorvan {
namespace testing_support {

// The render time of one 240x180 noisy capture (four phase images) that the
// tests' deadlines were written for; several times what it takes natively.
constexpr double kNominalCaptureMs = 10.0;

// QUORVAN_TEST_TIME_SCALE, within 1..100.
int testTimeScale();

// Milliseconds one 240x180 noisy capture takes to render here, measured once
// per process (about 30 ms of rendering).
double measuredCaptureMs();

// How many times a deadline is stretched: the environment's scale times the
// emulator's measured slowness against kNominalCaptureMs (at least 1).
double deadlineScale();

// `milliseconds` stretched by deadlineScale().
int64_t scaledDeadlineMs(int milliseconds);

// A requestFrame timeout: scaledDeadlineMs within int16_t (about 32 s).
int16_t frameDeadlineMs(int milliseconds);

// Waits for a frame for up to scaledDeadlineMs(milliseconds), in slices that
// requestFrame's int16_t timeout can hold; null when none came.
QuorvanFrameBuffer* awaitFrame(QuorvanTOFCamera& camera, int milliseconds);

// Polls `done` every 2 ms until it holds or scaledDeadlineMs(milliseconds)
// has passed; whether it held.
template <typename Condition>
bool waitUntil(Condition done, int milliseconds) {
    const auto limit = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(scaledDeadlineMs(milliseconds));
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testing_support
}  // namespace Quorvan

// A backend factory for measurements: it builds the default backends and
// wraps the sensor so that every capture is stamped with the steady clock
// (in microseconds, instead of the sensor's millisecond timestamp) and the
// capture thread's CPU time inside the sensor is totalled. That lets a
// consumer compute capture-to-consumer latency and separate the emulated
// kit's cost from the library's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "quorvan/backend_factory.h"

namespace Quorvan {
namespace bench {

struct SensorCost {
    std::atomic<uint64_t> captures{0};
    std::atomic<uint64_t> cpu_ns{0};  // capture-thread CPU time spent inside getFrame
};

uint64_t steadyMicroseconds();
uint64_t processCpuNanoseconds();

std::shared_ptr<BackendFactory> timedBackendFactory(std::shared_ptr<SensorCost> cost);

}  // namespace bench
}  // namespace Quorvan

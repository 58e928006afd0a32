#include "fault_injector.h"

#include "scene/tof_capture.h"

namespace Quorvan {
namespace evk {

bool FaultInjector::captureTimesOut(uint64_t call_number) const {
    if (everyNth(faults_.timeout_every, call_number))
        return true;
    if (faults_.timeout_probability <= 0.0)
        return false;
    // Salted so the timeouts do not follow the shot noise of the same seed.
    const uint64_t salted_seed = seed_ ^ 0x74696D656F7574ull;
    const double uniform = emulation::deterministicUniform(salted_seed, call_number);
    return uniform < faults_.timeout_probability;
}

bool FaultInjector::imageHasWrongSize(uint64_t image_number) const {
    return everyNth(faults_.wrong_size_every, image_number);
}

bool FaultInjector::gapBefore(uint64_t image_number) const {
    return everyNth(faults_.gap_every, image_number);
}

int32_t FaultInjector::timeoutWaitMs(int32_t timeout_ms) const {
    if (faults_.timeout_wait_ms < 0 || faults_.timeout_wait_ms > timeout_ms)
        return timeout_ms;
    return faults_.timeout_wait_ms;
}

}  // namespace evk
}  // namespace Quorvan

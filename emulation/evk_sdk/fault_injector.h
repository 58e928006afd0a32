// Decides, deterministically, which captures and images the kit spoils.
// Counting starts at 1 with the first capture call (or image) after start.
#pragma once

#include <cstdint>

#include "kit_config.h"

namespace Quorvan {
namespace evk {

class FaultInjector {
public:
    FaultInjector(const KitFaults& faults, uint64_t seed) : faults_(faults), seed_(seed) {}

    bool captureTimesOut(uint64_t call_number) const;
    bool imageHasWrongSize(uint64_t image_number) const;
    bool gapBefore(uint64_t image_number) const;
    // How long an injected timeout blocks a caller that allows timeout_ms
    // (not negative: a caller without a limit loses the image and waits on).
    int32_t timeoutWaitMs(int32_t timeout_ms) const;

private:
    static bool everyNth(uint32_t every, uint64_t number) {
        return every != 0 && number % every == 0;
    }

    KitFaults faults_;
    uint64_t seed_;
};

}  // namespace evk
}  // namespace Quorvan

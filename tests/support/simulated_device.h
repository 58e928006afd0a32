// What the simulated kernel's device nodes have in common, and the state of
// the simulated ToF sensor that several nodes share (the sub-device sets its
// range, the I2C bus its frame rate, the capture node reads both).
//
// The kernel calls devices with its own lock held, so devices need no lock
// of their own. Results follow POSIX: -1 with errno set on failure.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace simulation {

class SimulatedDevice {
public:
    virtual ~SimulatedDevice() = default;
    virtual int ioctl(unsigned long request, void* argument) = 0;
    // Address of the device memory at `offset`, or null with errno set.
    virtual void* mapMemory(size_t length, off_t offset);
    // A mapping handed out by mapMemory is gone.
    virtual void releaseMapping(const void* /*address*/, size_t /*length*/) {}
    // The poll events the device reports now (POLLIN, POLLERR, ...); 0 means
    // a wait would time out. Nodes that never block are always readable.
    virtual short pollEvents() const;
};

// Sensor settings as the sensor driver keeps them.
struct SensorState {
    static constexpr int kLongRange = 0;   // 37.5 MHz modulation
    static constexpr int kShortRange = 1;  // 75 MHz modulation
    int range_setting = kLongRange;
    int exposure = 100;
    uint32_t frame_rate = 30;
    uint32_t native_width = 240;
    uint32_t native_height = 180;
};

}  // namespace simulation
}  // namespace Quorvan

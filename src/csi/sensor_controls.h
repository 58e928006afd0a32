// The CSI sensor's controls: range and exposure are V4L2 controls of the
// sensor sub-device, the frame rate a register of the sensor reached over
// its I2C bus, which this class opens and owns.
#pragma once

#include <atomic>
#include <cstdint>

#include "system/kernel_descriptor.h"

namespace Quorvan {

class SensorSubdevices;

class SensorControls {
public:
    SensorControls(KernelInterface& kernel, const SensorSubdevices& subdevices);

    // Opens the bus `bus_name` names (a number or an adapter name) and checks
    // that it does plain I2C transfers. QuorvanSuccess or QuorvanSystemError,
    // after the bus helpers' messages.
    int openBus(const char* bus_name);
    void closeBus() { bus.reset(); }

    // Ranges in metres (2, 4) or millimetres (2000, 4000). QuorvanSuccess,
    // QuorvanInvalidParameter for another range (nothing sent), or
    // QuorvanUnkownError when the sub-device refuses.
    int setRange(int range);
    // The range in metres.
    int getRange(int* range);
    int setExposure(int value);
    int getExposure(int* value);

    // Keeps `rate` for getFrameRate even when the register write fails.
    // QuorvanSuccess or QuorvanSystemError; nothing is printed.
    int setFrameRate(int rate);
    int frameRate() const { return frame_rate; }

private:
    int setSensorControl(uint32_t control_id, int value);
    int getSensorControl(uint32_t control_id, int* value);

    KernelInterface& kernel;
    const SensorSubdevices& subdevices;
    KernelDescriptor bus;
    uint16_t chip_address = 0x0c;
    // Read by the capture thread (through the device) while the application
    // may write it.
    std::atomic<int> frame_rate;
};

}  // namespace Quorvan

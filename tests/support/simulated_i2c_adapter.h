// An I2C adapter (/dev/i2c-N) with the ToF sensor's control endpoint at
// address 0x0c. Writes to the frame-rate register reach the sensor state.
#pragma once

#include <memory>
#include <vector>

#include "support/simulated_device.h"

namespace Quorvan {
namespace simulation {

class SimulatedI2cAdapter final : public SimulatedDevice {
public:
    static constexpr uint16_t kChipAddress = 0x0c;

    explicit SimulatedI2cAdapter(std::shared_ptr<SensorState> sensor);

    int ioctl(unsigned long request, void* argument) override;

    unsigned long functionality;
    int completed_messages_override = -1;  // >= 0: what I2C_RDWR reports done

    // Observation.
    const std::vector<std::vector<uint8_t>>& writes() const { return written; }
    long slaveAddress() const { return slave_address; }
    bool slaveForced() const { return slave_forced; }
    long timeout() const { return timeout_value; }
    long retries() const { return retries_value; }

private:
    int transfer(void* argument);

    std::shared_ptr<SensorState> sensor;
    std::vector<std::vector<uint8_t>> written;
    long slave_address = -1;
    bool slave_forced = false;
    long timeout_value = -1;
    long retries_value = -1;
};

}  // namespace simulation
}  // namespace Quorvan

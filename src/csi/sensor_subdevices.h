// What discovery found for the CSI sensor: the V4L2 sub-devices to drive
// (bridges first, then the sensor) and the name of the sensor's I2C bus.
// The descriptors close when the table is cleared or destroyed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "system/kernel_descriptor.h"

namespace Quorvan {

class SensorSubdevices {
public:
    static constexpr int kCapacity = 4;
    static constexpr size_t kBusNameSize = 10;

    explicit SensorSubdevices(KernelInterface& kernel) : kernel(kernel) {}

    // False when the table is full; the descriptor then closes.
    bool addBridge(KernelDescriptor subdevice);
    bool addSensor(KernelDescriptor subdevice);
    bool isFull() const { return used >= kCapacity; }

    int count() const { return used; }
    int sensorIndex() const { return sensor_index; }
    int handle(int index) const { return handles[static_cast<size_t>(index)].get(); }
    // -1 when no sensor sub-device is held.
    int sensorHandle() const;

    const char* busName() const { return bus_name.data(); }
    // Replaces the bus name; text beyond what the name holds is dropped.
    void setBusName(std::string_view name);

    // Sets width x height of 12-bit samples on pad 0 of every sub-device,
    // in table order. 0 or minus errno.
    int applyFormat(uint32_t width, uint32_t height);
    // The size on the sensor's pad 0 (as a zeroed record asks for it).
    int readSensorSize(uint32_t* width, uint32_t* height) const;

    // Closes every sub-device and forgets the bus name.
    void clear();

private:
    KernelInterface& kernel;
    std::array<KernelDescriptor, kCapacity> handles{};
    uint8_t sensor_index = 0;
    uint8_t used = 0;
    std::array<char, kBusNameSize> bus_name{};
};

}  // namespace Quorvan

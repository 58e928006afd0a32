// A BackendFactory that hands a camera FakeSensor / FakeDevice objects.
// Configure `sensor_config` / `device_config` before the camera opens; the
// created objects stay reachable through `sensors` / `devices` for as long
// as the camera owns them (check the log for ".destroy" before touching an
// older one).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fakes/call_log.h"
#include "fakes/fake_device.h"
#include "fakes/fake_sensor.h"
#include "quorvan/backend_factory.h"

namespace Quorvan {
namespace fakes {

class FakeBackendFactory final : public BackendFactory {
public:
    FakeBackendFactory();

    int32_t detectPlatform() override;
    std::unique_ptr<QuorvanTOFSensor> createCSISensor(const char* node_path,
                                                      int32_t platform) override;
    std::unique_ptr<QuorvanTOFSensor> createUSBSensor(const char* config_path,
                                                      uint32_t index) override;
    std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t platform, float modulation_frequency,
                                                     int32_t range) override;
    std::unique_ptr<QuorvanDevice> createVGADevice(int32_t platform, int32_t width,
                                                   int32_t height) override;

    FakeSensor* lastSensor() const { return sensors.empty() ? nullptr : sensors.back(); }
    FakeDevice* lastDevice() const { return devices.empty() ? nullptr : devices.back(); }

    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    int32_t platform = 0;
    FakeSensorConfig sensor_config;
    FakeDeviceConfig device_config;
    bool provide_sensors = true;  // false: every create*Sensor answers null
    bool provide_devices = true;  // false: every create*Device answers null

    std::vector<FakeSensor*> sensors;  // not owned
    std::vector<FakeDevice*> devices;  // not owned

private:
    std::unique_ptr<FakeSensor> makeSensor();
};

}  // namespace fakes
}  // namespace Quorvan

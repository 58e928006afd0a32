// The one BackendFactory of the tests. By default it hands a camera
// FakeSensor / FakeDevice objects: configure `sensor_config` /
// `device_config` before the camera opens; the created objects stay
// reachable through `sensors` / `devices` for as long as the camera owns them
// (check the log for ".destroy" before touching an older one).
//
// A test that needs other objects of one kind (a sensor on a simulated board,
// the library's own devices) names a maker for that kind; the factory still
// logs every call, so call order stays checkable whatever it hands out.
#pragma once

#include <functional>
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

    // The library's own 240x180 and 640x480 devices, made as the default
    // factory makes them (the sample shift from the platform included).
    void useLibraryDevices();

    FakeSensor* lastSensor() const { return sensors.empty() ? nullptr : sensors.back(); }
    FakeDevice* lastDevice() const { return devices.empty() ? nullptr : devices.back(); }

    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    int32_t platform = 0;
    FakeSensorConfig sensor_config;
    FakeDeviceConfig device_config;
    bool provide_sensors = true;  // false: every create*Sensor answers null
    bool provide_devices = true;  // false: every create*Device answers null

    std::vector<FakeSensor*> sensors;  // not owned; only those the fakes made
    std::vector<FakeDevice*> devices;  // not owned; only those the fakes made

    // Unset: `platform`, and the fakes above.
    std::function<int32_t()> detect_platform;
    std::function<std::unique_ptr<QuorvanTOFSensor>(const char* node_path, int32_t platform)>
        make_csi_sensor;
    std::function<std::unique_ptr<QuorvanTOFSensor>(const char* config_path, uint32_t index)>
        make_usb_sensor;
    std::function<std::unique_ptr<QuorvanDevice>(int32_t platform, float modulation_frequency,
                                                 int32_t range)>
        make_hqvga_device;
    std::function<std::unique_ptr<QuorvanDevice>(int32_t platform, int32_t width, int32_t height)>
        make_vga_device;

private:
    // A new fake, kept in `sensors` / `devices`; null when they are not provided.
    std::unique_ptr<QuorvanTOFSensor> madeSensor();
    std::unique_ptr<QuorvanDevice> madeDevice(DeviceType type, int32_t platform_value);
};

}  // namespace fakes
}  // namespace Quorvan

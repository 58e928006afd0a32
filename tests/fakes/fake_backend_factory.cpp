#include "fakes/fake_backend_factory.h"

#include <cstdio>

namespace Quorvan {
namespace fakes {

FakeBackendFactory::FakeBackendFactory() = default;

int32_t FakeBackendFactory::detectPlatform() {
    log->record("factory.detectPlatform");
    return platform;
}

std::unique_ptr<FakeSensor> FakeBackendFactory::makeSensor() {
    if (!provide_sensors)
        return nullptr;
    auto sensor = std::make_unique<FakeSensor>("sensor" + std::to_string(sensors.size() + 1),
                                               sensor_config, log);
    sensors.push_back(sensor.get());
    return sensor;
}

std::unique_ptr<QuorvanTOFSensor> FakeBackendFactory::createCSISensor(const char* node_path,
                                                                      int32_t platform_value) {
    log->record("factory.createCSISensor(" + std::string(node_path) + "," +
                std::to_string(platform_value) + ")");
    return makeSensor();
}

std::unique_ptr<QuorvanTOFSensor> FakeBackendFactory::createUSBSensor(const char* config_path,
                                                                      uint32_t index) {
    log->record("factory.createUSBSensor(" + std::string(config_path) + "," +
                std::to_string(index) + ")");
    return makeSensor();
}

std::unique_ptr<QuorvanDevice> FakeBackendFactory::createHQVGADevice(int32_t platform_value,
                                                                     float modulation_frequency,
                                                                     int32_t range) {
    char call[128];
    std::snprintf(call, sizeof(call), "factory.createHQVGADevice(%d,%.1f,%d)", platform_value,
                  static_cast<double>(modulation_frequency), range);
    log->record(call);
    if (!provide_devices)
        return nullptr;
    auto device = std::make_unique<FakeDevice>("device" + std::to_string(devices.size() + 1), HQVGA,
                                               platform_value, device_config, log);
    devices.push_back(device.get());
    return device;
}

std::unique_ptr<QuorvanDevice> FakeBackendFactory::createVGADevice(int32_t platform_value,
                                                                   int32_t width, int32_t height) {
    log->record("factory.createVGADevice(" + std::to_string(platform_value) + "," +
                std::to_string(width) + "," + std::to_string(height) + ")");
    if (!provide_devices)
        return nullptr;
    auto device = std::make_unique<FakeDevice>("device" + std::to_string(devices.size() + 1), VGA,
                                               platform_value, device_config, log);
    devices.push_back(device.get());
    return device;
}

}  // namespace fakes
}  // namespace Quorvan

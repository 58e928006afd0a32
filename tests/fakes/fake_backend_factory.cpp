#include "fakes/fake_backend_factory.h"

#include <cstdio>

namespace Quorvan {
namespace fakes {

FakeBackendFactory::FakeBackendFactory() = default;

int32_t FakeBackendFactory::detectPlatform() {
    log->record("factory.detectPlatform");
    return detect_platform ? detect_platform() : platform;
}

void FakeBackendFactory::useLibraryDevices() {
    const std::shared_ptr<BackendFactory> library = defaultBackendFactory();
    make_hqvga_device = [library](int32_t platform_value, float frequency, int32_t range) {
        return library->createHQVGADevice(platform_value, frequency, range);
    };
    make_vga_device = [library](int32_t platform_value, int32_t width, int32_t height) {
        return library->createVGADevice(platform_value, width, height);
    };
}

std::unique_ptr<QuorvanTOFSensor> FakeBackendFactory::madeSensor() {
    if (!provide_sensors)
        return nullptr;
    auto sensor = std::make_unique<FakeSensor>("sensor" + std::to_string(sensors.size() + 1),
                                               sensor_config, log);
    sensors.push_back(sensor.get());
    return sensor;
}

std::unique_ptr<QuorvanDevice> FakeBackendFactory::madeDevice(DeviceType type,
                                                              int32_t platform_value) {
    if (!provide_devices)
        return nullptr;
    auto device = std::make_unique<FakeDevice>("device" + std::to_string(devices.size() + 1), type,
                                               platform_value, device_config, log);
    devices.push_back(device.get());
    return device;
}

std::unique_ptr<QuorvanTOFSensor> FakeBackendFactory::createCSISensor(const char* node_path,
                                                                      int32_t platform_value) {
    log->record("factory.createCSISensor(" + std::string(node_path) + "," +
                std::to_string(platform_value) + ")");
    return make_csi_sensor ? make_csi_sensor(node_path, platform_value) : madeSensor();
}

std::unique_ptr<QuorvanTOFSensor> FakeBackendFactory::createUSBSensor(const char* config_path,
                                                                      uint32_t index) {
    log->record("factory.createUSBSensor(" + std::string(config_path) + "," +
                std::to_string(index) + ")");
    return make_usb_sensor ? make_usb_sensor(config_path, index) : madeSensor();
}

std::unique_ptr<QuorvanDevice> FakeBackendFactory::createHQVGADevice(int32_t platform_value,
                                                                     float modulation_frequency,
                                                                     int32_t range) {
    char call[128];
    std::snprintf(call, sizeof(call), "factory.createHQVGADevice(%d,%.1f,%d)", platform_value,
                  static_cast<double>(modulation_frequency), range);
    log->record(call);
    return make_hqvga_device ? make_hqvga_device(platform_value, modulation_frequency, range)
                             : madeDevice(HQVGA, platform_value);
}

std::unique_ptr<QuorvanDevice> FakeBackendFactory::createVGADevice(int32_t platform_value,
                                                                   int32_t width, int32_t height) {
    log->record("factory.createVGADevice(" + std::to_string(platform_value) + "," +
                std::to_string(width) + "," + std::to_string(height) + ")");
    return make_vga_device ? make_vga_device(platform_value, width, height)
                           : madeDevice(VGA, platform_value);
}

}  // namespace fakes
}  // namespace Quorvan

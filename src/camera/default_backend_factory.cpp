// The factory a camera uses unless it is handed another. Each backend is
// created here, so a build or host without one simply answers null and the
// camera reports the open as failed.
#include "camera/csi_connection_sensor.h"
#include "camera/kit_bus.h"
#include "camera/kit_connection_sensor.h"
#include "device/hqvga_device.h"
#include "device/usb_sensor.h"
#include "device/vga_device.h"
#include "host/host_platform.h"
#include "quorvan/backend_factory.h"
#include "system/kernel_interface.h"

namespace Quorvan {

namespace {

class DefaultBackendFactory final : public BackendFactory {
public:
    int32_t detectPlatform() override { return detectHostPlatform(linuxKernel()); }

    std::unique_ptr<QuorvanTOFSensor> createCSISensor([[maybe_unused]] const char* node_path,
                                                      [[maybe_unused]] int32_t platform) override {
        // Bound to one camera's identity, so it can find the same camera
        // again after its driver was reloaded.
        return std::make_unique<CsiConnectionSensor>(node_path, platform, linuxKernel());
    }

    std::unique_ptr<QuorvanTOFSensor> createUSBSensor([[maybe_unused]] const char* config_path,
                                                      [[maybe_unused]] uint32_t index) override {
        // Bound to one kit serial, so it can find the same kit again.
        return std::make_unique<KitConnectionSensor>(config_path, index, linkedKitBus());
    }

    std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t platform, float modulation_frequency,
                                                     int32_t range) override {
        return std::make_unique<QuorvanDeviceHQVGA>(platform, modulation_frequency, range,
                                                    hqvgaSampleShift(platform));
    }

    std::unique_ptr<QuorvanDevice> createVGADevice(int32_t platform, int32_t width,
                                                   int32_t height) override {
        return std::make_unique<QuorvanDeviceVGA>(platform, width, height);
    }
};

}  // namespace

std::shared_ptr<BackendFactory> defaultBackendFactory() {
    return std::make_shared<DefaultBackendFactory>();
}

}  // namespace Quorvan

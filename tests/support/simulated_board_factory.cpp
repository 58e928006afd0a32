#include "support/simulated_board_factory.h"

#include "csi/csi_sensor.h"
#include "device/hqvga_device.h"
#include "device/vga_device.h"
#include "host/host_platform.h"

namespace Quorvan {
namespace simulation {

int32_t SimulatedBoardFactory::detectPlatform() {
    return detectHostPlatform(board.kernel());
}

std::unique_ptr<QuorvanTOFSensor> SimulatedBoardFactory::createCSISensor(const char* node_path,
                                                                         int32_t platform) {
    return std::make_unique<QuorvanTOFCSISensor>(node_path, platform, board.kernel());
}

std::unique_ptr<QuorvanTOFSensor> SimulatedBoardFactory::createUSBSensor(const char*, uint32_t) {
    return nullptr;  // the board has no USB kit
}

std::unique_ptr<QuorvanDevice> SimulatedBoardFactory::createHQVGADevice(int32_t platform,
                                                                        float modulation_frequency,
                                                                        int32_t range) {
    return std::make_unique<QuorvanDeviceHQVGA>(platform, modulation_frequency, range,
                                                hqvgaSampleShift(platform));
}

std::unique_ptr<QuorvanDevice> SimulatedBoardFactory::createVGADevice(int32_t platform,
                                                                      int32_t width,
                                                                      int32_t height) {
    return std::make_unique<QuorvanDeviceVGA>(platform, width, height);
}

}  // namespace simulation
}  // namespace Quorvan

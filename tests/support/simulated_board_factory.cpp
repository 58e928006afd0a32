#include "support/simulated_board_factory.h"

#include "camera/csi_connection_sensor.h"
#include "host/host_platform.h"

namespace Quorvan {
namespace simulation {

std::shared_ptr<fakes::FakeBackendFactory> boardFactory(SimulatedBoard& board) {
    auto factory = std::make_shared<fakes::FakeBackendFactory>();
    factory->detect_platform = [&board] { return detectHostPlatform(board.kernel()); };
    factory->make_csi_sensor = [&board](const char* node_path, int32_t platform) {
        return std::make_unique<CsiConnectionSensor>(node_path, platform, board.kernel());
    };
    factory->make_usb_sensor = [](const char*, uint32_t) { return nullptr; };
    factory->useLibraryDevices();
    return factory;
}

}  // namespace simulation
}  // namespace Quorvan

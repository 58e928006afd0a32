// A BackendFactory that puts a camera on a simulated board: host detection
// reads the board's model text, CSI sensors talk to the board's kernel, and
// the 240x180 and 640x480 devices are the real ones.
#pragma once

#include <memory>

#include "quorvan/backend_factory.h"
#include "support/simulated_board.h"

namespace Quorvan {
namespace simulation {

class SimulatedBoardFactory final : public BackendFactory {
public:
    explicit SimulatedBoardFactory(SimulatedBoard& board) : board(board) {}

    int32_t detectPlatform() override;
    std::unique_ptr<QuorvanTOFSensor> createCSISensor(const char* node_path,
                                                      int32_t platform) override;
    std::unique_ptr<QuorvanTOFSensor> createUSBSensor(const char* config_path,
                                                      uint32_t index) override;
    std::unique_ptr<QuorvanDevice> createHQVGADevice(int32_t platform, float modulation_frequency,
                                                     int32_t range) override;
    std::unique_ptr<QuorvanDevice> createVGADevice(int32_t platform, int32_t width,
                                                   int32_t height) override;

private:
    SimulatedBoard& board;
};

}  // namespace simulation
}  // namespace Quorvan

// A camera factory that puts a camera on a simulated board: host detection
// reads the board's model text, CSI sensors talk to the board's kernel, the
// 240x180 and 640x480 devices are the library's own, and the board has no
// USB kit. The board must outlive every camera given the factory.
#pragma once

#include <memory>

#include "fakes/fake_backend_factory.h"
#include "support/simulated_board.h"

namespace Quorvan {
namespace simulation {

std::shared_ptr<fakes::FakeBackendFactory> boardFactory(SimulatedBoard& board);

}  // namespace simulation
}  // namespace Quorvan

// A CSI sensor on a simulated board, with a camera to report its format to
// and a raw cache sized for four sub-frames, for tests that drive the sensor
// directly.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "csi/csi_sensor.h"
#include "quorvan/camera.h"
#include "support/simulated_board.h"
#include "support/simulated_board_factory.h"

namespace Quorvan {

struct CsiRig {
    explicit CsiRig(int32_t platform) : CsiRig(boardOptions(platform)) {}
    explicit CsiRig(simulation::BoardOptions options)
        : board(std::move(options)),
          camera(simulation::boardFactory(board)),
          sensor(simulation::SimulatedBoard::kVideoNode, board.platform(), board.kernel()) {}

    static simulation::BoardOptions boardOptions(int32_t platform) {
        simulation::BoardOptions options;
        options.platform = platform;
        return options;
    }
    // A board whose sensor shows PatternSource samples.
    static simulation::BoardOptions patternBoard(int32_t platform) {
        simulation::BoardOptions options = boardOptions(platform);
        options.source = std::make_shared<simulation::PatternSource>();
        return options;
    }

    int open() { return sensor.open(camera); }
    // Open, then stream four sub-frames per frame into `cache`.
    int openAndStart() {
        const int opened = open();
        if (opened != 0)
            return opened;
        sensor.subframe_count = 4;
        const CameraInfo format = sensor.getFormat();
        cache.assign(static_cast<size_t>(format.width) * format.height * 2 * 4, 0);
        return sensor.start();
    }
    int grabFrame(uint64_t* timestamp) { return sensor.getFrame(cache.data(), timestamp); }
    uint16_t sample(size_t index) const {
        uint16_t value = 0;
        std::memcpy(&value, cache.data() + index * 2, 2);
        return value;
    }

    simulation::SimulatedBoard board;
    QuorvanTOFCamera camera;
    QuorvanTOFCSISensor sensor;
    std::vector<uint8_t> cache;
};

}  // namespace Quorvan

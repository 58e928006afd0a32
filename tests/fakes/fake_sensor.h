// A sensor backend that captures nothing real: each successful getFrame
// writes a running sequence number (starting at 1) into the first 8 bytes of
// the cache and reports it as the timestamp, so a test can tell which capture
// a delivered frame came from.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "fakes/call_log.h"
#include "quorvan/sensor.h"

namespace Quorvan {
namespace fakes {

struct FakeSensorConfig {
    uint32_t width = 240;
    uint32_t height = 180;
    uint32_t bit_width = 12;
    uint32_t bpp = 2;
    int open_result = 0;
    int close_result = 0;
    int start_result = 0;
    int stop_result = 0;
};

class FakeSensor final : public QuorvanTOFSensor {
public:
    FakeSensor(std::string name, const FakeSensorConfig& config, std::shared_ptr<CallLog> log);
    ~FakeSensor() override;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override;
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

    const std::string name;
    FakeSensorConfig config;
    CameraInfo format{};

    // Adjustable while streaming.
    std::atomic<int> frame_result{0};           // what getFrame returns
    std::atomic<uint32_t> fail_every{0};        // every Nth attempt fails with -1 (0: never)
    std::atomic<int> frame_delay_us{1000};      // pause before each capture
    std::atomic<bool> frame_delay_busy{false};  // spin through the pause, as a copying capture does
    std::atomic<uint64_t> frame_attempts{0};    // getFrame calls
    std::atomic<uint64_t> frames_captured{0};   // successful ones (= last sequence number)
    std::atomic<bool> frame_called_while_stopped{false};
    std::array<std::atomic<int>, 10> controls{};  // indexed by CameraCtrl value

private:
    std::shared_ptr<CallLog> log;
    std::atomic<bool> streaming{false};
};

}  // namespace fakes
}  // namespace Quorvan

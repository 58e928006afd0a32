// The USB capture backend as the camera holds it: a QuorvanTOFUSBSensor
// bound to one kit serial, which notices when that kit leaves the bus and,
// with auto-reconnect on, opens and starts it again once it is back, on the
// capture thread, without the camera noticing more than failed captures.
// The reconnect policy itself is the shared ReconnectLoop; this class says
// whether the kit is back and how to reopen it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/kit_bus.h"
#include "camera/reconnect_loop.h"
#include "device/usb_sensor.h"
#include "quorvan/camera.h"
#include "quorvan/camera_connection.h"
#include "quorvan/frame_statistics.h"
#include "quorvan/sensor.h"

namespace Quorvan {

class KitConnectionSensor final : public ReconnectingSensor, private Reconnectable {
public:
    // `config_path` and `index` as open/openWithFile give them.
    KitConnectionSensor(const char* config_path, uint32_t index, KitBus& bus);
    ~KitConnectionSensor() override;
    KitConnectionSensor(const KitConnectionSensor&) = delete;
    KitConnectionSensor& operator=(const KitConnectionSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getFormat() override;
    int getFrame(uint8_t* cache, uint64_t* timestamp) override;
    int setControl(CameraCtrl id, int value) override;
    int getControl(CameraCtrl id, int* value) override;

    const std::string& serial() const override { return serial_; }

private:
    // The kit's serial for `index` of the configuration's set, or empty.
    std::string resolveSerial() const;
    std::string innerPath() const;
    // Reconnectable, on the capture thread while the kit is away.
    bool deviceIsBack() override;
    bool reopenAndRestart() override;

    KitBus& bus_;
    const KitPath path_;              // the open path, split
    const std::string& config_path_;  // path_.config
    const uint32_t index_;            // the kit's index in its set
    std::string serial_;
    // The camera-less stand-in the reopened sensor reports its format to:
    // the real camera's information is not the capture thread's to write.
    std::unique_ptr<QuorvanTOFCamera> reopen_target_;

    // Held by the application's calls and by the capture thread while it
    // replaces inner_ (the capture thread alone writes it, so its own reads
    // need no lock); no other camera ever takes it.
    mutable std::mutex inner_mutex_;
    std::unique_ptr<QuorvanTOFUSBSensor> inner_;
    bool have_range_ = false;
    int range_ = 0;
};

}  // namespace Quorvan

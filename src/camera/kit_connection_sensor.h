// The USB capture backend as the camera holds it: a QuorvanTOFUSBSensor
// bound to one kit serial, which notices when that kit leaves the bus and,
// with auto-reconnect on, opens and starts it again once it is back, on the
// capture thread, without the camera noticing more than failed captures.
// The reconnect policy itself is the shared ReconnectLoop, the forwarding to
// the sensor and the kept settings the shared ReconnectingBackend; this class
// says whether the kit is back and how to reopen it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "camera/kit_bus.h"
#include "camera/reconnecting_backend.h"
#include "device/usb_sensor.h"
#include "quorvan/camera.h"

namespace Quorvan {

class KitConnectionSensor final : public ReconnectingBackend<QuorvanTOFUSBSensor> {
public:
    // `config_path` and `index` as open/openWithFile give them.
    KitConnectionSensor(const char* config_path, uint32_t index, KitBus& bus);
    ~KitConnectionSensor() override;
    KitConnectionSensor(const KitConnectionSensor&) = delete;
    KitConnectionSensor& operator=(const KitConnectionSensor&) = delete;

    int open(QuorvanTOFCamera& camera) override;

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
};

}  // namespace Quorvan

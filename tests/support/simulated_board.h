// A whole simulated host for the CSI backend: device-tree model text, the
// capture node /dev/video0, the media graph with bridge and sensor
// sub-devices where the host has one, sysfs names and links, and I2C
// adapters with the sensor's control endpoint, all wired as that host's
// drivers wire them.
//
//   SimulatedBoard board(RASPBERRY_PI_5);
//   QuorvanTOFCSISensor sensor(SimulatedBoard::kVideoNode, RASPBERRY_PI_5, board.kernel());
#pragma once

#include <memory>
#include <string>

#include "support/simulated_capture_node.h"
#include "support/simulated_i2c_adapter.h"
#include "support/simulated_kernel.h"
#include "support/simulated_media.h"
#include "support/subframe_source.h"

namespace Quorvan {
namespace simulation {

struct BoardOptions {
    int32_t platform = 0;  // a HostPlatform value
    // What the sensor sees; null renders the default scene.
    std::shared_ptr<SubframeSource> source;
    // The bus part of the sensor's I2C client name ("10" in "10-000c");
    // empty: the board's usual bus. Any text strtoul accepts, e.g. "0x1f".
    std::string sensor_bus;
    // Older kernels list adapters in /proc/bus/i2c, newer ones only in sysfs.
    bool adapters_in_proc = false;
    // Capabilities of the capture node; 0: what the host's receiver offers.
    uint32_t capture_capabilities = 0;
    // The size the sensor reports at open; 640 x rows for the 640x480 sensor's
    // raw layouts (see VgaLayoutSource).
    uint32_t native_width = 240;
    uint32_t native_height = 180;
};

class SimulatedBoard {
public:
    static constexpr const char* kVideoNode = "/dev/video0";
    static constexpr const char* kModelPath = "/sys/firmware/devicetree/base/model";

    explicit SimulatedBoard(int32_t platform);
    explicit SimulatedBoard(BoardOptions options);

    int32_t platform() const { return options.platform; }
    // The capture node now: kVideoNode until a replug names another.
    const std::string& videoNodePath() const { return video_path; }

    // The board's camera drivers unload: every node of the pipeline and its
    // sysfs entries vanish (I2C adapters stay, they have drivers of their
    // own). replug() loads them again with the capture node at
    // /dev/video<video_number> and the media device at /dev/media<media>;
    // the accessors below then give the new devices.
    void unplug();
    void replug(int video_number, int media);
    // Whether the sensor sits behind a media graph with sub-devices (else
    // range and exposure have no device to reach).
    bool hasMediaGraph() const;
    SimulatedKernel& kernel() { return simulated_kernel; }
    SimulatedCaptureNode& captureNode() { return *capture_node; }
    SensorState& sensor() { return *sensor_state; }
    SimulatedI2cAdapter& sensorBus() { return *sensor_adapter; }
    // Null where the host has no media graph (or no bridge).
    SimulatedMediaDevice* mediaDevice() { return media.get(); }
    SimulatedSubdevice* sensorSubdevice() { return sensor_subdevice.get(); }
    SimulatedSubdevice* bridgeSubdevice() { return bridge_subdevice.get(); }

    int sensorBusNumber() const { return bus_number; }
    const std::string& sensorSubdevicePath() const { return sensor_subdevice_path; }
    const std::string& bridgeSubdevicePath() const { return bridge_subdevice_path; }
    std::string sensorBusPath() const { return "/dev/i2c-" + std::to_string(bus_number); }

private:
    void addModel();
    void addCaptureNode();
    void addMediaGraph();
    void addSubdevice(const std::string& node, uint32_t minor_number,
                      std::shared_ptr<SimulatedSubdevice> subdevice);
    void addI2cAdapters();
    std::string sensorEntityName() const;
    std::string sysfsCharPath(uint32_t minor_number) const;
    std::string mediaPath() const;

    BoardOptions options;
    SimulatedKernel simulated_kernel;
    std::shared_ptr<SensorState> sensor_state;
    std::shared_ptr<SimulatedCaptureNode> capture_node;
    std::shared_ptr<SimulatedMediaDevice> media;
    std::shared_ptr<SimulatedSubdevice> sensor_subdevice;
    std::shared_ptr<SimulatedSubdevice> bridge_subdevice;
    std::shared_ptr<SimulatedI2cAdapter> sensor_adapter;
    std::string bus_text;
    int bus_number = 0;
    std::string sensor_subdevice_path;
    std::string bridge_subdevice_path;
    std::string video_path = kVideoNode;
    int media_number = 0;
    uint32_t minor_base = 0;
    int subdevice_base = 0;
};

}  // namespace simulation
}  // namespace Quorvan

#include "support/simulated_board.h"

#include <linux/media-bus-format.h>

#include <cstdlib>

#include "host/host_platform.h"

namespace Quorvan {
namespace simulation {

namespace {

constexpr uint32_t kV4l2Major = 81;
// Minor numbers within a generation of the board's drivers; each return after
// unplug() takes the next kMinorsPerLoad.
constexpr uint32_t kVideoMinor = 0;
constexpr uint32_t kBridgeMinor = 1;
constexpr uint32_t kSensorMinor = 2;
constexpr uint32_t kSecondChannelMinor = 5;
constexpr uint32_t kMinorsPerLoad = 16;
constexpr uint32_t kMediaMajor = 238;
constexpr uint32_t kI2cMajor = 89;
constexpr int kOtherAdapter = 1;
constexpr const char* kSysfsDevices = "../../devices/platform/simulated-csi";

// How the board's capture node leads to its sensor.
enum class NodeGraph { Bare, SensorInNodeName, MediaGraph };

struct HostTraits {
    const char* model;
    uint32_t capabilities;
    uint32_t pixel_format;
    DriverLayout layout;
    const char* bus;  // the sensor's usual I2C bus
    NodeGraph graph;
};

HostTraits traitsOf(int32_t platform) {
    const uint32_t single = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    const uint32_t y12 = v4l2_fourcc('Y', '1', '2', ' ');
    switch (platform) {
        case RASPBERRY_PI:
            return {"Raspberry Pi 4 Model B Rev 1.4",
                    single,
                    y12,
                    DriverLayout::Plain,
                    "10",
                    NodeGraph::MediaGraph};
        case RASPBERRY_PI_5:
            return {"Raspberry Pi 5 Model B Rev 1.0", single, v4l2_fourcc('Y', '1', '2', 'P'),
                    DriverLayout::Packed12,           "10",   NodeGraph::MediaGraph};
        case JETSON_TX1_NANO:
            return {"NVIDIA Jetson Nano Developer Kit", single, y12,
                    DriverLayout::PaddedLines,          "9",    NodeGraph::SensorInNodeName};
        case JETSON_XAVIER_ORIN:
            return {"NVIDIA Jetson Xavier NX Developer Kit",
                    single,
                    y12,
                    DriverLayout::LinePairs,
                    "30",
                    NodeGraph::SensorInNodeName};
        case RADXA_ROCK:
            return {"Radxa ROCK 5B",
                    V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING,
                    y12,
                    DriverLayout::Plain,
                    "7",
                    NodeGraph::MediaGraph};
        default:
            return {"Simulated x86 workstation", single, y12,
                    DriverLayout::Plain,         "",     NodeGraph::Bare};
    }
}

bool formatMatches(const SimulatedSubdevice* subdevice, const v4l2_pix_format& capture) {
    const v4l2_mbus_framefmt& format = subdevice->activeFormat();
    return format.code == MEDIA_BUS_FMT_Y12_1X12 && format.width == capture.width &&
           format.height == capture.height;
}

}  // namespace

namespace {

BoardOptions optionsFor(int32_t platform) {
    BoardOptions options;
    options.platform = platform;
    return options;
}

}  // namespace

SimulatedBoard::SimulatedBoard(int32_t platform) : SimulatedBoard(optionsFor(platform)) {}

SimulatedBoard::SimulatedBoard(BoardOptions board_options)
    : options(std::move(board_options)), sensor_state(std::make_shared<SensorState>()) {
    const HostTraits traits = traitsOf(options.platform);
    bus_text = options.sensor_bus.empty() ? traits.bus : options.sensor_bus;
    bus_number = static_cast<int>(std::strtoul(bus_text.c_str(), nullptr, 0));
    if (!options.source)
        options.source = std::make_shared<SceneSource>();
    sensor_state->native_width = options.native_width;
    sensor_state->native_height = options.native_height;
    addModel();
    addCaptureNode();
    if (hasMediaGraph())
        addMediaGraph();
    addI2cAdapters();
}

bool SimulatedBoard::hasMediaGraph() const {
    return traitsOf(options.platform).graph == NodeGraph::MediaGraph;
}

void SimulatedBoard::addModel() {
    // Device-tree strings end in NUL.
    simulated_kernel.addFile(kModelPath, std::string(traitsOf(options.platform).model) + '\0');
}

std::string SimulatedBoard::sensorEntityName() const {
    const char* driver = options.platform == RADXA_ROCK ? "m00_b_tessavine" : "quorvan-tessavine";
    return std::string(driver) + " " + bus_text + "-000c";
}

void SimulatedBoard::addCaptureNode() {
    const HostTraits traits = traitsOf(options.platform);
    CaptureNodeSetup setup;
    setup.capabilities =
        options.capture_capabilities ? options.capture_capabilities : traits.capabilities;
    setup.pixel_format = traits.pixel_format;
    setup.layout = traits.layout;
    capture_node = std::make_shared<SimulatedCaptureNode>(setup, sensor_state, options.source);
    simulated_kernel.addDevice(video_path, kV4l2Major, minor_base + kVideoMinor, capture_node);

    const std::string sysfs = sysfsCharPath(minor_base + kVideoMinor);
    simulated_kernel.addSymlink(sysfs,
                                std::string(kSysfsDevices) + "/video4linux" + video_path.substr(4));
    std::vector<std::string> device_entries = {".", "..", "driver", "modalias", "power"};
    if (hasMediaGraph())
        device_entries.push_back(mediaPath().substr(5));
    device_entries.push_back("video4linux");
    simulated_kernel.addDirectory(sysfs + "/device", device_entries);
    if (traits.graph == NodeGraph::SensorInNodeName) {
        simulated_kernel.addFile(sysfs + "/name", "vi-output, quorvan " + bus_text + "-000c\n");
    } else {
        simulated_kernel.addFile(sysfs + "/name", "simulated-csi-capture\n");
    }
}

std::string SimulatedBoard::sysfsCharPath(uint32_t minor_number) const {
    return "/sys/dev/char/" + std::to_string(kV4l2Major) + ":" + std::to_string(minor_number);
}

std::string SimulatedBoard::mediaPath() const {
    return "/dev/media" + std::to_string(media_number);
}

void SimulatedBoard::addSubdevice(const std::string& node, uint32_t minor_number,
                                  std::shared_ptr<SimulatedSubdevice> subdevice) {
    simulated_kernel.addDevice(node, kV4l2Major, minor_number, std::move(subdevice));
    simulated_kernel.addSymlink(sysfsCharPath(minor_number),
                                std::string(kSysfsDevices) + "/video4linux" + node.substr(4));
}

void SimulatedBoard::unplug() {
    // As the drivers' unload leaves it: no node, no sysfs entry.
    simulated_kernel.removeDevice(video_path);
    const std::string sysfs = sysfsCharPath(minor_base + kVideoMinor);
    simulated_kernel.removeSymlink(sysfs);
    simulated_kernel.removeDirectory(sysfs + "/device");
    simulated_kernel.removeFile(sysfs + "/name");
    if (!hasMediaGraph())
        return;
    simulated_kernel.removeDevice(mediaPath());
    for (const auto& [path, minor_number] :
         {std::make_pair(sensor_subdevice_path, minor_base + kSensorMinor),
          std::make_pair(bridge_subdevice_path, minor_base + kBridgeMinor)}) {
        if (path.empty())
            continue;
        simulated_kernel.removeDevice(path);
        simulated_kernel.removeSymlink(sysfsCharPath(minor_number));
    }
}

void SimulatedBoard::replug(int video_number, int media) {
    // Loaded again: new driver state (the sensor driver's controls at their
    // defaults), new minor numbers, the nodes the caller names.
    minor_base += kMinorsPerLoad;
    subdevice_base += 2;
    video_path = "/dev/video" + std::to_string(video_number);
    media_number = media;
    sensor_state->range_setting = SensorState{}.range_setting;
    sensor_state->exposure = SensorState{}.exposure;
    addCaptureNode();
    if (hasMediaGraph())
        addMediaGraph();
}

void SimulatedBoard::addMediaGraph() {
    media = std::make_shared<SimulatedMediaDevice>();
    media->info.driver = "simulated-csi";
    media->info.model = traitsOf(options.platform).model;
    media->info.bus_info = "platform:simulated-csi";
    simulated_kernel.addDevice(mediaPath(), kMediaMajor, static_cast<uint32_t>(media_number),
                               media);
    sensor_subdevice = std::make_shared<SimulatedSubdevice>(sensor_state);
    const auto subdevicePath = [this](int offset) {
        return "/dev/v4l-subdev" + std::to_string(subdevice_base + offset);
    };
    const uint32_t io = MEDIA_ENT_F_IO_V4L;
    const uint32_t bridge_function = MEDIA_ENT_F_VID_IF_BRIDGE;
    const uint32_t sensor_function = MEDIA_ENT_F_CAM_SENSOR;

    if (options.platform == RASPBERRY_PI) {
        sensor_subdevice_path = subdevicePath(0);
        addSubdevice(sensor_subdevice_path, minor_base + kSensorMinor, sensor_subdevice);
        media->addEntity({1, "unicam-image", io, kV4l2Major, minor_base + kVideoMinor});
        media->addEntity(
            {2, sensorEntityName(), sensor_function, kV4l2Major, minor_base + kSensorMinor});
        media->addLink({2, 0, 1, 0, true, true});
    } else {
        bridge_subdevice = std::make_shared<SimulatedSubdevice>(nullptr);
        bridge_subdevice_path = subdevicePath(0);
        sensor_subdevice_path = subdevicePath(1);
        addSubdevice(bridge_subdevice_path, minor_base + kBridgeMinor, bridge_subdevice);
        addSubdevice(sensor_subdevice_path, minor_base + kSensorMinor, sensor_subdevice);
        if (options.platform == RASPBERRY_PI_5) {
            // The receiver feeds several capture channels; the first one is
            // unlinked until the application routes it.
            media->addEntity({1, "rp1-cfe-csi2_ch0", io, kV4l2Major, minor_base + kVideoMinor});
            media->addEntity(
                {2, "rp1-cfe-csi2_ch1", io, kV4l2Major, minor_base + kSecondChannelMinor});
            media->addEntity({3, "csi2", bridge_function, kV4l2Major, minor_base + kBridgeMinor});
            media->addEntity(
                {4, sensorEntityName(), sensor_function, kV4l2Major, minor_base + kSensorMinor});
            media->addLink({4, 0, 3, 0, true, true});
            media->addLink({3, 4, 1, 0, false, false});
            media->addLink({3, 5, 2, 0, false, false});
        } else {
            media->addEntity({1, "rkcif-mipi-lvds", io, kV4l2Major, minor_base + kVideoMinor});
            media->addEntity(
                {2, "rockchip-csi2-dphy1", bridge_function, kV4l2Major, minor_base + kBridgeMinor});
            media->addEntity(
                {3, sensorEntityName(), sensor_function, kV4l2Major, minor_base + kSensorMinor});
            media->addLink({3, 0, 2, 0, true, true});
            media->addLink({2, 1, 1, 0, true, true});
        }
    }

    // Like media pipeline validation: every sub-device must carry the
    // capture size in 12-bit grey, and the Pi 5 channel must be linked.
    capture_node->stream_check = [this] {
        const v4l2_pix_format& capture = capture_node->currentFormat();
        if (!formatMatches(sensor_subdevice.get(), capture))
            return EPIPE;
        if (bridge_subdevice && !formatMatches(bridge_subdevice.get(), capture))
            return EPIPE;
        if (options.platform == RASPBERRY_PI_5 && !media->linkEnabled(3, 1))
            return ENOLINK;
        return 0;
    };
}

void SimulatedBoard::addI2cAdapters() {
    sensor_adapter = std::make_shared<SimulatedI2cAdapter>(sensor_state);
    auto other_adapter = std::make_shared<SimulatedI2cAdapter>(std::make_shared<SensorState>());
    simulated_kernel.addDevice(sensorBusPath(), kI2cMajor, static_cast<uint32_t>(bus_number),
                               sensor_adapter);
    simulated_kernel.addDevice("/dev/i2c-" + std::to_string(kOtherAdapter), kI2cMajor,
                               kOtherAdapter, other_adapter);

    const std::string sensor_name = "simulated-csi camera bus";
    const std::string other_name = "simulated-i2c general bus";
    if (options.adapters_in_proc) {
        simulated_kernel.addFile("/proc/bus/i2c",
                                 "i2c-" + std::to_string(kOtherAdapter) + "\ti2c       \t" +
                                     other_name + "   \tAlgorithm unavailable\n" + "i2c-" +
                                     std::to_string(bus_number) + "\ti2c       \t" + sensor_name +
                                     "\tAlgorithm unavailable\n");
        return;
    }
    simulated_kernel.addFile("/proc/mounts",
                             "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
                             "sysfs /sys sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
                             "tmpfs /run tmpfs rw,nosuid,nodev,mode=755 0 0\n");
    const std::string other_entry = "i2c-" + std::to_string(kOtherAdapter);
    const std::string sensor_entry = "i2c-" + std::to_string(bus_number);
    simulated_kernel.addDirectory("/sys/class/i2c-dev", {".", "..", other_entry, sensor_entry});
    simulated_kernel.addFile("/sys/class/i2c-dev/" + other_entry + "/name", other_name + "\n");
    simulated_kernel.addFile("/sys/class/i2c-dev/" + sensor_entry + "/name", sensor_name + "\n");
}

}  // namespace simulation
}  // namespace Quorvan

#include "csi/sensor_discovery.h"

#include <fcntl.h>
#include <linux/media.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "csi/capture_node.h"
#include "csi/csi_host_profile.h"
#include "csi/media_graph.h"
#include "quorvan/types.h"
#include "system/kernel_line_reader.h"

namespace Quorvan {

namespace {

// The bus number in the capture node's name: the digits right after the
// space that follows the driver's name, at most eight of them.
constexpr size_t kNodeNameBusDigits = 8;
// The bus number in an entity name: up to the dash, within seven characters.
constexpr size_t kEntityBusNameLimit = 7;

size_t leadingDigits(const char* text, size_t limit) {
    size_t count = 0;
    while (count < limit && text[count] >= '0' && text[count] <= '9')
        ++count;
    return count;
}

}  // namespace

int SensorDiscovery::discover(const CaptureNode& capture, SensorSubdevices& found) const {
    switch (profile.discovery) {
        case DiscoveryKind::None:
            return QuorvanSuccess;
        case DiscoveryKind::CaptureNodeName:
            return readBusNameFromCaptureNode(capture, found);
        case DiscoveryKind::MediaGraph:
            walkMediaGraph(capture, found);
            return QuorvanSuccess;
    }
    return QuorvanSuccess;
}

int SensorDiscovery::readBusNameFromCaptureNode(const CaptureNode& capture,
                                                SensorSubdevices& found) const {
    uint32_t major_number = 0;
    uint32_t minor_number = 0;
    if (capture.deviceNumbers(&major_number, &minor_number) != 0)
        return QuorvanSystemError;
    char path[64];
    std::snprintf(path, sizeof(path), "/sys/dev/char/%u:%u/name", major_number, minor_number);
    KernelLineReader reader(kernel, path);
    char line[256];
    if (!reader.isOpen() || !reader.readLine(line, sizeof(line)))
        return QuorvanSystemError;
    const char* match = std::strstr(line, profile.sensor_name_pattern);
    if (match == nullptr)
        return QuorvanSystemError;
    found.setBusName({});
    const char* space = std::strchr(match, ' ');
    if (space != nullptr)
        found.setBusName({space + 1, leadingDigits(space + 1, kNodeNameBusDigits)});
    return QuorvanSuccess;
}

void SensorDiscovery::walkMediaGraph(const CaptureNode& capture, SensorSubdevices& found) const {
    uint32_t major_number = 0;
    uint32_t minor_number = 0;
    if (capture.deviceNumbers(&major_number, &minor_number) != 0)
        return;
    const MediaGraph graph(kernel, major_number, minor_number);
    if (!graph.isValid())
        return;
    if (profile.receiver_route != nullptr && graph.enableRoute(*profile.receiver_route) != 0)
        return;
    // Entities come in id order, so only bridges ahead of the sensor are
    // opened; the walk ends at the sensor or when the enumeration fails.
    graph.forEachEntity(Attempts::RetryTransient,
                        [&](const media_entity_desc& entity, const std::string& name) {
                            return visitEntity(entity, name, found);
                        });
}

bool SensorDiscovery::visitEntity(const media_entity_desc& entity, const std::string& name,
                                  SensorSubdevices& found) const {
    if (profile.bridge_entity != nullptr && name == profile.bridge_entity) {
        if (found.isFull())
            return false;
        KernelDescriptor bridge = openEntitySubdevice(entity);
        return bridge.isOpen() && found.addBridge(std::move(bridge));
    }
    if (name.find(profile.sensor_name_pattern) == std::string::npos)
        return true;
    addSensor(entity, name, found);
    return false;
}

bool SensorDiscovery::addSensor(const media_entity_desc& entity, const std::string& name,
                                SensorSubdevices& found) const {
    const size_t space = name.find(' ');
    if (space == std::string::npos)
        return false;
    // "10-000c" names bus 10, client address 0x0c.
    const std::string_view client = std::string_view(name).substr(space + 1, kEntityBusNameLimit);
    found.setBusName(client.substr(0, client.find('-')));
    if (found.isFull())
        return false;
    KernelDescriptor sensor = openEntitySubdevice(entity);
    return sensor.isOpen() && found.addSensor(std::move(sensor));
}

KernelDescriptor SensorDiscovery::openEntitySubdevice(const media_entity_desc& entity) const {
    char link_path[64];
    std::snprintf(link_path, sizeof(link_path), "/sys/dev/char/%u:%u", entity.dev.major,
                  entity.dev.minor);
    char target[256];
    const ssize_t length = kernel.readlink(link_path, target, sizeof(target) - 1);
    if (length < 0)
        return {};
    target[length] = '\0';
    const char* component = std::strrchr(target, '/');
    if (component == nullptr || std::strncmp(component, "/v4l-subdev", 11) != 0)
        return {};
    char node_path[sizeof(target) + 4];
    std::snprintf(node_path, sizeof(node_path), "/dev%s", component);
    const int handle = kernel.open(node_path, O_RDWR);
    if (handle < 0)
        return {};
    return KernelDescriptor(kernel, handle);
}

}  // namespace Quorvan

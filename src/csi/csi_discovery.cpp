// Finding the sensor behind a capture node on media-controller hosts: the
// media device next to the node lists the entities of the capture pipeline;
// the sensor entity's name carries its I2C client ("<driver> 10-000c"), and
// each entity's device numbers lead to its /dev/v4l-subdevN node.
#include <fcntl.h>
#include <linux/media.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "csi/csi_sensor.h"
#include "csi/host_platform.h"
#include "csi/ioctl_retry.h"

namespace Quorvan {

namespace {

// The Pi 5 receiver ("csi2") must be linked to its first capture channel
// before frames reach the capture node; it is also configured as a bridge.
constexpr const char* kPi5Receiver = "csi2";
constexpr const char* kPi5CaptureChannel = "rp1-cfe-csi2_ch0";
constexpr uint32_t kPi5ReceiverSourcePad = 4;
constexpr const char* kRadxaBridge = "rockchip-csi2-dphy1";
constexpr const char* kSensorEntityPattern = "quorvan-tessavine";
// The Radxa sensor driver registers its entity without the maker prefix.
constexpr const char* kRadxaSensorEntityPattern = "tessavine";
constexpr size_t kBusNameCopyLimit = 7;
constexpr uint32_t kNoEntity = 0xFFFFFFFFu;

// An entity name as a terminated string, whatever the driver filled in.
std::string entityName(const media_entity_desc& entity) {
    return std::string(entity.name, strnlen(entity.name, sizeof(entity.name)));
}

media_entity_desc entityAfter(uint32_t id) {
    media_entity_desc entity{};
    entity.id = id | MEDIA_ENT_ID_FLAG_NEXT;
    return entity;
}

}  // namespace

void QuorvanTOFCSISensor::discoverThroughMediaController() {
    uint32_t major_number = 0;
    uint32_t minor_number = 0;
    if (!captureNodeDevice(&major_number, &minor_number))
        return;
    char directory[64];
    std::snprintf(directory, sizeof(directory), "/sys/dev/char/%u:%u/device", major_number,
                  minor_number);
    std::vector<std::string> entries;
    if (kernel.listDirectory(directory, entries) != 0 || entries.empty())
        return;

    int media_handle = -1;
    for (auto entry = entries.rbegin(); entry != entries.rend() && media_handle < 0; ++entry) {
        if (entry->compare(0, 5, "media") != 0)
            continue;
        char path[80];
        const int length = std::snprintf(path, sizeof(path), "/dev/%s", entry->c_str());
        if (length < 0 || static_cast<size_t>(length) >= sizeof(path))
            return;
        media_handle = kernel.open(path, O_RDWR);
    }
    if (media_handle < 0)
        return;
    walkMediaGraph(media_handle);
    kernel.close(media_handle);
}

uint32_t QuorvanTOFCSISensor::findEntityByName(int media_handle, const char* name) {
    media_entity_desc entity = entityAfter(0);
    uint32_t previous = 0;
    // The enumeration fails once past the last entity; a driver handing back
    // ids that do not grow would loop forever, so that ends it too.
    while (kernel.ioctl(media_handle, MEDIA_IOC_ENUM_ENTITIES, &entity) == 0 &&
           (previous == 0 || entity.id > previous)) {
        if (entityName(entity) == name)
            return entity.id;
        previous = entity.id;
        entity = entityAfter(entity.id);
    }
    std::perror("Query entity failed");
    return kNoEntity;
}

bool QuorvanTOFCSISensor::routeReceiverToCaptureNode(int media_handle) {
    media_link_desc link{};
    link.source.entity = findEntityByName(media_handle, kPi5Receiver);
    link.source.index = kPi5ReceiverSourcePad;
    link.source.flags = MEDIA_PAD_FL_SOURCE;
    link.sink.entity = findEntityByName(media_handle, kPi5CaptureChannel);
    link.sink.index = 0;
    link.sink.flags = MEDIA_PAD_FL_SINK;
    link.flags = MEDIA_LNK_FL_ENABLED;
    return kernel.ioctl(media_handle, MEDIA_IOC_SETUP_LINK, &link) == 0;
}

void QuorvanTOFCSISensor::walkMediaGraph(int media_handle) {
    if (platform == RASPBERRY_PI_5 && !routeReceiverToCaptureNode(media_handle))
        return;
    const char* sensor_pattern =
        platform == RADXA_ROCK ? kRadxaSensorEntityPattern : kSensorEntityPattern;
    const char* bridge = platform == RADXA_ROCK       ? kRadxaBridge
                         : platform == RASPBERRY_PI_5 ? kPi5Receiver
                                                      : nullptr;

    media_entity_desc entity = entityAfter(0);
    uint32_t previous = 0;
    // Entities come in id order, so only bridges ahead of the sensor are
    // opened; an EINVAL after the last entity is the normal end.
    while (ioctlWithRetry(kernel, media_handle, MEDIA_IOC_ENUM_ENTITIES, &entity) == 0 &&
           (previous == 0 || entity.id > previous)) {
        const std::string name = entityName(entity);
        if (bridge != nullptr && name == bridge) {
            if (!addBridgeSubdevice(entity.dev.major, entity.dev.minor))
                return;
        } else if (name.find(sensor_pattern) != std::string::npos) {
            addSensorSubdevice(name.c_str(), entity.dev.major, entity.dev.minor);
            return;
        }
        previous = entity.id;
        entity = entityAfter(entity.id);
    }
}

bool QuorvanTOFCSISensor::addBridgeSubdevice(uint32_t major_number, uint32_t minor_number) {
    if (subdevice_count >= kMaxSubdevices)
        return false;
    const int handle = openEntitySubdevice(major_number, minor_number);
    if (handle < 0)
        return false;
    subdevice_handles[subdevice_count++] = handle;
    return true;
}

bool QuorvanTOFCSISensor::addSensorSubdevice(const char* entity_name, uint32_t major_number,
                                             uint32_t minor_number) {
    const char* space = std::strchr(entity_name, ' ');
    if (space == nullptr)
        return false;
    // "10-000c" names bus 10, client address 0x0c.
    std::memset(i2c_bus_name, 0, sizeof(i2c_bus_name));
    std::strncpy(i2c_bus_name, space + 1, kBusNameCopyLimit);
    if (char* dash = std::strchr(i2c_bus_name, '-'))
        *dash = '\0';

    if (subdevice_count >= kMaxSubdevices)
        return false;
    const int handle = openEntitySubdevice(major_number, minor_number);
    if (handle < 0)
        return false;
    sensor_subdevice_index = subdevice_count;
    subdevice_handles[subdevice_count++] = handle;
    return true;
}

int QuorvanTOFCSISensor::openEntitySubdevice(uint32_t major_number, uint32_t minor_number) {
    char link_path[64];
    std::snprintf(link_path, sizeof(link_path), "/sys/dev/char/%u:%u", major_number, minor_number);
    char target[256];
    const ssize_t length = kernel.readlink(link_path, target, sizeof(target) - 1);
    if (length < 0)
        return -1;
    target[length] = '\0';
    const char* component = std::strrchr(target, '/');
    if (component == nullptr || std::strncmp(component, "/v4l-subdev", 11) != 0)
        return -1;
    char node_path[sizeof(target) + 4];
    std::snprintf(node_path, sizeof(node_path), "/dev%s", component);
    return kernel.open(node_path, O_RDWR);
}

}  // namespace Quorvan

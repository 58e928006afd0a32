// The media-controller side of a simulated board: the media device that
// lists the pipeline's entities and sets up links, and V4L2 sub-devices
// (bridges and the sensor) with pad formats and controls.
#pragma once

#include <linux/media.h>
#include <linux/v4l2-subdev.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/simulated_device.h"

namespace Quorvan {
namespace simulation {

struct SimulatedEntity {
    uint32_t id;
    std::string name;
    uint32_t function;  // MEDIA_ENT_F_*
    uint32_t major_number;
    uint32_t minor_number;
};

struct SimulatedLink {
    uint32_t source_entity;
    uint16_t source_pad;
    uint32_t sink_entity;
    uint16_t sink_pad;
    bool enabled;
    bool immutable;
};

struct SimulatedMediaInfo {
    std::string driver;
    std::string model;
    std::string serial;
    std::string bus_info;
};

class SimulatedMediaDevice final : public SimulatedDevice {
public:
    // What MEDIA_IOC_DEVICE_INFO answers.
    SimulatedMediaInfo info;

    void addEntity(SimulatedEntity entity);
    void addLink(SimulatedLink link);
    bool linkEnabled(uint32_t source_entity, uint32_t sink_entity) const;
    uint32_t entityId(const std::string& name) const;  // 0 when absent

    int ioctl(unsigned long request, void* argument) override;

private:
    int enumerateEntity(media_entity_desc& entity) const;
    int setupLink(const media_link_desc& link);

    std::vector<SimulatedEntity> entities;  // kept in id order
    std::vector<SimulatedLink> links;
};

// A sensor sub-device accepts only its native size and answers the range
// and exposure controls; a bridge takes any size and has no controls.
class SimulatedSubdevice final : public SimulatedDevice {
public:
    // `sensor` is null for a bridge.
    explicit SimulatedSubdevice(std::shared_ptr<SensorState> sensor);

    int ioctl(unsigned long request, void* argument) override;

    // The active format of pad 0; code 0 until someone sets it.
    const v4l2_mbus_framefmt& activeFormat() const { return active; }
    bool isSensor() const { return sensor != nullptr; }

private:
    int setFormat(v4l2_subdev_format& requested);
    int control(v4l2_control& control, bool set);

    std::shared_ptr<SensorState> sensor;
    v4l2_mbus_framefmt active{};
};

}  // namespace simulation
}  // namespace Quorvan

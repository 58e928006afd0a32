#include "support/simulated_media.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Quorvan {
namespace simulation {

namespace {

constexpr uint32_t kRangeControl = 0x00981901;

int fail(int error) {
    errno = error;
    return -1;
}

}  // namespace

void SimulatedMediaDevice::addEntity(SimulatedEntity entity) {
    entities.push_back(std::move(entity));
    std::sort(entities.begin(), entities.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
}

void SimulatedMediaDevice::addLink(SimulatedLink link) {
    links.push_back(link);
}

bool SimulatedMediaDevice::linkEnabled(uint32_t source_entity, uint32_t sink_entity) const {
    return std::any_of(links.begin(), links.end(), [&](const SimulatedLink& link) {
        return link.source_entity == source_entity && link.sink_entity == sink_entity &&
               link.enabled;
    });
}

uint32_t SimulatedMediaDevice::entityId(const std::string& name) const {
    for (const SimulatedEntity& entity : entities) {
        if (entity.name == name)
            return entity.id;
    }
    return 0;
}

int SimulatedMediaDevice::enumerateEntity(media_entity_desc& entity) const {
    const bool next = entity.id & MEDIA_ENT_ID_FLAG_NEXT;
    const uint32_t id = entity.id & ~MEDIA_ENT_ID_FLAG_NEXT;
    auto found = std::find_if(entities.begin(), entities.end(), [&](const SimulatedEntity& e) {
        return next ? e.id > id : e.id == id;
    });
    if (found == entities.end())
        return fail(EINVAL);
    entity = {};
    entity.id = found->id;
    std::strncpy(entity.name, found->name.c_str(), sizeof(entity.name) - 1);
    entity.type = found->function;
    entity.dev.major = found->major_number;
    entity.dev.minor = found->minor_number;
    return 0;
}

int SimulatedMediaDevice::setupLink(const media_link_desc& request) {
    for (SimulatedLink& link : links) {
        if (link.source_entity != request.source.entity ||
            link.source_pad != request.source.index || link.sink_entity != request.sink.entity ||
            link.sink_pad != request.sink.index) {
            continue;
        }
        if ((request.source.flags & MEDIA_PAD_FL_SOURCE) == 0 ||
            (request.sink.flags & MEDIA_PAD_FL_SINK) == 0) {
            return fail(EINVAL);
        }
        const bool enable = request.flags & MEDIA_LNK_FL_ENABLED;
        if (link.immutable && !enable)
            return fail(EINVAL);
        link.enabled = enable;
        return 0;
    }
    return fail(EINVAL);
}

int SimulatedMediaDevice::ioctl(unsigned long request, void* argument) {
    if (argument == nullptr)
        return fail(EFAULT);
    switch (request) {
        case MEDIA_IOC_ENUM_ENTITIES:
            return enumerateEntity(*static_cast<media_entity_desc*>(argument));
        case MEDIA_IOC_SETUP_LINK:
            return setupLink(*static_cast<const media_link_desc*>(argument));
        case MEDIA_IOC_DEVICE_INFO: {
            auto& described = *static_cast<media_device_info*>(argument);
            described = {};
            std::strncpy(described.driver, info.driver.c_str(), sizeof(described.driver) - 1);
            std::strncpy(described.model, info.model.c_str(), sizeof(described.model) - 1);
            std::strncpy(described.serial, info.serial.c_str(), sizeof(described.serial) - 1);
            std::strncpy(described.bus_info, info.bus_info.c_str(), sizeof(described.bus_info) - 1);
            return 0;
        }
        default:
            return fail(ENOTTY);
    }
}

SimulatedSubdevice::SimulatedSubdevice(std::shared_ptr<SensorState> sensor)
    : sensor(std::move(sensor)) {
    if (this->sensor) {
        active.width = this->sensor->native_width;
        active.height = this->sensor->native_height;
    }
}

// The 640x480 sensor switches between its raw layouts (640 or 320 wide,
// 5 or 10 x (height + 1) rows); the 240x180 sensor has its one size.
static bool isRawLayoutOf640x480Sensor(const SensorState& sensor, uint32_t width, uint32_t height) {
    const bool is_640x480_sensor = sensor.native_width == 640 || sensor.native_width == 320;
    return is_640x480_sensor && ((width == 640 && (height == 2405 || height == 4810)) ||
                                 (width == 320 && (height == 1205 || height == 2410)));
}

int SimulatedSubdevice::setFormat(v4l2_subdev_format& requested) {
    if (requested.pad != 0)
        return fail(EINVAL);
    v4l2_mbus_framefmt result = requested.format;
    if (sensor && !isRawLayoutOf640x480Sensor(*sensor, result.width, result.height)) {
        result.width = sensor->native_width;
        result.height = sensor->native_height;
    }
    result.field = V4L2_FIELD_NONE;
    requested.format = result;
    if (requested.which == V4L2_SUBDEV_FORMAT_ACTIVE)
        active = result;
    return 0;
}

int SimulatedSubdevice::control(v4l2_control& control, bool set) {
    if (!sensor)
        return fail(EINVAL);
    int* value = nullptr;
    if (control.id == kRangeControl)
        value = &sensor->range_setting;
    if (control.id == V4L2_CID_EXPOSURE)
        value = &sensor->exposure;
    if (value == nullptr)
        return fail(EINVAL);
    if (!set) {
        control.value = *value;
        return 0;
    }
    if (control.id == kRangeControl && control.value != SensorState::kLongRange &&
        control.value != SensorState::kShortRange) {
        return fail(ERANGE);
    }
    *value = control.value;
    return 0;
}

int SimulatedSubdevice::ioctl(unsigned long request, void* argument) {
    if (argument == nullptr)
        return fail(EFAULT);
    switch (request) {
        case VIDIOC_SUBDEV_S_FMT:
            return setFormat(*static_cast<v4l2_subdev_format*>(argument));
        case VIDIOC_SUBDEV_G_FMT: {
            auto& record = *static_cast<v4l2_subdev_format*>(argument);
            if (record.pad != 0)
                return fail(EINVAL);
            record.format = active;
            return 0;
        }
        case VIDIOC_S_CTRL:
            return control(*static_cast<v4l2_control*>(argument), true);
        case VIDIOC_G_CTRL:
            return control(*static_cast<v4l2_control*>(argument), false);
        default:
            return fail(ENOTTY);
    }
}

}  // namespace simulation
}  // namespace Quorvan

#include "csi/sensor_subdevices.h"

#include <linux/media-bus-format.h>

#include <utility>

#include "csi/v4l2_requests.h"

namespace Quorvan {

bool SensorSubdevices::addBridge(KernelDescriptor subdevice) {
    if (isFull())
        return false;
    handles[used++] = std::move(subdevice);
    return true;
}

bool SensorSubdevices::addSensor(KernelDescriptor subdevice) {
    if (isFull())
        return false;
    sensor_index = used;
    handles[used++] = std::move(subdevice);
    return true;
}

int SensorSubdevices::sensorHandle() const {
    if (sensor_index >= used)
        return -1;
    return handles[sensor_index].get();
}

void SensorSubdevices::setBusName(std::string_view name) {
    bus_name.fill('\0');
    // The last character always stays NUL.
    name.copy(bus_name.data(), bus_name.size() - 1);
}

int SensorSubdevices::applyFormat(uint32_t width, uint32_t height) {
    for (int index = 0; index < used; ++index) {
        v4l2_subdev_format format{};
        format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        format.pad = 0;
        format.format.width = width;
        format.format.height = height;
        format.format.code = MEDIA_BUS_FMT_Y12_1X12;
        format.format.field = V4L2_FIELD_NONE;
        const int result = issueRequest(kernel, handle(index), request::kSetSubdeviceFormat,
                                        Attempts::RetryTransient, &format);
        if (result < 0)
            return result;
    }
    return 0;
}

int SensorSubdevices::readSensorSize(uint32_t* width, uint32_t* height) const {
    v4l2_subdev_format format{};
    // Single attempt: the sub-device answers from the format it holds
    // without waiting on the hardware.
    const int result = issueRequest(kernel, sensorHandle(), request::kGetSubdeviceFormat,
                                    Attempts::Single, &format);
    if (result < 0)
        return result;
    *width = format.format.width;
    *height = format.format.height;
    return 0;
}

void SensorSubdevices::clear() {
    for (KernelDescriptor& handle : handles)
        handle.reset();
    used = 0;
    sensor_index = 0;
    bus_name.fill('\0');
}

}  // namespace Quorvan

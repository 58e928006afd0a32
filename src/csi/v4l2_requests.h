// The kernel requests the CSI backend makes, each with its kernel name for
// failure messages.
#pragma once

#include <linux/i2c-dev.h>
#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include "system/kernel_request.h"

namespace Quorvan {
namespace request {

// The capture node.
constexpr KernelRequest kQueryCapability{VIDIOC_QUERYCAP, "VIDIOC_QUERYCAP"};
constexpr KernelRequest kSelectInput{VIDIOC_S_INPUT, "VIDIOC_S_INPUT"};
constexpr KernelRequest kTryFormat{VIDIOC_TRY_FMT, "VIDIOC_TRY_FMT"};
constexpr KernelRequest kSetFormat{VIDIOC_S_FMT, "VIDIOC_S_FMT"};
constexpr KernelRequest kGetFormat{VIDIOC_G_FMT, "VIDIOC_G_FMT"};
constexpr KernelRequest kRequestBuffers{VIDIOC_REQBUFS, "VIDIOC_REQBUFS"};
constexpr KernelRequest kQueryBuffer{VIDIOC_QUERYBUF, "VIDIOC_QUERYBUF"};
constexpr KernelRequest kQueueBuffer{VIDIOC_QBUF, "VIDIOC_QBUF"};
constexpr KernelRequest kDequeueBuffer{VIDIOC_DQBUF, "VIDIOC_DQBUF"};
constexpr KernelRequest kStreamOn{VIDIOC_STREAMON, "VIDIOC_STREAMON"};
constexpr KernelRequest kStreamOff{VIDIOC_STREAMOFF, "VIDIOC_STREAMOFF"};

// Sub-devices.
constexpr KernelRequest kSetSubdeviceFormat{VIDIOC_SUBDEV_S_FMT, "VIDIOC_SUBDEV_S_FMT"};
constexpr KernelRequest kGetSubdeviceFormat{VIDIOC_SUBDEV_G_FMT, "VIDIOC_SUBDEV_G_FMT"};
constexpr KernelRequest kSetControl{VIDIOC_S_CTRL, "VIDIOC_S_CTRL"};
constexpr KernelRequest kGetControl{VIDIOC_G_CTRL, "VIDIOC_G_CTRL"};

// The media device.
constexpr KernelRequest kMediaDeviceInfo{MEDIA_IOC_DEVICE_INFO, "MEDIA_IOC_DEVICE_INFO"};
constexpr KernelRequest kEnumerateEntities{MEDIA_IOC_ENUM_ENTITIES, "MEDIA_IOC_ENUM_ENTITIES"};
constexpr KernelRequest kSetupLink{MEDIA_IOC_SETUP_LINK, "MEDIA_IOC_SETUP_LINK"};

// The sensor's I2C bus, and the adapter set-up of the exported i2c_* helpers.
constexpr KernelRequest kI2cTransfer{I2C_RDWR, "I2C_RDWR"};
constexpr KernelRequest kI2cFunctions{I2C_FUNCS, "I2C_FUNCS"};
constexpr KernelRequest kI2cSlave{I2C_SLAVE, "I2C_SLAVE"};
constexpr KernelRequest kI2cSlaveForce{I2C_SLAVE_FORCE, "I2C_SLAVE_FORCE"};
constexpr KernelRequest kI2cTimeout{I2C_TIMEOUT, "I2C_TIMEOUT"};
constexpr KernelRequest kI2cRetries{I2C_RETRIES, "I2C_RETRIES"};

}  // namespace request
}  // namespace Quorvan

#include "support/simulated_i2c_adapter.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>
#include <cstdint>

namespace Quorvan {
namespace simulation {

namespace {

int fail(int error) {
    errno = error;
    return -1;
}

long valueOf(void* argument) {
    return static_cast<long>(reinterpret_cast<intptr_t>(argument));
}

}  // namespace

SimulatedI2cAdapter::SimulatedI2cAdapter(std::shared_ptr<SensorState> sensor)
    : functionality(I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL), sensor(std::move(sensor)) {}

int SimulatedI2cAdapter::transfer(void* argument) {
    if (argument == nullptr)
        return fail(EFAULT);
    const auto& data = *static_cast<const i2c_rdwr_ioctl_data*>(argument);
    if (data.msgs == nullptr || data.nmsgs == 0 || data.nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        return fail(EINVAL);
    }
    for (uint32_t i = 0; i < data.nmsgs; ++i) {
        const i2c_msg& message = data.msgs[i];
        // Nothing else answers on this bus.
        if (message.addr != kChipAddress)
            return fail(ENXIO);
        if (message.flags & I2C_M_RD)
            return fail(EOPNOTSUPP);
        written.emplace_back(message.buf, message.buf + message.len);
        if (message.len == 6 && message.buf[0] == 0x06 && message.buf[1] == 0x33) {
            sensor->frame_rate = static_cast<uint32_t>(message.buf[2]) << 24 |
                                 static_cast<uint32_t>(message.buf[3]) << 16 |
                                 static_cast<uint32_t>(message.buf[4]) << 8 | message.buf[5];
        }
    }
    return completed_messages_override >= 0 ? completed_messages_override
                                            : static_cast<int>(data.nmsgs);
}

int SimulatedI2cAdapter::ioctl(unsigned long request, void* argument) {
    switch (request) {
        case I2C_FUNCS:
            if (argument == nullptr)
                return fail(EFAULT);
            *static_cast<unsigned long*>(argument) = functionality;
            return 0;
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE: {
            const long address = valueOf(argument);
            if (address < 0 || address > 0x7F)
                return fail(EINVAL);
            slave_address = address;
            slave_forced = request == I2C_SLAVE_FORCE;
            return 0;
        }
        case I2C_TIMEOUT:
            timeout_value = valueOf(argument);
            return 0;
        case I2C_RETRIES:
            retries_value = valueOf(argument);
            return 0;
        case I2C_RDWR:
            return transfer(argument);
        default:
            return fail(ENOTTY);
    }
}

}  // namespace simulation
}  // namespace Quorvan

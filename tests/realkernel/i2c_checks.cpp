// The I2C helpers against i2c-stub (one chip at 0x0c): opening the bus,
// functionality, the chip address, timeout and retries, and the bus lookup
// through the i2c-dev class in the real sysfs.
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "check.h"
#include "csi/i2c_bus.h"
#include "quorvan/i2c.h"
#include "realkernel_checks.h"
#include "stderr_capture.h"

namespace Quorvan::realkernel {

namespace {

constexpr const char* kStubAdapterName = "SMBus stub driver";
constexpr int kStubChip = 0x0c;

// The stub's bus number, read from sysfs without the code under test.
int stubBusNumber() {
    for (int bus = 0; bus < 16; ++bus) {
        std::ifstream name_file("/sys/class/i2c-dev/i2c-" + std::to_string(bus) + "/name");
        std::string name;
        if (std::getline(name_file, name) && name == kStubAdapterName)
            return bus;
    }
    return -1;
}

// One SMBus byte transfer on the chip the descriptor is addressed to, by the
// ioctl the stub implements; minus errno on failure.
int smbusByte(int file, char direction, uint8_t reg, uint8_t* value) {
    i2c_smbus_data data{};
    data.byte = *value;
    i2c_smbus_ioctl_data request{};
    request.read_write = direction == 'r' ? I2C_SMBUS_READ : I2C_SMBUS_WRITE;
    request.command = reg;
    request.size = I2C_SMBUS_BYTE_DATA;
    request.data = &data;
    if (::ioctl(file, I2C_SMBUS, &request) != 0)
        return -errno;
    *value = data.byte;
    return 0;
}

void checkLookup(int bus) {
    Scope scope("lookup");
    const std::optional<I2cAdapterList> adapters = gatherI2cAdapters(linuxKernel());
    RK_CHECK(adapters.has_value());
    int found = -1;
    if (adapters) {
        for (const I2cAdapter& adapter : *adapters) {
            if (adapter.name == kStubAdapterName)
                found = adapter.number;
        }
    }
    RK_CHECK_EQ(found, bus);
    RK_CHECK_EQ(lookupI2cBus(linuxKernel(), kStubAdapterName), bus);
    RK_CHECK_EQ(lookupI2cBus(linuxKernel(), std::to_string(bus).c_str()), bus);
    {
        StderrCapture capture;
        RK_CHECK_EQ(lookupI2cBus(linuxKernel(), "no such adapter"), -1);
        RK_CHECK(capture.finish().find("doesn't match any bus") != std::string::npos);
    }
    {
        StderrCapture capture;
        RK_CHECK_EQ(lookupI2cBus(linuxKernel(), "0x100000"), -2);
        RK_CHECK(capture.finish().find("out of range") != std::string::npos);
    }
}

void checkOpen(int bus) {
    Scope scope("open");
    char filename[20];
    {
        StderrCapture capture;
        errno = 0;
        RK_CHECK_EQ(::i2c_open_i2c_dev(bus + 40, filename, sizeof(filename), 0), -1);
        RK_CHECK_EQ(errno, ENOENT);
        const std::string message = capture.finish();
        RK_CHECK(message.find("/dev/i2c-" + std::to_string(bus + 40)) != std::string::npos);
    }
    const int file = ::i2c_open_i2c_dev(bus, filename, sizeof(filename), 0);
    RK_CHECK(file >= 0);
    RK_CHECK(std::string(filename) == "/dev/i2c-" + std::to_string(bus));
    if (file < 0)
        return;

    unsigned long funcs = 0;
    RK_CHECK_EQ(::i2c_get_functionality(file, &funcs), 0);
    RK_CHECK((funcs & I2C_FUNC_SMBUS_BYTE_DATA) == I2C_FUNC_SMBUS_BYTE_DATA);
    // The stub speaks SMBus only: no plain I2C messages, so no I2C_RDWR.
    RK_CHECK((funcs & I2C_FUNC_I2C) == 0);

    // The address really reaches the adapter: the stub answers 0x0c only.
    RK_CHECK_EQ(::i2c_set_slave_addr(file, kStubChip, 0), 0);
    uint8_t value = 0x5a;
    RK_CHECK_EQ(smbusByte(file, 'w', 0x10, &value), 0);
    value = 0;
    RK_CHECK_EQ(smbusByte(file, 'r', 0x10, &value), 0);
    RK_CHECK_EQ(value, 0x5a);
    // i2c-stub answers an address without a chip with ENODEV.
    RK_CHECK_EQ(::i2c_set_slave_addr(file, kStubChip + 1, 0), 0);
    RK_CHECK_EQ(smbusByte(file, 'r', 0x10, &value), -ENODEV);
    RK_CHECK_EQ(::i2c_set_slave_addr(file, kStubChip, 1), 0);
    {
        StderrCapture capture;
        RK_CHECK_EQ(::i2c_set_slave_addr(file, 0x80, 0), -EINVAL);
        RK_CHECK(capture.finish().find("Could not set address to 0x80") != std::string::npos);
    }

    RK_CHECK_EQ(::i2c_set_adapter_timeout(file, 5), 0);
    RK_CHECK_EQ(::i2c_set_adapter_timeout(file, 0), 0);
    RK_CHECK_EQ(::i2c_set_adapter_retries(file, 3), 0);
    RK_CHECK_EQ(::i2c_set_adapter_retries(file, 0), 0);
    {
        StderrCapture capture;
        RK_CHECK_EQ(::i2c_set_adapter_timeout(file, -1), -EINVAL);
        RK_CHECK(capture.finish().find("Could not set timeout to -1") != std::string::npos);
    }
    {
        StderrCapture capture;
        RK_CHECK_EQ(::i2c_set_adapter_retries(file, -1), -EINVAL);
        RK_CHECK(capture.finish().find("Could not set retries to -1") != std::string::npos);
    }
    // A transfer still works after the failed requests.
    RK_CHECK_EQ(smbusByte(file, 'r', 0x10, &value), 0);
    ::close(file);
    {
        StderrCapture capture;
        RK_CHECK_EQ(::i2c_get_functionality(-1, &funcs), -EBADF);
        RK_CHECK(capture.finish().find("Could not get adapter functionality") != std::string::npos);
    }
}

}  // namespace

void runI2cChecks(const char*) {
    const int bus = stubBusNumber();
    if (!RK_CHECK(bus >= 0))
        return;
    checkLookup(bus);
    checkOpen(bus);
}

}  // namespace Quorvan::realkernel

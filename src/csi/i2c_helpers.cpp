// The exported i2c_* functions run against the real kernel; the overloads in
// namespace Quorvan take any kernel-access implementation.
#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "csi/i2c_bus.h"
#include "csi/v4l2_requests.h"
#include "log/log.h"
#include "quorvan/i2c.h"

namespace Quorvan {

namespace {

// I2C_SLAVE, I2C_TIMEOUT and I2C_RETRIES take their argument by value, in
// the place of the pointer.
void* valueArgument(long value) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(value));
}

// Issues one I2C request through the kernel-access layer, once: an adapter
// that refuses its set-up refuses it again. On failure logs the message the
// caller formatted (with the error text appended) and returns minus errno;
// errno keeps that value for C callers.
template <typename... Arguments>
int adapterRequest(KernelInterface& kernel, int file, const KernelRequest& request, void* argument,
                   const char* failure_format, Arguments... arguments) {
    const int result = issueRequest(kernel, file, request, Attempts::Single, argument);
    if (result >= 0)
        return 0;
    QUORVAN_LOGF(I2c, Error, failure_format, arguments..., std::strerror(-result));
    errno = -result;
    return result;
}

}  // namespace

int i2c_open_i2c_dev(KernelInterface& kernel, int bus, char* filename, size_t size, int quiet) {
    if (filename == nullptr || size == 0) {
        errno = EINVAL;
        return -1;
    }
    std::snprintf(filename, size, "/dev/i2c-%d", bus);
    const int file = kernel.open(filename, O_RDWR);
    if (file < 0 && !quiet) {
        const int error = errno;
        if (error == ENOENT) {
            QUORVAN_LOGF(I2c, Error, "Error: Could not open file `/dev/i2c-%d': %s", bus,
                         std::strerror(error));
        } else {
            QUORVAN_LOGF(I2c, Error, "Error: Could not open file `%s': %s", filename,
                         std::strerror(error));
            if (error == EACCES)
                QUORVAN_LOGF(I2c, Error, "Run as root?");
        }
        errno = error;
    }
    return file;
}

int i2c_get_functionality(KernelInterface& kernel, int file, unsigned long* funcs) {
    return adapterRequest(kernel, file, request::kI2cFunctions, funcs,
                          "Error: Could not get adapter functionality: %s");
}

int i2c_set_slave_addr(KernelInterface& kernel, int file, int address, int force) {
    return adapterRequest(kernel, file, force ? request::kI2cSlaveForce : request::kI2cSlave,
                          valueArgument(address), "Error: Could not set address to 0x%02x: %s",
                          address);
}

int i2c_set_adapter_timeout(KernelInterface& kernel, int file, int timeout) {
    // 0 stands for "the usual value" (3 for the timeout, 2 for the retries);
    // the message still names what the caller passed.
    return adapterRequest(kernel, file, request::kI2cTimeout, valueArgument(timeout ? timeout : 3),
                          "Error: Could not set timeout to %d: %s", timeout);
}

int i2c_set_adapter_retries(KernelInterface& kernel, int file, int retries) {
    return adapterRequest(kernel, file, request::kI2cRetries, valueArgument(retries ? retries : 2),
                          "Error: Could not set retries to %d: %s", retries);
}

}  // namespace Quorvan

extern "C" {

int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet) {
    return Quorvan::i2c_open_i2c_dev(Quorvan::linuxKernel(), bus, filename, size, quiet);
}

int i2c_get_functionality(int file, unsigned long* funcs) {
    return Quorvan::i2c_get_functionality(Quorvan::linuxKernel(), file, funcs);
}

int i2c_set_slave_addr(int file, int address, int force) {
    return Quorvan::i2c_set_slave_addr(Quorvan::linuxKernel(), file, address, force);
}

int i2c_set_adapter_timeout(int file, int timeout) {
    return Quorvan::i2c_set_adapter_timeout(Quorvan::linuxKernel(), file, timeout);
}

int i2c_set_adapter_retries(int file, int retries) {
    return Quorvan::i2c_set_adapter_retries(Quorvan::linuxKernel(), file, retries);
}

}  // extern "C"

// The I2C layer below the exported i2c_* functions: the same operations on
// any kernel-access implementation (tests hand in a simulated board), plus
// bus-name resolution and chip-address parsing for the CSI backend.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "system/kernel_interface.h"

namespace Quorvan {

struct I2cAdapter {
    int number = 0;    // the N of /dev/i2c-N
    std::string name;  // as the kernel reports it, without a trailing newline
};

using I2cAdapterList = std::vector<I2cAdapter>;

// Opens /dev/i2c-<bus> read-write; the path, truncated to `size`, goes to
// `filename`. Returns the descriptor or -1; reports why unless `quiet`.
int i2c_open_i2c_dev(KernelInterface& kernel, int bus, char* filename, size_t size, int quiet);
// The helpers below return 0 or minus errno and leave the descriptor open.
int i2c_get_functionality(KernelInterface& kernel, int file, unsigned long* funcs);
int i2c_set_slave_addr(KernelInterface& kernel, int file, int address, int force);
int i2c_set_adapter_timeout(KernelInterface& kernel, int file, int timeout);
int i2c_set_adapter_retries(KernelInterface& kernel, int file, int retries);

// Adapters on this host: from /proc/bus/i2c when the kernel still offers it,
// else from the i2c-dev class in sysfs. Nothing when memory runs out.
std::optional<I2cAdapterList> gatherI2cAdapters(KernelInterface& kernel);

// A bus given as a number ("1", "0x10") or as an adapter name. Returns the
// bus number, or a negative value after a message: -1 no adapter of that
// name, -2 number out of range, -3 out of memory, -4 name not unique.
int lookupI2cBus(KernelInterface& kernel, const char* text);

// A 7-bit chip address in 0x03..0x77. Returns it, or -1 for text that is not
// a number, -2 for an address out of range.
int parseI2cAddress(const char* text);

}  // namespace Quorvan

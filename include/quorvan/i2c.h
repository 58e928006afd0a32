// I2C helpers exported with C linkage. Each prints one line on standard error
// when it fails and returns a negative value; none ends the process.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Opens /dev/i2c-<bus> read-write; `filename` receives the path. Returns the
// descriptor, or -1.
int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet);
int i2c_get_functionality(int file, unsigned long* funcs);
int i2c_set_slave_addr(int file, int address, int force);
int i2c_set_adapter_timeout(int file, int timeout);
int i2c_set_adapter_retries(int file, int retries);

#ifdef __cplusplus
}
#endif

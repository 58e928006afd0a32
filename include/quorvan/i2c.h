// I2C helpers exported with C linkage. Each reports a failure as one line in
// the library log (category "i2c"; standard error unless the application
// replaced the sink, see quorvan/log.h) and returns a negative value; none
// ends the process.
#pragma once

#include <stddef.h>

#include "quorvan/export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Opens /dev/i2c-<bus> read-write; `filename` receives the path. Returns the
// descriptor, or -1.
QUORVAN_API int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet);
QUORVAN_API int i2c_get_functionality(int file, unsigned long* funcs);
QUORVAN_API int i2c_set_slave_addr(int file, int address, int force);
QUORVAN_API int i2c_set_adapter_timeout(int file, int timeout);
QUORVAN_API int i2c_set_adapter_retries(int file, int retries);

#ifdef __cplusplus
}
#endif

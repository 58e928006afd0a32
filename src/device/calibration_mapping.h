// "cali.bin" opened and mapped read-only for the depth-processing library,
// which may read it for as long as its handle lives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/kernel_interface.h"

namespace Quorvan {

class CalibrationMapping {
public:
    explicit CalibrationMapping(KernelInterface& kernel) : kernel(kernel) {}
    ~CalibrationMapping() { release(); }
    CalibrationMapping(const CalibrationMapping&) = delete;
    CalibrationMapping& operator=(const CalibrationMapping&) = delete;

    // Releases what was held, then opens and maps `path`. False when there is
    // nothing to hand to the library (no such file, or an empty one); true
    // otherwise, even when the mapping itself failed (data() is null then).
    bool map(const char* path);
    void release();

    const void* data() const { return address; }
    // The file's size; the library takes a 32-bit length.
    uint32_t size() const;

private:
    KernelInterface& kernel;
    int descriptor = -1;
    void* address = nullptr;
    size_t length = 0;
};

}  // namespace Quorvan

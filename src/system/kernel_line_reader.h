// Line-by-line reading of small sysfs and procfs texts through the
// kernel-access layer, with the same limits as reading into a fixed buffer:
// a line longer than the buffer arrives in pieces.
#pragma once

#include <cstddef>

#include "system/kernel_interface.h"

namespace Quorvan {

class KernelLineReader {
public:
    KernelLineReader(KernelInterface& kernel, const char* path);
    ~KernelLineReader();
    KernelLineReader(const KernelLineReader&) = delete;
    KernelLineReader& operator=(const KernelLineReader&) = delete;

    bool isOpen() const { return fd >= 0; }
    // Reads at most size - 1 characters, up to and including a newline, and
    // terminates them with NUL. False at end of file or on a read error when
    // nothing was read.
    bool readLine(char* line, size_t size);

private:
    bool refill();

    KernelInterface& kernel;
    int fd;
    char pending[256];
    size_t pending_start = 0;
    size_t pending_end = 0;
    bool exhausted = false;
};

}  // namespace Quorvan

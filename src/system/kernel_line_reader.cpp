#include "system/kernel_line_reader.h"

#include <fcntl.h>

namespace Quorvan {

KernelLineReader::KernelLineReader(KernelInterface& kernel, const char* path)
    : kernel(kernel), fd(kernel.open(path, O_RDONLY)) {}

KernelLineReader::~KernelLineReader() {
    if (fd >= 0)
        kernel.close(fd);
}

bool KernelLineReader::refill() {
    if (exhausted || fd < 0)
        return false;
    const ssize_t count = kernel.read(fd, pending, sizeof(pending));
    if (count <= 0) {
        exhausted = true;
        return false;
    }
    pending_start = 0;
    pending_end = static_cast<size_t>(count);
    return true;
}

bool KernelLineReader::readLine(char* line, size_t size) {
    if (line == nullptr || size == 0)
        return false;
    size_t length = 0;
    while (length + 1 < size) {
        if (pending_start == pending_end && !refill())
            break;
        const char character = pending[pending_start++];
        line[length++] = character;
        if (character == '\n')
            break;
    }
    line[length] = '\0';
    return length > 0;
}

}  // namespace Quorvan

// Whole small files, read and written through the kernel-access layer, for
// code that keeps a file's contents in memory (a calibration text, a point
// cloud) rather than streaming it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "system/kernel_interface.h"

namespace Quorvan {

// The whole file in `text`. False when it cannot be opened or read, or when
// it holds more than `max_bytes` (a device node such as /dev/zero never
// ends, so a bound is always given); `text` is then unspecified.
bool readWholeFile(KernelInterface& kernel, const char* path, size_t max_bytes, std::string* text);

// Creates or truncates `path` with `mode` and writes `size` bytes to it,
// continuing after short writes and interrupted calls. False when any step
// fails, closing included (a full disk may only show there); what was
// written by then stays in the file.
bool writeWholeFile(KernelInterface& kernel, const char* path, const void* bytes, size_t size,
                    mode_t mode = 0644);

}  // namespace Quorvan

// The three configuration files the 640x480 device writes for its
// depth-processing library before every start. Their bytes are compiled in
// from src/device/default_config/ (see embed_texts.cmake there).
#pragma once

#include <cstddef>

#include "system/kernel_interface.h"

namespace Quorvan {

struct DefaultConfigText {
    const char* file_name;  // relative: always written to the current directory
    const unsigned char* bytes;
    size_t size;
};

constexpr size_t kDefaultConfigTextCount = 3;

// In writing order: "ConfigAlgorithm.json", "ConfigCamera.json", "register.json".
extern const DefaultConfigText kDefaultConfigTexts[kDefaultConfigTextCount];

// Writes the three files into the current directory, truncating old ones.
// False as soon as one cannot be opened for writing (the files before it stay
// written). Short writes and failed closes are not reported: the library
// still starts and works with whatever it finds.
bool writeDefaultConfigFiles(KernelInterface& kernel);
// The same through the Linux kernel-access layer.
bool writeDefaultConfigFiles();

}  // namespace Quorvan

#include "device/default_config_files.h"

namespace Quorvan {

namespace {

constexpr mode_t kConfigFileMode = 0644;

}  // namespace

bool writeDefaultConfigFiles(KernelInterface& kernel) {
    for (const DefaultConfigText& text : kDefaultConfigTexts) {
        const int descriptor = kernel.createFile(text.file_name, kConfigFileMode);
        if (descriptor < 0)
            return false;
        // A short write is not reported: the library still starts and works
        // with whatever it finds.
        static_cast<void>(kernel.write(descriptor, text.bytes, text.size));
        kernel.close(descriptor);
    }
    return true;
}

bool writeDefaultConfigFiles() {
    return writeDefaultConfigFiles(linuxKernel());
}

}  // namespace Quorvan

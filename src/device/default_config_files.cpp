#include "device/default_config_files.h"

#include <fcntl.h>
#include <unistd.h>

namespace Quorvan {

bool writeDefaultConfigFiles() {
    for (const DefaultConfigText& text : kDefaultConfigTexts) {
        const int descriptor =
            ::open(text.file_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (descriptor < 0) {
            return false;
        }
        const ssize_t written = ::write(descriptor, text.bytes, text.size);
        static_cast<void>(written);
        ::close(descriptor);
    }
    return true;
}

}  // namespace Quorvan

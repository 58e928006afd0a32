#include "process_resources.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>

namespace Quorvan::realkernel {

namespace {

template <typename Visit>
void forEachDescriptorTarget(Visit visit) {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr)
        return;
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == own)
            continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
        visit(std::string(target, length > 0 ? static_cast<size_t>(length) : 0));
    }
    ::closedir(directory);
}

}  // namespace

int openDescriptorsOf(const std::string& device) {
    int count = 0;
    forEachDescriptorTarget(
        [&](const std::string& target) { count += target.find(device) != std::string::npos; });
    return count;
}

int openDescriptorCount() {
    int count = 0;
    forEachDescriptorTarget([&](const std::string&) { ++count; });
    return count;
}

int mappingsOf(const std::string& device) {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find(device) != std::string::npos;
    return count;
}

}  // namespace Quorvan::realkernel

#include "host_stage.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>

namespace Quorvan::realkernel {

int busNumberOf(const char* adapter_name) {
    for (int bus = 0; bus < 16; ++bus) {
        std::ifstream name_file("/sys/class/i2c-dev/i2c-" + std::to_string(bus) + "/name");
        std::string name;
        if (std::getline(name_file, name) && name == adapter_name)
            return bus;
    }
    return -1;
}

namespace {

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}

}  // namespace

HostStage::HostStage(const char* model, const char* node) {
    if (model != nullptr) {
        model_mounted = ::mount("tmpfs", "/sys/firmware", "tmpfs", 0, nullptr) == 0;
        ::mkdir("/sys/firmware/devicetree", 0755);
        ::mkdir("/sys/firmware/devicetree/base", 0755);
        // The device tree stores the model NUL-terminated.
        staged = model_mounted &&
                 writeFile("/sys/firmware/devicetree/base/model", std::string(model) + '\0');
    }
    if (node != nullptr && staged) {
        struct stat status {};
        const int bus = busNumberOf(kChipAdapterName);
        staged = ::stat(node, &status) == 0 && bus >= 0;
        if (staged) {
            name_path = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                        std::to_string(minor(status.st_rdev)) + "/name";
            char client[32];
            std::snprintf(client, sizeof(client), "%d-000c", bus);
            const std::string staged_name = "/tmp/staged-node-name";
            staged =
                writeFile(staged_name, std::string("vi-output, quorvan ") + client + "\n") &&
                ::mount(staged_name.c_str(), name_path.c_str(), nullptr, MS_BIND, nullptr) == 0;
            if (!staged)
                name_path.clear();
        }
    }
}

HostStage::~HostStage() {
    if (!name_path.empty())
        ::umount2(name_path.c_str(), MNT_DETACH);
    if (model_mounted)
        ::umount2("/sys/firmware", MNT_DETACH);
}

}  // namespace Quorvan::realkernel

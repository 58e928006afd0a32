#include "camera/kit_bus.h"

#include <dlfcn.h>

#include <cstring>

#include "quorvan_evk_emulator.h"
#include "quorvan_evk_sdk.h"

namespace Quorvan {

namespace {

using ListKitsFunction = int (*)(const char*, QuorvanEvkKitInfo*, uint32_t, uint32_t*);

// The emulator's listing function, found in the very library that provides
// QuorvanOpenCamera; null for a library without it.
ListKitsFunction findListKits() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&QuorvanOpenCamera), &info) == 0 || !info.dli_fname)
        return nullptr;
    // Already loaded (it provides the function above): this only finds it.
    void* library = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!library)
        return nullptr;
    void* symbol = ::dlsym(library, "QuorvanEvkListKits");
    // The library stays loaded by the link; this drops the extra reference.
    ::dlclose(library);
    return reinterpret_cast<ListKitsFunction>(symbol);
}

class LinkedKitBus final : public KitBus {
public:
    LinkedKitBus() : list_kits_(findListKits()) {}

    bool knowsKits() override { return list_kits_ != nullptr; }

    bool list(const std::string& config_path, std::vector<KitOnBus>* kits) override {
        kits->clear();
        if (!list_kits_)
            return false;
        QuorvanEvkKitInfo found[16];
        uint32_t count = 0;
        if (list_kits_(config_path.c_str(), found, 16, &count) != QUORVAN_EVK_OK)
            return false;
        for (uint32_t i = 0; i < count && i < 16; ++i) {
            KitOnBus kit;
            kit.serial.assign(found[i].serial, strnlen(found[i].serial, sizeof found[i].serial));
            kit.index = found[i].index;
            kit.width = found[i].width;
            kit.height = found[i].height;
            kit.attached = found[i].attached != 0;
            kits->push_back(kit);
        }
        return true;
    }

private:
    const ListKitsFunction list_kits_;
};

}  // namespace

KitBus& linkedKitBus() {
    // Never destroyed, like the library table it stands beside.
    static LinkedKitBus* const bus = new LinkedKitBus;
    return *bus;
}

KitPath splitKitPath(const std::string& open_path) {
    KitPath split;
    split.config = open_path;
    const auto hash = open_path.rfind('#');
    if (hash == std::string::npos)
        return split;
    const std::string tail = open_path.substr(hash + 1);
    if (tail.compare(0, 7, "serial=") == 0 && tail.size() > 7) {
        split.config = open_path.substr(0, hash);
        split.serial = tail.substr(7);
    } else if (tail.compare(0, 6, "index=") == 0 && tail.size() > 6 && tail.size() <= 9 &&
               tail.find_first_not_of("0123456789", 6) == std::string::npos) {
        split.config = open_path.substr(0, hash);
        split.has_index = true;
        split.index = static_cast<uint32_t>(std::stoul(tail.substr(6)));
    }
    return split;
}

std::string kitPathForSerial(const std::string& config_path, const std::string& serial) {
    return config_path + "#serial=" + serial;
}

std::string kitPathForIndex(const std::string& config_path, uint32_t index) {
    return config_path + "#index=" + std::to_string(index);
}

}  // namespace Quorvan

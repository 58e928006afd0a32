// Which I2C adapters the host has and how a bus is named. Older kernels list
// the adapters in /proc/bus/i2c; newer ones only through the i2c-dev class in
// sysfs, where the name file sits at one of three places depending on the
// kernel version.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "csi/i2c_bus.h"
#include "log/log.h"
#include "system/kernel_line_reader.h"

namespace Quorvan {

namespace {

constexpr const char* kProcAdapterList = "/proc/bus/i2c";
constexpr const char* kMountTable = "/proc/mounts";
constexpr size_t kAdapterLineSize = 120;
constexpr size_t kMountLineSize = 255;
constexpr size_t kPathLimit = 255;
constexpr unsigned long kHighestBusNumber = 0xFFFFF;

void trimTrailingSpace(char* text) {
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
}

// Cuts `line` at its last tab and returns what followed it, or null.
char* splitAtLastTab(char* line) {
    char* tab = std::strrchr(line, '\t');
    if (tab == nullptr)
        return nullptr;
    *tab = '\0';
    return tab + 1;
}

// Lines read "i2c-N <tab> kind <tab> name <tab> algorithm"; the name may
// itself hold tabs, so the fields are split from the end.
void readProcAdapterList(KernelLineReader& reader, I2cAdapterList& adapters) {
    char line[kAdapterLineSize];
    while (reader.readLine(line, sizeof(line))) {
        char* algorithm = splitAtLastTab(line);
        char* name = algorithm ? splitAtLastTab(line) : nullptr;
        char* kind = name ? splitAtLastTab(line) : nullptr;
        // Lines with fewer than three tabs are not adapter lines.
        if (kind == nullptr)
            continue;
        trimTrailingSpace(kind);
        trimTrailingSpace(name);
        trimTrailingSpace(algorithm);
        int number = 0;
        if (std::sscanf(line, "i2c-%d", &number) != 1)
            continue;
        adapters.push_back({number, name});
    }
}

// Mount point of the first sysfs in the mount table, or empty.
std::string findSysfsMountPoint(KernelInterface& kernel) {
    KernelLineReader mounts(kernel, kMountTable);
    if (!mounts.isOpen())
        return {};
    char line[kMountLineSize];
    char mount_point[kMountLineSize];
    char type[kMountLineSize];
    while (mounts.readLine(line, sizeof(line))) {
        if (std::sscanf(line, "%*[^ ] %254[^ ] %254[^ ] %*s\n", mount_point, type) != 2)
            continue;
        if (strcasecmp(type, "sysfs") == 0)
            return mount_point;
    }
    return {};
}

bool formatPath(char (&path)[kPathLimit], const char* format, const char* directory,
                const char* entry, const char* sub_entry = nullptr) {
    const int length = sub_entry
                           ? std::snprintf(path, sizeof(path), format, directory, entry, sub_entry)
                           : std::snprintf(path, sizeof(path), format, directory, entry);
    return length >= 0 && static_cast<size_t>(length) < kPathLimit;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Reads the adapter name of one i2c-dev class entry into `name`. False when
// no name file opens or it cannot be read.
bool readAdapterName(KernelInterface& kernel, const char* directory, const char* entry,
                     char (&name)[kAdapterLineSize]) {
    char path[kPathLimit];
    auto readFrom = [&](KernelLineReader& reader) {
        if (!reader.readLine(name, sizeof(name))) {
            QUORVAN_LOGF(I2c, Error, "%s: read error", path);
            return false;
        }
        if (char* newline = std::strchr(name, '\n'))
            *newline = '\0';
        return true;
    };
    for (const char* format : {"%s/%s/name", "%s/%s/device/name"}) {
        if (!formatPath(path, format, directory, entry))
            continue;
        KernelLineReader reader(kernel, path);
        if (reader.isOpen())
            return readFrom(reader);
    }
    char device_directory[kPathLimit];
    if (!formatPath(device_directory, "%s/%s/device", directory, entry))
        return false;
    std::vector<std::string> device_entries;
    if (kernel.listDirectory(device_directory, device_entries) != 0)
        return false;
    for (const std::string& sub_entry : device_entries) {
        if (!startsWith(sub_entry, "i2c-"))
            continue;
        if (!formatPath(path, "%s/%s/device/%s/name", directory, entry, sub_entry.c_str())) {
            continue;
        }
        KernelLineReader reader(kernel, path);
        if (reader.isOpen())
            return readFrom(reader);
    }
    return false;
}

void readSysfsAdapterClass(KernelInterface& kernel, const std::string& sysfs,
                           I2cAdapterList& adapters) {
    const std::string directory = sysfs + "/class/i2c-dev";
    std::vector<std::string> entries;
    if (kernel.listDirectory(directory.c_str(), entries) != 0)
        return;
    for (const std::string& entry : entries) {
        if (entry == "." || entry == "..")
            continue;
        char name[kAdapterLineSize];
        if (!readAdapterName(kernel, directory.c_str(), entry.c_str(), name))
            continue;
        int number = 0;
        if (std::sscanf(entry.c_str(), "i2c-%d", &number) != 1)
            continue;
        adapters.push_back({number, name});
    }
}

}  // namespace

std::optional<I2cAdapterList> gatherI2cAdapters(KernelInterface& kernel) {
    try {
        I2cAdapterList adapters;
        adapters.reserve(8);
        KernelLineReader proc_list(kernel, kProcAdapterList);
        if (proc_list.isOpen()) {
            readProcAdapterList(proc_list, adapters);
            return adapters;
        }
        const std::string sysfs = findSysfsMountPoint(kernel);
        if (!sysfs.empty())
            readSysfsAdapterClass(kernel, sysfs, adapters);
        return adapters;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int lookupI2cBus(KernelInterface& kernel, const char* text) {
    if (text == nullptr)
        text = "";
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 0);
    if (*text != '\0' && *end == '\0') {
        if (number > kHighestBusNumber) {
            QUORVAN_LOGF(I2c, Error, "Error: I2C bus out of range!");
            return -2;
        }
        return static_cast<int>(number);
    }

    const std::optional<I2cAdapterList> adapters = gatherI2cAdapters(kernel);
    if (!adapters) {
        QUORVAN_LOGF(I2c, Error, "Error: Out of memory!");
        return -3;
    }
    const I2cAdapter* match = nullptr;
    for (const I2cAdapter& adapter : *adapters) {
        if (adapter.name != text)
            continue;
        if (match != nullptr) {
            QUORVAN_LOGF(I2c, Error, "Error: I2C bus name is not unique!");
            return -4;
        }
        match = &adapter;
    }
    if (match == nullptr) {
        QUORVAN_LOGF(I2c, Error, "Error: I2C bus name doesn't match any bus present!");
        return -1;
    }
    return match->number;
}

int parseI2cAddress(const char* text) {
    if (text == nullptr)
        text = "";
    char* end = nullptr;
    const long address = std::strtol(text, &end, 0);
    if (*end != '\0') {
        QUORVAN_LOGF(I2c, Error, "Error: Chip address is not a number!");
        return -1;
    }
    if (address < 0x03 || address > 0x77) {
        QUORVAN_LOGF(I2c, Error, "Error: Chip address out of range (0x03-0x77)!");
        return -2;
    }
    return static_cast<int>(address);
}

}  // namespace Quorvan

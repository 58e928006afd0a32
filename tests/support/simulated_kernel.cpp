#include "support/simulated_kernel.h"

#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace Quorvan {
namespace simulation {

namespace {

constexpr size_t kIoctlLogLimit = 200000;

}  // namespace

short SimulatedDevice::pollEvents() const {
    return POLLIN | POLLRDNORM;
}

void* SimulatedDevice::mapMemory(size_t, off_t) {
    errno = ENODEV;
    return nullptr;
}

SimulatedKernel::~SimulatedKernel() = default;

void SimulatedKernel::addFile(const std::string& path, const std::string& content) {
    std::lock_guard<std::mutex> lock(mutex);
    files[path] = content;
}

std::optional<std::string> SimulatedKernel::fileContent(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = files.find(path);
    if (found == files.end())
        return std::nullopt;
    return found->second;
}

void SimulatedKernel::removeFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    files.erase(path);
}

void SimulatedKernel::addDirectory(const std::string& path, std::vector<std::string> entries) {
    std::lock_guard<std::mutex> lock(mutex);
    directories[path] = std::move(entries);
}

void SimulatedKernel::addSymlink(const std::string& path, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex);
    symlinks[path] = target;
}

void SimulatedKernel::addDevice(const std::string& path, uint32_t major_number,
                                uint32_t minor_number, std::shared_ptr<SimulatedDevice> device) {
    std::lock_guard<std::mutex> lock(mutex);
    devices[path] = std::make_shared<DeviceNode>(
        DeviceNode{major_number, minor_number, std::move(device), false});
}

void SimulatedKernel::removeDevice(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = devices.find(path);
    if (found == devices.end())
        return;
    found->second->gone = true;
    devices.erase(found);
}

void SimulatedKernel::removeSymlink(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    symlinks.erase(path);
}

void SimulatedKernel::removeDirectory(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    directories.erase(path);
}

void SimulatedKernel::injectFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex);
    faults.push_back({fault, 0});
}

void SimulatedKernel::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex);
    faults.clear();
}

void SimulatedKernel::setDequeuePacing(std::chrono::microseconds pacing) {
    dequeue_pacing_us = pacing.count();
}

int SimulatedKernel::openDescriptorCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(descriptors.size());
}

int SimulatedKernel::liveMappingCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(mappings.size());
}

std::vector<std::string> SimulatedKernel::openedPaths() const {
    std::lock_guard<std::mutex> lock(mutex);
    return opened_paths;
}

std::vector<IoctlRecord> SimulatedKernel::ioctlLog() const {
    std::lock_guard<std::mutex> lock(mutex);
    return ioctl_log;
}

int SimulatedKernel::ioctlCount(const std::string& path, unsigned long request) const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count_if(ioctl_log.begin(), ioctl_log.end(), [&](const auto& r) {
        return r.path == path && r.request == request;
    }));
}

void SimulatedKernel::clearLogs() {
    std::lock_guard<std::mutex> lock(mutex);
    opened_paths.clear();
    ioctl_log.clear();
}

bool SimulatedKernel::faultHits(KernelCall call, const std::string& path, unsigned long request) {
    for (ArmedFault& armed : faults) {
        const Fault& fault = armed.fault;
        if (fault.call != call)
            continue;
        if (call == KernelCall::Ioctl && fault.request != 0 && fault.request != request)
            continue;
        if (!fault.path.empty() && fault.path != path)
            continue;
        const int index = armed.seen++;
        if (index < fault.skip)
            continue;
        if (fault.times != kAlways && index >= fault.skip + fault.times)
            continue;
        errno = fault.error;
        return true;
    }
    return false;
}

SimulatedKernel::Descriptor* SimulatedKernel::descriptor(int fd) {
    auto found = descriptors.find(fd);
    return found == descriptors.end() ? nullptr : &found->second;
}

int SimulatedKernel::open(const char* path, int /*flags*/) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = path ? path : "";
    if (faultHits(KernelCall::Open, name, 0))
        return -1;
    Descriptor opened;
    opened.path = name;
    if (auto device = devices.find(name); device != devices.end()) {
        opened.node = device->second;
    } else if (auto file = files.find(name); file != files.end()) {
        opened.content = file->second;
    } else {
        errno = directories.count(name) ? EISDIR : ENOENT;
        return -1;
    }
    const int fd = next_descriptor++;
    descriptors.emplace(fd, std::move(opened));
    opened_paths.push_back(name);
    return fd;
}

int SimulatedKernel::createFile(const char* path, mode_t /*mode*/) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = path ? path : "";
    if (faultHits(KernelCall::Open, name, 0))
        return -1;
    if (devices.count(name) || directories.count(name)) {
        errno = directories.count(name) ? EISDIR : EACCES;
        return -1;
    }
    files[name].clear();
    Descriptor opened;
    opened.path = name;
    opened.writable = true;
    const int fd = next_descriptor++;
    descriptors.emplace(fd, std::move(opened));
    opened_paths.push_back(name);
    return fd;
}

int SimulatedKernel::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    Descriptor* open_file = descriptor(fd);
    if (open_file == nullptr) {
        errno = EBADF;
        return -1;
    }
    const bool fails = faultHits(KernelCall::Close, open_file->path, 0);
    // Like Linux, the descriptor is gone even when close reports an error.
    descriptors.erase(fd);
    return fails ? -1 : 0;
}

int SimulatedKernel::ioctl(int fd, unsigned long request, void* arg) {
    if (request == VIDIOC_DQBUF && dequeue_pacing_us > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(dequeue_pacing_us.load()));
    }
    std::lock_guard<std::mutex> lock(mutex);
    Descriptor* open_file = descriptor(fd);
    if (open_file == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (ioctl_log.size() < kIoctlLogLimit)
        ioctl_log.push_back({open_file->path, request});
    if (faultHits(KernelCall::Ioctl, open_file->path, request))
        return -1;
    if (open_file->node == nullptr) {
        errno = ENOTTY;
        return -1;
    }
    if (open_file->node->gone) {
        errno = ENODEV;
        return -1;
    }
    return open_file->node->device->ioctl(request, arg);
}

ssize_t SimulatedKernel::read(int fd, void* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    Descriptor* open_file = descriptor(fd);
    if (open_file == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (faultHits(KernelCall::Read, open_file->path, 0))
        return -1;
    if (open_file->node != nullptr) {
        errno = EINVAL;
        return -1;
    }
    const size_t available = open_file->content.size() - open_file->position;
    const size_t count = std::min(size, available);
    std::memcpy(buffer, open_file->content.data() + open_file->position, count);
    open_file->position += count;
    return static_cast<ssize_t>(count);
}

ssize_t SimulatedKernel::write(int fd, const void* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    Descriptor* open_file = descriptor(fd);
    if (open_file == nullptr || !open_file->writable) {
        errno = EBADF;
        return -1;
    }
    if (faultHits(KernelCall::Write, open_file->path, 0))
        return -1;
    const size_t count = write_limit > 0 ? std::min(size, write_limit) : size;
    files[open_file->path].append(static_cast<const char*>(buffer), count);
    return static_cast<ssize_t>(count);
}

void SimulatedKernel::limitWritesTo(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    write_limit = bytes;
}

void* SimulatedKernel::mmap(void* /*address*/, size_t length, int /*protection*/, int /*flags*/,
                            int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex);
    Descriptor* open_file = descriptor(fd);
    if (open_file == nullptr) {
        errno = EBADF;
        return MAP_FAILED;
    }
    if (faultHits(KernelCall::Mmap, open_file->path, 0))
        return MAP_FAILED;
    if (open_file->node == nullptr || open_file->node->gone || length == 0) {
        errno = open_file->node == nullptr || open_file->node->gone ? ENODEV : EINVAL;
        return MAP_FAILED;
    }
    const std::shared_ptr<SimulatedDevice>& device = open_file->node->device;
    void* memory = device->mapMemory(length, offset);
    if (memory == nullptr)
        return MAP_FAILED;
    mappings.push_back({memory, length, device});
    return memory;
}

int SimulatedKernel::munmap(void* address, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    // Only whole mappings are released: a partial unmap would be a bug in
    // the code under test, so it is refused and the mapping stays counted.
    auto found = std::find_if(mappings.begin(), mappings.end(), [&](const Mapping& mapping) {
        return mapping.address == address && mapping.length == length;
    });
    if (found == mappings.end()) {
        errno = EINVAL;
        return -1;
    }
    if (faultHits(KernelCall::Munmap, "", 0))
        return -1;
    found->device->releaseMapping(address, length);
    mappings.erase(found);
    return 0;
}

int SimulatedKernel::poll(struct pollfd* polled, nfds_t count, int) {
    std::lock_guard<std::mutex> lock(mutex);
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        pollfd& entry = polled[i];
        entry.revents = 0;
        Descriptor* open_file = descriptor(entry.fd);
        if (open_file == nullptr) {
            entry.revents = POLLNVAL;
        } else if (faultHits(KernelCall::Poll, open_file->path, 0)) {
            return -1;
        } else {
            short events = POLLIN;
            if (open_file->node && open_file->node->gone)
                events = POLLERR | POLLHUP;
            else if (open_file->node)
                events = open_file->node->device->pollEvents();
            entry.revents = static_cast<short>(events & (entry.events | POLLERR | POLLHUP));
        }
        ready += entry.revents != 0;
    }
    return ready;
}

int SimulatedKernel::fstat(int fd, struct stat* status) {
    std::lock_guard<std::mutex> lock(mutex);
    Descriptor* open_file = descriptor(fd);
    if (open_file == nullptr) {
        errno = EBADF;
        return -1;
    }
    if (faultHits(KernelCall::Fstat, open_file->path, 0))
        return -1;
    *status = {};
    if (open_file->node != nullptr) {
        status->st_mode = S_IFCHR | 0660;
        status->st_rdev = makedev(open_file->node->major_number, open_file->node->minor_number);
    } else {
        status->st_mode = S_IFREG | 0444;
        status->st_size = static_cast<off_t>(open_file->content.size());
    }
    return 0;
}

ssize_t SimulatedKernel::readlink(const char* path, char* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = path ? path : "";
    if (faultHits(KernelCall::Readlink, name, 0))
        return -1;
    // /proc/self/fd/N names the node behind an open descriptor, as on Linux.
    constexpr std::string_view kDescriptorLinks = "/proc/self/fd/";
    if (name.compare(0, kDescriptorLinks.size(), kDescriptorLinks) == 0) {
        const Descriptor* open_descriptor =
            descriptor(std::atoi(name.c_str() + kDescriptorLinks.size()));
        if (open_descriptor == nullptr) {
            errno = ENOENT;
            return -1;
        }
        const size_t count = std::min(size, open_descriptor->path.size());
        std::memcpy(buffer, open_descriptor->path.data(), count);
        return static_cast<ssize_t>(count);
    }
    auto found = symlinks.find(name);
    if (found == symlinks.end()) {
        errno = files.count(name) || directories.count(name) ? EINVAL : ENOENT;
        return -1;
    }
    // Like readlink(2): truncated to the buffer, never terminated.
    const size_t count = std::min(size, found->second.size());
    std::memcpy(buffer, found->second.data(), count);
    return static_cast<ssize_t>(count);
}

int SimulatedKernel::listDirectory(const char* path, std::vector<std::string>& entries) {
    std::lock_guard<std::mutex> lock(mutex);
    const std::string name = path ? path : "";
    if (faultHits(KernelCall::ListDirectory, name, 0))
        return -1;
    auto found = directories.find(name);
    if (found != directories.end()) {
        entries = found->second;
        return 0;
    }
    if (name != "/dev") {
        errno = ENOENT;
        return -1;
    }
    entries = {".", ".."};
    for (const auto& [path, node] : devices) {
        if (path.compare(0, 5, "/dev/") == 0 && path.find('/', 5) == std::string::npos)
            entries.push_back(path.substr(5));
    }
    return 0;
}

}  // namespace simulation
}  // namespace Quorvan

// A KernelInterface that simulates a whole board: a small file system (sysfs,
// procfs and device-tree texts, directories, symbolic links), device nodes
// that answer ioctls, memory mappings, and injected faults. Tests count what
// is left open or mapped after the code under test is done.
//
// Thread-safe: one lock guards everything, so a capture thread and an
// application thread may use the same board.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/simulated_device.h"
#include "system/kernel_interface.h"

namespace Quorvan {
namespace simulation {

enum class KernelCall {
    Open,  // also createFile
    Close,
    Ioctl,
    Read,
    Write,
    Mmap,
    Munmap,
    Fstat,
    Readlink,
    ListDirectory,
    Poll,
};

constexpr int kAlways = -1;

// A call that fails with `error`. Calls that match let the first `skip` pass,
// then fail `times` in a row (kAlways: every later one).
struct Fault {
    KernelCall call = KernelCall::Ioctl;
    unsigned long request = 0;  // Ioctl only; 0 matches every request
    std::string path;           // matches calls on this path (or its descriptors); empty: any
    int error = EIO;
    int skip = 0;
    int times = 1;
};

struct IoctlRecord {
    std::string path;
    unsigned long request;
};

class SimulatedKernel final : public KernelInterface {
public:
    SimulatedKernel() = default;
    ~SimulatedKernel() override;

    // The file system.
    void addFile(const std::string& path, const std::string& content);
    // The content of a plain file (as written so far), or nothing.
    std::optional<std::string> fileContent(const std::string& path) const;
    void removeFile(const std::string& path);
    void addDirectory(const std::string& path, std::vector<std::string> entries);
    void addSymlink(const std::string& path, const std::string& target);
    void addDevice(const std::string& path, uint32_t major_number, uint32_t minor_number,
                   std::shared_ptr<SimulatedDevice> device);
    // The device is unregistered, as when its driver unloads: the path no
    // longer opens, descriptors still open on it answer ENODEV to requests
    // and POLLERR | POLLHUP to polls, and their mappings stay until unmapped.
    void removeDevice(const std::string& path);
    void removeSymlink(const std::string& path);
    void removeDirectory(const std::string& path);

    void injectFault(const Fault& fault);
    void clearFaults();
    // Dequeue requests wait this long (outside the lock) before they are
    // answered, so a streaming test does not spin a core.
    void setDequeuePacing(std::chrono::microseconds pacing);
    // Each write takes at most this many bytes (0: all), as a pipe or a full
    // disk may; writers must continue where a short write stopped.
    void limitWritesTo(size_t bytes);

    // Observation.
    int openDescriptorCount() const;
    int liveMappingCount() const;
    std::vector<std::string> openedPaths() const;
    std::vector<IoctlRecord> ioctlLog() const;
    int ioctlCount(const std::string& path, unsigned long request) const;
    void clearLogs();
    // Runs `action` under the board's lock, for tests that inspect device
    // state while another thread streams.
    template <typename Action>
    auto inspect(Action action) const {
        std::lock_guard<std::mutex> lock(mutex);
        return action();
    }

    // KernelInterface.
    int open(const char* path, int flags) override;
    int createFile(const char* path, mode_t mode) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buffer, size_t size) override;
    // Appends to the file a createFile descriptor names.
    ssize_t write(int fd, const void* buffer, size_t size) override;
    void* mmap(void* address, size_t length, int protection, int flags, int fd,
               off_t offset) override;
    int munmap(void* address, size_t length) override;
    int fstat(int fd, struct stat* status) override;
    // Never sleeps: a device with nothing to report answers as a wait that
    // timed out.
    int poll(struct pollfd* descriptors, nfds_t count, int timeout_ms) override;
    ssize_t readlink(const char* path, char* buffer, size_t size) override;
    // "/dev", unless a test lays it out itself, lists the device nodes.
    int listDirectory(const char* path, std::vector<std::string>& entries) override;

private:
    struct DeviceNode {
        uint32_t major_number;
        uint32_t minor_number;
        std::shared_ptr<SimulatedDevice> device;
        bool gone = false;  // unregistered while descriptors were open
    };
    struct Descriptor {
        std::string path;
        std::shared_ptr<const DeviceNode> node;  // null for a plain file
        std::string content;                     // plain files are read from this snapshot
        size_t position = 0;
        bool writable = false;  // from createFile: writes append to the file itself
    };
    struct Mapping {
        void* address;
        size_t length;
        std::shared_ptr<SimulatedDevice> device;
    };
    struct ArmedFault {
        Fault fault;
        int seen = 0;
    };

    // Requires the lock. True (errno set) when an injected fault hits.
    bool faultHits(KernelCall call, const std::string& path, unsigned long request);
    Descriptor* descriptor(int fd);

    mutable std::mutex mutex;  // guards everything below
    std::map<std::string, std::string> files;
    std::map<std::string, std::vector<std::string>> directories;
    std::map<std::string, std::string> symlinks;
    std::map<std::string, std::shared_ptr<DeviceNode>> devices;
    std::map<int, Descriptor> descriptors;
    std::vector<Mapping> mappings;
    std::vector<ArmedFault> faults;
    std::vector<std::string> opened_paths;
    std::vector<IoctlRecord> ioctl_log;
    int next_descriptor = 100;
    size_t write_limit = 0;
    std::atomic<int64_t> dequeue_pacing_us{0};
};

}  // namespace simulation
}  // namespace Quorvan

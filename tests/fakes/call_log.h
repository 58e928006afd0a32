// Ordered record of the calls fakes receive, shared by every fake a factory
// creates. Thread-safe: the capture thread may reach the device's controls.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Quorvan {
namespace fakes {

class CallLog {
public:
    void record(std::string call);
    std::vector<std::string> entries() const;
    // Entries that start with `prefix`, in order.
    std::vector<std::string> entriesStartingWith(const std::string& prefix) const;
    bool contains(const std::string& call) const;
    void clear();

private:
    mutable std::mutex mutex;  // guards calls
    std::vector<std::string> calls;
};

// Polls `condition` every millisecond until it holds or `limit` passes.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace fakes
}  // namespace Quorvan

#include "fakes/call_log.h"

#include <algorithm>
#include <thread>

namespace Quorvan {
namespace fakes {

void CallLog::record(std::string call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(std::move(call));
}

std::vector<std::string> CallLog::entries() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
}

std::vector<std::string> CallLog::entriesStartingWith(const std::string& prefix) const {
    std::vector<std::string> matching;
    for (const std::string& call : entries()) {
        if (call.compare(0, prefix.size(), prefix) == 0)
            matching.push_back(call);
    }
    return matching;
}

bool CallLog::contains(const std::string& call) const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

void CallLog::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace fakes
}  // namespace Quorvan

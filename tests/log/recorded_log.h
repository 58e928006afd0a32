// Replaces the library's log sink while a test runs and keeps every record
// that arrives, from whichever thread; the standard-error sink comes back
// when it goes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "quorvan/log.h"

namespace Quorvan::testing_support {

class RecordedLog {
public:
    struct Entry {
        std::string category;
        logging::Level level;
        std::string message;
    };

    RecordedLog() {
        logging::setSink([this](const logging::Record& record) {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back({record.category, record.level, record.message});
        });
    }
    ~RecordedLog() { logging::setSink({}); }
    RecordedLog(const RecordedLog&) = delete;
    RecordedLog& operator=(const RecordedLog&) = delete;

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    // The messages, one line each, as the standard-error sink would write them.
    std::string text() const {
        std::string joined;
        for (const Entry& entry : entries())
            joined += entry.message + "\n";
        return joined;
    }
    size_t size() const { return entries().size(); }

private:
    mutable std::mutex mutex_;  // guards entries_
    std::vector<Entry> entries_;
};

}  // namespace Quorvan::testing_support

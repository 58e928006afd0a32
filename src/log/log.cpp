#include "log/log.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace Quorvan::logging {

namespace {

constexpr const char* kCategoryNames[kCategoryCount] = {"camera", "csi", "i2c", "device", "kernel"};
constexpr Level kDefaultThreshold = Level::Info;

// Process-wide state, made on first use and never destroyed: capture threads
// a program leaves running may still log while static objects are torn down
// at exit, and must not find the sink or the thresholds gone.
struct State {
    std::atomic<int> thresholds[kCategoryCount];
    std::mutex sink_mutex;  // guards `sink`: held only to copy or swap the pointer
    // Null while the standard-error sink is in place. Shared so that a
    // delivery in progress keeps the sink it started with alive after a swap.
    std::shared_ptr<const Sink> sink;

    State() {
        for (std::atomic<int>& threshold : thresholds)
            threshold.store(static_cast<int>(kDefaultThreshold), std::memory_order_relaxed);
        if (const char* levels = std::getenv("QUORVAN_LOG"))
            applyLevels(levels);
    }

    bool applyLevels(std::string_view text);
};

State& state() {
    static State* const instance = new State;
    return *instance;
}

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i])
            return false;
    }
    return true;
}

bool parseLevel(std::string_view text, Level* level) {
    static constexpr struct {
        const char* name;
        Level level;
    } kNames[] = {{"debug", Level::Debug},  {"info", Level::Info},   {"warn", Level::Warn},
                  {"warning", Level::Warn}, {"error", Level::Error}, {"none", Level::None}};
    for (const auto& entry : kNames) {
        if (equalIgnoringCase(text, entry.name)) {
            *level = entry.level;
            return true;
        }
    }
    return false;
}

int categoryIndex(std::string_view name) {
    for (int i = 0; i < kCategoryCount; ++i) {
        if (equalIgnoringCase(name, kCategoryNames[i]))
            return i;
    }
    return -1;
}

// Calls `visit(name, level)` for each well-formed "name:level" entry; false
// if some entry was malformed.
template <typename Visit>
bool forEachEntry(std::string_view text, Visit visit) {
    bool understood = true;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (entry.empty())
            continue;
        const size_t colon = entry.find(':');
        Level level = Level::None;
        if (colon == std::string_view::npos ||
            !parseLevel(trimmed(entry.substr(colon + 1)), &level)) {
            understood = false;
            continue;
        }
        understood = visit(trimmed(entry.substr(0, colon)), level) && understood;
    }
    return understood;
}

bool State::applyLevels(std::string_view text) {
    // "*" first, named categories after: a name given explicitly overrides
    // the wildcard wherever it stands in the list.
    const bool wildcards_understood = forEachEntry(text, [&](std::string_view name, Level level) {
        if (name == "*") {
            for (std::atomic<int>& threshold : thresholds)
                threshold.store(static_cast<int>(level), std::memory_order_relaxed);
        }
        return true;
    });
    const bool names_understood = forEachEntry(text, [&](std::string_view name, Level level) {
        if (name == "*")
            return true;
        const int index = categoryIndex(name);
        if (index < 0)
            return false;
        thresholds[index].store(static_cast<int>(level), std::memory_order_relaxed);
        return true;
    });
    return wildcards_understood && names_understood;
}

// __FILE__ carries the build's absolute path; the part from the source
// folder on is what a reader of the message can use.
const char* sourcePath(const char* file) {
    const char* found = nullptr;
    for (const char* at = std::strstr(file, "/src/"); at != nullptr;
         at = std::strstr(at + 1, "/src/"))
        found = at;
    return found != nullptr ? found + 1 : file;
}

// Set while this thread is inside the sink: a sink that logs through the
// library lands on standard error instead of recursing.
thread_local bool delivering = false;

}  // namespace

const char* categoryName(Category category) {
    return kCategoryNames[static_cast<int>(category)];
}

bool enabled(Category category, Level level) {
    if (level == Level::None)
        return false;
    const int threshold =
        state().thresholds[static_cast<int>(category)].load(std::memory_order_relaxed);
    return static_cast<int>(level) >= threshold;
}

void emit(Category category, Level level, const char* file, int line, const char* message) {
    const Record record{categoryName(category), level, message, sourcePath(file), line};
    std::shared_ptr<const Sink> sink;
    if (!delivering) {
        State& shared = state();
        std::lock_guard<std::mutex> lock(shared.sink_mutex);
        sink = shared.sink;
    }
    if (!sink) {
        writeToStandardError(record);
        return;
    }
    delivering = true;
    try {
        (*sink)(record);
    } catch (abi::__forced_unwind&) {
        // A thread being ended (pthread_exit, or Python ending a daemon
        // thread that wants the interpreter lock back at exit) must be let go.
        delivering = false;
        throw;
    } catch (...) {
        // The library reports by status codes; a sink that throws must not
        // unwind through a capture thread. The message is not lost.
        writeToStandardError(record);
    }
    delivering = false;
}

void emitFormatted(Category category, Level level, const char* file, int line, const char* format,
                   ...) {
    char short_text[512];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(short_text, sizeof(short_text), format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof(short_text)) {
        va_end(again);
        emit(category, level, file, line, short_text);
        return;
    }
    std::string long_text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(long_text.data(), long_text.size(), format, again);
    va_end(again);
    emit(category, level, file, line, long_text.c_str());
}

void setSink(Sink sink) {
    std::shared_ptr<const Sink> replacement;
    if (sink)
        replacement = std::make_shared<const Sink>(std::move(sink));
    State& shared = state();
    {
        std::lock_guard<std::mutex> lock(shared.sink_mutex);
        shared.sink.swap(replacement);
    }
    // The old sink, now in `replacement`, is released here, outside the lock,
    // unless a delivery on another thread still holds it.
}

void writeToStandardError(const Record& record) {
    // One call, so that lines from several threads never interleave.
    std::fprintf(stderr, "%s\n", record.message);
}

bool setLevels(const char* levels) {
    return levels != nullptr && state().applyLevels(levels);
}

Level threshold(const char* category) {
    const int index = category != nullptr ? categoryIndex(category) : -1;
    if (index < 0)
        return Level::None;
    return static_cast<Level>(state().thresholds[index].load(std::memory_order_relaxed));
}

const char* levelName(Level level) {
    static constexpr const char* kNames[] = {"debug", "info", "warn", "error", "none"};
    const int index = static_cast<int>(level);
    return index >= 0 && index <= 4 ? kNames[index] : "none";
}

}  // namespace Quorvan::logging

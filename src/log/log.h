// Logging inside the library. Call sites name a category and a level:
//
//   QUORVAN_LOG(Csi, Error) << path << ": cannot map buffer " << index;
//   QUORVAN_LOGF(Csi, Error, "VIDIOC_QUERYCAP: error - %d", error);
//
// Both skip formatting entirely when the category's threshold drops the
// level, so debug messages cost one relaxed atomic load when disabled. The
// printf form exists for messages whose wording is fixed and was written as a
// format; neither form takes a trailing newline (the sink ends the line).
#pragma once

#include <sstream>

#include "quorvan/log.h"

namespace Quorvan::logging {

enum class Category : int { Camera, Csi, I2c, Device, Kernel };
inline constexpr int kCategoryCount = 5;

const char* categoryName(Category category);
bool enabled(Category category, Level level);
void emit(Category category, Level level, const char* file, int line, const char* message);
void emitFormatted(Category category, Level level, const char* file, int line, const char* format,
                   ...) __attribute__((format(printf, 5, 6)));

// Collects one streamed message and emits it when the statement ends.
class LogMessage {
public:
    LogMessage(Category category, Level level, const char* file, int line)
        : category_(category), level_(level), file_(file), line_(line) {}
    // May let a thread-ending unwind pass, as emit does.
    ~LogMessage() noexcept(false) { emit(category_, level_, file_, line_, stream_.str().c_str()); }
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    std::ostream& stream() { return stream_; }

private:
    Category category_;
    Level level_;
    const char* file_;
    int line_;
    std::ostringstream stream_;
};

// Turns the streamed expression into void so the macro is a single
// expression: usable as the body of an unbraced `if` without a dangling else.
struct LogVoidify {
    void operator&(std::ostream&) {}
};

}  // namespace Quorvan::logging

#define QUORVAN_LOG(category, level)                                                               \
    !::Quorvan::logging::enabled(::Quorvan::logging::Category::category,                           \
                                 ::Quorvan::logging::Level::level)                                 \
        ? (void)0                                                                                  \
        : ::Quorvan::logging::LogVoidify() &                                                       \
              ::Quorvan::logging::LogMessage(::Quorvan::logging::Category::category,               \
                                             ::Quorvan::logging::Level::level, __FILE__, __LINE__) \
                  .stream()

#define QUORVAN_LOGF(category, level, ...)                                                \
    do {                                                                                  \
        if (::Quorvan::logging::enabled(::Quorvan::logging::Category::category,           \
                                        ::Quorvan::logging::Level::level))                \
            ::Quorvan::logging::emitFormatted(::Quorvan::logging::Category::category,     \
                                              ::Quorvan::logging::Level::level, __FILE__, \
                                              __LINE__, __VA_ARGS__);                     \
    } while (0)

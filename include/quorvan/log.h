// The library's diagnostics: every message belongs to a category ("camera",
// "csi", "i2c", ...) and has a level. The environment variable QUORVAN_LOG,
// read once when the library first logs, sets a threshold per category:
//
//   QUORVAN_LOG=csi:debug,*:warn    csi from debug up, everything else from warn
//   QUORVAN_LOG=*:none              nothing at all
//
// A category named explicitly wins over "*" whatever the order; otherwise
// the later entry wins. Without the variable every category passes info and
// above, which is everything the library reports in normal operation.
//
// Messages that pass go to one sink. The default writes each message as one
// line on standard error; an application replaces it with setSink, for
// example to feed its own logging framework (the Python module does exactly
// that for Python's `logging`).
#pragma once

#include <functional>

#include "quorvan/export.h"

namespace Quorvan::logging {

enum class Level : int { Debug = 0, Info = 1, Warn = 2, Error = 3, None = 4 };

struct Record {
    const char* category;  // lower case, e.g. "csi"
    Level level;
    const char* message;  // one line, without its trailing newline
    const char* file;     // the library source that logged, for debugging
    int line;
};

// Called from whichever thread logs, capture threads included, possibly on
// several threads at once; it must not call back into the camera. Valid until
// it returns: copy what the record points at to keep it.
using Sink = std::function<void(const Record&)>;

// Replaces the sink; an empty function restores the standard-error sink. A
// record already being delivered to the old sink on another thread may still
// finish there after this returns.
QUORVAN_API void setSink(Sink sink);

// The default sink, for a replacement that forwards some records to it.
QUORVAN_API void writeToStandardError(const Record& record);

// Applies thresholds in the QUORVAN_LOG syntax on top of the current ones.
// Returns false if some entry was not understood (an unknown category or
// level); the entries that were understood are applied anyway.
QUORVAN_API bool setLevels(const char* levels);

// The threshold of `category` ("*" or an unknown name: Level::None).
QUORVAN_API Level threshold(const char* category);

// "debug", "info", "warn", "error", "none".
QUORVAN_API const char* levelName(Level level);

}  // namespace Quorvan::logging

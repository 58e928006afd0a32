#include "quorvan/types.h"

namespace Quorvan {

const char* to_str(TofErrorCode code) {
    // Indexed by code + 2: the codes -2 to 4 are contiguous, 240 stands alone.
    static const char* const kTexts[] = {
        "System error",       // -2
        "Unknown error",      // -1
        "Success",            // 0
        "Invalid parameter",  // 1
        "No cache",           // 2
        "Unkown device",      // 3
        "Not implemented",    // 4
    };
    const int32_t value = static_cast<int32_t>(code);
    if (value >= -2 && value <= 4)
        return kTexts[value + 2];
    if (value == QuorvanSkipFrame)
        return "Skip frame";
    return "Unknown error";
}

}  // namespace Quorvan

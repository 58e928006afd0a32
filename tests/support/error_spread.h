// The spread of a set of per-pixel errors, as the depth-accuracy checks
// state their limits: the 99th percentile and the largest.
#pragma once

#include <algorithm>
#include <vector>

namespace Quorvan {
namespace testing_support {

template <typename Error>
struct ErrorSpread {
    Error p99 = 0;
    Error max = 0;
};

// Both 0 for no errors. Sorts `errors`.
template <typename Error>
ErrorSpread<Error> errorSpread(std::vector<Error>& errors) {
    ErrorSpread<Error> spread;
    if (errors.empty())
        return spread;
    std::sort(errors.begin(), errors.end());
    spread.p99 = errors[(errors.size() - 1) * 99 / 100];
    spread.max = errors.back();
    return spread;
}

}  // namespace testing_support
}  // namespace Quorvan

// Counts heap allocations made by any thread while counting is on, by
// replacing malloc and its relatives for the whole test process (operator new
// and the C++ library allocate through them). Sanitizers replace malloc
// themselves; under them the counter is unavailable and tests skip.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvan {
namespace allocation_counter {

bool available();
void start();
// Allocations since start(); stops counting.
uint64_t stop();
// Size of the first allocation counted since start() (0 when none).
size_t firstSize();

}  // namespace allocation_counter
}  // namespace Quorvan

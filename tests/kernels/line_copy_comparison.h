// Compares the CSI line copy routines with their scalar reference on random
// buffers of any length, cache capacity and starting offset. The byte copies'
// reference has no bounds of its own, so it runs on a copy of the source
// followed by slack, once with the slack all zeros and once all ones: whatever differs
// between the two came from past the source's end, which the routine must
// neither read nor reproduce. The routine itself gets a source and a cache
// that end exactly at their bounds, so AddressSanitizer sees any access past
// them. Plain C++ without a test framework, so that the aarch64 cross check
// can run it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "csi/line_copy.h"

namespace Quorvan {
namespace line_copy_check {

struct CopyCase {
    size_t length;    // bytes the driver buffer holds
    size_t capacity;  // bytes of the cache
    size_t start;     // offset at which the call begins, even and <= capacity
    uint32_t width;
    uint32_t seed;
};

using ReferenceByteCopy = void (*)(const uint8_t* source, size_t length, uint8_t* cache,
                                   size_t& offset);

// `count` bytes of a fixed pseudo-random sequence for `seed`.
std::vector<uint8_t> randomBytes(size_t count, uint32_t seed);

// An empty string when the routine matches the reference, else the first
// difference.
std::string compareByteCopy(LineCopyRoutine routine, ReferenceByteCopy reference,
                            const CopyCase& copy_case);
std::string comparePacked12(packed12::GroupKernel unpack_groups, const CopyCase& copy_case);
// One group unpacker against unpacking one group at a time, with the
// source ending right after the last group.
std::string compareGroupKernel(packed12::GroupKernel unpack_groups, size_t groups, uint32_t seed);

// Random cases around a driver buffer of `lines` lines of `line_stride` bytes:
// exact, a little shorter or longer, tiny, and with caches that cut the
// output short or leave room.
CopyCase randomCase(std::mt19937& generator, uint32_t width, size_t line_stride, size_t lines);

// Every check on `cases` random cases per routine and variant; returns the
// failures found, one per line (empty when all pass).
std::string runRandomComparisons(int cases, uint32_t seed);

}  // namespace line_copy_check
}  // namespace Quorvan

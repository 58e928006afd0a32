#include "kernels/line_copy_comparison.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

#include "reference/line_copy_reference.h"

namespace Quorvan {
namespace line_copy_check {

std::vector<uint8_t> randomBytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    std::mt19937 generator(seed);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(generator());
    return bytes;
}

namespace {

constexpr size_t kSlack = 1024;  // more than any reference reads past a buffer
constexpr uint8_t kUntouched = 0x5A;

// The source followed by slack bytes of the given value.
std::vector<uint8_t> withSlack(const std::vector<uint8_t>& source, uint8_t slack) {
    std::vector<uint8_t> padded(source.size() + kSlack, slack);
    std::copy(source.begin(), source.end(), padded.begin());
    return padded;
}

std::string describe(const CopyCase& c) {
    std::ostringstream text;
    text << "length " << c.length << ", capacity " << c.capacity << ", start " << c.start
         << ", width " << c.width << ", seed " << c.seed << ": ";
    return text.str();
}

size_t pick(std::mt19937& generator, size_t low, size_t high) {
    return std::uniform_int_distribution<size_t>(low, high)(generator);
}

}  // namespace

std::string compareByteCopy(LineCopyRoutine routine, ReferenceByteCopy reference,
                            const CopyCase& c) {
    const std::vector<uint8_t> source = randomBytes(c.length, c.seed);
    // Room for whole lines and blocks read from the slack.
    const size_t reference_size = std::max(c.capacity, c.start) + 2 * c.length + 2048;
    std::vector<uint8_t> with_zeros(reference_size, kUntouched);
    std::vector<uint8_t> with_ones(reference_size, kUntouched);
    size_t reference_offset = c.start;
    size_t unused_offset = c.start;
    reference(withSlack(source, 0x00).data(), c.length, with_zeros.data(), reference_offset);
    reference(withSlack(source, 0xFF).data(), c.length, with_ones.data(), unused_offset);

    std::vector<uint8_t> cache(c.capacity, kUntouched);
    size_t offset = c.start;
    routine(source.data(), c.length, c.width, cache.data(), c.capacity, offset);

    const size_t expected_offset = std::min(reference_offset, c.capacity);
    if (offset != expected_offset) {
        return describe(c) + "offset " + std::to_string(offset) + ", expected " +
               std::to_string(expected_offset);
    }
    for (size_t i = 0; i < c.capacity; ++i) {
        const bool from_source = i >= c.start && with_zeros[i] == with_ones[i];
        const uint8_t expected = from_source ? with_zeros[i] : kUntouched;
        if (cache[i] != expected) {
            return describe(c) + "cache byte " + std::to_string(i) + " is " +
                   std::to_string(cache[i]) + ", expected " + std::to_string(expected);
        }
    }
    return "";
}

std::string comparePacked12(packed12::GroupKernel unpack_groups, const CopyCase& c) {
    const std::vector<uint8_t> source = randomBytes(c.length, c.seed);
    // The layout's samples, of which the routine keeps those before its stop
    // and only whole groups that fit the cache.
    std::vector<uint16_t> layout(c.start / 2 + 2 * (c.length / 3) + 2, 0);
    size_t reference_end = c.start / 2;
    reference::unpackPacked12Lines(source.data(), c.length, c.width, layout.data(), reference_end);
    const size_t layout_samples = reference_end - c.start / 2;
    const size_t kept = reference::packed12SamplesKept(c.length, c.width, c.start / 2);
    if (kept > layout_samples)
        return describe(c) + "keeps " + std::to_string(kept) + " of " +
               std::to_string(layout_samples) + " samples";
    const size_t expected_samples = std::min(kept, (c.capacity - c.start) / 4 * 2);

    std::vector<uint8_t> cache(c.capacity, kUntouched);
    size_t offset = c.start;
    unpackPacked12LinesWith(unpack_groups, source.data(), c.length, c.width, cache.data(),
                            c.capacity, offset);
    if (offset != c.start + 2 * expected_samples) {
        return describe(c) + "offset " + std::to_string(offset) + ", expected " +
               std::to_string(c.start + 2 * expected_samples);
    }
    for (size_t i = 0; i < c.capacity; ++i) {
        uint8_t expected = kUntouched;
        if (i >= c.start && i < offset) {
            const uint16_t sample = layout[i / 2];
            expected = static_cast<uint8_t>(i % 2 == 0 ? sample : sample >> 8);
        }
        if (cache[i] != expected) {
            return describe(c) + "cache byte " + std::to_string(i) + " is " +
                   std::to_string(cache[i]) + ", expected " + std::to_string(expected);
        }
    }
    return "";
}

std::string compareGroupKernel(packed12::GroupKernel unpack_groups, size_t groups, uint32_t seed) {
    const std::vector<uint8_t> source = randomBytes(3 * groups, seed);
    std::vector<uint8_t> expected(4 * groups);
    for (size_t group = 0; group < groups; ++group)
        packed12::unpackGroup(source.data() + 3 * group, expected.data() + 4 * group);
    std::vector<uint8_t> target(4 * groups);
    unpack_groups(source.data(), source.size(), target.data(), groups);
    if (target != expected)
        return std::to_string(groups) + " groups, seed " + std::to_string(seed) + ": differ";
    return "";
}

CopyCase randomCase(std::mt19937& generator, uint32_t width, size_t line_stride, size_t lines) {
    CopyCase c{};
    c.width = width;
    c.seed = static_cast<uint32_t>(generator());
    const size_t whole = line_stride * pick(generator, 1, lines);
    switch (pick(generator, 0, 4)) {
        case 0:
        case 1:
            c.length = whole;
            break;
        case 2:
            c.length = whole - std::min(whole, pick(generator, 0, 40)) + pick(generator, 0, 40);
            break;
        case 3:
            c.length = pick(generator, 0, 64);
            break;
        default:
            c.length = pick(generator, 0, whole);
            break;
    }
    c.start = pick(generator, 0, 1) == 0 ? 0 : 2 * pick(generator, 0, 1000);
    const size_t ample = c.start + 2 * c.length + 2048;
    c.capacity = pick(generator, 0, 1) == 0 ? ample : pick(generator, c.start, ample);
    return c;
}

std::string runRandomComparisons(int cases, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string failures;
    auto note = [&failures](const char* what, const std::string& failure) {
        if (!failure.empty())
            failures += std::string(what) + ": " + failure + "\n";
    };
    for (int i = 0; i < cases; ++i) {
        note("padded lines", compareByteCopy(copyPaddedLines, reference::copyPaddedLines,
                                             randomCase(generator, 240, kPaddedLineStride, 180)));
        note("line pairs", compareByteCopy(copyLinePairs, reference::copyLinePairs,
                                           randomCase(generator, 240, kLinePairBlock, 90)));
        note("plain", compareByteCopy(copyPlain, reference::copyPlain,
                                      randomCase(generator, 240, 480, 180)));
    }
    const packed12::GroupVariantList variants = packed12::runnableGroupVariants();
    for (int v = 0; v < variants.count; ++v) {
        const packed12::GroupVariant& variant = variants.items[v];
        const std::string what = std::string("packed 12-bit, ") + variant.name;
        for (size_t groups = 0; groups <= 64; ++groups)
            note(what.c_str(), compareGroupKernel(variant.kernel, groups, seed + groups));
        for (int i = 0; i < cases; ++i) {
            const uint32_t width = pick(generator, 0, 3) == 0 ? 240 : pick(generator, 1, 400);
            const size_t stride = (width * 3 / 2 + 15) / 16 * 16;
            note(what.c_str(),
                 comparePacked12(variant.kernel, randomCase(generator, width, stride, 40)));
        }
    }
    return failures;
}

}  // namespace line_copy_check
}  // namespace Quorvan

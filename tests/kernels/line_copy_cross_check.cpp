// The line copy routines against their reference without a test framework,
// for builds where none is at hand (the aarch64 cross build under qemu):
// random lengths, capacities, offsets and widths for every routine and every
// group unpacker the processor runs. Exits non-zero on any difference.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernels/line_copy_comparison.h"

int main(int argc, char** argv) {
    int cases = 300;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--cases") == 0)
            cases = std::atoi(argv[i + 1]);
    }
    const Quorvan::packed12::GroupVariantList variants = Quorvan::packed12::runnableGroupVariants();
    std::printf("line copy check: %d random cases per routine; group unpackers:", cases);
    for (int v = 0; v < variants.count; ++v)
        std::printf(" %s", variants.items[v].name);
    std::printf("\n");
    const std::string failures = Quorvan::line_copy_check::runRandomComparisons(cases, 29);
    if (!failures.empty()) {
        std::printf("line copy check FAILED:\n%s", failures.c_str());
        return 1;
    }
    std::printf("line copy check: all equal\n");
    return 0;
}

// Stand-alone exactness check of the depth kernels and the raw unpack,
// for builds without GoogleTest (the aarch64 cross-build run under
// emulation). Exit status 0 only when every kernel matches the reference.
//
//   kernel_exactness_check [--row-stride N]
//
// --row-stride N checks every Nth row of the difference domain (1, the
// default, checks all of it).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/hqvga_kernels.h"
#include "kernels/depth_domain.h"
#include "reference/hqvga_reference.h"

namespace {

using Quorvan::kernel_check::DepthConfiguration;
using Quorvan::kernel_check::DomainReport;

int64_t printReport(const char* domain, const DepthConfiguration& configuration,
                    const DomainReport& report) {
    int64_t mismatches = 0;
    for (const auto& kernel : report.kernels) {
        std::printf("%s, %s, %s: %lld of %lld pixels differ%s%s\n", domain,
                    Quorvan::kernel_check::describe(configuration).c_str(), kernel.name.c_str(),
                    static_cast<long long>(kernel.mismatches),
                    static_cast<long long>(report.pixels), kernel.mismatches ? "; first: " : "",
                    kernel.first_mismatch.c_str());
        mismatches += kernel.mismatches;
    }
    return mismatches;
}

int64_t checkUnpack() {
    using namespace Quorvan;
    const hqvga::KernelVariantList variants = hqvga::runnableKernelVariants();
    std::vector<uint16_t> cache(4 * hqvga::kPixels);
    std::vector<int16_t> expected(cache.size()), got(cache.size());
    int64_t mismatches = 0;
    for (int frame = 0; frame < 2; ++frame) {
        for (size_t i = 0; i < cache.size(); ++i)
            cache[i] = static_cast<uint16_t>(frame * cache.size() + i);
        for (uint8_t shift : {0, 4, 7}) {
            reference::unpackHqvgaRaw(cache.data(), expected.data(), shift);
            for (int v = 0; v < variants.count; ++v) {
                variants.items[v].unpack(cache.data(), got.data(), shift);
                for (size_t i = 0; i < got.size(); ++i)
                    mismatches += got[i] != expected[i];
            }
        }
    }
    std::printf("raw unpack, every 16-bit value, shifts 0 4 7: %lld samples differ\n",
                static_cast<long long>(mismatches));
    return mismatches;
}

}  // namespace

int main(int argc, char** argv) {
    int row_stride = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--row-stride") == 0 && i + 1 < argc) {
            row_stride = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--row-stride N]\n", argv[0]);
            return 2;
        }
    }
    if (row_stride < 1) {
        std::fprintf(stderr, "row stride must be at least 1\n");
        return 2;
    }
    const DepthConfiguration configurations[] = {{4000, 37500000.0f, 0},
                                                 {4000, 37500000.0f, 4},
                                                 {2000, 75000000.0f, 0},
                                                 {2000, 75000000.0f, 4}};
    const auto kernels = Quorvan::kernel_check::productionDepthKernels();
    int64_t mismatches = checkUnpack();
    for (const DepthConfiguration& configuration : configurations) {
        mismatches += printReport(
            "difference pairs", configuration,
            Quorvan::kernel_check::checkDifferenceDomain(kernels, configuration, row_stride));
        mismatches +=
            printReport("raw values", configuration,
                        Quorvan::kernel_check::checkRawValueDomain(kernels, configuration));
    }
    std::printf(mismatches == 0 ? "all kernels match the reference\n" : "MISMATCHES FOUND\n");
    return mismatches == 0 ? 0 : 1;
}

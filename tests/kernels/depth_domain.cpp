#include "kernels/depth_domain.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/hqvga_kernels.h"
#include "reference/hqvga_reference.h"

namespace Quorvan {
namespace kernel_check {
namespace {

constexpr int kPixels = hqvga::kPixels;
constexpr int kMaxDifference = 2047;

// splitmix64: fixed seed, so every run checks the same frames.
class Noise {
public:
    uint64_t next() {
        state_ += 0x9E3779B97F4A7C15ull;
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int between(int low, int high) {  // inclusive
        return low + static_cast<int>(next() % static_cast<uint64_t>(high - low + 1));
    }

private:
    uint64_t state_ = 0x51A7E5EEDull;
};

// A raw sample whose conversion is code * 16, with noise in every bit the
// conversion ignores.
uint16_t encodeSample(int code, uint8_t shift, Noise& noise) {
    const uint32_t junk = static_cast<uint32_t>(noise.next());
    const uint32_t low_mask = (1u << shift) - 1u;
    const uint32_t value = ((static_cast<uint32_t>(code) & 0x7FFu) | (junk & ~0x7FFu)) << shift;
    return static_cast<uint16_t>(value | (junk >> 16 & low_mask));
}

struct Planes {
    std::vector<float> depth = std::vector<float>(kPixels);
    std::vector<float> amplitude = std::vector<float>(kPixels);
    std::vector<float> confidence = std::vector<float>(kPixels);
};

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Collects pixels into frames and runs every kernel and the reference on
// each full frame (and the last partial one), tallying differences.
class FrameComparer {
public:
    FrameComparer(const std::vector<NamedDepthKernel>& kernels,
                  const DepthConfiguration& configuration)
        : kernels_(kernels), configuration_(configuration), outputs_(kernels.size()) {
        for (const NamedDepthKernel& kernel : kernels)
            report_.kernels.push_back({kernel.name, 0, {}});
    }

    // The sample of `plane` at the pixel being filled.
    uint16_t& sample(int plane) { return cache_[plane * kPixels + used_]; }

    // Moves on to the next pixel; a full frame goes through the kernels.
    void nextPixel() {
        if (++used_ == kPixels)
            compareFilled();
    }

    // Compares what is filled of the last frame and reports.
    DomainReport finish() {
        if (used_ > 0)
            compareFilled();
        return report_;
    }

private:
    void compareFilled() {
        compare(cache_.data(), used_);
        used_ = 0;
    }

    void compare(const uint16_t* cache, int used_pixels) {
        const DepthConfiguration& c = configuration_;
        reference::computeHqvgaDepth(cache, expected_.depth.data(), expected_.amplitude.data(),
                                     expected_.confidence.data(), c.range, c.modulation_frequency,
                                     c.shift);
        for (size_t k = 0; k < kernels_.size(); ++k) {
            Planes& got = outputs_[k];
            kernels_[k].kernel(cache, got.depth.data(), got.amplitude.data(), got.confidence.data(),
                               c.range, c.modulation_frequency, c.shift);
            for (int i = 0; i < used_pixels; ++i) {
                if (sameBits(got.depth[i], expected_.depth[i]) &&
                    sameBits(got.amplitude[i], expected_.amplitude[i]) &&
                    sameBits(got.confidence[i], expected_.confidence[i]))
                    continue;
                KernelOutcome& outcome = report_.kernels[k];
                if (outcome.mismatches++ == 0)
                    outcome.first_mismatch = describePixel(cache, i, got);
            }
        }
        report_.pixels += used_pixels;
    }

    std::string describePixel(const uint16_t* cache, int i, const Planes& got) const {
        char text[256];
        std::snprintf(text, sizeof text,
                      "samples %u %u %u %u: depth %.9g (expected %.9g), amplitude %.9g "
                      "(expected %.9g), confidence %.9g",
                      cache[i], cache[kPixels + i], cache[2 * kPixels + i], cache[3 * kPixels + i],
                      got.depth[i], expected_.depth[i], got.amplitude[i], expected_.amplitude[i],
                      got.confidence[i]);
        return text;
    }

    const std::vector<NamedDepthKernel>& kernels_;
    DepthConfiguration configuration_;
    Planes expected_;
    std::vector<Planes> outputs_;
    DomainReport report_;
    std::vector<uint16_t> cache_ = std::vector<uint16_t>(4 * kPixels, 0);
    int used_ = 0;
};

struct PlaneRoles {  // plane index of each term of y = plus - minus, x = plus - minus
    int y_plus, y_minus, x_plus, x_minus;
};

PlaneRoles rolesFor(int32_t range) {
    if (range == 2000)
        return {1, 3, 2, 0};
    return {2, 0, 3, 1};
}

// Splits a difference into two 11-bit codes, plus - minus = difference.
void splitDifference(int difference, Noise& noise, int& plus, int& minus) {
    plus = noise.between(std::max(-1024, difference - 1024), std::min(1023, difference + 1023));
    minus = plus - difference;
}

}  // namespace

std::vector<NamedDepthKernel> productionDepthKernels() {
    return runnableKernels(&hqvga::KernelVariant::depth, "computeDepth", hqvga::computeDepth);
}

DomainReport checkDifferenceDomain(const std::vector<NamedDepthKernel>& kernels,
                                   const DepthConfiguration& configuration, int row_stride) {
    FrameComparer comparer(kernels, configuration);
    const PlaneRoles roles = rolesFor(configuration.range);
    Noise noise;
    for (int y = -kMaxDifference; y <= kMaxDifference; y += row_stride) {
        for (int x = -kMaxDifference; x <= kMaxDifference; ++x) {
            int plus = 0;
            int minus = 0;
            splitDifference(y, noise, plus, minus);
            comparer.sample(roles.y_plus) = encodeSample(plus, configuration.shift, noise);
            comparer.sample(roles.y_minus) = encodeSample(minus, configuration.shift, noise);
            splitDifference(x, noise, plus, minus);
            comparer.sample(roles.x_plus) = encodeSample(plus, configuration.shift, noise);
            comparer.sample(roles.x_minus) = encodeSample(minus, configuration.shift, noise);
            comparer.nextPixel();
        }
    }
    return comparer.finish();
}

DomainReport checkRawValueDomain(const std::vector<NamedDepthKernel>& kernels,
                                 const DepthConfiguration& configuration) {
    FrameComparer comparer(kernels, configuration);
    Noise noise;
    for (int position = 0; position < 4; ++position) {
        for (uint32_t value = 0; value <= 0xFFFF; ++value) {
            for (int plane = 0; plane < 4; ++plane)
                comparer.sample(plane) = static_cast<uint16_t>(noise.next());
            comparer.sample(position) = static_cast<uint16_t>(value);
            comparer.nextPixel();
        }
    }
    return comparer.finish();
}

std::string describe(const DepthConfiguration& configuration) {
    char text[96];
    std::snprintf(text, sizeof text, "range %d, %.0f Hz, shift %u", configuration.range,
                  static_cast<double>(configuration.modulation_frequency),
                  static_cast<unsigned>(configuration.shift));
    return text;
}

}  // namespace kernel_check
}  // namespace Quorvan

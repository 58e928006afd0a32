// Copies into the raw cache: the CSI line copy routines and the USB sample
// conversions, each beside its scalar reference, for one 240x180 sub-frame,
// plus a memcpy of the sub-frame's 86400 cache bytes as the floor.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "csi/line_copy.h"
#include "device/usb_sample_conversion.h"
#include "reference/line_copy_reference.h"
#include "reference/usb_conversion_reference.h"

namespace Quorvan {
namespace {

constexpr uint32_t kWidth = 240;
constexpr size_t kFrameSamples = 240 * 180;
constexpr size_t kFrameBytes = kFrameSamples * 2;
constexpr size_t kPacked12Length = 368 * 180;  // 240 samples in 360 bytes, 16-byte stride

const std::vector<uint8_t>& randomSource() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> random(2 * kPaddedFrameLength);
        std::mt19937 generator(7);
        for (uint8_t& byte : random)
            byte = static_cast<uint8_t>(generator());
        return random;
    }();
    return bytes;
}

// The cache has room for the reference routines' whole-line reads and writes.
std::vector<uint8_t> cacheBuffer() {
    return std::vector<uint8_t>(kFrameBytes + 4096);
}

void finishFrame(benchmark::State& state, const uint8_t* cache) {
    benchmark::DoNotOptimize(cache);
    benchmark::ClobberMemory();
    (void)state;
}

void BM_FrameMemcpy(benchmark::State& state) {
    const std::vector<uint8_t>& source = randomSource();
    std::vector<uint8_t> cache = cacheBuffer();
    for (auto _ : state) {
        std::memcpy(cache.data(), source.data(), kFrameBytes);
        finishFrame(state, cache.data());
    }
    state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_FrameMemcpy)->Unit(benchmark::kMicrosecond);

// Length of the driver buffer each routine receives for one sub-frame.
size_t sourceLength(int routine) {
    switch (routine) {
        case 0:
            return kPaddedFrameLength;
        case 1:
            return 90 * kLinePairBlock;
        case 2:
            return kPacked12Length;
        default:
            return kFrameBytes;
    }
}

const char* routineName(int routine) {
    static const char* const kNames[] = {"padded512", "line_pairs", "packed12", "plain"};
    return kNames[routine];
}

void BM_LineCopyReference(benchmark::State& state) {
    const int routine = static_cast<int>(state.range(0));
    state.SetLabel(routineName(routine));
    const std::vector<uint8_t>& source = randomSource();
    std::vector<uint8_t> cache = cacheBuffer();
    const size_t length = sourceLength(routine);
    for (auto _ : state) {
        size_t offset = 0;
        switch (routine) {
            case 0:
                reference::copyPaddedLines(source.data(), length, cache.data(), offset);
                break;
            case 1:
                reference::copyLinePairs(source.data(), length, cache.data(), offset);
                break;
            case 2:
                reference::unpackPacked12Lines(source.data(), length, kWidth,
                                               reinterpret_cast<uint16_t*>(cache.data()), offset);
                break;
            default:
                reference::copyPlain(source.data(), length, cache.data(), offset);
                break;
        }
        finishFrame(state, cache.data());
    }
    state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_LineCopyReference)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_LineCopyOptimised(benchmark::State& state) {
    const int routine = static_cast<int>(state.range(0));
    state.SetLabel(routineName(routine));
    static const LineCopyRoutine kRoutines[] = {copyPaddedLines, copyLinePairs, unpackPacked12Lines,
                                                copyPlain};
    const std::vector<uint8_t>& source = randomSource();
    std::vector<uint8_t> cache = cacheBuffer();
    const size_t length = sourceLength(routine);
    for (auto _ : state) {
        size_t offset = 0;
        kRoutines[routine](source.data(), length, kWidth, cache.data(), kFrameBytes, offset);
        finishFrame(state, cache.data());
    }
    state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_LineCopyOptimised)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// The 12-bit packed unpack with each group unpacker this processor runs.
void registerPacked12Variants() {
    const packed12::GroupVariantList variants = packed12::runnableGroupVariants();
    for (int v = 0; v < variants.count; ++v) {
        const packed12::GroupKernel kernel = variants.items[v].kernel;
        benchmark::RegisterBenchmark(
            (std::string("BM_Packed12Variant/") + variants.items[v].name).c_str(),
            [kernel](benchmark::State& state) {
                const std::vector<uint8_t>& source = randomSource();
                std::vector<uint8_t> cache = cacheBuffer();
                for (auto _ : state) {
                    size_t offset = 0;
                    unpackPacked12LinesWith(kernel, source.data(), kPacked12Length, kWidth,
                                            cache.data(), kFrameBytes, offset);
                    finishFrame(state, cache.data());
                }
                state.SetBytesProcessed(state.iterations() * kFrameBytes);
            })
            ->Unit(benchmark::kMicrosecond);
    }
}
const bool kPacked12VariantsRegistered = (registerPacked12Variants(), true);
const bool kPacked12VariantNamed =
    (benchmark::AddCustomContext("packed12_variant", packed12::selectedGroupVariant().name), true);

// The four USB conversions of one implementation, chosen by input bit width:
// 8 (one byte per sample), 12 (copied), 16 (shifted right), 10 (shifted left).
struct UsbConversions {
    void (*convert8)(const uint8_t* in, uint16_t* out, size_t count);
    void (*copy12)(const uint8_t* in, uint16_t* out, size_t count);
    void (*shift_right)(const uint8_t* in, uint16_t* out, size_t count, unsigned shift);
    void (*shift_left)(const uint8_t* in, uint16_t* out, size_t count, unsigned shift);

    void convertFrame(int bits, const uint8_t* in, uint16_t* out) const {
        switch (bits) {
            case 8:
                convert8(in, out, kFrameSamples);
                break;
            case 12:
                copy12(in, out, kFrameSamples);
                break;
            case 16:
                shift_right(in, out, kFrameSamples, 4);
                break;
            default:
                shift_left(in, out, kFrameSamples, 2);
                break;
        }
    }
};

constexpr UsbConversions kReferenceConversions{
    reference::convert8BitSamples, reference::copy12BitSamples, reference::shiftWideSamplesRight,
    reference::shiftNarrowSamplesLeft};
constexpr UsbConversions kOptimisedConversions{usb::convert8BitSamples, usb::copy12BitSamples,
                                               usb::shiftWideSamplesRight,
                                               usb::shiftNarrowSamplesLeft};

void runConversion(benchmark::State& state, const UsbConversions& conversions) {
    const int bits = static_cast<int>(state.range(0));
    const std::vector<uint8_t>& source = randomSource();
    std::vector<uint8_t> cache = cacheBuffer();
    for (auto _ : state) {
        conversions.convertFrame(bits, source.data(), reinterpret_cast<uint16_t*>(cache.data()));
        finishFrame(state, cache.data());
    }
    state.SetBytesProcessed(state.iterations() * kFrameBytes);
}

// Every input bit width the USB backend converts.
void usbBitWidths(benchmark::internal::Benchmark* run) {
    run->ArgName("bits")->Arg(8)->Arg(12)->Arg(16)->Arg(10)->Unit(benchmark::kMicrosecond);
}

void BM_UsbConversionReference(benchmark::State& state) {
    runConversion(state, kReferenceConversions);
}
BENCHMARK(BM_UsbConversionReference)->Apply(usbBitWidths);

void BM_UsbConversionOptimised(benchmark::State& state) {
    runConversion(state, kOptimisedConversions);
}
BENCHMARK(BM_UsbConversionOptimised)->Apply(usbBitWidths);

}  // namespace
}  // namespace Quorvan

// What a 640x480 frame costs on its way into a ROS message, side by side in
// one run:
// - a 32FC1 depth Image encoded as CDR beside a plain memcpy of its bytes,
//   both into a buffer kept from frame to frame and both into a fresh
//   allocation per frame (as the Python binding does, one bytes object each);
// - lossless compression of the same depth as 16-bit millimetres: RVL, RVL
//   then zstd, zstd alone and zlib alone, with the compression ratio as a
//   counter and the throughput counted in bytes of 16-bit depth.
// - the camera's radial depth turned into ROS's Z (both encodings) and back,
//   beside the memcpy of a plane.
// The depth is the emulated kit's scene ground truth, clean and with a
// synthetic Gaussian noise (sigma 0.5% of the distance, rounded to whole
// millimetres), since measured depth is never as smooth as ground truth.
#include <benchmark/benchmark.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "quorvan/intrinsics.h"
#include "ros/compressed_depth.h"
#include "ros/optical_depth.h"
#include "ros/ros_messages.h"
#include "scene/scene.h"

namespace Quorvan {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr std::size_t kPixels = std::size_t{kWidth} * kHeight;

struct Frame {
    std::vector<float> depth_m;        // the 32FC1 image
    std::vector<uint16_t> depth_mm16;  // the 16UC1 image
};

// Scene index 0 and 1 are "default" and "wall"; noise 0 or 1.
Frame makeFrame(int scene_index, bool noisy) {
    const std::string name = scene_index == 0 ? "default" : "wall";
    const emulation::GroundTruth truth = emulation::renderSceneView(name, {}, kWidth, kHeight);
    std::vector<float> millimetres = truth.distance_mm;
    if (noisy) {
        std::mt19937 generator(7);
        std::normal_distribution<float> unit(0.0f, 1.0f);
        for (float& value : millimetres)
            if (value > 0.0f)
                value = std::nearbyint(value + 0.005f * value * unit(generator));
    }
    Frame frame;
    frame.depth_mm16.resize(kPixels);
    ros::depthToMillimetres16(millimetres.data(), kPixels, frame.depth_mm16.data());
    frame.depth_m.resize(kPixels);
    for (std::size_t index = 0; index < kPixels; ++index)
        frame.depth_m[index] = frame.depth_mm16[index] == 0
                                   ? std::nanf("")
                                   : static_cast<float>(frame.depth_mm16[index]) / 1000.0f;
    return frame;
}

const Frame& frameFor(const benchmark::State& state) {
    static const Frame frames[2][2] = {{makeFrame(0, false), makeFrame(0, true)},
                                       {makeFrame(1, false), makeFrame(1, true)}};
    return frames[state.range(0)][state.range(1)];
}

void scenes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"wall", "noise"})->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1});
}

const ros::MessageHeader kHeader{1700000000, 123456789, "quorvan_optical_frame"};

ros::ImagePlane imagePlane(const Frame& frame) {
    return {frame.depth_m.data(), ros::SampleType::Float32, kWidth, kHeight};
}

// --- Image against memcpy ---------------------------------------------------

constexpr std::size_t kPlaneBytes = kPixels * sizeof(float);

// Throughput counted in bytes of one 32FC1 plane per iteration.
void countPlaneBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPlaneBytes));
}

// Where each frame is written: one buffer kept from frame to frame, or a
// fresh, uninitialised allocation per frame, whose page faults (a new 1.2 MB
// block each time) are part of what the Python binding pays.
class FrameOutput {
public:
    FrameOutput(bool fresh, std::size_t size) : fresh_(fresh) {
        if (!fresh_)
            kept_.resize(size);
    }

    // Room for `size` bytes (no more than the kept buffer's size).
    uint8_t* next(std::size_t size) {
        if (!fresh_)
            return kept_.data();
        // The last frame's block goes first, as a per-frame allocation's would.
        fresh_block_.reset();
        fresh_block_.reset(new uint8_t[size]);
        benchmark::DoNotOptimize(fresh_block_.get());
        return fresh_block_.get();
    }

private:
    bool fresh_;
    std::vector<uint8_t> kept_;
    std::unique_ptr<uint8_t[]> fresh_block_;
};

void memcpyPlane(benchmark::State& state, bool fresh) {
    const Frame& frame = frameFor(state);
    FrameOutput out(fresh, kPlaneBytes);
    for (auto _ : state) {
        std::memcpy(out.next(kPlaneBytes), frame.depth_m.data(), kPlaneBytes);
        benchmark::ClobberMemory();
    }
    countPlaneBytes(state);
}

void encodeImage(benchmark::State& state, bool fresh) {
    const ros::ImagePlane plane = imagePlane(frameFor(state));
    FrameOutput out(fresh, ros::imageMessageSize(kHeader, plane));
    for (auto _ : state) {
        const std::size_t size = ros::imageMessageSize(kHeader, plane);
        if (ros::encodeImage(kHeader, plane, out.next(size), size) != ros::MessageStatus::Ok)
            state.SkipWithError("encoding failed");
        benchmark::ClobberMemory();
    }
    countPlaneBytes(state);
}

// BM_MemcpyPlane, BM_EncodeImage, then both again with the suffix Fresh: the
// names message_bench_summary.py reads.
const bool kImageBenchmarksRegistered = [] {
    for (const bool fresh : {false, true}) {
        const std::string suffix = fresh ? "Fresh" : "";
        benchmark::RegisterBenchmark(("BM_MemcpyPlane" + suffix).c_str(), memcpyPlane, fresh)
            ->Args({0, 0});
        benchmark::RegisterBenchmark(("BM_EncodeImage" + suffix).c_str(), encodeImage, fresh)
            ->Args({0, 0});
    }
    return true;
}();

// --- Radial depth to Z and back ---------------------------------------------

const RayTable& vgaRays() {
    static const RayTable rays(nominalIntrinsics(VGA, kWidth, kHeight));
    return rays;
}

// The frame's depth in radial millimetres, 0 where it has none.
std::vector<float> radialMillimetres(const Frame& frame) {
    return std::vector<float>(frame.depth_mm16.begin(), frame.depth_mm16.end());
}

template <class Out, class Convert>
void convertPlane(benchmark::State& state, const std::vector<float>& in, Convert conversion) {
    std::vector<Out> out(kPixels);
    for (auto _ : state) {
        if (conversion(vgaRays(), in.data(), kPixels, out.data()) != ros::MessageStatus::Ok)
            state.SkipWithError("conversion failed");
        benchmark::ClobberMemory();
    }
    countPlaneBytes(state);
}

void BM_OpticalDepthMetres(benchmark::State& state) {
    convertPlane<float>(state, radialMillimetres(frameFor(state)), ros::opticalDepthMetres);
}
BENCHMARK(BM_OpticalDepthMetres)->Args({0, 1});

void BM_OpticalDepthMillimetres(benchmark::State& state) {
    convertPlane<uint16_t>(state, radialMillimetres(frameFor(state)), ros::opticalDepthMillimetres);
}
BENCHMARK(BM_OpticalDepthMillimetres)->Args({0, 1});

void BM_RadialFromOpticalMetres(benchmark::State& state) {
    convertPlane<float>(state, frameFor(state).depth_m, ros::radialDepthFromOpticalMetres);
}
BENCHMARK(BM_RadialFromOpticalMetres)->Args({0, 1});

// --- Lossless depth compression ---------------------------------------------

constexpr std::size_t kDepthBytes = kPixels * sizeof(uint16_t);
constexpr int kZstdLevel = 1;

void report(benchmark::State& state, std::size_t compressed) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDepthBytes));
    state.counters["ratio"] = static_cast<double>(kDepthBytes) / static_cast<double>(compressed);
    state.counters["bytes"] = static_cast<double>(compressed);
}

void BM_Rvl(benchmark::State& state) {
    const Frame& frame = frameFor(state);
    const ros::DepthPlane plane{frame.depth_mm16.data(), kWidth, kHeight};
    std::vector<uint8_t> out(ros::compressedDepthDataSize(plane));
    std::size_t size = 0;
    for (auto _ : state) {
        size = ros::compressedDepthDataSize(plane);
        if (ros::compressDepth(plane, out.data(), size) != ros::MessageStatus::Ok)
            state.SkipWithError("compression failed");
        benchmark::ClobberMemory();
    }
    report(state, size);
}
BENCHMARK(BM_Rvl)->Apply(scenes);

void BM_RvlDecode(benchmark::State& state) {
    const Frame& frame = frameFor(state);
    const ros::DepthPlane plane{frame.depth_mm16.data(), kWidth, kHeight};
    std::vector<uint8_t> data(ros::compressedDepthDataSize(plane));
    ros::compressDepth(plane, data.data(), data.size());
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        if (ros::decompressDepth(data.data(), data.size(), out.data(), kPixels) !=
            ros::DepthDecodeStatus::Ok)
            state.SkipWithError("decompression failed");
        benchmark::ClobberMemory();
    }
    if (out != frame.depth_mm16)
        state.SkipWithError("the round trip lost depth");
    report(state, data.size());
}
BENCHMARK(BM_RvlDecode)->Apply(scenes);

// One zstd context at kZstdLevel, reused for every frame as a publisher
// would, with room for the compression of up to `input_limit` bytes.
class ZstdCompressor {
public:
    explicit ZstdCompressor(std::size_t input_limit)
        : context_(ZSTD_createCCtx()), out_(ZSTD_compressBound(input_limit)) {}
    ~ZstdCompressor() { ZSTD_freeCCtx(context_); }
    ZstdCompressor(const ZstdCompressor&) = delete;
    ZstdCompressor& operator=(const ZstdCompressor&) = delete;

    // The compressed size; a failure ends the benchmark with zstd's reason.
    std::size_t compress(benchmark::State& state, const void* input, std::size_t size) {
        const std::size_t compressed =
            ZSTD_compressCCtx(context_, out_.data(), out_.size(), input, size, kZstdLevel);
        if (ZSTD_isError(compressed))
            state.SkipWithError(ZSTD_getErrorName(compressed));
        return compressed;
    }

private:
    ZSTD_CCtx* context_;
    std::vector<uint8_t> out_;
};

void BM_RvlZstd(benchmark::State& state) {
    const Frame& frame = frameFor(state);
    const ros::DepthPlane plane{frame.depth_mm16.data(), kWidth, kHeight};
    std::vector<uint8_t> rvl(ros::compressedDepthDataSize(plane));
    ZstdCompressor zstd(rvl.size());
    std::size_t size = 0;
    for (auto _ : state) {
        const std::size_t rvl_size = ros::compressedDepthDataSize(plane);
        ros::compressDepth(plane, rvl.data(), rvl_size);
        size = zstd.compress(state, rvl.data(), rvl_size);
        benchmark::ClobberMemory();
    }
    report(state, size);
}
BENCHMARK(BM_RvlZstd)->Apply(scenes);

void BM_Zstd(benchmark::State& state) {
    const Frame& frame = frameFor(state);
    ZstdCompressor zstd(kDepthBytes);
    std::size_t size = 0;
    for (auto _ : state) {
        size = zstd.compress(state, frame.depth_mm16.data(), kDepthBytes);
        benchmark::ClobberMemory();
    }
    report(state, size);
}
BENCHMARK(BM_Zstd)->Apply(scenes);

// zlib at its fastest level (1) and at its default (6).
void BM_Zlib(benchmark::State& state) {
    const Frame& frame = frameFor(state);
    const int level = static_cast<int>(state.range(2));
    std::vector<uint8_t> out(compressBound(kDepthBytes));
    uLongf size = 0;
    for (auto _ : state) {
        size = static_cast<uLongf>(out.size());
        if (compress2(out.data(), &size, reinterpret_cast<const Bytef*>(frame.depth_mm16.data()),
                      kDepthBytes, level) != Z_OK)
            state.SkipWithError("zlib failed");
        benchmark::ClobberMemory();
    }
    report(state, size);
}
BENCHMARK(BM_Zlib)->ArgNames({"wall", "noise", "level"})->ArgsProduct({{0, 1}, {0, 1}, {1, 6}});

}  // namespace
}  // namespace Quorvan

BENCHMARK_MAIN();

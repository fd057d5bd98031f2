// The vlx2rf element's per-frame work on a 1920x1080 BGR frame (top-down,
// GStreamer's stride): the field rebuild when deinterlacing is on, then the
// copy into the application's frame buffer bottom row first, beside a plain
// memcpy of one frame.
//
// BM_ReplayFrameHd/0: deinterlacing off (the copy only).
// BM_ReplayFrameHd/1: field 0 rebuilt, then the copy.
// BM_ReplayFrameHd/2: field 1 rebuilt, then the copy.
// BM_ReplayMemcpyHd: memcpy of 1920 * 1080 * 3 bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "field.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr size_t kBytes = size_t{kW} * kH * 3;

std::vector<uint8_t> Noise() {
    std::vector<uint8_t> v(kBytes);
    std::mt19937 rng(5);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

void BM_ReplayFrameHd(benchmark::State& state) {
    std::vector<uint8_t> frame = Noise(), dst(kBytes);
    const int mode = static_cast<int>(state.range(0));
    for (auto _ : state) {
        if (mode) vlx::replayfilter::RebuildField(frame.data(), kW, kH, kW * 3, mode - 1);
        vlx::replayfilter::CopyBottomUp(frame.data(), kW, kH, kW * 3, dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
}
BENCHMARK(BM_ReplayFrameHd)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_ReplayMemcpyHd(benchmark::State& state) {
    std::vector<uint8_t> frame = Noise(), dst(kBytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), frame.data(), kBytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBytes));
}
BENCHMARK(BM_ReplayMemcpyHd)->Unit(benchmark::kMicrosecond);

}  // namespace

// Sky simulator rendering cost per frame: skysim/<what>/<format>/<size>.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "vlx/skysim/generator.h"

namespace {

using vlx::skysim::Generator;

void RenderFrames(benchmark::State& state, const char* preset, vlx::FormatCode format, int w, int h) {
    Generator gen(*vlx::skysim::Preset(preset, {w, h, 0, 0, 0}));
    std::vector<uint8_t> out(gen.FrameBytes(format));
    int frame = 0;
    for (auto _ : state) {
        gen.Render(frame, format, out.data());
        benchmark::DoNotOptimize(out.data());
        frame = (frame + 1) % gen.frames();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void CopyFrame(benchmark::State& state, vlx::FormatCode format, int w, int h) {
    std::vector<uint8_t> a(Generator::FrameBytes(format, w, h), 1), b(a.size());
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::DoNotOptimize(b.data());
    }
}

void RenderAudioFrame(benchmark::State& state) {
    Generator gen(*vlx::skysim::Preset("demo", {64, 48, 0, 0, 0}));
    std::vector<int16_t> pcm(2 * 1700);
    int frame = 0;
    for (auto _ : state) {
        const int64_t s0 = gen.AudioSampleOfFrame(frame), s1 = gen.AudioSampleOfFrame(frame + 1);
        gen.RenderAudio(s0, static_cast<int>(s1 - s0), pcm.data());
        benchmark::DoNotOptimize(pcm.data());
        frame = (frame + 1) % gen.frames();
    }
}

const bool kRegistered = [] {
    using vlx::kFormatPlanar420;
    using vlx::kFormatYUY2;
    benchmark::RegisterBenchmark("skysim/demo/YUY2/640x480", RenderFrames, "demo", kFormatYUY2, 640, 480)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("skysim/demo/YUY2/1920x1080", RenderFrames, "demo", kFormatYUY2, 1920, 1080)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("skysim/demo/I420/1920x1080", RenderFrames, "demo", kFormatPlanar420, 1920, 1080)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("skysim/busy/YUY2/1920x1080", RenderFrames, "busy", kFormatYUY2, 1920, 1080)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("skysim/memcpy/YUY2/1920x1080", CopyFrame, kFormatYUY2, 1920, 1080)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("skysim/audio/one-frame", RenderAudioFrame)->Unit(benchmark::kMicrosecond);
    return true;
}();

}  // namespace

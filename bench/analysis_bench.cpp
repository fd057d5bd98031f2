// Event analysis cost per clip of 70 frames at 1920x1080 (about 2.3 s of
// video): analysis/core on frames in memory, analysis/file on a raw YUY2 AVI
// decoded through GStreamer and written as a sidecar.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "vlx/analysis/clip_analysis.h"
#include "vlx/skysim/generator.h"

namespace {

constexpr int kW = 1920, kH = 1080, kFrames = 70;

vlx::skysim::Scene MeteorScene() {
    vlx::skysim::Scene s = *vlx::skysim::Preset("single-meteor", {kW, kH, 0, 0, 0});
    s.meteors.at(0).start_frame = 30;
    return s;
}

void AnalysisCore(benchmark::State& state) {
    vlx::skysim::Generator gen(MeteorScene());
    std::vector<std::vector<uint8_t>> frames;
    for (int f = 0; f < kFrames; ++f) {
        const uint8_t* l = gen.RenderLuma(f);
        frames.emplace_back(l, l + static_cast<size_t>(kW) * kH);
    }
    vlx::analysis::AnalysisSetup setup;
    setup.width = kW;
    setup.height = kH;
    setup.dlev = gen.detect_level();
    std::string verdict;
    for (auto _ : state) {
        vlx::analysis::TrackAnalyser a;
        std::string error;
        a.Begin(setup, &error);
        for (const auto& f : frames) a.AddFrame(f.data(), kW);
        verdict = vlx::analysis::KindName(a.Finish().verdict.kind);
    }
    state.SetLabel(verdict);
}
BENCHMARK(AnalysisCore)->Name("analysis/core/70x1920x1080")->Unit(benchmark::kMillisecond);

void AnalysisFile(benchmark::State& state) {
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir(exe, n > 0 ? static_cast<size_t>(n) : 0);
    dir = dir.substr(0, dir.rfind('/'));
    char tmpl[] = "/tmp/vlx-analysis-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string clip = std::string(tmpl) + "/M20240101_000000_.avi";
    const std::string cmd = "'" + dir + "/vlx-skysim' --preset single-meteor --width 1920 --height 1080 --format YUY2 "
                            "--seconds 2.336 --out '" + clip + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        state.SkipWithError("vlx-skysim failed");
        return;
    }
    vlx::analysis::ClipAnalysisOptions options;
    options.setup.dlev = 30;
    std::string verdict;
    for (auto _ : state) {
        vlx::analysis::Analysis a;
        std::string error;
        if (!vlx::analysis::AnalyseClipToSidecar(clip, options, &a, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        verdict = std::to_string(a.rows.size()) + " frames, " + vlx::analysis::KindName(a.verdict.kind);
    }
    state.SetLabel(verdict);
    std::remove(clip.c_str());
    std::remove(vlx::analysis::SidecarPath(clip).c_str());
    std::remove((std::string(tmpl) + "/M20240101_000000_.json").c_str());  // the simulator's truth
    rmdir(tmpl);
}
BENCHMARK(AnalysisFile)->Name("analysis/file/70x1920x1080-YUY2")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

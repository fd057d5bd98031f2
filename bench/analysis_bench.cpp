// Event analysis cost per clip of 70 frames at 1920x1080 (about 2.3 s of
// video): analysis/core on frames in memory, analysis/file on a raw YUY2 AVI
// decoded through GStreamer and written as a sidecar.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <sys/resource.h>
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

// Writes the scene's first kFrames frames as an uncompressed YUY2 AVI.
bool WriteClip(const std::string& path) {
    vlx::skysim::Generator gen(MeteorScene());
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    const std::string launch = "appsrc name=src format=time ! video/x-raw,format=YUY2,width=" + std::to_string(kW) +
                               ",height=" + std::to_string(kH) +
                               ",framerate=30000/1001 ! avimux ! filesink name=sink";
    GstElement* pipe = gst_parse_launch(launch.c_str(), nullptr);
    if (!pipe) {
        std::fprintf(stderr, "no writer pipeline\n");
        return false;
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipe), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipe), "sink");
    g_object_set(sink, "location", path.c_str(), nullptr);
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width", G_TYPE_INT, kW,
                                        "height", G_TYPE_INT, kH, "framerate", GST_TYPE_FRACTION, 30000, 1001, nullptr);
    g_object_set(src, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_element_set_state(pipe, GST_STATE_PLAYING);
    const size_t bytes = gen.FrameBytes(vlx::kFormatYUY2);
    for (int f = 0; f < kFrames; ++f) {
        GstBuffer* buf = gst_buffer_new_allocate(nullptr, bytes, nullptr);
        GstMapInfo map;
        gst_buffer_map(buf, &map, GST_MAP_WRITE);
        gen.Render(f, vlx::kFormatYUY2, map.data);
        gst_buffer_unmap(buf, &map);
        GST_BUFFER_PTS(buf) = gst_util_uint64_scale(f, GST_SECOND * 1001, 30000);
        GST_BUFFER_DURATION(buf) = gst_util_uint64_scale(1, GST_SECOND * 1001, 30000);
        gst_app_src_push_buffer(GST_APP_SRC(src), buf);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    GstBus* bus = gst_element_get_bus(pipe);
    GstMessage* msg = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (!msg) std::fprintf(stderr, "writing the clip timed out\n");
    if (msg && !ok) {
        GError* err = nullptr;
        gst_message_parse_error(msg, &err, nullptr);
        std::fprintf(stderr, "writing the clip: %s\n", err ? err->message : "?");
        if (err) g_error_free(err);
    }
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    gst_element_set_state(pipe, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(pipe);
    return ok;
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);  // every thread, the decoder's too
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void AnalysisFile(benchmark::State& state) {
    char tmpl[] = "/tmp/vlx-analysis-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string clip = std::string(tmpl) + "/M20240101_000000_.avi";
    if (!WriteClip(clip)) {
        state.SkipWithError("cannot write the clip");
        return;
    }
    vlx::analysis::ClipAnalysisOptions options;
    options.setup.dlev = 0;  // from the clip's first frames
    std::string verdict;
    const double cpu0 = CpuSeconds();
    for (auto _ : state) {
        vlx::analysis::Analysis a;
        std::string error;
        if (!vlx::analysis::AnalyseClipToSidecar(clip, options, &a, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        verdict = std::to_string(a.rows.size()) + " frames, " + vlx::analysis::KindName(a.verdict.kind);
    }
    state.counters["cpu_all_threads_ms"] = (CpuSeconds() - cpu0) * 1000 / std::max<int64_t>(1, state.iterations());
    state.SetLabel(verdict);
    std::remove(clip.c_str());
    std::remove(vlx::analysis::SidecarPath(clip).c_str());
    rmdir(tmpl);
}
BENCHMARK(AnalysisFile)->Name("analysis/file/70x1920x1080-YUY2")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

// The vlx2f element's cost per 1920x1080 YUY2 frame in a pipeline
// (appsrc -> vlx2f -> fakesink on both outputs), beside the detection core's
// own cost for the same frames.
//
// BM_CoreYuy2Hd: processor time of Core::ProcessVideo per frame.
// BM_ElementYuy2Hd: the pipeline's pace (wall time per frame; the frames are
// filled into pool buffers on the benchmark thread, as a capture source would,
// in parallel with the streaming thread) and "stream_ms", the processor time
// of the streaming thread per frame: appsrc, vlx2f and both fakesinks. The
// difference between stream_ms and the core's figure is what the element and
// the pipeline around it add.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <random>
#include <vector>

#include "../tests/filter/test_block.h"
#include "vlx/detect/core.h"
#include "vlx/guid.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 8;
constexpr size_t kFrameBytes = static_cast<size_t>(kWidth) * kHeight * 2;

vlx::test::BlockConfig HdConfig() {
    vlx::test::BlockConfig c;
    c.cxin = c.cx = kWidth;
    c.cyin = c.cy = kHeight;
    c.gray = false;
    c.fps = 25.0;
    return c;
}

// A quiet night sky: luma around 30 with sensor noise, neutral chroma.
const std::vector<std::vector<uint8_t>>& Frames() {
    static const std::vector<std::vector<uint8_t>> frames = [] {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> noise(-3, 3);
        std::vector<std::vector<uint8_t>> f(kFrames, std::vector<uint8_t>(kFrameBytes));
        for (auto& frame : f) {
            for (size_t i = 0; i < kFrameBytes; i += 2) {
                frame[i] = static_cast<uint8_t>(30 + noise(rng));
                frame[i + 1] = 128;
            }
        }
        return f;
    }();
    return frames;
}

void BM_CoreYuy2Hd(benchmark::State& st) {
    vlx::test::TestBlock block(HdConfig());
    vlx::detect::Core core;
    int32_t version = 0, reserved = 0;
    core.Init(&block.dp, &version, &reserved);
    core.ConnectVideo(vlx::kSubtypeYUY2, 400000);
    core.Run();
    // Nothing is drawn into these frames (no stamps, no hits), so the same
    // copies serve every pass.
    std::vector<std::vector<uint8_t>> frames = Frames();
    vlx::detect::SampleTimes t;
    int i = 0;
    for (auto _ : st) {
        t.start = int64_t{400000} * i;
        t.stop = t.start + 400000;
        benchmark::DoNotOptimize(core.ProcessVideo(frames[i % kFrames].data(), kFrameBytes, t));
        ++i;
    }
    st.SetItemsProcessed(st.iterations());
    st.counters["hits"] = block.dp.hit_count;
}
BENCHMARK(BM_CoreYuy2Hd)->Unit(benchmark::kMillisecond);

struct Counter {
    std::atomic<int64_t> n{0};
};

// The streaming thread's processor clock, taken on its first buffer.
struct StreamClock {
    std::atomic<bool> set{false};
    clockid_t id{};
    double start = 0;
};

double Seconds(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

GstPadProbeReturn OnFirstBuffer(GstPad*, GstPadProbeInfo*, gpointer data) {
    auto* c = static_cast<StreamClock*>(data);
    pthread_getcpuclockid(pthread_self(), &c->id);
    c->start = Seconds(c->id);
    c->set = true;
    return GST_PAD_PROBE_REMOVE;
}

void OnHandoff(GstElement*, GstBuffer*, GstPad*, gpointer data) {
    static_cast<Counter*>(data)->n.fetch_add(1, std::memory_order_relaxed);
}

void BM_ElementYuy2Hd(benchmark::State& st) {
    g_setenv("GST_PLUGIN_PATH", VLX_PLUGIN_DIR, FALSE);
    gst_init(nullptr, nullptr);
    vlx::test::TestBlock block(HdConfig());

    GstElement* pipeline = gst_pipeline_new(nullptr);
    GstElement* src = gst_element_factory_make("appsrc", nullptr);
    GstElement* filter = gst_element_factory_make("vlx2f", nullptr);
    GstElement* preview = gst_element_factory_make("fakesink", nullptr);
    GstElement* capture = gst_element_factory_make("fakesink", nullptr);
    if (!filter) {
        st.SkipWithError("vlx2f not found on GST_PLUGIN_PATH");
        return;
    }
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=YUY2,width=1920,height=1080,framerate=25/1");
    g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, "block", TRUE, "max-buffers", G_GUINT64_CONSTANT(4),
                 nullptr);
    // No preroll: a sink on each output would otherwise need its own queue.
    for (GstElement* sink : {preview, capture}) g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    Counter done;
    g_object_set(preview, "signal-handoffs", TRUE, nullptr);
    g_signal_connect(preview, "handoff", G_CALLBACK(OnHandoff), &done);
    gst_bin_add_many(GST_BIN(pipeline), src, filter, preview, capture, nullptr);
    gint hr = -1;
    int32_t version = 0, reserved = 0;
    g_signal_emit_by_name(filter, "init", &block.dp, &version, &reserved, &hr);
    gst_element_link_pads(src, "src", filter, "Input");
    gst_element_link_pads(filter, "Output1", preview, "sink");
    gst_element_link_pads(filter, "Output2", capture, "sink");

    // Buffers come from a pool, as from a capture source: each one is owned
    // by the element alone when it arrives, so it is used in place.
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, kFrameBytes, 8, 16);
    gst_buffer_pool_set_config(pool, config);
    gst_buffer_pool_set_active(pool, TRUE);
    gst_caps_unref(caps);

    StreamClock stream;
    GstPad* input = gst_element_get_static_pad(filter, "Input");
    gst_pad_add_probe(input, GST_PAD_PROBE_TYPE_BUFFER, OnFirstBuffer, &stream, nullptr);
    gst_object_unref(input);

    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    gst_element_get_state(pipeline, nullptr, nullptr, 5 * GST_SECOND);

    int64_t pushed = 0;
    for (auto _ : st) {
        GstBuffer* b = nullptr;
        gst_buffer_pool_acquire_buffer(pool, &b, nullptr);
        gst_buffer_fill(b, 0, Frames()[pushed % kFrames].data(), kFrameBytes);
        GST_BUFFER_PTS(b) = static_cast<GstClockTime>(pushed) * 40 * GST_MSECOND;
        GST_BUFFER_DURATION(b) = 40 * GST_MSECOND;
        gst_app_src_push_buffer(GST_APP_SRC(src), b);
        ++pushed;
    }
    // The figure covers every frame through the element, not just the queueing.
    while (done.n.load(std::memory_order_relaxed) < pushed) g_usleep(200);
    st.SetItemsProcessed(st.iterations());
    st.counters["hits"] = block.dp.hit_count;
    st.counters["drops"] = block.dp.drop_count;
    if (stream.set && pushed > 1) {
        st.counters["stream_ms"] = (Seconds(stream.id) - stream.start) * 1e3 / static_cast<double>(pushed - 1);
    }

    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    gst_buffer_pool_set_active(pool, FALSE);
    gst_object_unref(pool);
}
BENCHMARK(BM_ElementYuy2Hd)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

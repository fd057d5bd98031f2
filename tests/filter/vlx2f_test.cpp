// The vlx2f element in real pipelines: appsrc (or videotestsrc) into it,
// appsinks on its outputs, the detection core behind it.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "test_block.h"
#include "test_support.h"
#include "vlx/guid.h"
#include "vlx/messages.h"
#include "vlx/thread_msg.h"

namespace {

using vlx::test::BlockConfig;
using vlx::test::TestBlock;

constexpr gint kEPointer = static_cast<gint>(0x80004003u);

std::string UniqueIpcName(const char* tag) {
    static int n = 0;
    return "/vlx2f_test_" + std::to_string(getpid()) + "_" + tag + std::to_string(++n);
}

GstElement* MakeFilter(const std::string& ipc_name) {
    const char* names[] = {"ipc-name"};
    GValue v = G_VALUE_INIT;
    g_value_init(&v, G_TYPE_STRING);
    g_value_set_string(&v, ipc_name.c_str());
    GstElement* f = gst_element_factory_make_with_properties("vlx2f", 1, names, &v);
    g_value_unset(&v);
    return f;
}

gint EmitInit(GstElement* f, gpointer block, gpointer version, gpointer reserved) {
    gint hr = -1;
    g_signal_emit_by_name(f, "init", block, version, reserved, &hr);
    return hr;
}

struct Frame {
    std::vector<uint8_t> pixels;
    GstClockTime pts = 0;
};

// appsrc -> vlx2f -> appsink (preview) + appsink (capture), optionally with
// an audio appsrc -> vlx2f -> appsink.
class Rig {
public:
    Rig(TestBlock& block, const std::string& video_caps, const std::string& audio_caps = "",
        const std::string& ipc_name = UniqueIpcName("rig"))
        : block_(block) {
        pipeline_ = gst_pipeline_new(nullptr);
        vsrc_ = MakeSource(video_caps);
        filter_ = MakeFilter(ipc_name);
        preview_ = MakeSink();
        capture_ = MakeSink();
        gst_bin_add_many(GST_BIN(pipeline_), vsrc_, filter_, nullptr);
        int32_t version = 0, reserved = 0;
        init_result_ = EmitInit(filter_, &block.dp, &version, &reserved);
        linked_ = gst_element_link_pads(vsrc_, "src", filter_, "Input") && LinkOutput("Output1", preview_) &&
                  LinkOutput("Output2", capture_);
        if (!audio_caps.empty()) {
            asrc_ = MakeSource(audio_caps);
            audio_ = MakeSink();
            gst_bin_add(GST_BIN(pipeline_), asrc_);
            linked_ = linked_ && gst_element_link_pads(asrc_, "src", filter_, "Input Audio") &&
                      LinkOutput("Audio Capture", audio_);
        }
    }
    ~Rig() {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
        for (GstStructure* s : element_messages_) gst_structure_free(s);
        for (auto* got : {&preview_got_, &capture_got_, &audio_got_}) {
            for (GstSample* smp : *got) gst_sample_unref(smp);
        }
    }

    bool linked() const { return linked_; }
    gint init_result() const { return init_result_; }
    GstElement* filter() const { return filter_; }

    bool Play() {
        // The sources are live: the sinks complete their state change on the
        // first data, while the filter is already running.
        return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }
    void PushVideo(const std::vector<uint8_t>& data, GstClockTime pts, GstClockTime duration) {
        Push(vsrc_, data, pts, duration);
    }
    void PushAudio(const std::vector<uint8_t>& data, GstClockTime pts, GstClockTime duration) {
        Push(asrc_, data, pts, duration);
    }
    // Takes in the sinks' samples until the preview has n of them.
    bool WaitPreview(size_t n) {
        const gint64 end = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
        while (preview_got_.size() < n && g_get_monotonic_time() < end) Drain(5 * GST_MSECOND);
        return preview_got_.size() >= n;
    }
    bool Stop() {
        return gst_element_set_state(pipeline_, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE;
    }
    // Ends the streams, takes in what the sinks got (an appsink holds EOS
    // back until it is drained) and waits for EOS (or an error) on the bus.
    bool Finish() {
        gst_app_src_end_of_stream(GST_APP_SRC(vsrc_));
        if (asrc_) gst_app_src_end_of_stream(GST_APP_SRC(asrc_));
        const gint64 end = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
        GstBus* bus = gst_element_get_bus(pipeline_);
        bool ok = false;
        while (g_get_monotonic_time() < end) {
            Drain(5 * GST_MSECOND);
            GstMessage* m = gst_bus_pop(bus);
            if (!m) continue;
            const GstMessageType t = GST_MESSAGE_TYPE(m);
            Note(m);
            gst_message_unref(m);
            if (t == GST_MESSAGE_EOS) ok = true;
            if (t == GST_MESSAGE_EOS || t == GST_MESSAGE_ERROR) break;
        }
        gst_object_unref(bus);
        Drain(0);
        return ok;
    }
    // Waits for a message of this type; false on an error or a timeout.
    bool WaitBus(GstMessageType type) {
        GstBus* bus = gst_element_get_bus(pipeline_);
        bool ok = false;
        for (;;) {
            GstMessage* m = gst_bus_timed_pop(bus, 10 * GST_SECOND);
            if (!m) break;
            const GstMessageType t = GST_MESSAGE_TYPE(m);
            Note(m);
            gst_message_unref(m);
            if (t == type) {
                ok = true;
                break;
            }
            if (t == GST_MESSAGE_ERROR) break;
        }
        gst_object_unref(bus);
        return ok;
    }
    const std::string& error() const { return error_; }
    const std::vector<GstStructure*>& element_messages() const { return element_messages_; }

    std::vector<GstSample*> PreviewSamples() { return std::move(preview_got_); }
    std::vector<GstSample*> CaptureSamples() { return std::move(capture_got_); }
    std::vector<GstSample*> AudioSamples() { return std::move(audio_got_); }
    GstElement* preview_sink() const { return preview_; }

private:
    void Note(GstMessage* m) {
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ELEMENT) {
            element_messages_.push_back(gst_structure_copy(gst_message_get_structure(m)));
        }
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
            GError* err = nullptr;
            gst_message_parse_error(m, &err, nullptr);
            error_ = err ? err->message : "error";
            g_clear_error(&err);
        }
    }
    void Drain(GstClockTime wait) {
        for (auto& [sink, got] : Outputs()) {
            while (GstSample* smp = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), wait)) got->push_back(smp);
        }
    }
    std::vector<std::pair<GstElement*, std::vector<GstSample*>*>> Outputs() {
        std::vector<std::pair<GstElement*, std::vector<GstSample*>*>> o = {{preview_, &preview_got_},
                                                                            {capture_, &capture_got_}};
        if (audio_) o.emplace_back(audio_, &audio_got_);
        return o;
    }
    // Every output runs through a short queue, as after a tee: one streaming
    // thread cannot preroll two sinks.
    bool LinkOutput(const char* pad, GstElement* sink) {
        GstElement* q = gst_element_factory_make("queue", nullptr);
        g_object_set(q, "max-size-buffers", 10u, "max-size-bytes", 0u, "max-size-time", G_GUINT64_CONSTANT(0), nullptr);
        gst_bin_add_many(GST_BIN(pipeline_), q, sink, nullptr);
        return gst_element_link_pads(filter_, pad, q, "sink") && gst_element_link(q, sink);
    }
    GstElement* MakeSource(const std::string& caps) {
        GstElement* src = gst_element_factory_make("appsrc", nullptr);
        GstCaps* c = gst_caps_from_string(caps.c_str());
        g_object_set(src, "caps", c, "format", GST_FORMAT_TIME, "is-live", TRUE, "max-bytes", G_GUINT64_CONSTANT(0),
                     "block", FALSE, nullptr);
        gst_caps_unref(c);
        return src;
    }
    static GstElement* MakeSink() {
        GstElement* sink = gst_element_factory_make("appsink", nullptr);
        g_object_set(sink, "sync", FALSE, "max-buffers", 0u, "drop", FALSE, nullptr);
        return sink;
    }
    static void Push(GstElement* src, const std::vector<uint8_t>& data, GstClockTime pts, GstClockTime duration) {
        GstBuffer* b = gst_buffer_new_allocate(nullptr, data.size(), nullptr);
        gst_buffer_fill(b, 0, data.data(), data.size());
        GST_BUFFER_PTS(b) = pts;
        GST_BUFFER_DURATION(b) = duration;
        gst_app_src_push_buffer(GST_APP_SRC(src), b);
    }

    TestBlock& block_;
    GstElement* pipeline_ = nullptr;
    GstElement* vsrc_ = nullptr;
    GstElement* asrc_ = nullptr;
    GstElement* filter_ = nullptr;
    GstElement* preview_ = nullptr;
    GstElement* capture_ = nullptr;
    GstElement* audio_ = nullptr;
    bool linked_ = false;
    gint init_result_ = -1;
    std::string error_;
    std::vector<GstStructure*> element_messages_;
    std::vector<GstSample*> preview_got_, capture_got_, audio_got_;
};

struct Samples {
    std::vector<GstSample*> v;
    explicit Samples(std::vector<GstSample*> s) : v(std::move(s)) {}
    ~Samples() {
        for (GstSample* s : v) gst_sample_unref(s);
    }
    size_t size() const { return v.size(); }
    GstBuffer* buffer(size_t i) const { return gst_sample_get_buffer(v[i]); }
    GstCaps* caps(size_t i) const { return gst_sample_get_caps(v[i]); }
};

std::vector<uint8_t> Bytes(GstBuffer* b) {
    std::vector<uint8_t> out(gst_buffer_get_size(b));
    gst_buffer_extract(b, 0, out.data(), out.size());
    return out;
}

// GRAY8 frame: background 20, pixel (0,0) carries the frame number.
std::vector<uint8_t> GrayFrame(int w, int h, int index) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h, 20);
    f[0] = static_cast<uint8_t>(30 + index);
    return f;
}

// A bright streak of six pixels along a diagonal, moved on every frame so
// that its pixels are new against the previous frame.
void DrawStreak(std::vector<uint8_t>& f, int w, int step) {
    for (int k = 0; k < 6; ++k) {
        const int x = 8 + 7 * step + k, y = 10 + k;
        f[static_cast<size_t>(y) * w + x] = 220;
    }
}

class Vlx2fTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The build's plugin directory, unless the environment names one.
        g_setenv("GST_PLUGIN_PATH", VLX_PLUGIN_DIR, FALSE);
        g_setenv("GST_REGISTRY", VLX_TEST_REGISTRY, FALSE);
        // Load plugins in this process: a sanitizer build of the plugin cannot
        // be opened by the uninstrumented plugin scanner.
        g_setenv("GST_REGISTRY_FORK", "no", FALSE);
        gst_init(nullptr, nullptr);
    }
    void SetUp() override {
        GstElementFactory* factory = gst_element_factory_find("vlx2f");
        ASSERT_NE(factory, nullptr) << "vlx2f not found on GST_PLUGIN_PATH";
        gst_object_unref(factory);
    }
};

TEST_F(Vlx2fTest, ControlCallsAndPads) {
    TestBlock block(BlockConfig{});
    GstElement* f = MakeFilter(UniqueIpcName("ctl"));
    gst_object_ref_sink(f);
    int32_t version = -1, reserved = -1;
    EXPECT_EQ(EmitInit(f, nullptr, &version, &reserved), kEPointer);
    EXPECT_EQ(EmitInit(f, &block.dp, nullptr, &reserved), kEPointer);
    EXPECT_EQ(EmitInit(f, &block.dp, &version, nullptr), kEPointer);
    EXPECT_EQ(version, -1);
    EXPECT_EQ(reserved, -1);
    for (int i = 0; i < 2; ++i) {
        version = reserved = -1;
        EXPECT_EQ(EmitInit(f, &block.dp, &version, &reserved), 0);
        EXPECT_EQ(version, 208);
        EXPECT_EQ(reserved, 0);
    }
    gint hr = -1;
    g_signal_emit_by_name(f, "reserved", 7, &hr);
    EXPECT_EQ(hr, 0);

    std::vector<std::string> names;
    for (GList* l = GST_ELEMENT(f)->pads; l; l = l->next) names.push_back(GST_PAD_NAME(l->data));
    EXPECT_EQ(names, (std::vector<std::string>{"Input", "Output1", "Output2", "Input Audio", "Audio Capture"}));

    // An output cannot agree on a format before the input has one.
    GstPad* out = gst_element_get_static_pad(f, "Output1");
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1");
    EXPECT_FALSE(gst_pad_query_accept_caps(out, caps));
    gst_caps_unref(caps);
    gst_object_unref(out);
    gst_object_unref(f);
}

// Every accepted format connects and flows (including the prerolling of a
// capture sink that never gets a frame); others, and a wrong size, do not.
TEST_F(Vlx2fTest, FormatsConnectOrAreRefused) {
    struct Case {
        const char* format;
        int width;
        bool accepted;
        vlx::Guid subtype;
    };
    const Case cases[] = {
        {"I420", 64, true, vlx::kSubtypeI420},   {"YV12", 64, true, vlx::kSubtypeYV12},
        {"YUY2", 64, true, vlx::kSubtypeYUY2},   {"UYVY", 64, true, vlx::kSubtypeUYVY},
        {"GRAY8", 64, true, vlx::kSubtypeY800},  {"RGB", 64, false, {}},
        {"NV12", 64, false, {}},                 {"BGRx", 64, false, {}},
        {"YUY2", 80, false, {}},                 {"GRAY8", 62, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " width " + std::to_string(c.width));
        BlockConfig bc;
        bc.gray = std::string(c.format) == "GRAY8";
        TestBlock block(bc);
        GstElement* pipeline = gst_pipeline_new(nullptr);
        GstElement* src = gst_element_factory_make("videotestsrc", nullptr);
        GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
        GstElement* f = MakeFilter(UniqueIpcName("fmt"));
        GstElement* preview = gst_element_factory_make("fakesink", nullptr);
        GstElement* capture = gst_element_factory_make("fakesink", nullptr);
        GstElement* q1 = gst_element_factory_make("queue", nullptr);
        GstElement* q2 = gst_element_factory_make("queue", nullptr);
        g_object_set(src, "num-buffers", 4, nullptr);
        GstCaps* caps = gst_caps_from_string(
            (std::string("video/x-raw,framerate=25/1,height=48,format=") + c.format + ",width=" + std::to_string(c.width))
                .c_str());
        g_object_set(filter, "caps", caps, nullptr);
        gst_caps_unref(caps);
        gst_bin_add_many(GST_BIN(pipeline), src, filter, f, q1, q2, preview, capture, nullptr);
        int32_t version, reserved;
        ASSERT_EQ(EmitInit(f, &block.dp, &version, &reserved), 0);
        bool linked = gst_element_link(src, filter) && gst_element_link_pads(filter, "src", f, "Input") &&
                      gst_element_link_pads(f, "Output1", q1, "sink") && gst_element_link(q1, preview) &&
                      gst_element_link_pads(f, "Output2", q2, "sink") && gst_element_link(q2, capture);
        bool reached_eos = false;
        if (linked) {
            gst_element_set_state(pipeline, GST_STATE_PLAYING);
            GstBus* bus = gst_element_get_bus(pipeline);
            GstMessage* m = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                                       static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
            reached_eos = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
            if (m) gst_message_unref(m);
            gst_object_unref(bus);
            gst_element_set_state(pipeline, GST_STATE_NULL);
        }
        EXPECT_EQ(linked && reached_eos, c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(block.dp.subtype == c.subtype);
        }
        gst_object_unref(pipeline);
    }
}

// Resizing: both outputs carry the working size, and the pixels are the
// source's linearly interpolated (a linear ramp survives up to rounding).
TEST_F(Vlx2fTest, ResizeScalesBothOutputs) {
    for (const char* format : {"GRAY8", "I420"}) {
        SCOPED_TRACE(format);
        const bool gray = std::string(format) == "GRAY8";
        BlockConfig bc;
        bc.cxin = 64;
        bc.cyin = 48;
        bc.cx = 32;
        bc.cy = 24;
        bc.gray = gray;
        TestBlock block(bc);
        block.dp.force_trig = 1;  // every frame counts: the capture output runs too
        Rig rig(block, std::string("video/x-raw,width=64,height=48,framerate=25/1,format=") + format);
        ASSERT_TRUE(rig.linked());
        ASSERT_TRUE(rig.Play());
        // A luma ramp (then neutral chroma planes for I420).
        std::vector<uint8_t> frame(gray ? 64 * 48 : 64 * 48 * 3 / 2, 128);
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 64; ++x) frame[static_cast<size_t>(y) * 64 + x] = static_cast<uint8_t>(2 * x + y);
        }
        for (int i = 0; i < 12; ++i) rig.PushVideo(frame, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
        ASSERT_TRUE(rig.Finish()) << rig.error();

        Samples preview(rig.PreviewSamples());
        Samples capture(rig.CaptureSamples());
        ASSERT_EQ(preview.size(), 12u);
        ASSERT_GE(capture.size(), 5u);
        for (const Samples* s : {&preview, &capture}) {
            for (size_t i = 0; i < s->size(); ++i) {
                GstVideoInfo info;
                ASSERT_TRUE(gst_video_info_from_caps(&info, s->caps(i)));
                EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 32);
                EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 24);
                EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 25);
                std::vector<uint8_t> px = Bytes(s->buffer(i));
                ASSERT_EQ(px.size(), gray ? 32u * 24u : 32u * 24u * 3 / 2);
                for (int y = 0; y < 24; ++y) {
                    for (int x = 0; x < 32; ++x) {
                        const double sx = 63.0 / 31.0 * x, sy = 47.0 / 23.0 * y;
                        const int want = static_cast<int>(2 * sx + sy + 0.5);
                        ASSERT_NEAR(px[static_cast<size_t>(y) * 32 + x], want, 1) << "at " << x << "," << y;
                    }
                }
                for (size_t c = 32 * 24; c < px.size(); ++c) ASSERT_EQ(px[c], 128) << "chroma byte " << c;
            }
        }
    }
}

// Odd 4:2:0 sizes, scaled to an odd working size: frames arrive and leave
// in the framework's own row layout (what a muxer writes and a demuxer reads
// back), the chroma of the last column and row included.
TEST_F(Vlx2fTest, OddPlanarSizesLeaveInTheFrameworksLayout) {
    BlockConfig bc;
    bc.cxin = 65;
    bc.cyin = 49;
    bc.cx = 33;
    bc.cy = 25;
    bc.gray = false;
    TestBlock block(bc);
    block.dp.force_trig = 1;
    Rig rig(block, "video/x-raw,format=I420,width=65,height=49,framerate=25/1");
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    GstVideoInfo in;
    gst_video_info_set_format(&in, GST_VIDEO_FORMAT_I420, 65, 49);
    std::vector<uint8_t> frame(GST_VIDEO_INFO_SIZE(&in), 0xEE);  // padding must never show up
    for (int p = 0; p < 3; ++p) {
        const int w = p ? 33 : 65, h = p ? 25 : 49;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                frame[GST_VIDEO_INFO_PLANE_OFFSET(&in, p) + static_cast<size_t>(y) * GST_VIDEO_INFO_PLANE_STRIDE(&in, p) +
                      x] = static_cast<uint8_t>(p == 0 ? 2 * x + y : (p == 1 ? 100 + x : 50 + y));
            }
        }
    }
    for (int i = 0; i < 12; ++i) rig.PushVideo(frame, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    ASSERT_TRUE(rig.Finish()) << rig.error();
    Samples preview(rig.PreviewSamples());
    Samples capture(rig.CaptureSamples());
    ASSERT_EQ(preview.size(), 12u);
    ASSERT_GE(capture.size(), 5u);
    for (const Samples* s : {&preview, &capture}) {
        for (size_t i = 0; i < s->size(); ++i) {
            GstVideoInfo info;
            ASSERT_TRUE(gst_video_info_from_caps(&info, s->caps(i)));
            ASSERT_EQ(GST_VIDEO_INFO_WIDTH(&info), 33);
            ASSERT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 25);
            ASSERT_EQ(gst_buffer_get_size(s->buffer(i)), GST_VIDEO_INFO_SIZE(&info));
            ASSERT_EQ(gst_buffer_get_video_meta(s->buffer(i)), nullptr);  // the default layout needs none
            GstVideoFrame vf;
            ASSERT_TRUE(gst_video_frame_map(&vf, &info, s->buffer(i), GST_MAP_READ));
            const auto* y0 = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&vf, 0));
            for (int y = 0; y < 25; ++y) {
                for (int x = 0; x < 33; ++x) {
                    const double sx = 64.0 / 32.0 * x, sy = 48.0 / 24.0 * y;
                    ASSERT_NEAR(y0[y * GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 0) + x], static_cast<int>(2 * sx + sy + 0.5), 1)
                        << x << "," << y;
                }
            }
            // Chroma from the nearest source sample: working column 2c sits
            // on source column 4c, whose chroma is column 2c.
            const auto* u = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&vf, 1));
            const auto* v = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&vf, 2));
            for (int r = 0; r < 13; ++r) {
                for (int c = 0; c < 17; ++c) {
                    ASSERT_EQ(u[r * GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 1) + c], 100 + 2 * c) << c << "," << r;
                    ASSERT_EQ(v[r * GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 2) + c], 50 + 2 * r) << c << "," << r;
                }
            }
            gst_video_frame_unmap(&vf);
        }
    }
}

// Rows with padding (GRAY8 30 wide has a 32-byte stride) reach the core
// packed and leave described by a video meta, on both outputs.
TEST_F(Vlx2fTest, PaddedRowsArePackedAndDescribed) {
    BlockConfig bc;
    bc.cxin = bc.cx = 30;
    bc.cyin = bc.cy = 20;
    TestBlock block(bc);
    block.dp.force_trig = 1;
    block.dp.fs_head = 0;
    Rig rig(block, "video/x-raw,format=GRAY8,width=30,height=20,framerate=25/1");
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    std::vector<uint8_t> padded(32 * 20, 0xEE);  // padding bytes must never show up
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 30; ++x) padded[static_cast<size_t>(y) * 32 + x] = static_cast<uint8_t>(x + 3 * y);
    }
    for (int i = 0; i < 6; ++i) rig.PushVideo(padded, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    ASSERT_TRUE(rig.Finish()) << rig.error();
    Samples preview(rig.PreviewSamples());
    Samples capture(rig.CaptureSamples());
    ASSERT_EQ(preview.size(), 6u);
    ASSERT_GE(capture.size(), 3u);
    for (const Samples* s : {&preview, &capture}) {
        for (size_t i = 0; i < s->size(); ++i) {
            GstVideoInfo info;
            ASSERT_TRUE(gst_video_info_from_caps(&info, s->caps(i)));
            GstVideoFrame vf;
            ASSERT_TRUE(gst_video_frame_map(&vf, &info, s->buffer(i), GST_MAP_READ));
            const auto* d = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&vf, 0));
            const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&vf, 0);
            for (int y = 0; y < 20; ++y) {
                for (int x = 0; x < 30; ++x) {
                    ASSERT_EQ(d[y * stride + x], x + 3 * y) << x << "," << y;
                }
            }
            gst_video_frame_unmap(&vf);
        }
    }
}

// The meteor run shared by the clip and preview-off tests: frames 0..44 of
// a quiet sky, a streak on frames 20..23. With dmin 2, fs_head 3, fs_tail 4
// the clip is frames 17..27.
struct MeteorRun {
    std::vector<int> preview_frames;
    std::vector<int> capture_frames;
    std::vector<GstClockTime> capture_pts;
    std::vector<GstStructure*> messages;
    bool thread_message = false;
    int32_t clip_frames = 0, clip_result = 0, clip_trigger = 0, drop_count = -1;
    int64_t clip_start_time = 0;
};

MeteorRun RunMeteor(bool preview_off) {
    MeteorRun r;
    TestBlock block(BlockConfig{});
    vlx::ThreadQueue live_thread;
    block.dp.notify_thread = live_thread.id();
    block.dp.preview_off = preview_off ? 1 : 0;
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1");
    EXPECT_TRUE(rig.linked());
    EXPECT_TRUE(rig.Play());
    for (int i = 0; i < 45; ++i) {
        std::vector<uint8_t> f = GrayFrame(64, 48, i);
        if (i >= 20 && i <= 23) DrawStreak(f, 64, i - 20);
        rig.PushVideo(f, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    }
    EXPECT_TRUE(rig.Finish()) << rig.error();
    Samples preview(rig.PreviewSamples());
    Samples capture(rig.CaptureSamples());
    for (size_t i = 0; i < preview.size(); ++i) r.preview_frames.push_back(Bytes(preview.buffer(i))[0] - 30);
    for (size_t i = 0; i < capture.size(); ++i) {
        r.capture_frames.push_back(Bytes(capture.buffer(i))[0] - 30);
        r.capture_pts.push_back(GST_BUFFER_PTS(capture.buffer(i)));
    }
    for (GstStructure* s : rig.element_messages()) r.messages.push_back(gst_structure_copy(s));
    vlx::ThreadMessage m;
    r.thread_message = live_thread.Get(&m, 2000) && m.message == vlx::WM_LIVE_CLIP_END && m.wparam == 0 && m.lparam == 0;
    r.clip_frames = block.dp.clip_frames;
    r.clip_result = block.dp.clip_result;
    r.clip_trigger = block.dp.clip_trigger;
    r.clip_start_time = block.dp.clip_start_time;
    r.drop_count = block.dp.drop_count;
    return r;
}

void ExpectMeteorClip(const MeteorRun& r) {
    std::vector<int> want;
    for (int i = 17; i <= 27; ++i) want.push_back(i);
    EXPECT_EQ(r.capture_frames, want);
    // Clip times are the core's own: from 3 frame durations on, one apart.
    ASSERT_EQ(r.capture_pts.size(), want.size());
    for (size_t i = 0; i < r.capture_pts.size(); ++i) EXPECT_EQ(r.capture_pts[i], (3 + i) * 40 * GST_MSECOND);
    EXPECT_EQ(r.clip_frames, 11);
    EXPECT_EQ(r.clip_result, 1);
    EXPECT_EQ(r.clip_trigger, 1);
    EXPECT_EQ(r.drop_count, 0);
    EXPECT_TRUE(r.thread_message);
    int clip_ends = 0;
    for (GstStructure* s : r.messages) {
        if (!gst_structure_has_name(s, "vlx2f-clip-end")) continue;
        ++clip_ends;
        gint result = 0, frames = 0, trigger = 0;
        gint64 start = 0;
        EXPECT_TRUE(gst_structure_get(s, "result", G_TYPE_INT, &result, "frames", G_TYPE_INT, &frames, "trigger",
                                      G_TYPE_INT, &trigger, "start-time", G_TYPE_INT64, &start, nullptr));
        EXPECT_EQ(result, 1);
        EXPECT_EQ(frames, 11);
        EXPECT_EQ(trigger, 1);
        EXPECT_EQ(start, r.clip_start_time);
        EXPECT_NEAR(static_cast<double>(start), static_cast<double>(time(nullptr)), 60.0);
    }
    EXPECT_EQ(clip_ends, 1);
}

TEST_F(Vlx2fTest, MeteorGivesExactlyTheClipFrames) {
    MeteorRun r = RunMeteor(false);
    ExpectMeteorClip(r);
    std::vector<int> all;
    for (int i = 0; i < 45; ++i) all.push_back(i);
    EXPECT_EQ(r.preview_frames, all);
    for (GstStructure* s : r.messages) gst_structure_free(s);
}

TEST_F(Vlx2fTest, PreviewOffKeepsDetectingAndCapturing) {
    MeteorRun r = RunMeteor(true);
    EXPECT_TRUE(r.preview_frames.empty());
    ExpectMeteorClip(r);
    for (GstStructure* s : r.messages) gst_structure_free(s);
}

// Downstream keeps every clip frame (and the sink its last one) while the
// ring is overwritten several times: what it holds never changes.
TEST_F(Vlx2fTest, HeldCaptureBuffersAreNotOverwritten) {
    BlockConfig bc;
    bc.fs_head = 1;
    bc.dmin = 1;  // ring of 18 slots
    TestBlock block(bc);
    block.dp.force_trig = 1;
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1");
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    std::vector<GstBuffer*> held;
    std::vector<std::vector<uint8_t>> seen;
    for (int i = 0; i < 80; ++i) {
        std::vector<uint8_t> f(64 * 48, static_cast<uint8_t>(i));
        f[0] = static_cast<uint8_t>(30 + i);
        rig.PushVideo(f, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    }
    ASSERT_TRUE(rig.Finish()) << rig.error();
    Samples capture(rig.CaptureSamples());
    ASSERT_GE(capture.size(), 70u);
    for (size_t i = 0; i < capture.size(); ++i) {
        std::vector<uint8_t> px = Bytes(capture.buffer(i));
        const int index = px[0] - 30;
        EXPECT_EQ(index, static_cast<int>(i)) << "clip frame " << i;
        EXPECT_EQ(px[100], index) << "clip frame " << i << " was overwritten";
        EXPECT_EQ(px[64 * 48 - 1], index) << "clip frame " << i << " was overwritten";
        // Downstream may not write into the ring.
        GstMapInfo map;
        EXPECT_FALSE(gst_memory_map(gst_buffer_peek_memory(capture.buffer(i), 0), &map, GST_MAP_WRITE));
    }
    EXPECT_EQ(block.dp.drop_count, 0);
}

// Stopping without a clip leaves the last frame in SnapShot; the next run
// starts the clip times afresh.
TEST_F(Vlx2fTest, StopKeepsLastFrameAndRunStartsAfresh) {
    TestBlock block(BlockConfig{});
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1");
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    for (int i = 0; i < 5; ++i) rig.PushVideo(GrayFrame(64, 48, i), i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    ASSERT_TRUE(rig.Finish()) << rig.error();
    EXPECT_EQ(block.dp.snap_ready, 0);
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(block.dp.snap_ready, 1);
    EXPECT_EQ(block.dp.snapshot[0], 30 + 4);
    EXPECT_TRUE(Samples(rig.CaptureSamples()).v.empty());

    block.dp.force_trig = 1;
    ASSERT_TRUE(rig.Play());
    for (int i = 0; i < 8; ++i) rig.PushVideo(GrayFrame(64, 48, i), i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    ASSERT_TRUE(rig.Finish()) << rig.error();
    EXPECT_EQ(block.dp.snap_ready, 1);  // the clip's first frame this time
    Samples capture(rig.CaptureSamples());
    ASSERT_GE(capture.size(), 3u);
    EXPECT_EQ(GST_BUFFER_PTS(capture.buffer(0)), 3 * 40 * GST_MSECOND);
}

// With singlefilemode 0 the element disarms after a clip and passes frames
// unexamined until the application rearms it, without stopping the pipeline;
// the next clip's times start afresh.
TEST_F(Vlx2fTest, RearmAfterClipWithoutStopping) {
    TestBlock block(BlockConfig{});
    block.dp.singlefilemode = 0;
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1");
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    auto push = [&](int first, int last, int meteor) {
        for (int i = first; i <= last; ++i) {
            std::vector<uint8_t> f = GrayFrame(64, 48, i);
            if (i >= meteor && i <= meteor + 1) DrawStreak(f, 64, i - meteor);
            rig.PushVideo(f, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
        }
    };
    push(0, 49, 20);  // clip of frames 17..25, then disarmed: the meteor at 40 is missed
    ASSERT_TRUE(rig.WaitPreview(50));
    EXPECT_EQ(block.dp.clip_count, 1);
    g_signal_emit_by_name(rig.filter(), "rearm");
    push(50, 79, 60);  // frames 57..65
    ASSERT_TRUE(rig.Finish()) << rig.error();
    EXPECT_EQ(block.dp.clip_count, 2);
    Samples capture(rig.CaptureSamples());
    std::vector<int> frames;
    for (size_t i = 0; i < capture.size(); ++i) frames.push_back(Bytes(capture.buffer(i))[0] - 30);
    std::vector<int> want;
    for (int i = 17; i <= 25; ++i) want.push_back(i);
    for (int i = 57; i <= 65; ++i) want.push_back(i);
    EXPECT_EQ(frames, want);
    ASSERT_EQ(capture.size(), 18u);
    EXPECT_EQ(GST_BUFFER_PTS(capture.buffer(0)), 3 * 40 * GST_MSECOND);
    EXPECT_EQ(GST_BUFFER_PTS(capture.buffer(9)), 3 * 40 * GST_MSECOND);
}

// With nothing on the video input, the outputs end at once so that their
// sinks do not wait for a preroll that never comes.
TEST_F(Vlx2fTest, UnfedOutputsEnd) {
    TestBlock block(BlockConfig{});
    GstElement* pipeline = gst_parse_launch("fakesink name=a fakesink name=b", nullptr);
    GstElement* f = MakeFilter(UniqueIpcName("unfed"));
    gst_bin_add(GST_BIN(pipeline), f);
    int32_t version, reserved;
    ASSERT_EQ(EmitInit(f, &block.dp, &version, &reserved), 0);
    GstElement* a = gst_bin_get_by_name(GST_BIN(pipeline), "a");
    GstElement* b = gst_bin_get_by_name(GST_BIN(pipeline), "b");
    ASSERT_TRUE(gst_element_link_pads(f, "Output1", a, "sink"));
    ASSERT_TRUE(gst_element_link_pads(f, "Output2", b, "sink"));
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, 5 * GST_SECOND,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(m), GST_MESSAGE_EOS);
    gst_message_unref(m);
    gst_object_unref(bus);
    gst_object_unref(a);
    gst_object_unref(b);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

// Audio follows the clip on its own output with the input's format; a
// 48 kHz-only block refuses other rates.
TEST_F(Vlx2fTest, AudioOutputCarriesClipAudio) {
    {
        BlockConfig bc;
        bc.audio = true;
        TestBlock block(bc);
        block.dp.audio_48k = 1;
        Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1",
                "audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2");
        if (rig.linked()) {
            ASSERT_TRUE(rig.Play());
            rig.PushAudio(std::vector<uint8_t>(4096), 0, 20 * GST_MSECOND);
            EXPECT_TRUE(rig.WaitBus(GST_MESSAGE_ERROR));
        }
    }
    BlockConfig bc;
    bc.audio = true;
    TestBlock block(bc);
    block.dp.audio_48k = 1;
    block.dp.force_trig = 1;
    const std::string audio_caps = "audio/x-raw,format=S16LE,layout=interleaved,rate=48000,channels=2";
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1", audio_caps);
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    std::vector<uint8_t> tone(1920 * 4);
    for (size_t i = 0; i < tone.size() / 2; ++i) {
        const int16_t v = static_cast<int16_t>((i % 40) * 100 - 2000);
        std::memcpy(&tone[2 * i], &v, 2);
    }
    for (int i = 0; i < 30; ++i) {
        rig.PushAudio(tone, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
        rig.PushVideo(GrayFrame(64, 48, i), i * 40 * GST_MSECOND, 40 * GST_MSECOND);
        g_usleep(2000);
    }
    ASSERT_TRUE(rig.Finish()) << rig.error();
    Samples audio(rig.AudioSamples());
    ASSERT_GE(audio.size(), 10u);
    GstCaps* want = gst_caps_from_string(audio_caps.c_str());
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_TRUE(gst_caps_is_equal(audio.caps(i), want));
        EXPECT_EQ(Bytes(audio.buffer(i)), tone);
        if (i > 0) {
            EXPECT_GT(GST_BUFFER_PTS(audio.buffer(i)), GST_BUFFER_PTS(audio.buffer(i - 1)));
        }
    }
    gst_caps_unref(want);
    EXPECT_GE(block.dp.audio_peak, 1900);
}

// Another process reads the IpcData block while the element runs: the
// detection frame's values, then the idle values with the next sequence.
TEST_F(Vlx2fTest, IpcDataIsReadableFromAnotherProcess) {
    const std::string name = UniqueIpcName("ipc");
    TestBlock block(BlockConfig{});
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1", "", name);
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());

    auto push_and_wait = [&](int i, bool streak) {
        std::vector<uint8_t> f = GrayFrame(64, 48, 0);
        if (streak) DrawStreak(f, 64, 0);
        rig.PushVideo(f, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
        GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(rig.preview_sink()), 5 * GST_SECOND);
        ASSERT_NE(s, nullptr);
        gst_sample_unref(s);
    };
    auto read_other_process = [&]() {
        const std::string script =
            "import mmap,os,struct,sys,time\n"
            "fd=os.open('/dev/shm'+sys.argv[1],os.O_RDONLY)\n"
            "m=mmap.mmap(fd,20,mmap.MAP_SHARED,mmap.PROT_READ)\n"
            "end=time.time()+5\n"
            "while time.time()<end:\n"
            "  s=struct.unpack_from('<i',m,0)[0]\n"
            "  v=struct.unpack_from('<4i',m,4)\n"
            "  if s and struct.unpack_from('<i',m,0)[0]==s:\n"
            "    print(s,*v); sys.exit(0)\n"
            "  time.sleep(0.01)\n"
            "sys.exit(1)\n";
        gchar* argv[] = {const_cast<gchar*>(vlx::test::SystemPython()), const_cast<gchar*>("-c"),
                         const_cast<gchar*>(script.c_str()), const_cast<gchar*>(name.c_str()), nullptr};
        gchar* out = nullptr;
        gint status = -1;
        EXPECT_TRUE(g_spawn_sync(nullptr, argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, nullptr, &status,
                                 nullptr));
        std::vector<long> v;
        if (out) {
            gchar** words = g_strsplit(g_strstrip(out), " ", -1);
            for (gchar** w = words; *w; ++w) v.push_back(std::strtol(*w, nullptr, 10));
            g_strfreev(words);
        }
        g_free(out);
        EXPECT_EQ(status, 0);
        return v;
    };

    for (int i = 0; i < 3; ++i) push_and_wait(i, false);
    push_and_wait(3, true);
    std::vector<long> busy = read_other_process();
    ASSERT_EQ(busy.size(), 5u);
    EXPECT_EQ(busy[1], 8);    // first streak pixel in raster order
    EXPECT_EQ(busy[2], 10);
    EXPECT_EQ(busy[3], 6);    // hits
    EXPECT_EQ(busy[4], 200);  // level: 220 over 20

    push_and_wait(4, false);
    std::vector<long> idle = read_other_process();
    ASSERT_EQ(idle.size(), 5u);
    EXPECT_EQ(idle[0], busy[0] + 1);
    EXPECT_EQ(idle[1], -1);
    EXPECT_EQ(idle[2], -1);
    EXPECT_EQ(idle[3], 0);
    EXPECT_EQ(idle[4], 0);
    ASSERT_TRUE(rig.Finish()) << rig.error();
}

// Without the shared memory (a name that cannot be created) the element
// detects and records all the same.
TEST_F(Vlx2fTest, RunsWithoutIpcData) {
    TestBlock block(BlockConfig{});
    Rig rig(block, "video/x-raw,format=GRAY8,width=64,height=48,framerate=25/1", "", "/no/such/dir");
    ASSERT_TRUE(rig.linked());
    ASSERT_TRUE(rig.Play());
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> f = GrayFrame(64, 48, i);
        if (i >= 8 && i <= 9) DrawStreak(f, 64, i - 8);
        rig.PushVideo(f, i * 40 * GST_MSECOND, 40 * GST_MSECOND);
    }
    ASSERT_TRUE(rig.Finish()) << rig.error();
    EXPECT_EQ(Samples(rig.PreviewSamples()).size(), 20u);
    EXPECT_EQ(Samples(rig.CaptureSamples()).size(), 9u);  // frames 5..13
    EXPECT_EQ(block.dp.clip_frames, 9);
}

}  // namespace

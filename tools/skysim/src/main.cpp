// vlx-skysim: writes a simulated night-sky video as a raw AVI (GStreamer
// appsrc -> avimux -> filesink) and its ground truth as JSON.
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vlx/skysim/generator.h"

namespace {

using vlx::skysim::Generator;

constexpr const char* kUsage =
    "usage: vlx-skysim [--preset NAME] --out FILE.avi [--format YUY2|I420|UYVY|GRAY8]\n"
    "                  [--width W --height H --fps F --seconds S --seed N] [--audio] [--truth FILE.json]\n"
    "       vlx-skysim --list-presets\n"
    "Writes a raw-video AVI of a simulated night sky and its ground truth (by default\n"
    "next to the AVI with the extension .json).\n";

struct Options {
    std::string preset = "demo";
    std::string out;
    std::string truth;
    vlx::FormatCode format = vlx::kFormatYUY2;
    vlx::skysim::PresetOptions preset_options;
    bool audio = false;
};

bool ParseNumber(const char* text, double lo, double hi, double* out) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// Returns 0 when parsed, 1 when done (help or list printed), 2 on a usage error.
int ParseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char** v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vlx-skysim: %s needs a value\n", a.c_str());
                return false;
            }
            *v = argv[++i];
            return true;
        };
        auto number = [&](double lo, double hi, double* out) {
            const char* v = nullptr;
            if (!value(&v)) return false;
            if (!ParseNumber(v, lo, hi, out)) {
                std::fprintf(stderr, "vlx-skysim: %s: \"%s\" is not a number in %g..%g\n", a.c_str(), v, lo, hi);
                return false;
            }
            return true;
        };
        const char* v = nullptr;
        double d = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        } else if (a == "--list-presets") {
            for (const std::string& name : vlx::skysim::PresetNames()) std::printf("%s\n", name.c_str());
            return 1;
        } else if (a == "--preset") {
            if (!value(&v)) return 2;
            o->preset = v;
        } else if (a == "--out") {
            if (!value(&v)) return 2;
            o->out = v;
        } else if (a == "--truth") {
            if (!value(&v)) return 2;
            o->truth = v;
        } else if (a == "--format") {
            if (!value(&v)) return 2;
            o->format = vlx::skysim::ParseFormat(v);
            if (o->format == vlx::kFormatNone) {
                std::fprintf(stderr, "vlx-skysim: unknown format \"%s\" (YUY2, I420, UYVY, GRAY8)\n", v);
                return 2;
            }
        } else if (a == "--width") {
            if (!number(16, 4096, &d)) return 2;
            o->preset_options.width = static_cast<int>(d);
        } else if (a == "--height") {
            if (!number(16, 4096, &d)) return 2;
            o->preset_options.height = static_cast<int>(d);
        } else if (a == "--fps") {
            if (!number(0.5, 1000, &d)) return 2;
            o->preset_options.fps = d;
        } else if (a == "--seconds") {
            if (!number(0.01, 86400, &d)) return 2;
            o->preset_options.seconds = d;
        } else if (a == "--seed") {
            if (!number(1, 9007199254740992.0, &d)) return 2;
            o->preset_options.seed = static_cast<uint64_t>(d);
        } else if (a == "--audio") {
            o->audio = true;
        } else {
            std::fprintf(stderr, "vlx-skysim: unknown argument \"%s\"\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (o->out.empty()) {
        std::fprintf(stderr, "vlx-skysim: --out is required\n%s", kUsage);
        return 2;
    }
    if (o->truth.empty()) o->truth = std::filesystem::path(o->out).replace_extension(".json").string();
    return 0;
}

struct GstUnref {
    void operator()(gpointer p) const { gst_object_unref(p); }
};
using ElementPtr = std::unique_ptr<GstElement, GstUnref>;
using BusPtr = std::unique_ptr<GstBus, GstUnref>;
using PoolPtr = std::unique_ptr<GstBufferPool, GstUnref>;

std::string ErrorText(GstMessage* msg) {
    GError* err = nullptr;
    gchar* dbg = nullptr;
    gst_message_parse_error(msg, &err, &dbg);
    std::string text = std::string(GST_OBJECT_NAME(msg->src)) + ": " + (err ? err->message : "error") +
                       (dbg ? std::string(" (") + dbg + ")" : "");
    g_clear_error(&err);
    g_free(dbg);
    return text;
}

// Takes an ERROR message from the bus, waiting up to `timeout`; true when
// there was one.
bool TakeError(GstBus* bus, GstClockTime timeout, std::string* error) {
    GstMessage* msg = gst_bus_timed_pop_filtered(bus, timeout, GST_MESSAGE_ERROR);
    if (!msg) return false;
    *error = ErrorText(msg);
    gst_message_unref(msg);
    return true;
}

GstBufferPool* MakePool(GstCaps* caps, guint size) {
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, size, 4, 0);
    if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
        gst_object_unref(pool);
        return nullptr;
    }
    return pool;
}

class AviWriter {
public:
    AviWriter() = default;
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;
    ~AviWriter() {
        if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
    bool Write(Generator& gen, const Options& o, std::string* error);

private:
    bool Build(const Options& o, const GstVideoInfo& info, std::string* error);
    // Waits while the queues hold more than their share, watching for
    // errors; gives up when nothing drains for a long time.
    bool WaitForRoom(std::string* error);
    bool Push(GstAppSrc* src, GstBuffer* buf, std::string* error);

    ElementPtr pipeline_;
    GstAppSrc* vsrc_ = nullptr;
    GstAppSrc* asrc_ = nullptr;
    BusPtr bus_;
};

// Links a source to a request pad of the muxer named by `templ`; avimux
// would otherwise be free to hand a video source an audio pad.
bool LinkToMux(GstElement* src, GstElement* mux, const char* templ) {
    GstPad* sink = gst_element_request_pad_simple(mux, templ);
    if (!sink) return false;
    GstPad* srcpad = gst_element_get_static_pad(src, "src");
    const bool ok = gst_pad_link(srcpad, sink) == GST_PAD_LINK_OK;
    gst_object_unref(srcpad);
    gst_object_unref(sink);
    return ok;
}

constexpr guint64 kQueueBytes = 8u << 20;
constexpr guint64 kAudioQueueBytes = 1u << 20;
constexpr auto kStallTimeout = std::chrono::seconds(30);

bool AviWriter::Build(const Options& o, const GstVideoInfo& info, std::string* error) {
    pipeline_.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("skysim"))));
    GstElement* vsrc = gst_element_factory_make("appsrc", "video");
    GstElement* mux = gst_element_factory_make("avimux", "mux");
    GstElement* sink = gst_element_factory_make("filesink", "sink");
    if (!vsrc || !mux || !sink) {
        *error = "cannot create appsrc, avimux or filesink (are the GStreamer base and good plugins installed?)";
        for (GstElement* e : {vsrc, mux, sink})
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return false;
    }
    gst_bin_add_many(GST_BIN(pipeline_.get()), vsrc, mux, sink, nullptr);
    GstCaps* vcaps = gst_video_info_to_caps(&info);
    g_object_set(vsrc, "caps", vcaps, "format", GST_FORMAT_TIME, "stream-type", 0, nullptr);
    gst_caps_unref(vcaps);
    g_object_set(sink, "location", o.out.c_str(), nullptr);
    if (!LinkToMux(vsrc, mux, "video_%u") || !gst_element_link(mux, sink)) {
        *error = "cannot link appsrc -> avimux -> filesink";
        return false;
    }
    vsrc_ = GST_APP_SRC(vsrc);
    if (o.audio) {
        GstElement* asrc = gst_element_factory_make("appsrc", "audio");
        if (!asrc) {
            *error = "cannot create the audio appsrc";
            return false;
        }
        gst_bin_add(GST_BIN(pipeline_.get()), asrc);
        GstCaps* acaps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "rate", G_TYPE_INT,
                                             Generator::kAudioRate, "channels", G_TYPE_INT, Generator::kAudioChannels,
                                             "layout", G_TYPE_STRING, "interleaved", nullptr);
        g_object_set(asrc, "caps", acaps, "format", GST_FORMAT_TIME, nullptr);
        gst_caps_unref(acaps);
        if (!LinkToMux(asrc, mux, "audio_%u")) {
            *error = "cannot link the audio appsrc to avimux";
            return false;
        }
        asrc_ = GST_APP_SRC(asrc);
    }
    bus_.reset(gst_element_get_bus(pipeline_.get()));
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        if (!TakeError(bus_.get(), 0, error)) *error = "the pipeline refused to start";
        return false;
    }
    return true;
}

bool AviWriter::WaitForRoom(std::string* error) {
    // avimux interleaves by time and waits for data on every pad, so with
    // audio it can only drain the video queue while audio is queued too.
    auto level = [](GstAppSrc* src) { return src ? gst_app_src_get_current_level_bytes(src) : 0; };
    auto above = [&](guint64 vmax, guint64 amax) {
        const guint64 v = level(vsrc_), a = level(asrc_);
        if (asrc_ && (v == 0 || a == 0)) return false;
        return v > vmax || a > amax;
    };
    if (!above(kQueueBytes, kAudioQueueBytes)) return true;
    // Once full, let the queues fall to half so that waits are few.
    auto last_progress = std::chrono::steady_clock::now();
    guint64 last_level = level(vsrc_) + level(asrc_);
    // Most waits are short hand-overs to the muxer thread: poll quickly at
    // first, then back off.
    auto pause = std::chrono::microseconds(100);
    while (above(kQueueBytes / 2, kAudioQueueBytes / 2)) {
        if (TakeError(bus_.get(), 0, error)) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
        const guint64 now_level = level(vsrc_) + level(asrc_);
        const auto now = std::chrono::steady_clock::now();
        if (now_level != last_level) {
            last_level = now_level;
            last_progress = now;
        } else if (now - last_progress > kStallTimeout) {
            *error = "the muxer stopped taking data";
            return false;
        }
    }
    return true;
}

bool AviWriter::Push(GstAppSrc* src, GstBuffer* buf, std::string* error) {
    const GstFlowReturn ret = gst_app_src_push_buffer(src, buf);
    if (ret != GST_FLOW_OK) {
        if (!TakeError(bus_.get(), 0, error)) *error = std::string("push failed: ") + gst_flow_get_name(ret);
        return false;
    }
    return true;
}

bool AviWriter::Write(Generator& gen, const Options& o, std::string* error) {
    const vlx::FormatCode fmt = o.format;
    const GstVideoFormat gst_format = fmt == vlx::kFormatYUY2          ? GST_VIDEO_FORMAT_YUY2
                                      : fmt == vlx::kFormatUYVY        ? GST_VIDEO_FORMAT_UYVY
                                      : fmt == vlx::kFormatPlanar420   ? GST_VIDEO_FORMAT_I420
                                                                       : GST_VIDEO_FORMAT_GRAY8;
    GstVideoInfo info;
    gst_video_info_set_format(&info, gst_format, gen.width(), gen.height());
    int fps_n = 0, fps_d = 1;
    gst_util_double_to_fraction(gen.scene().fps, &fps_n, &fps_d);
    GST_VIDEO_INFO_FPS_N(&info) = fps_n;
    GST_VIDEO_INFO_FPS_D(&info) = fps_d;
    if (!Build(o, info, error)) return false;

    GstCaps* vcaps = gst_video_info_to_caps(&info);
    PoolPtr vpool(MakePool(vcaps, static_cast<guint>(GST_VIDEO_INFO_SIZE(&info))));
    gst_caps_unref(vcaps);
    const int max_samples = static_cast<int>(gen.AudioSampleOfFrame(1) - gen.AudioSampleOfFrame(0)) + 2;
    PoolPtr apool;
    if (asrc_) apool.reset(MakePool(nullptr, static_cast<guint>(max_samples * Generator::kAudioChannels * 2)));
    if (!vpool || (asrc_ && !apool)) {
        *error = "cannot set up the buffer pools";
        return false;
    }

    for (int f = 0; f < gen.frames(); ++f) {
        GstBuffer* buf = nullptr;
        if (gst_buffer_pool_acquire_buffer(vpool.get(), &buf, nullptr) != GST_FLOW_OK) {
            *error = "cannot get a video buffer";
            return false;
        }
        GstVideoFrame frame;
        if (!gst_video_frame_map(&frame, &info, buf, GST_MAP_WRITE)) {
            gst_buffer_unref(buf);
            *error = "cannot map a video buffer";
            return false;
        }
        uint8_t* planes[3] = {};
        int strides[3] = {};
        for (guint p = 0; p < GST_VIDEO_FRAME_N_PLANES(&frame); ++p) {
            planes[p] = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
            strides[p] = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
        }
        gen.RenderStrided(f, fmt, planes, strides);
        gst_video_frame_unmap(&frame);
        const GstClockTime t0 = gst_util_uint64_scale(f, GST_SECOND * fps_d, fps_n);
        const GstClockTime t1 = gst_util_uint64_scale(f + 1, GST_SECOND * fps_d, fps_n);
        GST_BUFFER_PTS(buf) = t0;
        GST_BUFFER_DTS(buf) = t0;
        GST_BUFFER_DURATION(buf) = t1 - t0;
        GST_BUFFER_OFFSET(buf) = f;
        if (!Push(vsrc_, buf, error)) return false;

        if (asrc_) {
            const int64_t s0 = gen.AudioSampleOfFrame(f), s1 = gen.AudioSampleOfFrame(f + 1);
            const int n = static_cast<int>(s1 - s0);
            GstBuffer* abuf = nullptr;
            if (gst_buffer_pool_acquire_buffer(apool.get(), &abuf, nullptr) != GST_FLOW_OK) {
                *error = "cannot get an audio buffer";
                return false;
            }
            gst_buffer_set_size(abuf, static_cast<gssize>(n) * Generator::kAudioChannels * 2);
            GstMapInfo map;
            if (!gst_buffer_map(abuf, &map, GST_MAP_WRITE)) {
                gst_buffer_unref(abuf);
                *error = "cannot map an audio buffer";
                return false;
            }
            gen.RenderAudio(s0, n, reinterpret_cast<int16_t*>(map.data));
            gst_buffer_unmap(abuf, &map);
            const GstClockTime a0 = gst_util_uint64_scale(s0, GST_SECOND, Generator::kAudioRate);
            const GstClockTime a1 = gst_util_uint64_scale(s1, GST_SECOND, Generator::kAudioRate);
            GST_BUFFER_PTS(abuf) = a0;
            GST_BUFFER_DURATION(abuf) = a1 - a0;
            if (!Push(asrc_, abuf, error)) return false;
        }
        if (!WaitForRoom(error)) return false;
    }
    gst_app_src_end_of_stream(vsrc_);
    if (asrc_) gst_app_src_end_of_stream(asrc_);

    // The file is complete only once end-of-stream has passed the muxer.
    const auto deadline = std::chrono::steady_clock::now() + kStallTimeout;
    bool done = false;
    while (!done) {
        GstMessage* msg = gst_bus_timed_pop_filtered(bus_.get(), 100 * GST_MSECOND,
                                                     static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (msg) {
            const bool is_error = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR;
            if (is_error) *error = ErrorText(msg);
            gst_message_unref(msg);
            if (is_error) return false;
            done = true;
        } else if (std::chrono::steady_clock::now() > deadline) {
            *error = "no end-of-stream from the muxer";
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int r = ParseArgs(argc, argv, &o); r != 0) return r == 1 ? 0 : 2;

    auto scene = vlx::skysim::Preset(o.preset, o.preset_options);
    if (!scene) {
        std::fprintf(stderr, "vlx-skysim: unknown preset \"%s\" (see --list-presets)\n", o.preset.c_str());
        return 2;
    }
    if (const std::string err = vlx::skysim::Validate(*scene); !err.empty()) {
        std::fprintf(stderr, "vlx-skysim: %s\n", err.c_str());
        return 2;
    }
    GError* gerr = nullptr;
    if (!gst_init_check(&argc, &argv, &gerr)) {
        std::fprintf(stderr, "vlx-skysim: cannot initialise GStreamer: %s\n", gerr ? gerr->message : "?");
        g_clear_error(&gerr);
        return 1;
    }

    Generator gen(*scene);
    std::string error;
    bool ok;
    {
        AviWriter writer;
        ok = writer.Write(gen, o, &error);
        // Leaving scope sets the pipeline to NULL and closes the file.
    }
    gst_deinit();
    if (!ok) {
        std::fprintf(stderr, "vlx-skysim: %s: %s\n", o.out.c_str(), error.c_str());
        // A half-written AVI must not pass for a finished one.
        std::error_code ec;
        if (std::filesystem::is_regular_file(o.out, ec)) std::filesystem::remove(o.out, ec);
        return 1;
    }

    const std::string json =
        vlx::skysim::TruthJson(gen, o.format, std::filesystem::path(o.out).filename().string(), o.audio);
    {
        // Written beside and renamed, so a reader never sees half a file.
        const std::string tmp = o.truth + ".part";
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << json;
        f.close();
        std::error_code ec;
        if (!f || (std::filesystem::rename(tmp, o.truth, ec), ec)) {
            std::fprintf(stderr, "vlx-skysim: cannot write %s\n", o.truth.c_str());
            std::filesystem::remove(tmp, ec);
            return 1;
        }
    }
    std::printf("vlx-skysim: wrote %s (%d frames, %dx%d %s, %.3f fps%s) and %s: %d of %zu events should trigger\n",
                o.out.c_str(), gen.frames(), gen.width(), gen.height(), vlx::skysim::FormatString(o.format),
                gen.scene().fps, o.audio ? ", audio" : "", o.truth.c_str(), gen.TriggeringEvents(),
                gen.truth().size());
    return 0;
}

/**
 * SECTION:element-vlx2f
 *
 * The Vigilux2 motion detector: watches a sky camera's frames for something
 * bright that moves, and delivers clips of it with head and tail frames.
 *
 * Pads, in this order:
 * - "Input" (template "Input_Video"): video in, I420 (also for IYUV), YV12,
 *   YUY2, UYVY or GRAY8 (for RGB8/Y800), exactly IF.cxin x IF.cyin.
 * - "Output1" (template "Output_Video_Preview"): every frame, scaled to the
 *   working size, painted and stamped; nothing while preview_off is set.
 * - "Output2" (template "Output_Video_Capture"): the clip frames, read-only
 *   buffers over the application's shift buffer, with the clip's own times.
 * - "Input Audio" (template "Input_Audio"): S16LE audio.
 * - "Audio Capture" (template "Output_Audio"): the clip's audio, same caps.
 *
 * The application owns the detection parameter block and every buffer in it;
 * the element only keeps the address it is given:
 * |[
 *   GstElement* f = gst_element_factory_make("vlx2f", "VLXFilter");
 *   gint32 version = 0, reserved = 0;
 *   gint hr = -1;
 *   g_signal_emit_by_name(f, "init", &block, &version, &reserved, &hr);
 *   // hr 0 and version 208: go on; hr 0x80004003 (as gint): a null argument
 * ]|
 * "init" must be emitted before the first frame and again whenever the
 * block's sizes or buffers change. "reserved" (one gint) does nothing and
 * returns 0. "rearm" (no arguments, no result) does what a transition to
 * PLAYING from a stop does (the run-time resets, arming detection) for an
 * application that keeps the pipeline playing between clips.
 *
 * When a clip ends the detection core posts WM_LIVE_CLIP_END (1225) to the
 * vlx::ThreadQueue whose id is in the block's notify_thread; the element also
 * posts an element message "vlx2f-clip-end" on the bus (fields "result",
 * "frames", "start-time" (seconds since 1970 in the stamp time base) and
 * "trigger") for pipelines outside the application.
 *
 * While it runs, the element publishes the detector's state in the 20-byte
 * shared memory object "/VigiluxV2_IPC_DATA_00000200601" (property
 * "ipc-name").
 *
 * |[
 *   gst-launch-1.0 v4l2src ! video/x-raw,format=YUY2,width=640,height=480 ! \
 *     vlx2f name=f  f.Output1 ! videoconvert ! autovideosink \
 *     f.Output2 ! queue max-size-buffers=10 ! avimux ! filesink location=clip.avi
 * ]| (the block can only be given from code, so this shows the wiring only)
 */
#include "gstvlx2f.h"

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ipc_shm.h"
#include "layout.h"
#include "slot_ring.h"
#include "vlx/detect/core.h"

GST_DEBUG_CATEGORY(gst_vlx2f_debug);
#define GST_CAT_DEFAULT gst_vlx2f_debug

using vlx::DetectParams;
using vlx::filter::FrameLayout;
using vlx::filter::SlotRing;

namespace {

constexpr gint kSOk = 0;
constexpr gint kEPointer = static_cast<gint>(0x80004003u);
constexpr double kUnknownFps = 29.996;

enum { PROP_0, PROP_IPC_NAME, PROP_STREAM_CLOCK, PROP_ARM_ON_CAPS };
enum { SIGNAL_INIT, SIGNAL_RESERVED, SIGNAL_REARM, N_SIGNALS };

#define VLX2F_VIDEO_CAPS                                                      \
    "video/x-raw, format = (string) { I420, YV12, YUY2, UYVY, GRAY8 }, "      \
    "width = (int) [ 1, max ], height = (int) [ 1, max ], "                   \
    "framerate = (fraction) [ 0/1, max ]"
#define VLX2F_AUDIO_CAPS                                                      \
    "audio/x-raw, format = (string) S16LE, layout = (string) interleaved, "   \
    "rate = (int) [ 1, max ], channels = (int) [ 1, max ]"

GstStaticPadTemplate video_sink_template =
    GST_STATIC_PAD_TEMPLATE("Input_Video", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2F_VIDEO_CAPS));
GstStaticPadTemplate preview_src_template =
    GST_STATIC_PAD_TEMPLATE("Output_Video_Preview", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2F_VIDEO_CAPS));
GstStaticPadTemplate capture_src_template =
    GST_STATIC_PAD_TEMPLATE("Output_Video_Capture", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2F_VIDEO_CAPS));
GstStaticPadTemplate audio_sink_template =
    GST_STATIC_PAD_TEMPLATE("Input_Audio", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2F_AUDIO_CAPS));
GstStaticPadTemplate audio_src_template =
    GST_STATIC_PAD_TEMPLATE("Output_Audio", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2F_AUDIO_CAPS));

// The frame clock. Normally the system's; with "stream-clock" it runs with
// the stream instead: the wall time of the first frame plus the buffer's
// time since then, so a file played faster than real time still stamps and
// names its clips a frame period apart.
struct FrameClock : vlx::WallClock {
    std::atomic<bool> stream{false};
    bool started = false;
    vlx::WallTime base{};
    GstClockTime base_pts = 0;
    GstClockTime pts = GST_CLOCK_TIME_NONE;

    vlx::WallTime Now() override {
        if (!stream || !started || !GST_CLOCK_TIME_IS_VALID(pts)) return vlx::SystemClock().Now();
        int64_t ms = static_cast<int64_t>(base.ms) + static_cast<int64_t>((pts - base_pts) / GST_MSECOND);
        return vlx::WallTime{base.sec + ms / 1000, static_cast<int32_t>(ms % 1000)};
    }
    // Called under the element lock before each frame is examined.
    void Frame(GstClockTime frame_pts) {
        if (!stream || !GST_CLOCK_TIME_IS_VALID(frame_pts)) return;
        if (!started || frame_pts < base_pts) {
            base = vlx::SystemClock().Now();
            base_pts = frame_pts;
            started = true;
        }
        pts = frame_pts;
    }
};

// Everything C++ of one element, created in init and deleted in finalize.
struct State {
    std::mutex mu;  // serialises Init, state changes, caps, video and audio
    FrameClock clock;
    vlx::detect::Core core{&clock};
    vlx::IpcData* ipc = nullptr;
    SlotRing* vring = SlotRing::New();
    SlotRing* aring = SlotRing::New();
    // The audio slot the core writes next (the video one it tells itself); a
    // held slot is protected before it is written.
    int audio_wr = 0;
    bool need_run = false;     // the next PLAYING comes from a stop
    bool run_on_caps = false;  // PLAYING came before the video format (live sources)
    std::atomic<bool> arm_on_caps{false};  // arm with the format, before the first frame

    // Video format, fixed by the input caps.
    bool have_vcaps = false;
    GstVideoInfo in_info{};
    GstVideoFormat fmt = GST_VIDEO_FORMAT_UNKNOWN;
    int out_w = 0, out_h = 0;
    bool resizing = false;
    FrameLayout in_packed, out_packed;
    bool out_default_packed = true;
    GstCaps* out_caps = nullptr;
    std::vector<uint8_t> scratch;  // packed copy of a frame that has row padding

    bool have_acaps = false;

    // An output that must see data (a buffer or a gap) before a sink on it
    // can preroll: set on the way to PAUSED and after a flush.
    std::atomic<bool> gap_preview{false}, gap_capture{false}, gap_audio{false};
    GstClockTime capture_next = 0;

    ~State() {
        vring->ProtectAll();
        vring->Unref();
        aring->ProtectAll();
        aring->Unref();
        if (out_caps) gst_caps_unref(out_caps);
    }
};

}  // namespace

struct _GstVlx2f {
    GstElement parent;
    GstPad* vsink;
    GstPad* preview;
    GstPad* capture;
    GstPad* asink;
    GstPad* asrc;
    gchar* ipc_name;
    // Internal links, for queries and events that take the default path.
    GList* video_outs;
    GList* video_in;
    GList* audio_out;
    GList* audio_in;
    guint32 links_cookie;
    State* state;
};

G_DEFINE_TYPE(GstVlx2f, gst_vlx2f, GST_TYPE_ELEMENT)

static guint signals[N_SIGNALS];

// ---------------------------------------------------------------------------
// Helpers

namespace {

const vlx::Guid& SubtypeOf(GstVideoFormat f) {
    switch (f) {
        case GST_VIDEO_FORMAT_I420: return vlx::kSubtypeI420;
        case GST_VIDEO_FORMAT_YV12: return vlx::kSubtypeYV12;
        case GST_VIDEO_FORMAT_YUY2: return vlx::kSubtypeYUY2;
        case GST_VIDEO_FORMAT_UYVY: return vlx::kSubtypeUYVY;
        default: return vlx::kSubtypeY800;
    }
}

void FpsFraction(double fps, int* n, int* d) {
    gst_util_double_to_fraction(fps >= 0.01 ? fps : kUnknownFps, n, d);
}

int64_t ToHns(GstClockTime t) { return GST_CLOCK_TIME_IS_VALID(t) ? static_cast<int64_t>(t / 100) : -1; }
GstClockTime FromHns(int64_t t) { return t >= 0 ? static_cast<GstClockTime>(t) * 100 : GST_CLOCK_TIME_NONE; }

vlx::detect::SampleTimes TimesOf(GstBuffer* buf) {
    vlx::detect::SampleTimes t;
    t.start = ToHns(GST_BUFFER_PTS(buf));
    if (t.start >= 0 && GST_BUFFER_DURATION_IS_VALID(buf)) t.stop = t.start + ToHns(GST_BUFFER_DURATION(buf));
    if (GST_BUFFER_OFFSET_IS_VALID(buf)) t.media_start = static_cast<int64_t>(GST_BUFFER_OFFSET(buf));
    if (GST_BUFFER_OFFSET_END_IS_VALID(buf)) t.media_stop = static_cast<int64_t>(GST_BUFFER_OFFSET_END(buf));
    t.sync_point = true;
    t.discontinuity = GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DISCONT);
    return t;
}

void StampBuffer(GstBuffer* b, const vlx::detect::SampleTimes& t) {
    GST_BUFFER_PTS(b) = FromHns(t.start);
    GST_BUFFER_DTS(b) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(b) = (t.start >= 0 && t.stop >= t.start) ? FromHns(t.stop - t.start) : GST_CLOCK_TIME_NONE;
    GST_BUFFER_OFFSET(b) = t.media_start >= 0 ? static_cast<guint64>(t.media_start) : GST_BUFFER_OFFSET_NONE;
    GST_BUFFER_OFFSET_END(b) = t.media_stop >= 0 ? static_cast<guint64>(t.media_stop) : GST_BUFFER_OFFSET_NONE;
    if (t.discontinuity) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
}

// Why a video format cannot be taken with this block; empty when it can.
std::string RefuseVideo(const DetectParams* p, const GstVideoInfo& info) {
    const GstVideoFormat f = GST_VIDEO_INFO_FORMAT(&info);
    const int w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
    if (!p) return "no parameter block: emit \"init\" before connecting";
    if (!vlx::filter::IsAcceptedFormat(f)) return std::string("format ") + gst_video_format_to_string(f) + " is not accepted";
    if (w != p->cxin || h != p->cyin) {
        return "frame size " + std::to_string(w) + "x" + std::to_string(h) + " is not the configured input size " +
               std::to_string(p->cxin) + "x" + std::to_string(p->cyin);
    }
    if (p->cx > p->cxin || p->cy > p->cyin || p->cx < 2 || p->cy < 2) {
        return "working size " + std::to_string(p->cx) + "x" + std::to_string(p->cy) +
               " cannot be scaled down from the input size";
    }
    if (!vlx::filter::SizeFits(f, w, h) || !vlx::filter::SizeFits(f, p->cx, p->cy)) {
        return std::string(gst_video_format_to_string(f)) + " needs even frame sizes";
    }
    const size_t need = vlx::filter::PackedLayout(f, p->cx, p->cy).size;
    if (!p->shift_buf || p->shift_frames < 1 || p->frame_bytes < 0 || static_cast<size_t>(p->frame_bytes) < need ||
        p->pixels < p->cx * p->cy) {
        return "the parameter block's buffers are too small for " + std::string(gst_video_format_to_string(f)) +
               " frames of " + std::to_string(p->cx) + "x" + std::to_string(p->cy);
    }
    return {};
}

std::string RefuseAudio(const DetectParams* p, const GstAudioInfo& info) {
    if (!p) return "no parameter block: emit \"init\" before connecting";
    if (GST_AUDIO_INFO_FORMAT(&info) != GST_AUDIO_FORMAT_S16LE) return "audio must be 16-bit PCM";
    if (p->audio_48k && GST_AUDIO_INFO_RATE(&info) != 48000) return "audio must be 48000 Hz";
    return {};
}

void SetSize(GstCaps* caps, int w, int h) {
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        gst_structure_set(gst_caps_get_structure(caps, i), "width", G_TYPE_INT, w, "height", G_TYPE_INT, h, nullptr);
    }
}

GstCaps* FilterCaps(GstCaps* caps, GstCaps* filter) {
    if (!filter) return caps;
    GstCaps* r = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    return r;
}

// The formats a downstream peer takes, whatever the size and rate.
GstCaps* PeerFormats(GstPad* src) {
    if (!gst_pad_is_linked(src)) return nullptr;
    GstCaps* peer = gst_pad_peer_query_caps(src, nullptr);
    if (!peer || gst_caps_is_any(peer)) {
        if (peer) gst_caps_unref(peer);
        return nullptr;
    }
    peer = gst_caps_make_writable(peer);
    for (guint i = 0; i < gst_caps_get_size(peer); ++i) {
        gst_structure_remove_fields(gst_caps_get_structure(peer, i), "width", "height", "framerate",
                                    "pixel-aspect-ratio", nullptr);
    }
    return gst_caps_simplify(peer);
}

bool PushGap(GstPad* pad, GstClockTime ts, GstClockTime duration) {
    if (!GST_CLOCK_TIME_IS_VALID(ts)) ts = 0;
    return gst_pad_push_event(pad, gst_event_new_gap(ts, duration));
}

}  // namespace

// The run-time resets, under the lock.
static void RunLocked(GstVlx2f* self, State& s) {
    s.run_on_caps = false;
    if (!s.core.block()) return;
    // The ring starts again at slot 0: anything still held from the last run
    // keeps its own copy.
    s.vring->ProtectAll();
    s.aring->ProtectAll();
    s.core.Run();
    s.audio_wr = 0;
    s.capture_next = 0;
    if (s.core.armed()) GST_INFO_OBJECT(self, "running, detection armed");
    else GST_WARNING_OBJECT(self, "running without detection: %s", s.core.problem());
}

// ---------------------------------------------------------------------------
// Control calls

static gint gst_vlx2f_init_block(GstVlx2f* self, gpointer block, gpointer version, gpointer reserved) {
    if (!block || !version || !reserved) return kEPointer;
    State& s = *self->state;
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.core.Init(static_cast<DetectParams*>(block), static_cast<int32_t*>(version),
                     static_cast<int32_t*>(reserved))) {
        return kEPointer;
    }
    // The application may free or reshape the old buffers from now on.
    s.vring->Reset(s.core.VideoSlots());
    s.aring->Reset(s.core.AudioSlots());
    s.audio_wr = 0;
    GST_INFO_OBJECT(self, "initialised: %d video slots, %d audio slots", s.core.VideoSlots(), s.core.AudioSlots());
    return kSOk;
}

static gint gst_vlx2f_reserved(GstVlx2f*, gint) { return kSOk; }

// Run without a state change: the application keeps the pipeline playing
// between clips and swaps the writer behind the capture output instead.
static void gst_vlx2f_rearm(GstVlx2f* self) {
    State& s = *self->state;
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.have_vcaps) RunLocked(self, s);
    else s.run_on_caps = true;
    s.gap_capture = true;
    s.gap_audio = true;
}

// ---------------------------------------------------------------------------
// Video

static GstCaps* gst_vlx2f_video_sink_caps(GstVlx2f* self, GstCaps* filter) {
    GstCaps* caps = gst_static_pad_template_get_caps(&video_sink_template);
    {
        State& s = *self->state;
        std::lock_guard<std::mutex> lock(s.mu);
        if (const DetectParams* p = s.core.block()) {
            caps = gst_caps_make_writable(caps);
            SetSize(caps, p->cxin, p->cyin);
        }
    }
    for (GstPad* out : {self->preview, self->capture}) {
        if (GstCaps* formats = PeerFormats(out)) {
            GstCaps* both = gst_caps_intersect(caps, formats);
            gst_caps_unref(caps);
            gst_caps_unref(formats);
            caps = both;
        }
    }
    return FilterCaps(caps, filter);
}

static GstCaps* gst_vlx2f_video_src_caps(GstVlx2f* self, GstCaps* filter) {
    State& s = *self->state;
    GstCaps* caps;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.have_vcaps) {
            caps = gst_caps_ref(s.out_caps);
        } else {
            // Linking comes before negotiation; say what this block would give.
            caps = gst_static_pad_template_get_caps(&preview_src_template);
            if (const DetectParams* p = s.core.block()) {
                int n, d;
                FpsFraction(p->fps, &n, &d);
                caps = gst_caps_make_writable(caps);
                SetSize(caps, p->cx, p->cy);
                gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, n, d, nullptr);
            }
        }
    }
    return FilterCaps(caps, filter);
}

static bool gst_vlx2f_set_video_caps(GstVlx2f* self, GstCaps* caps) {
    State& s = *self->state;
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps)) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Unreadable video format"), ("%" GST_PTR_FORMAT, caps));
        return false;
    }
    GstCaps* out = nullptr;
    std::string why;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        const DetectParams* p = s.core.block();
        why = RefuseVideo(p, info);
        if (why.empty()) {
            s.in_info = info;
            s.fmt = GST_VIDEO_INFO_FORMAT(&info);
            s.out_w = p->cx;
            s.out_h = p->cy;
            s.resizing = p->cx < p->cxin || p->cy < p->cyin;
            s.in_packed = vlx::filter::PackedLayout(s.fmt, p->cxin, p->cyin);
            s.out_packed = vlx::filter::PackedLayout(s.fmt, p->cx, p->cy);
            const int64_t frame_time =
                info.fps_n > 0 ? static_cast<int64_t>(gst_util_uint64_scale_int(10000000, info.fps_d, info.fps_n)) : -1;
            s.core.ConnectVideo(SubtypeOf(s.fmt), frame_time);
            if (!s.core.usable()) why = s.core.problem();
        }
        if (why.empty()) {
            out = gst_video_info_to_caps(&info);
            int n, d;
            FpsFraction(p->fps, &n, &d);
            gst_caps_set_simple(out, "width", G_TYPE_INT, p->cx, "height", G_TYPE_INT, p->cy, "framerate",
                                GST_TYPE_FRACTION, n, d, nullptr);
            GstVideoInfo out_info;
            gst_video_info_from_caps(&out_info, out);
            FrameLayout def;
            def.planes = static_cast<int>(GST_VIDEO_INFO_N_PLANES(&out_info));
            for (int i = 0; i < def.planes; ++i) {
                def.offset[i] = GST_VIDEO_INFO_PLANE_OFFSET(&out_info, i);
                def.stride[i] = GST_VIDEO_INFO_PLANE_STRIDE(&out_info, i);
            }
            s.out_default_packed = vlx::filter::SameLayout(def, s.out_packed);
            if (s.out_caps) gst_caps_unref(s.out_caps);
            s.out_caps = gst_caps_ref(out);
            s.have_vcaps = true;
            // Kept slot buffers carry the old layout's meta.
            s.vring->ProtectAll();
            if (s.run_on_caps) RunLocked(self, s);
        }
    }
    if (!why.empty()) {
        GST_ELEMENT_ERROR(self, STREAM, WRONG_TYPE, ("Video format refused: %s", why.c_str()),
                          ("%" GST_PTR_FORMAT, caps));
        return false;
    }
    GST_INFO_OBJECT(self, "video in %" GST_PTR_FORMAT ", out %" GST_PTR_FORMAT, caps, out);
    gst_pad_push_event(self->preview, gst_event_new_caps(out));
    gst_pad_push_event(self->capture, gst_event_new_caps(out));
    gst_caps_unref(out);
    return true;
}

static gboolean gst_vlx2f_video_sink_query(GstPad* pad, GstObject* parent, GstQuery* query) {
    GstVlx2f* self = GST_VLX2F(parent);
    switch (GST_QUERY_TYPE(query)) {
        case GST_QUERY_CAPS: {
            GstCaps* filter;
            gst_query_parse_caps(query, &filter);
            GstCaps* caps = gst_vlx2f_video_sink_caps(self, filter);
            gst_query_set_caps_result(query, caps);
            gst_caps_unref(caps);
            return TRUE;
        }
        case GST_QUERY_ACCEPT_CAPS: {
            GstCaps* caps;
            gst_query_parse_accept_caps(query, &caps);
            GstVideoInfo info;
            bool ok = gst_video_info_from_caps(&info, caps);
            if (ok) {
                State& s = *self->state;
                std::lock_guard<std::mutex> lock(s.mu);
                std::string why = RefuseVideo(s.core.block(), info);
                if (!why.empty()) GST_DEBUG_OBJECT(self, "refusing %" GST_PTR_FORMAT ": %s", caps, why.c_str());
                ok = why.empty();
            }
            gst_query_set_accept_caps_result(query, ok);
            return TRUE;
        }
        case GST_QUERY_ALLOCATION:
            // Frames are painted and scaled in place: upstream allocates plain
            // system memory rather than buffers from a downstream pool.
            return FALSE;
        default:
            return gst_pad_query_default(pad, parent, query);
    }
}

// The end of a file in the middle of a clip: the frames still in the ring go
// out and the clip ends with them, before the end-of-stream follows.
static void gst_vlx2f_drain_clip(GstVlx2f* self) {
    State& s = *self->state;
    // One frame per step, each pushed before the next step: the last step
    // tells the application that the clip is over, and by then every frame
    // must be on its way to the writer.
    for (;;) {
        GstBuffer* frame = nullptr;
        GstStructure* clip_end = nullptr;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            DetectParams* p = s.core.block();
            vlx::detect::VideoOutcome o;
            if (!p || !s.have_vcaps || !s.core.DrainAtEnd(o)) return;
            if (o.capture_slot >= 0) {
                GstBuffer* cb = s.vring->Wrap(o.capture_slot, s.core.VideoSlot(o.capture_slot),
                                              static_cast<size_t>(p->frame_bytes), o.capture_len);
                if (cb) {
                    StampBuffer(cb, o.capture_times);
                    vlx::filter::DescribePacked(cb, s.fmt, s.out_w, s.out_h, s.out_packed, s.out_default_packed);
                    frame = gst_buffer_ref(cb);
                }
            }
            if (o.clip_ended) {
                clip_end = gst_structure_new("vlx2f-clip-end", "result", G_TYPE_INT, o.clip_result, "frames",
                                             G_TYPE_INT, p->clip_frames, "start-time", G_TYPE_INT64,
                                             static_cast<gint64>(p->clip_start_time), "trigger", G_TYPE_INT,
                                             p->clip_trigger, nullptr);
            }
        }
        if (frame) gst_pad_push(self->capture, frame);
        if (clip_end) {
            gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), clip_end));
            return;
        }
    }
}

static gboolean gst_vlx2f_video_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
    GstVlx2f* self = GST_VLX2F(parent);
    State& s = *self->state;
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_CAPS: {
            GstCaps* caps;
            gst_event_parse_caps(event, &caps);
            bool ok = gst_vlx2f_set_video_caps(self, caps);
            gst_event_unref(event);
            return ok;
        }
        case GST_EVENT_FLUSH_STOP:
            s.gap_preview = true;
            s.gap_capture = true;
            break;
        case GST_EVENT_EOS:
            gst_vlx2f_drain_clip(self);
            break;
        default:
            break;
    }
    // EOS, flushes, segments and the rest go to both video outputs.
    return gst_pad_event_default(pad, parent, event);
}

// One video frame: in the order of the detection core, with every push and
// message after the lock is released.
static GstFlowReturn gst_vlx2f_video_chain(GstPad*, GstObject* parent, GstBuffer* buf) {
    GstVlx2f* self = GST_VLX2F(parent);
    State& s = *self->state;
    GstBuffer* capture = nullptr;
    GstStructure* clip_end = nullptr;
    bool deliver_preview = false;
    const GstClockTime in_pts = GST_BUFFER_PTS(buf);
    const GstClockTime in_duration = GST_BUFFER_DURATION(buf);
    GstClockTime capture_gap_ts = 0;
    {
        std::unique_lock<std::mutex> lock(s.mu);
        DetectParams* p = s.core.block();
        if (!s.have_vcaps || !p) {
            gst_buffer_unref(buf);
            lock.unlock();  // never post with the lock held
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No video format or no parameter block"), (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
        const bool armed = s.core.armed();
        const bool may_write = s.resizing || armed;
        const vlx::detect::SampleTimes times = TimesOf(buf);
        s.clock.Frame(in_pts);
        if (armed && !s.vring->Protect(s.core.write_index())) s.core.CountDrop();

        const FrameLayout have = vlx::filter::BufferLayout(buf, s.in_info);
        vlx::detect::VideoOutcome o;
        if (vlx::filter::SameLayout(have, s.in_packed) && have.size >= s.in_packed.size &&
            gst_buffer_n_memory(buf) == 1) {
            GstMapInfo map;
            if (may_write) buf = gst_buffer_make_writable(buf);
            if (!gst_buffer_map(buf, &map, may_write ? GST_MAP_READWRITE : GST_MAP_READ)) {
                gst_buffer_unref(buf);
                lock.unlock();  // never post with the lock held
                GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("Cannot map a video frame"), (nullptr));
                return GST_FLOW_ERROR;
            }
            o = s.core.ProcessVideo(map.data, s.in_packed.size, times);
            gst_buffer_unmap(buf, &map);
            if (may_write && s.resizing) {
                gst_buffer_set_size(buf, static_cast<gssize>(o.frame_len));
                vlx::filter::DescribePacked(buf, s.fmt, s.out_w, s.out_h, s.out_packed, s.out_default_packed);
            }
        } else {
            // Row padding: the core works on a packed copy, written back only
            // when it changed the frame.
            GstVideoFrame vf;
            if (!gst_video_frame_map(&vf, &s.in_info, buf, GST_MAP_READ)) {
                gst_buffer_unref(buf);
                lock.unlock();  // never post with the lock held
                GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("Cannot map a video frame"), (nullptr));
                return GST_FLOW_ERROR;
            }
            if (s.scratch.size() < s.in_packed.size) s.scratch.resize(s.in_packed.size);
            vlx::filter::CopyToPacked(vf, s.in_packed, s.scratch.data());
            gst_video_frame_unmap(&vf);
            o = s.core.ProcessVideo(s.scratch.data(), s.in_packed.size, times);
            if (may_write) {
                buf = gst_buffer_make_writable(buf);
                if (gst_buffer_get_size(buf) < o.frame_len) {
                    gst_buffer_replace_all_memory(buf, gst_allocator_alloc(nullptr, o.frame_len, nullptr));
                }
                gst_buffer_fill(buf, 0, s.scratch.data(), o.frame_len);
                gst_buffer_set_size(buf, static_cast<gssize>(o.frame_len));
                vlx::filter::DescribePacked(buf, s.fmt, s.out_w, s.out_h, s.out_packed, s.out_default_packed);
            }
        }
        if (may_write) GST_BUFFER_FLAG_UNSET(buf, GST_BUFFER_FLAG_DELTA_UNIT);

        if (o.capture_slot >= 0) {
            GstBuffer* cb = s.vring->Wrap(o.capture_slot, s.core.VideoSlot(o.capture_slot),
                                          static_cast<size_t>(p->frame_bytes), o.capture_len);
            if (cb) {
                StampBuffer(cb, o.capture_times);
                vlx::filter::DescribePacked(cb, s.fmt, s.out_w, s.out_h, s.out_packed, s.out_default_packed);
                if (GST_BUFFER_PTS_IS_VALID(cb)) {
                    s.capture_next = GST_BUFFER_PTS(cb) +
                                     (GST_BUFFER_DURATION_IS_VALID(cb) ? GST_BUFFER_DURATION(cb) : 0);
                }
                capture = gst_buffer_ref(cb);
            } else {
                GST_WARNING_OBJECT(self, "capture slot %d cannot be delivered", o.capture_slot);
                s.core.CountDrop();
            }
        }
        capture_gap_ts = s.capture_next;
        if (o.clip_ended) {
            clip_end = gst_structure_new("vlx2f-clip-end", "result", G_TYPE_INT, o.clip_result, "frames", G_TYPE_INT,
                                         p->clip_frames, "start-time", G_TYPE_INT64,
                                         static_cast<gint64>(p->clip_start_time), "trigger", G_TYPE_INT,
                                         p->clip_trigger, nullptr);
        }
        deliver_preview = o.deliver_preview;
    }

    // The capture output first: a sink on it may need a gap to preroll while
    // the preview push blocks in its own preroll.
    GstFlowReturn capture_ret = GST_FLOW_OK;
    if (capture) {
        s.gap_capture = false;
        capture_ret = gst_pad_push(self->capture, capture);
        if (capture_ret != GST_FLOW_OK) {
            GST_DEBUG_OBJECT(self, "capture delivery failed: %s", gst_flow_get_name(capture_ret));
            std::lock_guard<std::mutex> lock(s.mu);
            s.core.CountDrop();
        }
    } else if (s.gap_capture.exchange(false)) {
        PushGap(self->capture, capture_gap_ts, 0);
    }
    if (clip_end) gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), clip_end));

    GstFlowReturn ret = GST_FLOW_OK;
    if (deliver_preview) {
        s.gap_preview = false;
        ret = gst_pad_push(self->preview, buf);
    } else {
        gst_buffer_unref(buf);
        if (s.gap_preview.exchange(false)) PushGap(self->preview, in_pts, in_duration);
    }
    if (ret == GST_FLOW_NOT_LINKED) ret = GST_FLOW_OK;
    if (capture_ret == GST_FLOW_FLUSHING) ret = GST_FLOW_FLUSHING;
    return ret;
}

static gboolean gst_vlx2f_video_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
    GstVlx2f* self = GST_VLX2F(parent);
    switch (GST_QUERY_TYPE(query)) {
        case GST_QUERY_CAPS: {
            GstCaps* filter;
            gst_query_parse_caps(query, &filter);
            GstCaps* caps = gst_vlx2f_video_src_caps(self, filter);
            gst_query_set_caps_result(query, caps);
            gst_caps_unref(caps);
            return TRUE;
        }
        case GST_QUERY_ACCEPT_CAPS: {
            // Nothing can be agreed on an output before the input has a format.
            GstCaps* caps;
            gst_query_parse_accept_caps(query, &caps);
            State& s = *self->state;
            std::lock_guard<std::mutex> lock(s.mu);
            gst_query_set_accept_caps_result(query, s.have_vcaps && gst_caps_is_subset(caps, s.out_caps));
            return TRUE;
        }
        default:
            return gst_pad_query_default(pad, parent, query);
    }
}

static gboolean gst_vlx2f_src_event(GstPad* pad, GstObject* parent, GstEvent* event) {
    GstVlx2f* self = GST_VLX2F(parent);
    // Quality feedback about clip times or clip audio says nothing about the
    // source's pace.
    if (GST_EVENT_TYPE(event) == GST_EVENT_QOS && pad != self->preview) {
        gst_event_unref(event);
        return TRUE;
    }
    return gst_pad_event_default(pad, parent, event);
}

// ---------------------------------------------------------------------------
// Audio

static GstCaps* gst_vlx2f_audio_template(GstVlx2f* self) {
    GstCaps* caps = gst_static_pad_template_get_caps(&audio_sink_template);
    State& s = *self->state;
    std::lock_guard<std::mutex> lock(s.mu);
    const DetectParams* p = s.core.block();
    if (p && p->audio_48k) {
        caps = gst_caps_make_writable(caps);
        gst_caps_set_simple(caps, "rate", G_TYPE_INT, 48000, nullptr);
    }
    return caps;
}

static gboolean gst_vlx2f_audio_sink_query(GstPad* pad, GstObject* parent, GstQuery* query) {
    GstVlx2f* self = GST_VLX2F(parent);
    switch (GST_QUERY_TYPE(query)) {
        case GST_QUERY_CAPS: {
            GstCaps* filter;
            gst_query_parse_caps(query, &filter);
            GstCaps* caps = gst_vlx2f_audio_template(self);
            if (gst_pad_is_linked(self->asrc)) {
                // The audio output passes the same format on.
                GstCaps* peer = gst_pad_peer_query_caps(self->asrc, caps);
                gst_caps_unref(caps);
                caps = peer;
            }
            caps = FilterCaps(caps, filter);
            gst_query_set_caps_result(query, caps);
            gst_caps_unref(caps);
            return TRUE;
        }
        case GST_QUERY_ACCEPT_CAPS: {
            GstCaps* caps;
            gst_query_parse_accept_caps(query, &caps);
            GstAudioInfo info;
            bool ok = gst_audio_info_from_caps(&info, caps);
            if (ok) {
                State& s = *self->state;
                std::lock_guard<std::mutex> lock(s.mu);
                ok = RefuseAudio(s.core.block(), info).empty();
            }
            gst_query_set_accept_caps_result(query, ok);
            return TRUE;
        }
        case GST_QUERY_ALLOCATION:
            return FALSE;
        default:
            return gst_pad_query_default(pad, parent, query);
    }
}

static gboolean gst_vlx2f_audio_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
    GstVlx2f* self = GST_VLX2F(parent);
    if (GST_QUERY_TYPE(query) != GST_QUERY_CAPS) return gst_pad_query_default(pad, parent, query);
    GstCaps* filter;
    gst_query_parse_caps(query, &filter);
    GstCaps* caps = gst_pad_get_current_caps(self->asink);
    if (!caps) caps = gst_vlx2f_audio_template(self);
    caps = FilterCaps(caps, filter);
    gst_query_set_caps_result(query, caps);
    gst_caps_unref(caps);
    return TRUE;
}

static gboolean gst_vlx2f_audio_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
    GstVlx2f* self = GST_VLX2F(parent);
    State& s = *self->state;
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
        GstCaps* caps;
        gst_event_parse_caps(event, &caps);
        GstAudioInfo info;
        std::string why = "unreadable audio format";
        if (gst_audio_info_from_caps(&info, caps)) {
            std::lock_guard<std::mutex> lock(s.mu);
            why = RefuseAudio(s.core.block(), info);
            if (why.empty()) {
                s.core.ConnectAudio(GST_AUDIO_INFO_BPF(&info) * GST_AUDIO_INFO_RATE(&info), 16);
                s.have_acaps = true;
            }
        }
        if (!why.empty()) {
            GST_ELEMENT_ERROR(self, STREAM, WRONG_TYPE, ("Audio format refused: %s", why.c_str()),
                              ("%" GST_PTR_FORMAT, caps));
            gst_event_unref(event);
            return FALSE;
        }
        // The audio output takes the input's format as it is.
        return gst_pad_push_event(self->asrc, event) || !gst_pad_is_linked(self->asrc);
    }
    if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) s.gap_audio = true;
    return gst_pad_event_default(pad, parent, event);
}

static GstFlowReturn gst_vlx2f_audio_chain(GstPad*, GstObject* parent, GstBuffer* buf) {
    GstVlx2f* self = GST_VLX2F(parent);
    State& s = *self->state;
    GstBuffer* out = nullptr;
    const GstClockTime in_pts = GST_BUFFER_PTS(buf);
    const GstClockTime in_duration = GST_BUFFER_DURATION(buf);
    {
        std::unique_lock<std::mutex> lock(s.mu);
        DetectParams* p = s.core.block();
        if (!s.have_acaps || !p) {
            gst_buffer_unref(buf);
            lock.unlock();  // never post with the lock held
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No audio format or no parameter block"), (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
        GstMapInfo map;
        if (!gst_buffer_map(buf, &map, GST_MAP_READ)) {
            gst_buffer_unref(buf);
            return GST_FLOW_ERROR;
        }
        const int slots = s.core.AudioSlots();
        if (slots > 0 && !s.aring->Protect(s.audio_wr)) s.core.CountDrop();
        vlx::detect::AudioOutcome o = s.core.ProcessAudio(map.data, map.size, TimesOf(buf));
        gst_buffer_unmap(buf, &map);
        if (slots > 0) s.audio_wr = (s.audio_wr + 1) % slots;
        if (o.deliver_slot >= 0) {
            GstBuffer* ab = s.aring->Wrap(o.deliver_slot, s.core.AudioSlot(o.deliver_slot),
                                          static_cast<size_t>(p->audio_buf_bytes), o.deliver_len);
            if (ab) {
                StampBuffer(ab, o.deliver_times);
                out = gst_buffer_ref(ab);
            }
        }
    }
    gst_buffer_unref(buf);
    if (out) {
        s.gap_audio = false;
        GstFlowReturn r = gst_pad_push(self->asrc, out);
        return r == GST_FLOW_FLUSHING ? r : GST_FLOW_OK;
    }
    if (s.gap_audio.exchange(false)) PushGap(self->asrc, in_pts, in_duration);
    return GST_FLOW_OK;
}

// ---------------------------------------------------------------------------
// States

// Outputs with no input behind them end at once, so their sinks complete.
// Each runs off the state-change thread on its own: a sink takes the EOS as
// its preroll and holds the pushing thread until PLAYING.
static void gst_vlx2f_end_output(GstElement*, gpointer data) {
    GstPad* out = GST_PAD(data);
    gchar* id = g_strdup_printf("%08x%08x/%s", g_random_int(), g_random_int(), GST_PAD_NAME(out));
    gst_pad_push_event(out, gst_event_new_stream_start(id));
    g_free(id);
    GstSegment seg;
    gst_segment_init(&seg, GST_FORMAT_TIME);
    gst_pad_push_event(out, gst_event_new_segment(&seg));
    gst_pad_push_event(out, gst_event_new_eos());
}

static void gst_vlx2f_end_unfed(GstVlx2f* self) {
    auto end = [self](GstPad* out) {
        if (!gst_pad_is_linked(out)) return;
        gst_element_call_async(GST_ELEMENT(self), gst_vlx2f_end_output, gst_object_ref(out), gst_object_unref);
    };
    if (!gst_pad_is_linked(self->vsink)) {
        end(self->preview);
        end(self->capture);
    }
    if (!gst_pad_is_linked(self->asink)) end(self->asrc);
}

static GstStateChangeReturn gst_vlx2f_change_state(GstElement* element, GstStateChange transition) {
    GstVlx2f* self = GST_VLX2F(element);
    State& s = *self->state;
    switch (transition) {
        case GST_STATE_CHANGE_READY_TO_PAUSED: {
            std::lock_guard<std::mutex> lock(s.mu);
            // Armed when PLAYING comes, normally; with arm-on-caps as soon as
            // the format is known, so a file's first frame is examined as
            // surely as its last, however long the preroll takes.
            s.need_run = !s.arm_on_caps;
            s.run_on_caps = s.arm_on_caps;
            s.gap_preview = s.gap_capture = s.gap_audio = true;
            break;
        }
        case GST_STATE_CHANGE_PAUSED_TO_PLAYING: {
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.need_run) {
                s.need_run = false;
                // The core arms only with a format: a live source brings its
                // caps after this.
                if (s.have_vcaps) RunLocked(self, s);
                else s.run_on_caps = true;
            }
            break;
        }
        case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
            s.gap_preview = s.gap_capture = s.gap_audio = true;
            break;
        default:
            break;
    }

    GstStateChangeReturn ret = GST_ELEMENT_CLASS(gst_vlx2f_parent_class)->change_state(element, transition);
    if (ret == GST_STATE_CHANGE_FAILURE) return ret;

    switch (transition) {
        case GST_STATE_CHANGE_READY_TO_PAUSED:
            gst_vlx2f_end_unfed(self);
            break;
        case GST_STATE_CHANGE_PAUSED_TO_READY: {
            std::lock_guard<std::mutex> lock(s.mu);
            if (s.core.block()) s.core.Stop();
            // After a stop the application may tear its buffers down.
            s.vring->ProtectAll();
            s.aring->ProtectAll();
            s.have_vcaps = false;
            s.have_acaps = false;
            s.run_on_caps = false;
            break;
        }
        default:
            break;
    }
    return ret;
}

// ---------------------------------------------------------------------------
// GObject

static GstIterator* gst_vlx2f_iterate_links(GstPad* pad, GstObject* parent) {
    GstVlx2f* self = GST_VLX2F(parent);
    GList** list = pad == self->vsink                                ? &self->video_outs
                   : pad == self->preview || pad == self->capture ? &self->video_in
                   : pad == self->asink                              ? &self->audio_out
                                                                     : &self->audio_in;
    return gst_iterator_new_list(GST_TYPE_PAD, GST_OBJECT_GET_LOCK(self), &self->links_cookie, list,
                                 G_OBJECT(self), nullptr);
}

// A sink linked while the element runs (a new writer behind the capture
// output) prerolls on a gap before the next clip.
static GstPadLinkReturn gst_vlx2f_src_link(GstPad* pad, GstObject* parent, GstPad*) {
    GstVlx2f* self = GST_VLX2F(parent);
    State& s = *self->state;
    if (pad == self->preview) s.gap_preview = true;
    else if (pad == self->capture) s.gap_capture = true;
    else s.gap_audio = true;
    return GST_PAD_LINK_OK;
}

static GstPad* gst_vlx2f_add_pad(GstVlx2f* self, GstStaticPadTemplate* templ, const char* name) {
    GstPad* pad = gst_pad_new_from_static_template(templ, name);
    gst_pad_set_iterate_internal_links_function(pad, gst_vlx2f_iterate_links);
    if (GST_PAD_IS_SRC(pad)) gst_pad_set_link_function(pad, gst_vlx2f_src_link);
    gst_element_add_pad(GST_ELEMENT(self), pad);
    return pad;
}

static void gst_vlx2f_init(GstVlx2f* self) {
    self->state = new State();
    self->ipc_name = g_strdup(vlx::kIpcDataName);

    self->vsink = gst_vlx2f_add_pad(self, &video_sink_template, "Input");
    gst_pad_set_chain_function(self->vsink, gst_vlx2f_video_chain);
    gst_pad_set_event_function(self->vsink, gst_vlx2f_video_sink_event);
    gst_pad_set_query_function(self->vsink, gst_vlx2f_video_sink_query);

    self->preview = gst_vlx2f_add_pad(self, &preview_src_template, "Output1");
    self->capture = gst_vlx2f_add_pad(self, &capture_src_template, "Output2");
    for (GstPad* out : {self->preview, self->capture}) {
        gst_pad_set_query_function(out, gst_vlx2f_video_src_query);
        gst_pad_set_event_function(out, gst_vlx2f_src_event);
    }

    self->asink = gst_vlx2f_add_pad(self, &audio_sink_template, "Input Audio");
    gst_pad_set_chain_function(self->asink, gst_vlx2f_audio_chain);
    gst_pad_set_event_function(self->asink, gst_vlx2f_audio_sink_event);
    gst_pad_set_query_function(self->asink, gst_vlx2f_audio_sink_query);

    self->asrc = gst_vlx2f_add_pad(self, &audio_src_template, "Audio Capture");
    gst_pad_set_query_function(self->asrc, gst_vlx2f_audio_src_query);
    gst_pad_set_event_function(self->asrc, gst_vlx2f_src_event);

    self->video_outs = g_list_append(g_list_append(nullptr, self->preview), self->capture);
    self->video_in = g_list_append(nullptr, self->vsink);
    self->audio_out = g_list_append(nullptr, self->asrc);
    self->audio_in = g_list_append(nullptr, self->asink);
}

static void gst_vlx2f_constructed(GObject* object) {
    GstVlx2f* self = GST_VLX2F(object);
    G_OBJECT_CLASS(gst_vlx2f_parent_class)->constructed(object);
    State& s = *self->state;
    s.ipc = vlx::filter::AcquireIpc(self->ipc_name);
    if (!s.ipc) {
        GST_WARNING_OBJECT(self, "cannot create the shared memory %s: running without it", self->ipc_name);
    }
    std::lock_guard<std::mutex> lock(s.mu);
    s.core.SetIpc(s.ipc);
}

static void gst_vlx2f_finalize(GObject* object) {
    GstVlx2f* self = GST_VLX2F(object);
    vlx::IpcData* ipc = self->state->ipc;
    self->state->core.SetIpc(nullptr);
    delete self->state;
    vlx::filter::ReleaseIpc(ipc);
    g_list_free(self->video_outs);
    g_list_free(self->video_in);
    g_list_free(self->audio_out);
    g_list_free(self->audio_in);
    g_free(self->ipc_name);
    G_OBJECT_CLASS(gst_vlx2f_parent_class)->finalize(object);
}

static void gst_vlx2f_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstVlx2f* self = GST_VLX2F(object);
    switch (id) {
        case PROP_STREAM_CLOCK:
            self->state->clock.stream = g_value_get_boolean(value);
            break;
        case PROP_ARM_ON_CAPS:
            self->state->arm_on_caps = g_value_get_boolean(value);
            break;
        case PROP_IPC_NAME:
            g_free(self->ipc_name);
            self->ipc_name = g_value_dup_string(value);
            if (!self->ipc_name) self->ipc_name = g_strdup(vlx::kIpcDataName);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void gst_vlx2f_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstVlx2f* self = GST_VLX2F(object);
    switch (id) {
        case PROP_STREAM_CLOCK:
            g_value_set_boolean(value, self->state->clock.stream);
            break;
        case PROP_ARM_ON_CAPS:
            g_value_set_boolean(value, self->state->arm_on_caps);
            break;
        case PROP_IPC_NAME:
            g_value_set_string(value, self->ipc_name);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void gst_vlx2f_class_init(GstVlx2fClass* klass) {
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);

    gobject_class->constructed = gst_vlx2f_constructed;
    gobject_class->finalize = gst_vlx2f_finalize;
    gobject_class->set_property = gst_vlx2f_set_property;
    gobject_class->get_property = gst_vlx2f_get_property;

    g_object_class_install_property(
        gobject_class, PROP_IPC_NAME,
        g_param_spec_string("ipc-name", "IPC name",
                            "Name of the shared memory object that publishes the detector's state",
                            vlx::kIpcDataName,
                            static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS)));

    g_object_class_install_property(
        gobject_class, PROP_STREAM_CLOCK,
        g_param_spec_boolean("stream-clock", "Stream clock",
                             "Time frames by the stream (for files played faster than real time) instead of the "
                             "system clock",
                             FALSE, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    g_object_class_install_property(
        gobject_class, PROP_ARM_ON_CAPS,
        g_param_spec_boolean("arm-on-caps", "Arm on caps",
                             "After a stop, arm detection as soon as the video format arrives instead of at PLAYING, "
                             "so that every frame of a file is examined from the first",
                             FALSE, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

    // gint init(gpointer block, gint32* version, gint32* reserved): 0, or
    // 0x80004003 for a null argument.
    signals[SIGNAL_INIT] = g_signal_new_class_handler(
        "init", G_TYPE_FROM_CLASS(klass), static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(gst_vlx2f_init_block), nullptr, nullptr, nullptr, G_TYPE_INT, 3, G_TYPE_POINTER, G_TYPE_POINTER,
        G_TYPE_POINTER);
    // void rearm(void): the run-time resets and arming of a transition to
    // PLAYING, for a pipeline that keeps playing between clips.
    signals[SIGNAL_REARM] = g_signal_new_class_handler(
        "rearm", G_TYPE_FROM_CLASS(klass), static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(gst_vlx2f_rearm), nullptr, nullptr, nullptr, G_TYPE_NONE, 0);
    // gint reserved(gint): 0.
    signals[SIGNAL_RESERVED] = g_signal_new_class_handler(
        "reserved", G_TYPE_FROM_CLASS(klass), static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(gst_vlx2f_reserved), nullptr, nullptr, nullptr, G_TYPE_INT, 1, G_TYPE_INT);

    gst_element_class_add_static_pad_template(element_class, &video_sink_template);
    gst_element_class_add_static_pad_template(element_class, &preview_src_template);
    gst_element_class_add_static_pad_template(element_class, &capture_src_template);
    gst_element_class_add_static_pad_template(element_class, &audio_sink_template);
    gst_element_class_add_static_pad_template(element_class, &audio_src_template);
    gst_element_class_set_static_metadata(
        element_class, "Vigilux2 Motion Detector", "Filter/Analyzer/Video",
        "Detects meteors and other bright moving objects and delivers clips of them with head and tail frames",
        "Vigilux");

    element_class->change_state = gst_vlx2f_change_state;
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(gst_vlx2f_debug, "vlx2f", 0, "Vigilux2 motion detector");
    return gst_element_register(plugin, "vlx2f", GST_RANK_NONE, GST_TYPE_VLX2F);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vlx2f, "Vigilux2 motion detector", plugin_init, VLX_VERSION,
                  "unknown", "vigilux", "https://vigilux.invalid")

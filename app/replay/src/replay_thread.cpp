#include "vlx/replay/replay_thread.h"

#include <gst/app/gstappsink.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <future>
#include <new>

#include "vlx/app/report.h"
#include "vlx/clips/records.h"
#include "vlx/messages.h"

namespace vlx {

namespace {

// Longest wait for the pipeline to show a frame after a state change or a
// seek; a clip that takes longer is broken, and nothing may block forever.
constexpr GstClockTime kSettleTimeout = 10 * GST_SECOND;

GstElement* Make(const char* factory, const char* name = nullptr) {
    return gst_element_factory_make(factory, name);
}

void StoreWord(int32_t& w, int32_t v) { std::atomic_ref<int32_t>(w).store(v, std::memory_order_relaxed); }
int32_t LoadWord(int32_t& w) { return std::atomic_ref<int32_t>(w).load(std::memory_order_relaxed); }

bool Readable(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// GStreamer positions are nanoseconds; ours 100 ns. Rounded up, so a frame's
// start time never turns into a position inside the frame before it.
int64_t ToHns(gint64 ns) { return ns < 0 ? -1 : (ns + 99) / 100; }

bool StartsWith(const char* s, const char* prefix) { return s && g_str_has_prefix(s, prefix); }

// asfdemux gives WMV video 25 frames per second when the file records no
// frame rate, and the station's WMV clips record none. The frame durations
// then overlap the next frame's time, and an accurate seek shows the frame
// before the one asked for. The rate is measured from the time stamps of the
// first frames instead (whole milliseconds in ASF, so over up to 60 frames).
double MeasureAsfRate(const std::string& path) {
    gchar* uri_path = g_strescape(path.c_str(), nullptr);
    std::string desc = std::string("filesrc location=\"") + uri_path +
                       "\" ! asfdemux name=d d.video_0 ! appsink name=s sync=false";
    g_free(uri_path);
    GstElement* p = gst_parse_launch(desc.c_str(), nullptr);
    if (!p) return 0;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "s");
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstClockTime first = GST_CLOCK_TIME_NONE, last = GST_CLOCK_TIME_NONE;
    int frames = 0;
    while (frames < 61) {
        GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 2 * GST_SECOND);
        if (!s) break;
        GstClockTime pts = GST_BUFFER_PTS(gst_sample_get_buffer(s));
        gst_sample_unref(s);
        if (!GST_CLOCK_TIME_IS_VALID(pts)) continue;
        if (!GST_CLOCK_TIME_IS_VALID(first)) first = pts;
        last = pts;
        ++frames;
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(p);
    if (frames < 3 || last <= first) return 0;
    return static_cast<double>(frames - 1) * GST_SECOND / static_cast<double>(last - first);
}

GstPadProbeReturn FixRate(GstPad*, GstPadProbeInfo* info, gpointer rate_ptr) {
    GstEvent* ev = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(ev) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps;
    gst_event_parse_caps(ev, &caps);
    caps = gst_caps_copy(caps);
    gint n = 0, d = 1;
    gst_util_double_to_fraction(*static_cast<double*>(rate_ptr), &n, &d);
    gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, n, d, nullptr);
    GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_caps(caps);
    gst_caps_unref(caps);
    gst_event_unref(ev);
    return GST_PAD_PROBE_OK;
}

}  // namespace

namespace replay {

int SnapshotNumber(int64_t position, double fps, bool stepping, bool field_select) {
    if (fps <= 0) return 0;
    const double frame = 10000000.0 / fps;
    if (stepping) return static_cast<int>(static_cast<int64_t>(2.0 * static_cast<double>(position) / frame)) +
                         (field_select ? 1 : 0);
    return static_cast<int>(static_cast<int64_t>(static_cast<double>(position) / frame));
}

std::string SnapshotName(const std::string& media_path, int number) {
    if (media_path.size() < 4) return {};
    std::string base = media_path.substr(0, media_path.size() - 4);
    const size_t slash = base.rfind('/');
    const size_t first = slash == std::string::npos ? 0 : slash + 1;
    if (first < base.size()) base[first] = 'z';
    char tail[32];
    std::snprintf(tail, sizeof tail, "_%03ds.jpg", number);
    return base + tail;
}

int FieldForSeek(int64_t position, double fps) {
    if (fps <= 0) return 0;
    const double half = 5000000.0 / fps;
    return static_cast<int64_t>(static_cast<double>(position) / half) % 2 != 0 ? 1 : 0;
}

}  // namespace replay

CReplayThread::CReplayThread(AppContext& ctx, ReplaySinks sinks, ReplayObserver* observer)
    : ctx_(ctx), sinks_(std::move(sinks)), observer_(observer) {}

CReplayThread::~CReplayThread() {
    if (thread_.joinable()) {
        Post(REPLAY_QUIT);
        thread_.join();
    }
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    Teardown();
}

void CReplayThread::Start() {
    if (thread_.joinable()) return;
    std::promise<ThreadId> started;
    std::future<ThreadId> id = started.get_future();
    thread_ = std::thread([this, &started] { Run(&started); });
    id_ = id.get();
}

bool CReplayThread::Post(uint32_t code, intptr_t arg) const {
    return PostThreadMessage(id_, WM_REPLAY_COMMAND, code, arg);
}

void CReplayThread::Join() {
    if (thread_.joinable()) thread_.join();
}

void CReplayThread::SetMediaPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(path_mu_);
    media_path_ = path.substr(0, 1023);
}

std::string CReplayThread::media_path() const {
    std::lock_guard<std::mutex> lock(path_mu_);
    return media_path_;
}

bool CReplayThread::has_pipeline() const {
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    return pipeline_ != nullptr;
}

void CReplayThread::Run(std::promise<ThreadId>* started) {
    ThreadQueue queue;
    started->set_value(queue.id());
    for (;;) {
        ThreadMessage m = queue.Get();
        // Other messages and codes (the main window's 1 at start-up) are not
        // commands of this thread.
        if (m.message != WM_REPLAY_COMMAND) continue;
        const auto code = static_cast<uint32_t>(m.wparam);
        if (code < REPLAY_CLOSE || code > REPLAY_QUIT) continue;
        Execute(code, m.lparam);
        if (observer_) observer_->CommandDone(code);
        if (code == REPLAY_QUIT) break;
    }
}

void CReplayThread::Execute(uint32_t code, intptr_t arg) {
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    ReplayParams& rp = ctx_.rp;
    if (code != REPLAY_QUIT) StoreWord(rp.deinterlace_on, 0);
    const bool stepping = LoadWord(rp.deinterlace_stepping) != 0;
    switch (code) {
        case REPLAY_CLOSE:
            Teardown();
            break;
        case REPLAY_PLAY_FROM_START:
            if (state_ == kReplayRunning || state_ == kReplayPaused || state_ == kReplayPositioned) {
                Stop();
                state_ = kReplayStopped;
            }
            if (!Prepare()) return;
            if (SetState(GST_STATE_PLAYING)) state_ = kReplayRunning;
            break;
        case REPLAY_PLAY_PAUSE:
            if (state_ == kReplayRunning) {
                SetState(GST_STATE_PAUSED);
                QueryPosition();
                state_ = kReplayPaused;
            } else {
                if (!Prepare()) return;
                if (SetState(GST_STATE_PLAYING)) state_ = kReplayRunning;
            }
            break;
        case REPLAY_STEP_FORWARD:
        case REPLAY_STEP_BACK: {
            if (!Prepare()) return;
            SetState(GST_STATE_PAUSED);
            QueryPosition();
            const double clip_frame = rp.fps > 0 ? 10000000.0 / rp.fps : 0;
            double pos = static_cast<double>(position_.load());
            if (stepping) {
                StoreWord(rp.deinterlace_on, 1);
                const bool second = LoadWord(rp.field_select) != 0;
                StoreWord(rp.field_select, second ? 0 : 1);
                // Forward: field 0, field 1, next frame's field 0; back the reverse.
                if (code == REPLAY_STEP_FORWARD && second) pos += clip_frame;
                if (code == REPLAY_STEP_BACK && !second) pos -= clip_frame;
            } else if (code == REPLAY_STEP_FORWARD) {
                pos += ctx_.dp.fps >= 0.01 ? 10000000.0 / ctx_.dp.fps : clip_frame;
            } else {
                pos -= clip_frame;
            }
            position_ = static_cast<int64_t>(pos);
            SeekStep();
            break;
        }
        case REPLAY_SEEK: {
            if (state_ != kReplayPaused) {
                if (!Prepare()) return;
                SetState(GST_STATE_PAUSED);
            }
            position_ = static_cast<int64_t>(arg) * 10000;
            if (stepping) {
                StoreWord(rp.deinterlace_on, 1);
                StoreWord(rp.field_select, replay::FieldForSeek(position_, rp.fps));
            }
            SeekStep();
            break;
        }
        case REPLAY_QUIT:
            Teardown();
            ended_ = true;
            break;
        default:
            break;
    }
}

bool CReplayThread::Prepare() {
    if (state_ == kReplayNone && !Build()) return false;
    if (observer_) observer_->ShowVideo();
    if (state_ == kReplayStopped) {
        gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                                static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), 0);
        gst_element_get_state(pipeline_, nullptr, nullptr, kSettleTimeout);
        position_ = 0;
    }
    return true;
}

bool CReplayThread::SetState(GstState s) {
    if (!pipeline_) return false;
    GstStateChangeReturn r = gst_element_set_state(pipeline_, s);
    if (r == GST_STATE_CHANGE_ASYNC) r = gst_element_get_state(pipeline_, nullptr, nullptr, kSettleTimeout);
    return r == GST_STATE_CHANGE_SUCCESS || r == GST_STATE_CHANGE_NO_PREROLL;
}

// The pipeline's "stop": paused where it is; the next play rewinds (state 2).
bool CReplayThread::Stop() { return SetState(GST_STATE_PAUSED); }

bool CReplayThread::SeekStep() {
    // A step before the first frame or past the last one shows that frame.
    int64_t pos = position_;
    const int64_t last = duration_ > 0 ? duration_ - 1 : 0;
    if (pos > last) pos = last;
    if (pos < 0) pos = 0;
    position_ = pos;
    bool ok = pipeline_ && gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                                                   static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH |
                                                                             GST_SEEK_FLAG_ACCURATE),
                                                   static_cast<gint64>(pos) * 100);
    if (ok) ok = gst_element_get_state(pipeline_, nullptr, nullptr, kSettleTimeout) == GST_STATE_CHANGE_SUCCESS;
    if (observer_) observer_->SliderPosition(pos / 10000);
    state_ = kReplayPositioned;
    return ok;
}

int64_t CReplayThread::QueryPosition() {
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    if (!pipeline_) return -1;
    gint64 ns = -1;
    if (gst_element_query_position(pipeline_, GST_FORMAT_TIME, &ns) && ns >= 0) position_ = ToHns(ns);
    return position_;
}

std::vector<uint8_t> CReplayThread::FrameCopy() const {
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    return frame_buf_;
}

GstBusSyncReply CReplayThread::OnBusSync(GstBus*, GstMessage* msg, gpointer data) {
    auto* self = static_cast<CReplayThread*>(data);
    const GstMessageType t = GST_MESSAGE_TYPE(msg);
    if (t != GST_MESSAGE_EOS && t != GST_MESSAGE_ERROR) return GST_BUS_DROP;  // of no interest here
    // Kept in our own queue before anyone is told, so a drain that follows
    // the notice at once finds the event.
    {
        std::lock_guard<std::mutex> lock(self->events_mu_);
        self->events_.push_back(gst_message_ref(msg));  // the bus drops its own
    }
    if (!self->building_ && self->observer_) self->observer_->GraphEvent();
    return GST_BUS_DROP;
}

GstMessage* CReplayThread::PopEvent() {
    std::lock_guard<std::mutex> lock(events_mu_);
    if (events_.empty()) return nullptr;
    GstMessage* m = events_.front();
    events_.pop_front();
    return m;
}

void CReplayThread::DrainEvents() {
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    if (!pipeline_) return;
    while (GstMessage* msg = PopEvent()) {
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS) {
            gst_message_unref(msg);
            if (Stop()) {
                state_ = kReplayStopped;
                if (observer_) observer_->PlayCaption(">");
            }
            if (state_ == kReplayRunning && SetState(GST_STATE_PAUSED)) state_ = kReplayPaused;
            continue;
        }
        GError* err = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(msg, &err, &debug);
        const unsigned long code = err ? static_cast<unsigned long>(static_cast<uint32_t>(err->code)) : 0;
        std::fprintf(stderr, "replay: %s (%s)\n", err ? err->message : "?", debug ? debug : "");
        g_clear_error(&err);
        g_free(debug);
        gst_message_unref(msg);
        ErrorBox("UE064: Playback error (EC_ERRORABORT - 0x%08lx). Aborting...\r\n", code);
        GstStateChangeReturn r = gst_element_set_state(pipeline_, GST_STATE_PAUSED);
        if (r == GST_STATE_CHANGE_FAILURE) {
            ErrorBox("UE065: Failed(0x%08lx) to stop media clip!\r\n", static_cast<unsigned long>(r) & 0xffffffffUL);
        }
        break;
    }
}

std::string CReplayThread::Snapshot() {
    std::lock_guard<std::recursive_mutex> lock(op_mu_);
    const std::string media = media_path();
    if (!pipeline_ || frame_buf_.empty() || media.empty()) return {};
    ReplayParams& rp = ctx_.rp;
    const int64_t p = QueryPosition();
    const int n = replay::SnapshotNumber(p, rp.fps, LoadWord(rp.deinterlace_stepping) != 0,
                                         LoadWord(rp.field_select) != 0);
    const std::string name = replay::SnapshotName(media, n);
    if (name.empty() || !WriteJpegFromRgb(name, frame_buf_.data(), rp.width, rp.height)) return {};
    return name;
}

// ---------------------------------------------------------------------------
// Pipeline build and teardown

void CReplayThread::OnDemuxPad(GstElement*, GstPad* pad, gpointer data) {
    auto* self = static_cast<CReplayThread*>(data);
    gchar* name = gst_pad_get_name(pad);
    if (StartsWith(name, "video")) {
        GstElement* queue = gst_bin_get_by_name(GST_BIN(self->pipeline_), "video queue");
        if (queue) {
            if (self->asf_rate_ > 0) {
                gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, &FixRate, &self->asf_rate_, nullptr);
            }
            GstPad* sink = gst_element_get_static_pad(queue, "sink");
            if (!gst_pad_is_linked(sink)) gst_pad_link(pad, sink);  // the first video stream only
            gst_object_unref(sink);
            gst_object_unref(queue);
        }
    } else if (StartsWith(name, "audio")) {
        std::lock_guard<std::mutex> lock(self->audio_mu_);
        if (self->audio_sink_ && !self->audio_linked_) {
            // queue ! decodebin ! audioconvert ! audioresample ! sound output
            GstElement* queue = Make("queue");
            GstElement* dec = Make("decodebin");
            GstElement* conv = Make("audioconvert", "audio convert");
            GstElement* res = Make("audioresample");
            if (queue && dec && conv && res) {
                GstElement* sink = self->audio_sink_;
                gst_bin_add_many(GST_BIN(self->pipeline_), queue, dec, conv, res, sink, nullptr);
                self->audio_linked_ = true;  // the pipeline owns the sink now
                gst_element_link(queue, dec);
                gst_element_link_many(conv, res, sink, nullptr);
                g_signal_connect(dec, "pad-added", G_CALLBACK(&CReplayThread::OnDecodedAudio), self);
                for (GstElement* e : {sink, res, conv, dec, queue}) gst_element_sync_state_with_parent(e);
                GstPad* qsink = gst_element_get_static_pad(queue, "sink");
                gst_pad_link(pad, qsink);
                gst_object_unref(qsink);
            } else {
                for (GstElement* e : {queue, dec, conv, res}) {
                    if (e) gst_object_unref(e);
                }
            }
        }
    }
    g_free(name);
}

void CReplayThread::OnDecodedVideo(GstElement*, GstPad* pad, gpointer data) {
    auto* self = static_cast<CReplayThread*>(data);
    GstPad* sink = gst_element_get_static_pad(self->video_tail_, "sink");
    if (!gst_pad_is_linked(sink)) gst_pad_link(pad, sink);
    gst_object_unref(sink);
}

void CReplayThread::OnDecodedAudio(GstElement*, GstPad* pad, gpointer data) {
    auto* self = static_cast<CReplayThread*>(data);
    GstElement* conv = gst_bin_get_by_name(GST_BIN(self->pipeline_), "audio convert");
    if (!conv) return;
    GstPad* sink = gst_element_get_static_pad(conv, "sink");
    if (!gst_pad_is_linked(sink)) gst_pad_link(pad, sink);
    gst_object_unref(sink);
    gst_object_unref(conv);
}

bool CReplayThread::Build() {
    if (pipeline_) FatalBox("DUPLICATED RPLAY START");
    auto fail = [this](const char* text) {
        ErrorBox("%s", text);
        Teardown();
        return false;
    };
    pipeline_ = gst_pipeline_new("replay");
    if (!pipeline_) return fail("UE044: Cannot create live graph");
    building_ = true;
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &CReplayThread::OnBusSync, this, nullptr);
    gst_object_unref(bus);

    const std::string path = media_path();
    const bool wmv = ctx_.rp.clip_type == 'w';
    GstElement* src = Make("filesrc", "source");
    GstElement* demux = nullptr;
    if (wmv) {
        demux = Make("asfdemux", "ASF Reader");
        if (!demux) {
            if (src) gst_object_unref(src);
            return fail("UE051: Failed to create WMAsfReader filter");
        }
        if (!gst_bin_add(GST_BIN(pipeline_), demux)) {
            if (src) gst_object_unref(src);
            return fail("UE052: Failed to add ASF reader filter to graph! ");
        }
        if (!src || !gst_bin_add(GST_BIN(pipeline_), src)) {
            if (src) gst_object_unref(src);
            return fail("UE053: Failed to get IFileSourceFilter");
        }
        if (!Readable(path)) {
            ErrorBox("UE054: Failed to Load %s", path.c_str());
            Teardown();
            return false;
        }
    } else {
        demux = Make("avidemux", "splitter");
        if (!src || !demux || !Readable(path) || !gst_bin_add(GST_BIN(pipeline_), src) ||
            !gst_bin_add(GST_BIN(pipeline_), demux)) {
            if (src && !GST_OBJECT_PARENT(src)) gst_object_unref(src);
            if (demux && !GST_OBJECT_PARENT(demux)) gst_object_unref(demux);
            return fail("UE059: Failed to connect AVI file source");
        }
    }
    g_object_set(src, "location", path.c_str(), nullptr);
    asf_rate_ = wmv ? MeasureAsfRate(path) : 0;
    gst_element_link(src, demux);

    // The decoder the clip's video needs (none for raw frames).
    GstElement* vqueue = Make("queue", "video queue");
    GstElement* vdec = Make("decodebin", wmv ? "WMV Decorder" : "decoder");
    if (!vqueue || !vdec) {
        if (vqueue) gst_object_unref(vqueue);
        if (vdec) gst_object_unref(vdec);
        return fail(wmv ? "UE055: Failed to create DMOWrapperFilter filter" : "UE059: Failed to connect AVI file source");
    }
    gst_bin_add_many(GST_BIN(pipeline_), vqueue, vdec, nullptr);
    gst_element_link(vqueue, vdec);

    // The replay element, "registered" from the program directory when the
    // plugin path does not have it.
    rf_ = Make("vlx2rf", "VLXFilter");
    if (!rf_) {
        std::string lib = std::string(ctx_.program_dir) + "/libgstvlx2rf.so";
        if (GstPlugin* plugin = gst_plugin_load_file(lib.c_str(), nullptr)) {
            gst_object_unref(plugin);
        } else if (!gst_registry_scan_path(gst_registry_get(), ctx_.program_dir)) {
            ErrorBox("UE001:UNABLE TO REGISTER %s", lib.c_str());
        }
        rf_ = Make("vlx2rf", "VLXFilter");
        if (!rf_) return fail("UM022: Cannot Find VLX2RF");
    }
    if (!gst_bin_add(GST_BIN(pipeline_), rf_)) {
        gst_object_unref(rf_);
        rf_ = nullptr;
        return fail("UE060: Cannot add VLX2RFilter to graph");
    }
    gint32 version = 0, reserved = 0;
    gint hr = -1;
    g_signal_emit_by_name(rf_, "init", &ctx_.rp, &version, &reserved, &hr);
    if (hr != 0 || version != kReplayVersion) return fail("UM023: VLX2RF.ax varsion invalid. Please re-install");
    ctx_.rp.width = ctx_.rp.height = ctx_.rp.pixel_count = ctx_.rp.frame_bytes = 0;

    // decoder ! videoconvert ! BGR ! vlx2rf ! the front end's sink
    video_tail_ = Make("videoconvert", "video convert");
    GstElement* bgr = Make("capsfilter");
    GstElement* vsink = sinks_.video ? sinks_.video() : nullptr;
    if (!video_tail_ || !bgr || !vsink) {
        for (GstElement* e : {video_tail_, bgr, vsink}) {
            if (e) gst_object_unref(e);
        }
        video_tail_ = nullptr;
        return fail("DXE2007:Cannot render reolay window");
    }
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGR");
    g_object_set(bgr, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_bin_add_many(GST_BIN(pipeline_), video_tail_, bgr, vsink, nullptr);
    if (!gst_element_link(video_tail_, bgr) || !gst_element_link_pads(bgr, "src", rf_, "Input") ||
        !gst_element_link_pads(rf_, "Output1", vsink, nullptr)) {
        return fail("DXE2007:Cannot render reolay window");
    }
    g_signal_connect(vdec, "pad-added", G_CALLBACK(&CReplayThread::OnDecodedVideo), this);

    // The sound output joins when the clip turns out to have sound; without
    // one the clip plays silently.
    {
        std::lock_guard<std::mutex> lock(audio_mu_);
        audio_sink_ = sinks_.audio ? sinks_.audio() : Make("autoaudiosink", "Sound Renderer");
        if (audio_sink_) gst_object_ref_sink(audio_sink_);
        audio_linked_ = false;
    }
    g_signal_connect(demux, "pad-added", G_CALLBACK(&CReplayThread::OnDemuxPad), this);

    // Run up to the first frame: only then are the streams and the format known.
    const bool prerolled = SetState(GST_STATE_PAUSED);
    building_ = false;
    if (!prerolled || ctx_.rp.frame_bytes <= 0) {
        while (GstMessage* m = PopEvent()) {
            GError* err = nullptr;
            if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) gst_message_parse_error(m, &err, nullptr);
            if (err) std::fprintf(stderr, "replay: %s\n", err->message);
            g_clear_error(&err);
            gst_message_unref(m);
        }
        if (ctx_.rp.frame_bytes > 0) return fail("DXE2007:Cannot render reolay window");
        return fail(wmv ? "UE058: Failed to connect WMV Decoder " : "UE059: Failed to connect AVI file source");
    }

    try {
        frame_buf_.assign(static_cast<size_t>(ctx_.rp.frame_bytes), 0);
    } catch (const std::bad_alloc&) {
        return fail("Insufficient memory available for Replay SnapShot");
    }
    ctx_.rp.frame_buf = frame_buf_.data();

    gint64 ns = 0;
    duration_ = gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &ns) && ns > 0 ? ToHns(ns) : 0;
    position_ = 0;
    if (observer_) observer_->SliderRange(duration_ / 10000);
    return true;
}

void CReplayThread::Teardown() {
    building_ = false;
    ctx_.rp.frame_buf = nullptr;
    if (pipeline_) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
    while (GstMessage* m = PopEvent()) gst_message_unref(m);
    rf_ = nullptr;
    video_tail_ = nullptr;
    {
        std::lock_guard<std::mutex> lock(audio_mu_);
        if (audio_sink_) gst_object_unref(audio_sink_);  // ours, or the pipeline's extra ref
        audio_sink_ = nullptr;
        audio_linked_ = false;
    }
    std::vector<uint8_t>().swap(frame_buf_);
    state_ = kReplayNone;
}

}  // namespace vlx

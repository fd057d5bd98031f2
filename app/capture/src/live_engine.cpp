#include "vlx/capture/live_engine.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <unistd.h>

#include "vlx/app/report.h"
#include "vlx/clips/records.h"
#include "vlx/clips/storage.h"
#include "vlx/messages.h"

namespace vlx {
namespace {

constexpr const char* kHr = "0x80004005";  // the generic failure code of the messages
constexpr GstClockTime kVideoEncoderOffset = GST_SECOND * 60 * 60 * 1000;

GstElement* Make(const char* factory, const char* name = nullptr) {
    return gst_element_factory_make(factory, name);
}

// Links src to the muxer's request pad of this template ("video_%u" or
// "audio_%u"): a plain element link could hand video an audio pad.
bool LinkToMux(GstElement* src, GstElement* mux, const char* templ) {
    GstPad* mpad = gst_element_request_pad_simple(mux, templ);
    if (!mpad) return false;
    GstPad* spad = gst_element_get_static_pad(src, "src");
    bool ok = spad && gst_pad_link(spad, mpad) == GST_PAD_LINK_OK;
    if (spad) gst_object_unref(spad);
    gst_object_unref(mpad);
    return ok;
}

bool IsGray(const Guid& g) { return g == kSubtypeRGB8 || g == kSubtypeY800; }

int OutputKindOf(const char* codec) {
    if (std::strcmp(codec, "AVI") == 0) return kOutputAvi;
    if (std::strcmp(codec, "WMV") == 0) return kOutputWmv;
    return kOutputCodec;
}

// "3:x264enc" -> "x264enc".
std::string EncoderFactoryOf(const char* entry) {
    const char* colon = std::strchr(entry, ':');
    return colon ? std::string(colon + 1) : std::string(entry);
}

}  // namespace

struct LiveEngine::Writer {
    GstElement* bin = nullptr;
    GstElement* filesink = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool eos = false;

    static GstPadProbeReturn OnSinkEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto* w = static_cast<Writer*>(data);
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
            std::lock_guard<std::mutex> lock(w->mu);
            w->eos = true;
            w->cv.notify_all();
        }
        return GST_PAD_PROBE_OK;
    }
};

LiveEngine::LiveEngine(AppContext& ctx, LiveEngineOptions options) : ctx_(ctx), opt_(std::move(options)) {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
}

LiveEngine::~LiveEngine() { TearDown(); }

std::string LiveEngine::last_error() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_error_;
}

bool LiveEngine::AllocateBuffers(bool gray8) {
    DetectParams& dp = ctx_.dp;
    switch (buffers_.Allocate(dp, gray8, has_audio_)) {
        case BlockBuffers::kNone: break;
        case BlockBuffers::kShift: return ErrorBox("UM013: Insufficient memory available for Shift Buffer"), false;
        case BlockBuffers::kAudio: return ErrorBox("UM014: Insufficient memory available for Audio Shift Buffer"), false;
        case BlockBuffers::kMask: return ErrorBox("Insufficient memory available for Mask"), false;
        case BlockBuffers::kHitMap: return ErrorBox("UM015: Insufficient memory available for HitMap"), false;
        case BlockBuffers::kAvrMap: return ErrorBox("UM016: Insufficient memory available for AvrMap"), false;
        case BlockBuffers::kSnapshot: return ErrorBox("UM017: Insufficient memory available for SnapShot"), false;
        case BlockBuffers::kObjMap: return ErrorBox("UM018: Insufficient memory available for ObjMap"), false;
    }
    // The mask comes with the block; hit map and the rest start cleared.
    ReadAreaMask(ctx_, true, area_);
    return true;
}

bool LiveEngine::CreateElement() {
    vlx2f_ = Make("vlx2f", "VLXFilter");
    if (!vlx2f_) {
        // "Registering" the module: scan the program directory for the plugin
        // file and try once more.
        std::string lib = std::string(ctx_.program_dir) + "/libgstvlx2f.so";
        GstPlugin* plugin = gst_plugin_load_file(lib.c_str(), nullptr);
        if (plugin) {
            gst_object_unref(plugin);
        } else if (gst_registry_scan_path(gst_registry_get(), ctx_.program_dir) == FALSE) {
            ErrorBox("UE001:UNABLE TO REGISTER %s", lib.c_str());
        }
        vlx2f_ = Make("vlx2f", "VLXFilter");
        if (!vlx2f_) return ErrorBox("UM019: Cannot Find VLX2F"), false;
    }
    // A file played faster than real time takes its frame clock from the
    // stream, so clip times stay a frame period apart.
    if (opt_.fast && ctx_.dp.fileinmode) g_object_set(vlx2f_, "stream-clock", TRUE, nullptr);
    // A file is examined from its first frame, whatever the preroll does, so
    // the same file always gives the same clips.
    if (ctx_.dp.fileinmode) g_object_set(vlx2f_, "arm-on-caps", TRUE, nullptr);
    if (!gst_bin_add(GST_BIN(pipeline_), vlx2f_)) {
        vlx2f_ = nullptr;
        return ErrorBox("UE023: Cannot add VLXFilter to graph"), false;
    }
    gint32 version = 0, reserved = 0;
    gint hr = -1;
    g_signal_emit_by_name(vlx2f_, "init", &ctx_.dp, &version, &reserved, &hr);
    if (hr != 0 || version != kDetectVersion) {
        return ErrorBox("UM020: VLX2F.ax varsion invalid. Please re-install"), false;
    }
    // Count the frames that reach the element (the station's summary and the
    // gap between clips).
    GstPad* in = gst_element_get_static_pad(vlx2f_, "Input");
    gst_pad_add_probe(
        in, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) -> GstPadProbeReturn {
            ++static_cast<LiveStats*>(data)->frames_in;
            return GST_PAD_PROBE_OK;
        },
        &stats_, nullptr);
    gst_pad_add_probe(
        in, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
            if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
                static_cast<LiveEngine*>(data)->input_ended_ = true;
            }
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    gst_object_unref(in);
    return true;
}

bool LiveEngine::LinkPreviewAndAudio() {
    const bool file = ctx_.dp.fileinmode != 0;
    GstElement* src = source_.bin;
    GstPad* video = gst_element_get_static_pad(src, "video");
    GstPad* in = gst_element_get_static_pad(vlx2f_, "Input");
    GstPadLinkReturn lr = (video && in) ? gst_pad_link(video, in) : GST_PAD_LINK_REFUSED;
    if (video) gst_object_unref(video);
    if (in) gst_object_unref(in);
    if (lr != GST_PAD_LINK_OK) {
        if (file) return ErrorBox("UE025: Cannot connect F-U"), false;
        return ErrorBox("UM021: Resolution or Media type not matched"), false;
    }

    // Preview: a file plays at its own pace through a blocking queue; a live
    // camera must never be held up by a slow display, so its queue leaks.
    GstElement* pq = Make("queue", "PreviewQueue");
    GstElement* psink = opt_.make_preview_sink ? opt_.make_preview_sink() : Make(opt_.preview_sink.c_str(), "VideoRenderer");
    if (!pq || !psink) {
        if (pq) gst_object_unref(pq);
        if (psink) gst_object_unref(psink);
        return ErrorBox(file ? "UE026: Cannot render preview window" : "UE034: Cannot render preview window"), false;
    }
    g_object_set(pq, "max-size-buffers", 3u, "max-size-bytes", 0u, "max-size-time", static_cast<guint64>(0), nullptr);
    if (source_.live) g_object_set(pq, "leaky", 2 /* downstream */, nullptr);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(psink), "sync")) {
        g_object_set(psink, "sync", (file && !opt_.fast) ? TRUE : FALSE, nullptr);
    }
    gst_bin_add_many(GST_BIN(pipeline_), pq, psink, nullptr);
    if (!gst_element_link_pads(vlx2f_, "Output1", pq, "sink") || !gst_element_link(pq, psink)) {
        return ErrorBox(file ? "UE026: Cannot render preview window" : "UE034: Cannot render preview window"), false;
    }

    if (!has_audio_) return true;
    GstElement* tee = Make("tee", "AudioTee");
    if (!tee) return ErrorBox("UE036: Cannot create Inftee"), false;
    if (!gst_bin_add(GST_BIN(pipeline_), tee)) return ErrorBox("UE037: Cannot add Inftee"), false;
    audio_tee_ = tee;
    GstElement* sq = Make("queue", "SoundQueue");
    GstElement* snd = Make(opt_.sound_sink.c_str(), "Sound Renderer");
    if (!snd) snd = Make("fakesink", "Sound Renderer");
    if (!sq || !snd) return ErrorBox("UE038: Cannot create Sound Renderer"), false;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(snd), "sync")) {
        g_object_set(snd, "sync", (file && !opt_.fast) ? TRUE : FALSE, nullptr);
    }
    if (source_.live) g_object_set(sq, "leaky", 2, nullptr);
    gst_bin_add_many(GST_BIN(pipeline_), sq, snd, nullptr);
    // The element keeps audio in slots of one frame period of 48 kHz 16-bit
    // stereo and delays it in frame steps: give it exactly that, whatever the
    // source's rate, layout and buffer size (a file's audio chunks can be a
    // second long, which would stall the capture writer waiting for sound).
    GstElement* aq = Make("queue", "DetectAudioQueue");
    GstElement* aconv = Make("audioconvert", "DetectAudioConvert");
    GstElement* ares = Make("audioresample", "DetectAudioResample");
    GstElement* acaps = Make("capsfilter", "DetectAudioCaps");
    GstElement* asplit = Make("audiobuffersplit", "DetectAudioSplit");
    if (!aq || !aconv || !ares || !acaps || !asplit) return ErrorBox("UE019:Cannot render audio preview stream"), false;
    GstCaps* caps = gst_caps_from_string("audio/x-raw,format=S16LE,rate=48000,channels=2,layout=interleaved");
    g_object_set(acaps, "caps", caps, nullptr);
    gst_caps_unref(caps);
    int num = 30000, den = 1001;
    capture::WantedFrameRate(ctx_.dp.fps, &num, &den);
    g_object_set(asplit, "output-buffer-duration", den, num, nullptr);
    gst_bin_add_many(GST_BIN(pipeline_), aq, aconv, ares, acaps, asplit, nullptr);
    GstPad* audio = gst_element_get_static_pad(src, "audio");
    GstPad* tee_in = gst_element_get_static_pad(tee, "sink");
    bool ok = audio && tee_in && gst_pad_link(audio, tee_in) == GST_PAD_LINK_OK;
    if (audio) gst_object_unref(audio);
    if (tee_in) gst_object_unref(tee_in);
    ok = ok && gst_element_link(tee, sq) && gst_element_link(sq, snd) && gst_element_link(tee, aq) &&
         gst_element_link_many(aq, aconv, ares, acaps, asplit, nullptr) &&
         gst_element_link_pads(asplit, "src", vlx2f_, "Input Audio");
    if (!ok) return ErrorBox("UE019:Cannot render audio preview stream"), false;
    return true;
}

bool LiveEngine::Build() {
    if (pipeline_) return true;
    DetectParams& dp = ctx_.dp;
    pipeline_ = gst_pipeline_new("live");
    if (!pipeline_) return ErrorBox("UE011: Cannot create live graph"), false;
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &LiveEngine::OnBusMessage, this, nullptr);
    gst_object_unref(bus);

    if (!capture::BuildSource(ctx_, &source_)) return false;
    has_audio_ = source_.has_audio;
    gst_bin_add(GST_BIN(pipeline_), source_.bin);

    if (!AllocateBuffers(IsGray(source_.subtype))) return false;
    EnsureRgbBuffer(ctx_);

    dp.detect_on = 0;
    dp.force_trig = 0;
    dp.rec_remain = 0;
    dp.clip_count = 0;
    dp.clip_started = 0;
    dp.drop_count = 0;
    dp.clip_result = 0;
    dp.audio_48k = source_.audio_48k ? 1 : 0;
    int speed = ctx_.ap.smspeed < 1 ? 1 : (ctx_.ap.smspeed > 6 ? 6 : ctx_.ap.smspeed);
    dp.avr_keep = kAvrKeep[speed - 1];
    dp.avr_gain = kAvrGain[speed - 1];
    dp.rec_line = std::strcmp(ctx_.ap.dv_codec, "AVI") == 0 ? 1 : 0;
    if (dp.fileinmode) {
        dp.warmup = 4;
    } else if (dp.fps < 0.01) {
        dp.warmup = 30;
    } else {
        dp.warmup = static_cast<int32_t>(dp.sm_on ? 4.0 * dp.fps : dp.fps);
    }

    if (!CreateElement()) return false;
    if (!LinkPreviewAndAudio()) return false;
    return PrepareOutputFile();
}

GstElement* LiveEngine::MakeWriterBin(const std::string& path, std::string* error) {
    const int kind = ctx_.output_kind;
    const bool audio = has_audio_ || kind == kOutputWmv;
    GstElement* bin = gst_bin_new("Writer");
    GstElement* vq = Make("queue", "CaptureQueue");
    GstElement* mux = Make(kind == kOutputWmv ? "asfmux" : "avimux", "Mux");
    GstElement* sink = Make("filesink", "File Writer");
    if (!bin || !vq || !mux || !sink) {
        *error = kind == kOutputWmv ? "UE005:Cannot set WMV output file" : "UE008: Cannot config output file";
        for (GstElement* e : {bin, vq, mux, sink}) {
            if (e) gst_object_unref(e);
        }
        return nullptr;
    }
    // Room for two seconds of frames: a muxer interleaving sound holds video
    // back until the matching sound arrives, and a full queue would stall the
    // element (and with it a source that also delivers the sound). Slots
    // still queued when the ring laps them are copied by the element.
    g_object_set(vq, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", 2 * GST_SECOND, nullptr);
    g_object_set(sink, "location", path.c_str(), "async", FALSE, "sync", FALSE, nullptr);
    gst_bin_add_many(GST_BIN(bin), vq, mux, sink, nullptr);

    GstElement* last = vq;
    if (kind == kOutputWmv || kind == kOutputCodec) {
        GstElement* conv = Make("videoconvert", "CaptureConvert");
        GstElement* enc = nullptr;
        if (kind == kOutputWmv) {
            enc = Make("avenc_wmv2", "codec");
            // Two presets: a lower rate up to 600 pixels wide, a higher one above.
            if (enc) g_object_set(enc, "bitrate", ctx_.dp.cx <= 600 ? 1000000 : 4000000, nullptr);
        } else {
            enc = Make(EncoderFactoryOf(ctx_.ap.dv_codec).c_str(), "codec");
        }
        if (!conv || !enc) {
            *error = kind == kOutputWmv ? "UE007:Cannot set WMV media format" : "DXE02007: Cannot add codec";
            if (conv) gst_object_unref(conv);
            if (enc) gst_object_unref(enc);
            gst_object_unref(bin);
            return nullptr;
        }
        gst_bin_add_many(GST_BIN(bin), conv, enc, nullptr);
        if (!gst_element_link_many(vq, conv, enc, nullptr)) {
            *error = "UE009:Cannot render U->Writer stream";
            gst_object_unref(bin);
            return nullptr;
        }
        last = enc;
    }
    if (!LinkToMux(last, mux, "video_%u") || !gst_element_link(mux, sink)) {
        *error = "UE009:Cannot render U->Writer stream";
        gst_object_unref(bin);
        return nullptr;
    }
    GstPad* vpad = gst_element_get_static_pad(vq, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("video", vpad));
    gst_object_unref(vpad);

    if (audio) {
        GstElement* aq = Make("queue", "CaptureAudioQueue");
        GstElement* aconv = Make("audioconvert", nullptr);
        gst_bin_add_many(GST_BIN(bin), aq, aconv, nullptr);
        GstElement* alast = aconv;
        bool ok = gst_element_link(aq, aconv);
        if (kind == kOutputWmv) {
            GstElement* ares = Make("audioresample", nullptr);
            GstElement* aenc = Make("avenc_wmav2", nullptr);
            if (ares && aenc) {
                g_object_set(aenc, "bitrate", ctx_.dp.cx <= 600 ? 64000 : 128000, nullptr);
                gst_bin_add_many(GST_BIN(bin), ares, aenc, nullptr);
                ok = ok && gst_element_link_many(aconv, ares, aenc, nullptr);
                alast = aenc;
            } else {
                ok = false;
            }
        }
        ok = ok && LinkToMux(alast, mux, "audio_%u");
        if (ok && kind == kOutputWmv) {
            // The video encoders shift their output by 1000 hours so that no
            // decoding time is negative; the audio encoder does not. Shift the
            // sound the same way, or the muxer would wait for 1000 hours of it
            // before the first picture and the writer would stall.
            GstPad* in = gst_element_get_static_pad(aq, "src");
            gst_pad_add_probe(
                in, GST_PAD_PROBE_TYPE_BUFFER,
                [](GstPad*, GstPadProbeInfo* info, gpointer) -> GstPadProbeReturn {
                    GstBuffer* b = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
                    if (GST_BUFFER_PTS_IS_VALID(b)) GST_BUFFER_PTS(b) += kVideoEncoderOffset;
                    GST_PAD_PROBE_INFO_DATA(info) = b;
                    return GST_PAD_PROBE_OK;
                },
                nullptr, nullptr);
            gst_object_unref(in);
        }
        if (ok) {
            GstPad* apad = gst_element_get_static_pad(aq, "sink");
            gst_element_add_pad(bin, gst_ghost_pad_new("audio", apad));
            gst_object_unref(apad);
        } else {
            g_message("capture file %s gets no audio track", path.c_str());
        }
    }
    return bin;
}

bool LiveEngine::PrepareOutputFile() {
    if (!EnsureFreeSpace(ctx_)) return false;
    ctx_.output_kind = OutputKindOf(ctx_.ap.dv_codec);
    if (ctx_.output_kind == kOutputCodec) {
        GstElementFactory* f = gst_element_factory_find(EncoderFactoryOf(ctx_.ap.dv_codec).c_str());
        if (!f) return ErrorBox("DXE02007: Cannot add codec"), false;
        gst_object_unref(f);
    }
    // The last clip's file may still wait for the finisher under its
    // temporary name: never open that one again.
    const int64_t t = ctx_.CaptureNow() + 1;
    temp_path_ = MakeClipPath(ctx_, t, 'T', '_');
    for (int64_t bump = 1; bump <= 600 && access(temp_path_.c_str(), F_OK) == 0; ++bump) {
        temp_path_ = MakeClipPath(ctx_, t + bump, 'T', '_');
    }

    std::string error;
    GstElement* bin = MakeWriterBin(temp_path_, &error);
    if (!bin) return ErrorBox("%s", error.c_str()), false;
    auto w = std::make_unique<Writer>();
    w->bin = bin;
    w->filesink = gst_bin_get_by_name(GST_BIN(bin), "File Writer");
    GstPad* fpad = gst_element_get_static_pad(w->filesink, "sink");
    gst_pad_add_probe(fpad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, &Writer::OnSinkEvent, w.get(), nullptr);
    gst_object_unref(fpad);
    gst_bin_add(GST_BIN(pipeline_), bin);

    if (!gst_element_link_pads(vlx2f_, "Output2", bin, "video")) {
        writer_ = std::move(w);
        ErrorBox("UE009:Cannot render U->Writer stream");
        std::this_thread::sleep_for(std::chrono::seconds(10));
        return false;
    }
    if (has_audio_ || ctx_.output_kind == kOutputWmv) {
        GstPad* apad = gst_element_get_static_pad(bin, "audio");
        if (apad) {
            gst_object_unref(apad);
            gst_element_link_pads(vlx2f_, "Audio Capture", bin, "audio");
        }
    }
    gst_element_sync_state_with_parent(bin);
    writer_ = std::move(w);
    return true;
}

void LiveEngine::ReleaseWriter() {
    if (!writer_) return;
    Writer& w = *writer_;
    GstPad* cap = gst_element_get_static_pad(vlx2f_, "Output2");
    GstPad* aud = gst_element_get_static_pad(vlx2f_, "Audio Capture");
    // Sound first: a muxer waiting for sound holds the video queue full, and
    // the video end-of-stream could not get in until the sound has ended.
    for (GstPad* p : {aud, cap}) {
        if (!p) continue;
        GstPad* peer = gst_pad_get_peer(p);
        if (peer) {
            gst_pad_unlink(p, peer);
            // Finish the stream on the writer's side: the muxer completes the
            // file only when end-of-stream reaches it.
            gst_pad_send_event(peer, gst_event_new_eos());
            gst_object_unref(peer);
        }
        gst_object_unref(p);
    }
    GstState state = GST_STATE_NULL;
    gst_element_get_state(w.bin, &state, nullptr, 0);
    if (state >= GST_STATE_PAUSED) {
        std::unique_lock<std::mutex> lock(w.mu);
        if (!w.cv.wait_for(lock, std::chrono::seconds(10), [&] { return w.eos; })) {
            g_warning("capture file %s: end-of-stream did not reach the file in 10 s", temp_path_.c_str());
        }
    }
    gst_element_set_state(w.bin, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(pipeline_), w.bin);
    if (w.filesink) gst_object_unref(w.filesink);
    writer_.reset();
}

bool LiveEngine::Run() {
    if (!pipeline_) return false;
    if (running_) {
        g_signal_emit_by_name(vlx2f_, "rearm");
        {
            std::lock_guard<std::mutex> lock(mu_);
            ++rearms_;
        }
        if (clip_end_us_ > 0) {
            int64_t us = g_get_monotonic_time() - clip_end_us_;
            if (us > stats_.max_gap_us) stats_.max_gap_us = us;
            clip_end_us_ = 0;
        }
        int64_t gap = stats_.frames_in - frames_at_clip_end_;
        if (frames_at_clip_end_ >= 0 && gap >= 0) {
            stats_.gap_frames += gap;
            ++stats_.gaps;
            if (gap > stats_.max_gap_frames) stats_.max_gap_frames = gap;
        }
        frames_at_clip_end_ = -1;
        ReleaseSource();
        return true;
    }
    if (ctx_.output_kind == kOutputWmv && !has_audio_) {
        ErrorBox("UM035: WMV needs audio source\n Please Set Audio device");
        return false;
    }
    if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        ErrorBox("UE041: Couldn't run the graph!  hr=%s", kHr);
        return false;
    }
    running_ = true;
    return true;
}

void LiveEngine::HoldSource() {
    std::lock_guard<std::mutex> lock(mu_);
    if (hold_pad_ || !vlx2f_) return;
    GstPad* in = gst_element_get_static_pad(vlx2f_, "Input");
    hold_pad_ = gst_pad_get_peer(in);
    gst_object_unref(in);
    if (!hold_pad_) return;
    hold_probe_ = gst_pad_add_probe(
        hold_pad_, GST_PAD_PROBE_TYPE_BLOCK_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo*, gpointer) -> GstPadProbeReturn { return GST_PAD_PROBE_OK; }, nullptr, nullptr);
}

void LiveEngine::ReleaseSource() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!hold_pad_) return;
    gst_pad_remove_probe(hold_pad_, hold_probe_);
    gst_object_unref(hold_pad_);
    hold_pad_ = nullptr;
    hold_probe_ = 0;
}

GstBusSyncReply LiveEngine::OnBusMessage(GstBus*, GstMessage* msg, gpointer data) {
    auto* self = static_cast<LiveEngine*>(data);
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ELEMENT: {
            const GstStructure* s = gst_message_get_structure(msg);
            if (s && gst_structure_has_name(s, "vlx2f-clip-end")) {
                // Runs on the streaming thread right after the clip's last
                // frame: hold a file source here so no frame passes unexamined
                // while the live thread finishes the clip.
                // The live thread may have re-armed already (the element's
                // message to it comes first): then nothing is held.
                bool rearmed;
                {
                    std::lock_guard<std::mutex> lock(self->mu_);
                    rearmed = ++self->bus_clip_ends_ <= self->rearms_;
                }
                if (!rearmed) {
                    self->frames_at_clip_end_ = self->stats_.frames_in.load();
                    self->clip_end_us_ = g_get_monotonic_time();
                    if (self->ctx_.dp.fileinmode && !self->ctx_.dp.singlefilemode) self->HoldSource();
                }
            }
            break;
        }
        case GST_MESSAGE_EOS:
            self->PostEndOfInput();
            break;
        case GST_MESSAGE_ERROR: {
            GError* err = nullptr;
            gchar* dbg = nullptr;
            gst_message_parse_error(msg, &err, &dbg);
            {
                std::lock_guard<std::mutex> lock(self->mu_);
                self->last_error_ = std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(msg))) + ": " +
                                    (err ? err->message : "error") + (dbg ? std::string(" (") + dbg + ")" : "");
            }
            if (err) g_error_free(err);
            g_free(dbg);
            PostThreadMessage(self->opt_.main_thread, WM_GRAPH_EVENT, kGraphErrorAbort,
                              static_cast<intptr_t>(0x80004005));
            break;
        }
        default:
            break;
    }
    gst_message_unref(msg);
    return GST_BUS_DROP;
}

void LiveEngine::PostEndOfInput() {
    if (!eos_posted_.exchange(true)) PostThreadMessage(opt_.main_thread, WM_GRAPH_EVENT, kGraphComplete, 0);
}

void LiveEngine::HoldAtStart() { HoldSource(); }
void LiveEngine::ReleaseStart() { ReleaseSource(); }

void LiveEngine::TearDown() {
    if (!pipeline_) {
        buffers_.Release(ctx_.dp);
        return;
    }
    ReleaseWriter();
    ReleaseSource();
    if (gst_element_set_state(pipeline_, GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE) {
        ErrorBox("UE004: DxErr Couldn't stop the graph!  hr=%s", kHr);
    }
    DetectParams& dp = ctx_.dp;
    if (dp.snap_ready && dp.snapshot) {
        SnapshotToRgb(ctx_);
        dp.snap_ready = 0;
    }
    ctx_.output_kind = kOutputNone;
    gst_object_unref(pipeline_);
    pipeline_ = nullptr;
    vlx2f_ = nullptr;
    audio_tee_ = nullptr;
    source_.Reset();
    running_ = false;
    bus_clip_ends_ = rearms_ = 0;
    frames_at_clip_end_ = -1;
    input_ended_ = false;
    eos_posted_ = false;
    buffers_.Release(dp);
}

void LiveEngine::CallReserved() {
    if (!vlx2f_) return;
    gint hr = 0;
    g_signal_emit_by_name(vlx2f_, "reserved", 0, &hr);
}

double LiveEngine::Progress() const {
    if (!pipeline_) return -1;
    gint64 pos = 0, dur = 0;
    if (!gst_element_query_position(pipeline_, GST_FORMAT_TIME, &pos) ||
        !gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &dur) || dur <= 0) {
        return -1;
    }
    return static_cast<double>(pos) / static_cast<double>(dur);
}

}  // namespace vlx

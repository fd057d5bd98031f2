// The source bin of the live pipeline for each kind of input.
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>

#include "devices_internal.h"
#include "vlx/app/report.h"
#include "vlx/capture/sources.h"
#include "vlx/capture/v4l2_device.h"

namespace vlx::capture {

SourceParts& SourceParts::operator=(SourceParts&& o) noexcept {
    if (this != &o) {
        Reset();
        bin = o.bin;
        o.bin = nullptr;
        has_audio = o.has_audio;
        subtype_req = o.subtype_req;
        subtype = o.subtype;
        audio_48k = o.audio_48k;
        live = o.live;
        kind = o.kind;
        video_node = std::move(o.video_node);
        inputs = std::move(o.inputs);
        o.Reset();
    }
    return *this;
}

void SourceParts::Reset() {
    if (bin) gst_object_unref(bin);
    bin = nullptr;
    has_audio = false;
    subtype_req = kGuidNull;
    subtype = kGuidNull;
    audio_48k = false;
    live = false;
    kind = SourceKind::kNone;
    video_node.clear();
    inputs = InputLists{};
}

namespace {

using detail::Negotiated;

// How long a file or network camera may take to tell its streams.
constexpr GstClockTime kDiscoverTimeout = 10 * GST_SECOND;


std::string Field(const char* text, size_t cap) { return std::string(text, strnlen(text, cap)); }

bool WantsAudio(const Settings& ap) { return ap.dv_audio[0] != '\0' && std::strcmp(ap.dv_audio, kNoAudio) != 0; }

bool IsNetworkAddress(const std::string& s) {
    for (const char* scheme : {"rtsp://", "rtsps://", "rtspt://", "http://", "https://"}) {
        if (g_ascii_strncasecmp(s.c_str(), scheme, std::strlen(scheme)) == 0) return true;
    }
    return false;
}

GstElement* Make(const char* factory, const char* name = nullptr) { return gst_element_factory_make(factory, name); }

GstElement* MakeCapsFilter(GstCaps* caps, const char* name = nullptr) {
    GstElement* f = Make("capsfilter", name);
    g_object_set(f, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return f;
}

void Ghost(GstElement* bin, GstElement* inner, const char* name) {
    GstPad* target = gst_element_get_static_pad(inner, "src");
    gst_element_add_pad(bin, gst_ghost_pad_new(name, target));
    gst_object_unref(target);
}

// A fakesink in the bin for a stream nobody takes, so that its source does not
// stop the others with not-linked.
void Discard(GstBin* bin, GstPad* pad) {
    GstElement* sink = Make("fakesink");
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(bin, sink);
    gst_element_sync_state_with_parent(sink);
    GstPad* sinkpad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, sinkpad);
    gst_object_unref(sinkpad);
}

// Links `pad` to the sink pad of the element called `target` in `bin` when
// that is still free; else the stream is discarded.
void LinkOrDiscard(GstBin* bin, GstPad* pad, const char* target) {
    GstElement* next = target ? gst_bin_get_by_name(bin, target) : nullptr;
    GstPad* sinkpad = next ? gst_element_get_static_pad(next, "sink") : nullptr;
    bool linked = sinkpad && !gst_pad_is_linked(sinkpad) && gst_pad_link(pad, sinkpad) == GST_PAD_LINK_OK;
    if (sinkpad) gst_object_unref(sinkpad);
    if (next) gst_object_unref(next);
    if (!linked) Discard(bin, pad);
}

std::string MediaOf(GstPad* pad) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    std::string media;
    if (caps && !gst_caps_is_empty(caps) && !gst_caps_is_any(caps)) media = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    if (caps) gst_caps_unref(caps);
    return media;
}

// The audio branch: anything raw to S16LE interleaved (at 48 kHz when asked).
GstElement* AddAudioBranch(GstBin* bin, bool rate_48k, const char* first_name, bool with_queue) {
    GstElement* queue = with_queue ? Make("queue", first_name) : nullptr;
    GstElement* conv = Make("audioconvert", with_queue ? nullptr : first_name);
    GstElement* resample = Make("audioresample");
    GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout", G_TYPE_STRING,
                                        "interleaved", nullptr);
    if (rate_48k) gst_caps_set_simple(caps, "rate", G_TYPE_INT, 48000, nullptr);
    GstElement* filter = MakeCapsFilter(caps, "audio-caps");
    if (queue) gst_bin_add(bin, queue);
    gst_bin_add_many(bin, conv, resample, filter, nullptr);
    if (queue) gst_element_link(queue, conv);
    gst_element_link_many(conv, resample, filter, nullptr);
    Ghost(GST_ELEMENT(bin), filter, "audio");
    return queue ? queue : conv;
}

// ---- files and network cameras ------------------------------------------------------------

void OnDecodedPad(GstElement* decoder, GstPad* pad, gpointer) {
    GstObject* parent = gst_element_get_parent(decoder);
    if (!parent) return;
    std::string media = MediaOf(pad);
    const char* target = nullptr;
    if (media.rfind("video/", 0) == 0) target = "vconv";
    if (media.rfind("audio/", 0) == 0) target = "aconv";
    LinkOrDiscard(GST_BIN(parent), pad, target);
    gst_object_unref(parent);
}

// The raw format the video pad delivers for a stream: its own when it is
// already one the detection element takes, else the nearest of them.
std::string FileVideoFormat(GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps)) return "I420";
    GstStructure* s = gst_caps_get_structure(caps, 0);
    if (gst_structure_has_name(s, "video/x-raw")) {
        const char* f = gst_structure_get_string(s, "format");
        if (f && detail::SubtypeOfFormat(f) != kGuidNull) return f;
        if (f && g_str_has_prefix(f, "GRAY")) return "GRAY8";
    }
    return "I420";
}

// A codec in words: the container's four-character code when it does not
// know the codec, else GStreamer's description of the caps.
std::string CodecName(GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps)) return {};
    const GstStructure* cs = gst_caps_get_structure(caps, 0);
    gint ifourcc = 0;
    guint fourcc = 0;
    if (gst_structure_get_int(cs, "fourcc", &ifourcc)) fourcc = static_cast<guint>(ifourcc);
    else gst_structure_get_uint(cs, "fourcc", &fourcc);
    std::string codec;
    if (fourcc != 0) {
        for (int i = 0; i < 4; ++i) codec += static_cast<char>((fourcc >> (8 * i)) & 0xFF);
    } else if (gchar* d = gst_pb_utils_get_codec_description(caps)) {
        codec = d;
        g_free(d);
    } else {
        codec = gst_structure_get_name(cs);
    }
    return codec;
}

}  // namespace

VideoFileFacts ProbeVideoFile(const std::string& name) {
    VideoFileFacts f;
    const bool network = IsNetworkAddress(name);
    auto fail = [&f](const char* code, std::string reason) {
        f.code = code;
        f.reason = std::move(reason);
        return f;
    };
    std::string uri;
    if (network || g_str_has_prefix(name.c_str(), "file://")) {
        uri = name;
    } else {
        struct stat st{};
        if (name.empty()) return fail("UE-DGB:Failed to connect AVI file source", "no file named");
        if (stat(name.c_str(), &st) != 0) {
            return fail("UE-DGB:Failed to connect AVI file source",
                        name + ": " + (errno == ENOENT || errno == ENOTDIR ? "no such file" : std::strerror(errno)));
        }
        if (S_ISDIR(st.st_mode)) return fail("UE-DGB:Failed to connect AVI file source", name + ": a folder, not a file");
        if (!S_ISREG(st.st_mode)) return fail("UE-DGB:Failed to connect AVI file source", name + ": not a regular file");
        if (access(name.c_str(), R_OK) != 0) {
            return fail("UE-DGB:Failed to connect AVI file source", name + ": not readable (" + std::strerror(errno) + ")");
        }
        gchar* u = gst_filename_to_uri(name.c_str(), nullptr);
        if (!u) return fail("UE-DGB:Failed to connect AVI file source", name + ": not a usable path");
        uri = u;
        g_free(u);
    }

    GError* err = nullptr;
    GstDiscoverer* disc = gst_discoverer_new(kDiscoverTimeout, &err);
    if (!disc) {
        std::string why = err ? err->message : "cannot look into media files";
        g_clear_error(&err);
        return fail("UE-DGB:Failed to connect AVI file source", why);
    }
    GstDiscovererInfo* info = gst_discoverer_discover_uri(disc, uri.c_str(), &err);
    const std::string err_text = err ? err->message : "";
    g_clear_error(&err);
    gst_object_unref(disc);
    const GstDiscovererResult result = info ? gst_discoverer_info_get_result(info) : GST_DISCOVERER_ERROR;

    GList* videos = info ? gst_discoverer_info_get_video_streams(info) : nullptr;
    GList* audios = info ? gst_discoverer_info_get_audio_streams(info) : nullptr;
    f.has_audio = audios != nullptr;
    std::string codec;
    if (videos) {
        auto* v = GST_DISCOVERER_VIDEO_INFO(videos->data);
        f.width = static_cast<int>(gst_discoverer_video_info_get_width(v));
        f.height = static_cast<int>(gst_discoverer_video_info_get_height(v));
        f.fps_n = static_cast<int>(gst_discoverer_video_info_get_framerate_num(v));
        f.fps_d = static_cast<int>(gst_discoverer_video_info_get_framerate_denom(v));
        if (f.fps_d <= 0) f.fps_n = 0, f.fps_d = 1;
        GstCaps* caps = gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(v));
        f.format = FileVideoFormat(caps);
        if (caps) {
            codec = CodecName(caps);
            gst_caps_unref(caps);
        }
    }
    gst_discoverer_stream_info_list_free(videos);
    gst_discoverer_stream_info_list_free(audios);
    if (result == GST_DISCOVERER_MISSING_PLUGINS && codec.empty() && info) {
        // "gstreamer|1.0|app|<what is missing>|<kind>-<caps>": the codec as
        // GStreamer names the missing part.
        if (const gchar** details = gst_discoverer_info_get_missing_elements_installer_details(info);
            details && details[0]) {
            gchar** fields = g_strsplit(details[0], "|", 5);
            if (g_strv_length(fields) >= 5) {
                const char* what = std::strchr(fields[4], '-');
                if (GstCaps* c = what ? gst_caps_from_string(what + 1) : nullptr) {
                    codec = CodecName(c);
                    gst_caps_unref(c);
                }
                if (codec.empty()) codec = fields[3];
            }
            g_strfreev(fields);
        }
    }
    if (info) gst_discoverer_info_unref(info);

    switch (result) {
        case GST_DISCOVERER_OK: break;
        case GST_DISCOVERER_MISSING_PLUGINS:
            return fail("UE025: Cannot connect F-U",
                        name + ": no decoder for codec " + (codec.empty() ? std::string("(unknown)") : codec));
        case GST_DISCOVERER_URI_INVALID: return fail("UE-DGB:Failed to connect AVI file source", name + ": not a usable address");
        case GST_DISCOVERER_TIMEOUT: return fail("UE-DGB:Failed to connect AVI file source", name + ": no answer in 10 s");
        default:
            // A network camera that does not answer, or a file that is no
            // media file.
            if (network) {
                return fail("UE-DGB:Failed to connect AVI file source",
                            name + ": " + (err_text.empty() ? std::string("no answer") : err_text));
            }
            return fail("UE-DEG: Cannot connect A-S", name + ": not a video file");
    }
    if (f.width <= 0) return fail("UE025: Cannot connect F-U", name + " has no video");
    f.ok = true;
    return f;
}

namespace {

bool BuildFileSource(AppContext& ctx, SourceParts* out) {
    const std::string name = Field(ctx.ap.infname, sizeof ctx.ap.infname);
    const bool network = IsNetworkAddress(name);
    const bool want_audio = WantsAudio(ctx.ap);
    const VideoFileFacts facts = ProbeVideoFile(name);
    if (!facts.ok) {
        ErrorBox("%s\n %s", facts.code.c_str(), facts.reason.c_str());
        return false;
    }
    std::string uri = name;
    if (!network && !g_str_has_prefix(name.c_str(), "file://")) {
        gchar* u = gst_filename_to_uri(name.c_str(), nullptr);
        uri = u ? u : name;
        g_free(u);
    }
    const int width = facts.width, height = facts.height;
    const bool has_audio_stream = facts.has_audio;
    std::string format = facts.format;
    // 4:2:2 pairs pixels along the row: at an odd input or working width
    // the frames are taken as 4:2:0 instead.
    if ((format == "YUY2" || format == "UYVY") && ((width | ctx.dp.cx) & 1)) format = "I420";

    const int cxin = ctx.dp.cxin;
    const int cyin = ctx.dp.cyin;
    if (width != cxin || height != cyin) {
        ErrorBox("UE025: Cannot connect F-U\n The video is %dx%d, the input size is set to %dx%d", width, height,
                 cxin, cyin);
        return false;
    }
    if (want_audio && !has_audio_stream) {
        ErrorBox("UE035:Cannot get audio pin");
        return false;
    }

    GstElement* bin = gst_bin_new("vlx-source");
    GstElement* decoder = Make("uridecodebin", "decoder");
    GstElement* vconv = Make("videoconvert", "vconv");
    GstCaps* vcaps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format.c_str(), "width", G_TYPE_INT,
                                         cxin, "height", G_TYPE_INT, cyin, nullptr);
    GstElement* vfilter = MakeCapsFilter(vcaps, "video-caps");
    if (!decoder || !vconv) {
        if (decoder) gst_object_unref(decoder);
        if (vconv) gst_object_unref(vconv);
        gst_object_unref(vfilter);
        gst_object_unref(bin);
        ErrorBox("UE-DEG: Cannot connect A-S");
        return false;
    }
    g_object_set(decoder, "uri", uri.c_str(), nullptr);
    gst_bin_add_many(GST_BIN(bin), decoder, vconv, vfilter, nullptr);
    gst_element_link(vconv, vfilter);
    Ghost(bin, vfilter, "video");
    if (want_audio) AddAudioBranch(GST_BIN(bin), false, "aconv", false);
    g_signal_connect(decoder, "pad-added", G_CALLBACK(OnDecodedPad), nullptr);

    ctx.dp.subtype_req = detail::SubtypeOfFormat(format.c_str());
    out->bin = GST_ELEMENT(gst_object_ref_sink(bin));
    out->has_audio = want_audio;
    out->subtype_req = out->subtype = ctx.dp.subtype_req;
    out->live = network;
    out->kind = network ? SourceKind::kNetwork : SourceKind::kFile;
    return true;
}

// ---- capture devices and DV cameras -------------------------------------------------------

void OnDvPad(GstElement* demux, GstPad* pad, gpointer) {
    GstObject* parent = gst_element_get_parent(demux);
    if (!parent) return;
    const gchar* name = GST_PAD_NAME(pad);
    const char* target = nullptr;
    if (std::strcmp(name, "video") == 0) target = "dv-decoder";
    if (std::strcmp(name, "audio") == 0) target = "dv-audio-queue";
    LinkOrDiscard(GST_BIN(parent), pad, target);
    gst_object_unref(parent);
}

struct PictureSize {
    int width;
    int height;
};

// Says in words what is wrong when the DV camera's picture is not the size
// the input is set to (full or twice it); the caps check after the decoder
// then stops the stream.
GstPadProbeReturn CheckDvSize(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    GstEvent* ev = gst_pad_probe_info_get_event(info);
    if (GST_EVENT_TYPE(ev) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    const auto* want = static_cast<const PictureSize*>(data);
    GstCaps* caps = nullptr;
    gst_event_parse_caps(ev, &caps);
    int w = 0;
    int h = 0;
    GstStructure* st = gst_caps_get_structure(caps, 0);
    gst_structure_get_int(st, "width", &w);
    gst_structure_get_int(st, "height", &h);
    if (w != want->width || h != want->height) {
        GstElement* dec = gst_pad_get_parent_element(pad);
        gchar* debug = g_strdup_printf("The DV camera's picture is %dx%d, the input needs %dx%d", w, h, want->width,
                                       want->height);
        GError* err = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT,
                                          "UM021: Resolution or Media type not matched");
        gst_element_post_message(dec, gst_message_new_error(GST_OBJECT(dec), err, debug));
        g_error_free(err);
        g_free(debug);
        gst_object_unref(dec);
    }
    return GST_PAD_PROBE_OK;
}

void WatchDvSize(GstElement* dec, int width, int height) {
    GstPad* src = gst_element_get_static_pad(dec, "src");
    gst_pad_add_probe(src, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, CheckDvSize, new PictureSize{width, height},
                      [](gpointer p) { delete static_cast<PictureSize*>(p); });
    gst_object_unref(src);
}

// Source pads of a device element by media type.
void FindDevicePads(GstElement* element, GstPad** video, GstPad** audio) {
    *video = nullptr;
    *audio = nullptr;
    GstIterator* it = gst_element_iterate_src_pads(element);
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstPad* pad = GST_PAD(g_value_get_object(&item));
        std::string media = MediaOf(pad);
        if (media.rfind("audio/", 0) == 0) {
            if (!*audio) *audio = GST_PAD(gst_object_ref(pad));
        } else if (!*video) {
            *video = GST_PAD(gst_object_ref(pad));
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

void LinkPadTo(GstPad* pad, GstElement* next) {
    GstPad* sinkpad = gst_element_get_static_pad(next, "sink");
    gst_pad_link(pad, sinkpad);
    gst_object_unref(sinkpad);
}

void SetAudioPeriod(GstElement* src, double fps) {
    // Audio in frame-period buffers, so that it is delayed in frame steps.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(src), "latency-time")) {
        gint64 us = fps >= 0.01 ? static_cast<gint64>(1e6 / fps) : 33367;
        g_object_set(src, "latency-time", us, nullptr);
    }
}

bool BuildDeviceSource(AppContext& ctx, SourceParts* out) {
    Settings& ap = ctx.ap;
    const std::string video_entry = Field(ap.dv_video, sizeof ap.dv_video);
    const std::string audio_entry = Field(ap.dv_audio, sizeof ap.dv_audio);
    const bool want_audio = WantsAudio(ap);

    detail::DeviceScan scan;
    scan.Run();
    GstDevice* vdev = scan.FindVideo(video_entry);
    if (!vdev) {
        ErrorBox("UM010: No video capture device");
        return false;
    }
    // The sound comes from the video device when the audio entry names it
    // (the same text, or the video device's own entry in the audio list).
    GstDevice* adev = nullptr;
    bool audio_from_video = false;
    if (want_audio) {
        adev = audio_entry == video_entry ? vdev : scan.FindAudio(audio_entry);
        if (!adev) {
            ErrorBox("UM011: No audio capture device");
            return false;
        }
        audio_from_video = adev == vdev;
    }

    const std::string node = detail::V4l2NodeOf(vdev);
    InputLists inputs;
    if (!node.empty()) {
        RouteInputsOnNode(node, ap.vpin, ap.apin, want_audio, &inputs);
        ApplyTunerOnNode(node, ap.tv_ch, ap.tv_antenna != 0);
    }

    GstCaps* dev_caps = gst_device_get_caps(vdev);
    if (!dev_caps) {
        ErrorBox("UE022:Cannot find output pin");
        return false;
    }
    Negotiated neg;
    detail::NegotiateFormat(dev_caps, ctx.dp.cxin, ctx.dp.cyin, ctx.dp.fps, &neg, ctx.dp.cx);
    gst_caps_unref(dev_caps);
    if (neg.kind == Negotiated::kNone) {
        ErrorBox("UM012:Media type not matched");
        return false;
    }

    GstElement* vcap = gst_device_create_element(vdev, "vcap");
    if (!vcap) {
        ErrorBox("UE020: Cannot add video capture device");
        return false;
    }
    GstElement* bin = gst_bin_new("vlx-source");
    gst_bin_add(GST_BIN(bin), vcap);
    auto fail = [&](const char* message) {
        ErrorBox("%s", message);
        gst_object_unref(gst_object_ref_sink(bin));
        return false;
    };

    GstPad* vpad = nullptr;
    GstPad* own_audio = nullptr;
    FindDevicePads(vcap, &vpad, &own_audio);
    if (!vpad) {
        if (own_audio) gst_object_unref(own_audio);
        return fail("UE022:Cannot find output pin");
    }
    GstElement* vfilter = MakeCapsFilter(gst_caps_ref(neg.caps), "device-caps");
    gst_bin_add(GST_BIN(bin), vfilter);
    LinkPadTo(vpad, vfilter);
    gst_object_unref(vpad);

    const bool dv = neg.kind == Negotiated::kDv;
    if (!dv) {
        Ghost(bin, vfilter, "video");
    } else {
        // DV: demux, decode, check the decoded size, halve it when asked.
        GstElement* demux = Make("dvdemux", "dv-splitter");
        GstElement* dec = Make("dvdec", "dv-decoder");
        GstElement* queue = Make("queue");
        if (!demux || !queue || !dec) {
            for (GstElement* e : {demux, queue, dec})
                if (e) gst_object_unref(e);
            if (own_audio) gst_object_unref(own_audio);
            return fail(demux ? "UE029: DVCannot create decorder instance" : "UE027: DVCannot create DVsplitter instance");
        }
        const int cxin = ctx.dp.cxin;
        const int cyin = ctx.dp.cyin;
        const int dw = neg.dv_half ? 2 * cxin : cxin;
        const int dh = neg.dv_half ? 2 * cyin : cyin;
        GstElement* decoded = MakeCapsFilter(gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width",
                                                                 G_TYPE_INT, dw, "height", G_TYPE_INT, dh, nullptr),
                                             "dv-decoded-caps");
        // Decoding runs on the splitter's thread up to the size check, so that a
        // camera of another size stops its own stream with an error; the queue
        // after it gives the picture a thread apart from the sound.
        gst_bin_add_many(GST_BIN(bin), demux, dec, decoded, queue, nullptr);
        gst_element_link(vfilter, demux);
        gst_element_link_many(dec, decoded, queue, nullptr);
        WatchDvSize(dec, dw, dh);
        GstElement* last = queue;
        if (neg.dv_half) {
            GstElement* scale = Make("videoscale", "dv-half");
            GstElement* half = MakeCapsFilter(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, cxin, "height",
                                                                  G_TYPE_INT, cyin, nullptr),
                                              "video-caps");
            gst_bin_add_many(GST_BIN(bin), scale, half, nullptr);
            gst_element_link_many(queue, scale, half, nullptr);
            last = half;
        }
        Ghost(bin, last, "video");
        g_signal_connect(demux, "pad-added", G_CALLBACK(OnDvPad), nullptr);
    }

    bool audio_48k = false;
    if (want_audio) {
        if (audio_from_video && dv) {
            audio_48k = true;
            AddAudioBranch(GST_BIN(bin), true, "dv-audio-queue", true);
        } else if (audio_from_video) {
            if (!own_audio) return fail("UE035:Cannot get audio pin");
            GstElement* first = AddAudioBranch(GST_BIN(bin), false, "aconv", false);
            LinkPadTo(own_audio, first);
        } else {
            GstElement* acap = gst_device_create_element(adev, "acap");
            if (!acap) {
                if (own_audio) gst_object_unref(own_audio);
                return fail("UE021: Cannot add audio capture device");
            }
            gst_bin_add(GST_BIN(bin), acap);
            SetAudioPeriod(acap, ctx.dp.fps);
            GstPad* apad = nullptr;
            GstPad* unused = nullptr;
            FindDevicePads(acap, &unused, &apad);
            // An audio device's one pad may not say "audio" before it is opened.
            if (!apad) std::swap(apad, unused);
            if (unused) gst_object_unref(unused);
            if (!apad) {
                if (own_audio) gst_object_unref(own_audio);
                return fail("UE035:Cannot get audio pin");
            }
            GstElement* first = AddAudioBranch(GST_BIN(bin), false, "aconv", false);
            LinkPadTo(apad, first);
            gst_object_unref(apad);
        }
    }
    // A device's sound that is not used still has to flow somewhere.
    if (own_audio) {
        if (!gst_pad_is_linked(own_audio)) Discard(GST_BIN(bin), own_audio);
        gst_object_unref(own_audio);
    }

    ctx.dp.subtype_req = neg.subtype_req;
    out->bin = GST_ELEMENT(gst_object_ref_sink(bin));
    out->has_audio = want_audio;
    out->subtype_req = neg.subtype_req;
    out->subtype = neg.subtype;
    out->audio_48k = audio_48k;
    out->live = true;
    out->kind = dv ? SourceKind::kDv : SourceKind::kDevice;
    out->video_node = node;
    out->inputs = std::move(inputs);
    return true;
}

}  // namespace

bool BuildSource(AppContext& ctx, SourceParts* out) {
    out->Reset();
    detail::EnsureGstReady();
    return ctx.dp.fileinmode ? BuildFileSource(ctx, out) : BuildDeviceSource(ctx, out);
}

}  // namespace vlx::capture

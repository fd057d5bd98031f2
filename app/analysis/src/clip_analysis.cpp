// Options from the station or from a clip's XML record, and the decoding of
// a clip file into luma frames (GStreamer: any format the station writes).
#include "vlx/analysis/clip_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <sys/stat.h>

#include "vlx/app/context.h"
#include "vlx/clips/records.h"

namespace vlx::analysis {
namespace {

// The record line of an uncompressed AVI clip takes the first bytes of each
// frame: up to 45 luma samples (fewer in packed formats).
constexpr int kRecordLinePixels = 48;

std::string Field(const char* text, size_t cap) { return std::string(text, strnlen(text, cap)); }

// Stamp rows: the glyphs stand on row cy - si_y0 - 1 and reach si_fonty rows
// up; one row of margin each side.
void SetStampRows(AnalysisSetup* s, int cy, int si_y0, int stamp_height) {
    if (stamp_height <= 0) {
        s->stamp_first_row = 1;
        s->stamp_last_row = 0;
        return;
    }
    const int base = cy - si_y0 - 1;
    s->stamp_first_row = base - stamp_height;
    s->stamp_last_row = base + 1;
}

void AreaMask(const AppContext& ctx, std::vector<uint8_t>* mask) {
    mask->clear();
    const std::string name = Field(ctx.ap.dareafname, sizeof ctx.ap.dareafname);
    if (name.empty() || name == kNoAreaMask) return;
    std::string dir = Field(ctx.program_dir, sizeof ctx.program_dir);
    const std::string path = name[0] == '/' || dir.empty() ? name : dir + "/" + name;
    Bmp24 bmp;
    if (ReadBmp24(path, bmp) != BmpReadStatus::kOk || bmp.width < 1 || bmp.height < 1) return;
    const int w = bmp.width, h = bmp.height;
    mask->assign(static_cast<size_t>(w) * h, 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t* p = bmp.pixels.data() + static_cast<size_t>(h - 1 - y) * w * 3;
        for (int x = 0; x < w; ++x, p += 3) (*mask)[static_cast<size_t>(y) * w + x] = p[0] == 0 && p[1] == 0 && p[2] == 255;
    }
}

bool Attribute(const std::string& xml, const char* name, std::string* value) {
    const std::string key = std::string(" ") + name + "=\"";
    const size_t at = xml.find(key);
    if (at == std::string::npos) return false;
    const size_t start = at + key.size();
    const size_t end = xml.find('"', start);
    if (end == std::string::npos) return false;
    *value = xml.substr(start, end - start);
    return true;
}

bool IntAttribute(const std::string& xml, const char* name, int* value) {
    std::string v;
    if (!Attribute(xml, name, &v) || v.empty()) return false;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (*end != '\0') return false;
    *value = static_cast<int>(n);
    return true;
}

std::string BusError(GstElement* pipeline) {
    GstBus* bus = gst_element_get_bus(pipeline);
    std::string text;
    while (GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
        GError* err = nullptr;
        gst_message_parse_error(msg, &err, nullptr);
        if (text.empty() && err) text = err->message;
        if (err) g_error_free(err);
        gst_message_unref(msg);
    }
    gst_object_unref(bus);
    return text;
}

struct Decoder {
    GstElement* pipeline = nullptr;
    GstElement* convert = nullptr;
    bool linked_video = false;
};

void OnPadAdded(GstElement*, GstPad* pad, gpointer data) {
    auto* d = static_cast<Decoder*>(data);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    const bool video = caps && gst_caps_get_size(caps) > 0 &&
                       g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps, 0)), "video/");
    if (caps) gst_caps_unref(caps);
    if (video && !d->linked_video) {
        GstPad* sink = gst_element_get_static_pad(d->convert, "sink");
        d->linked_video = gst_pad_link(pad, sink) == GST_PAD_LINK_OK;
        gst_object_unref(sink);
        return;
    }
    // Sound and further streams are read and dropped.
    GstElement* drop = gst_element_factory_make("fakesink", nullptr);
    if (!drop) return;
    g_object_set(drop, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(d->pipeline), drop);
    gst_element_sync_state_with_parent(drop);
    GstPad* sink = gst_element_get_static_pad(drop, "sink");
    gst_pad_link(pad, sink);
    gst_object_unref(sink);
}

// An AVI names its own length: the RIFF size, and the frame count of its
// main header. A file shorter than its RIFF size was cut while written.
bool CheckAviLength(const std::string& path, int64_t file_size, int64_t* total_frames, std::string* error) {
    *total_frames = -1;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return true;
    uint8_t h[64] = {};
    const size_t n = std::fread(h, 1, sizeof h, f);
    std::fclose(f);
    auto u32 = [&](size_t at) { return static_cast<uint32_t>(h[at] | h[at + 1] << 8 | h[at + 2] << 16 | h[at + 3] << 24); };
    if (n < 12 || std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "AVI ", 4) != 0) return true;
    const int64_t riff_end = static_cast<int64_t>(u32(4)) + 8;
    if (riff_end < 12 + 12) {
        *error = "malformed AVI header";
        return false;
    }
    if (file_size < riff_end) {
        *error = "truncated: " + std::to_string(file_size) + " of " + std::to_string(riff_end) + " bytes";
        return false;
    }
    if (n >= 52 && std::memcmp(h + 12, "LIST", 4) == 0 && std::memcmp(h + 20, "hdrlavih", 8) == 0)
        *total_frames = u32(48);
    return true;
}

}  // namespace

ClipAnalysisOptions OptionsFromStation(const AppContext& ctx) {
    const DetectParams& dp = ctx.dp;
    ClipAnalysisOptions o;
    AnalysisSetup& s = o.setup;
    s.width = dp.cx;
    s.height = dp.cy;
    s.fps = dp.fps;
    s.dlev = dp.clip_dlev > 0 ? dp.clip_dlev : dp.dlev;
    s.fs_diff = dp.fs_diff;
    // The area mask (bits 0 and 1) only: the scintillation bits describe the
    // sky before the clip, and the analysis finds twinkling stars itself.
    if (dp.mask && dp.cx > 0 && dp.cy > 0) {
        const size_t n = static_cast<size_t>(dp.cx) * dp.cy;
        s.mask.resize(n);
        for (size_t i = 0; i < n; ++i) s.mask[i] = dp.mask[i] & 0x03;
    }
    SetStampRows(&s, dp.cy, dp.si_y0, dp.si_on ? dp.si_fonty : 0);
    s.record_line_pixels = dp.rec_line ? kRecordLinePixels : 0;
    o.lid = Field(dp.lid, sizeof dp.lid);
    o.sid = Field(dp.cid, sizeof dp.cid);
    return o;
}

bool OptionsFromRecord(const std::string& clip_path, const AppContext& ctx, ClipAnalysisOptions* o) {
    const DetectParams& dp = ctx.dp;
    AnalysisSetup& s = o->setup;
    s = AnalysisSetup{};
    s.width = dp.cx;
    s.height = dp.cy;
    s.fps = dp.fps;
    // Without a record, a station that tracks the noise had no fixed level:
    // the clip's own first frames tell it.
    s.dlev = dp.nt_on ? 0 : dp.dlev;
    s.nt_ratio = dp.nt_ratio;
    s.nt_delta = dp.nt_delta;
    s.nt_min = dp.nt_min;
    s.fs_diff = dp.fs_diff;
    AreaMask(ctx, &s.mask);
    SetStampRows(&s, dp.cy, dp.si_y0, dp.si_on ? dp.si_fonty : 0);
    s.record_line_pixels = kRecordLinePixels;
    o->lid = Field(dp.lid, sizeof dp.lid);
    o->sid = Field(dp.cid, sizeof dp.cid);

    const size_t dot = clip_path.rfind('.');
    const size_t slash = clip_path.rfind('/');
    const std::string base = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                                 ? clip_path.substr(0, dot)
                                 : clip_path;
    std::FILE* f = std::fopen((base + ".xml").c_str(), "rb");
    if (!f) return false;
    std::string xml(4096, '\0');
    xml.resize(std::fread(xml.data(), 1, xml.size(), f));
    std::fclose(f);
    int v = 0, cy = dp.cy, sipos = dp.si_y0, sisize = 0;
    if (IntAttribute(xml, "dlev", &v) && v > 0) s.dlev = v;
    if (IntAttribute(xml, "diff", &v) && v > 0) s.fs_diff = v;
    IntAttribute(xml, "cy", &cy);
    IntAttribute(xml, "sipos", &sipos);
    IntAttribute(xml, "sisize", &sisize);
    SetStampRows(&s, cy, sipos, sisize);
    std::string text;
    if (Attribute(xml, "lid", &text)) o->lid = text;
    if (Attribute(xml, "sid", &text)) o->sid = text;
    return true;
}

bool AnalyseClip(const std::string& clip_path, const ClipAnalysisOptions& options, Analysis* out, std::string* error) {
    struct stat st{};
    if (stat(clip_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read " + clip_path;
        return false;
    }
    if (st.st_size == 0) {
        *error = "empty file";
        return false;
    }
    int64_t header_frames = -1;
    if (!CheckAviLength(clip_path, st.st_size, &header_frames, error)) return false;
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    Decoder d;
    d.pipeline = gst_pipeline_new("analyse");
    GstElement* src = gst_element_factory_make("filesrc", nullptr);
    GstElement* dec = gst_element_factory_make("decodebin", nullptr);
    d.convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!d.pipeline || !src || !dec || !d.convert || !sink) {
        for (GstElement* e : {d.pipeline, src, dec, d.convert, sink})
            if (e) gst_object_unref(e);
        *error = "cannot build the decoder";
        return false;
    }
    g_object_set(src, "location", clip_path.c_str(), nullptr);
    // Luma only: the detector looks at nothing else.
    GstCaps* gray = gst_caps_from_string("video/x-raw,format=GRAY8");
    g_object_set(sink, "caps", gray, "sync", FALSE, "max-buffers", 4u, "drop", FALSE, nullptr);
    gst_caps_unref(gray);
    gst_bin_add_many(GST_BIN(d.pipeline), src, dec, d.convert, sink, nullptr);
    gst_element_link(src, dec);
    gst_element_link(d.convert, sink);
    g_signal_connect(dec, "pad-added", G_CALLBACK(OnPadAdded), &d);

    TrackAnalyser analyser;
    bool ok = true;
    bool started = false;
    int64_t expected = -1;
    int w = 0, h = 0;
    double fps = 0;
    if (gst_element_set_state(d.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        *error = BusError(d.pipeline);
        if (error->empty()) *error = "cannot start decoding";
        ok = false;
    }
    // Short waits with a look at the bus between them: an error ends the
    // decoding at once, and ten seconds without a frame end it too.
    int idle_waits = 0;
    while (ok) {
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
        if (!sample) {
            std::string bus = BusError(d.pipeline);
            if (!bus.empty()) {
                *error = bus;
                ok = false;
                break;
            }
            if (gst_app_sink_is_eos(GST_APP_SINK(sink))) break;
            if (++idle_waits >= 100) {
                *error = "decoding stalled";
                ok = false;
                break;
            }
            continue;
        }
        idle_waits = 0;
        GstVideoInfo info;
        GstCaps* caps = gst_sample_get_caps(sample);
        GstBuffer* buf = gst_sample_get_buffer(sample);
        if (!caps || !buf || !gst_video_info_from_caps(&info, caps)) {
            gst_sample_unref(sample);
            *error = "undecodable frame";
            ok = false;
            break;
        }
        if (!started) {
            w = GST_VIDEO_INFO_WIDTH(&info);
            h = GST_VIDEO_INFO_HEIGHT(&info);
            fps = GST_VIDEO_INFO_FPS_D(&info) > 0 && GST_VIDEO_INFO_FPS_N(&info) > 0
                      ? static_cast<double>(GST_VIDEO_INFO_FPS_N(&info)) / GST_VIDEO_INFO_FPS_D(&info)
                      : options.setup.fps;
            AnalysisSetup s = options.setup;
            s.width = w;
            s.height = h;
            s.fps = fps;
            if (s.mask.size() != static_cast<size_t>(w) * h) s.mask.clear();
            if (!analyser.Begin(s, error)) {
                gst_sample_unref(sample);
                ok = false;
                break;
            }
            gint64 duration = 0;
            if (gst_element_query_duration(d.pipeline, GST_FORMAT_TIME, &duration) && duration > 0 && fps > 0)
                expected = static_cast<int64_t>(std::llround(duration / 1e9 * fps));
            started = true;
        }
        if (GST_VIDEO_INFO_WIDTH(&info) != w || GST_VIDEO_INFO_HEIGHT(&info) != h) {
            gst_sample_unref(sample);
            *error = "frame size changes within the clip";
            ok = false;
            break;
        }
        GstVideoFrame frame;
        if (gst_video_frame_map(&frame, &info, buf, GST_MAP_READ)) {
            analyser.AddFrame(static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                              GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
            gst_video_frame_unmap(&frame);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(d.pipeline, GST_STATE_NULL);
    gst_object_unref(d.pipeline);
    if (!ok) return false;
    if (!started || analyser.frames() == 0) {
        *error = d.linked_video ? "no frames in " + clip_path : "no video in " + clip_path;
        return false;
    }
    // A clip cut short (a full disk, a crash while writing) still decodes up
    // to the cut; its header says how long it should be.
    if (header_frames > 0) expected = header_frames;
    if (expected > 0 && analyser.frames() + 1 < expected) {
        *error = "truncated: " + std::to_string(analyser.frames()) + " of " + std::to_string(expected) + " frames";
        return false;
    }
    *out = analyser.Finish();
    return true;
}

}  // namespace vlx::analysis

// Helpers of the source tests: settings for each kind of input, the test
// devices switched on, and a pipeline that pulls what a source bin delivers.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture_reporter.h"
#include "test_support.h"
#include "vlx/app/context.h"
#include "vlx/capture/sources.h"

namespace vlx::test {

// The test devices are listed only with VLX_TEST_DEVICES=1.
inline void EnableTestDevices(const char* camera_formats = nullptr) {
    setenv("VLX_TEST_DEVICES", "1", 1);
    if (camera_formats) {
        setenv("VLX_TEST_CAMERA_FORMATS", camera_formats, 1);
    } else {
        unsetenv("VLX_TEST_CAMERA_FORMATS");
    }
    unsetenv("VLX_TEST_CAMERA_NODE");
    unsetenv("VLX_TEST_DV_FILE");
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
}

inline std::unique_ptr<AppContext> NewContext(int cxin, int cyin, double fps = 30.0) {
    auto ctx = std::make_unique<AppContext>();
    ctx->dp.cxin = cxin;
    ctx->dp.cyin = cyin;
    ctx->dp.fps = fps;
    std::snprintf(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, "%s", capture::kNoAudio);
    return ctx;
}

inline void SetText(char* field, size_t cap, const std::string& value) { std::snprintf(field, cap, "%s", value.c_str()); }

// The entry of a device in a list, "" when absent.
inline std::string EntryOf(const std::vector<std::string>& list, const std::string& name) {
    for (const auto& e : list) {
        auto colon = e.find(':');
        if (colon != std::string::npos && e.substr(colon + 1) == name) return e;
    }
    return {};
}

// Writes a short AVI with GStreamer: `frames` raw frames of a moving ball,
// with a 48 kHz stereo tone when `audio`, the video encoded by `encoder` when
// one is named.
inline void MakeAvi(const std::string& path, int w, int h, int frames, bool audio, const char* format = "YUY2",
                    const char* encoder = nullptr) {
    char desc[1024];
    std::snprintf(desc, sizeof desc,
                  "videotestsrc num-buffers=%d pattern=ball ! video/x-raw,format=%s,width=%d,height=%d,framerate=30/1 "
                  "! %s%s avimux name=m ! filesink location=\"%s\"",
                  frames, format, w, h, encoder ? encoder : "", encoder ? " !" : "", path.c_str());
    std::string launch = desc;
    if (audio) {
        char a[256];
        std::snprintf(a, sizeof a,
                      " audiotestsrc num-buffers=%d samplesperbuffer=1600 ! "
                      "audio/x-raw,format=S16LE,rate=48000,channels=2 ! m.",
                      frames);
        launch += a;
    }
    GError* err = nullptr;
    GstElement* p = gst_parse_launch(launch.c_str(), &err);
    if (!p) throw std::runtime_error(err ? err->message : "parse failed");
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(p);
    GstMessage* m = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool ok = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
    if (!ok) throw std::runtime_error("could not write " + path);
}

// The bin in a pipeline with an appsink on each of its pads.
class SourceRun {
public:
    explicit SourceRun(capture::SourceParts& parts) {
        pipeline_ = gst_pipeline_new("test");
        gst_bin_add(GST_BIN(pipeline_), parts.bin);
        video_ = AddSink(parts.bin, "video");
        if (parts.has_audio) audio_ = AddSink(parts.bin, "audio");
        bus_ = gst_element_get_bus(pipeline_);
    }
    ~SourceRun() {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(bus_);
        gst_object_unref(pipeline_);
    }
    bool Play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }

    // The next sample of a sink, nullptr on timeout or end of stream.
    GstSample* PullVideo(GstClockTime timeout = 10 * GST_SECOND) { return Pull(video_, timeout); }
    GstSample* PullAudio(GstClockTime timeout = 10 * GST_SECOND) { return Pull(audio_, timeout); }
    GstAppSink* video_sink() { return GST_APP_SINK(video_); }

    // An error posted on the bus so far, as text.
    std::string Error() {
        GstMessage* m = gst_bus_pop_filtered(bus_, GST_MESSAGE_ERROR);
        if (!m) return {};
        GError* e = nullptr;
        gst_message_parse_error(m, &e, nullptr);
        std::string s = e ? e->message : "error";
        g_clear_error(&e);
        gst_message_unref(m);
        return s;
    }

private:
    GstElement* AddSink(GstElement* bin, const char* pad) {
        GstElement* sink = gst_element_factory_make("appsink", nullptr);
        g_object_set(sink, "sync", FALSE, "max-buffers", 4, "drop", FALSE, nullptr);
        gst_bin_add(GST_BIN(pipeline_), sink);
        gst_element_link_pads(bin, pad, sink, "sink");
        return sink;
    }
    GstSample* Pull(GstElement* sink, GstClockTime timeout) {
        return sink ? gst_app_sink_try_pull_sample(GST_APP_SINK(sink), timeout) : nullptr;
    }

    GstElement* pipeline_ = nullptr;
    GstElement* video_ = nullptr;
    GstElement* audio_ = nullptr;
    GstBus* bus_ = nullptr;
};

struct FrameFacts {
    std::string format;
    int width = 0;
    int height = 0;
    int max_luma = 0;
    double mean_luma = 0;
};

// Format, size and luma of a video sample.
inline FrameFacts Facts(GstSample* sample) {
    FrameFacts f;
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return f;
    f.format = gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info));
    f.width = GST_VIDEO_INFO_WIDTH(&info);
    f.height = GST_VIDEO_INFO_HEIGHT(&info);
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) return f;
    const auto* y = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, 0));
    const int stride = GST_VIDEO_FRAME_COMP_STRIDE(&frame, 0);
    const int pstride = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0);
    double sum = 0;
    for (int r = 0; r < f.height; ++r) {
        for (int c = 0; c < f.width; ++c) {
            int v = y[r * stride + c * pstride];
            sum += v;
            if (v > f.max_luma) f.max_luma = v;
        }
    }
    f.mean_luma = sum / (static_cast<double>(f.width) * f.height);
    gst_video_frame_unmap(&frame);
    return f;
}

inline std::string AudioFormat(GstSample* sample, int* rate) {
    GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    if (rate) gst_structure_get_int(s, "rate", rate);
    const char* layout = gst_structure_get_string(s, "layout");
    return std::string(gst_structure_get_string(s, "format")) + "/" + (layout ? layout : "");
}

}  // namespace vlx::test

// The frames of a clip as a separate GStreamer pipeline decodes them, and the
// field rebuild written out from its bottom-up definition, to check what the
// replay thread shows.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <string>
#include <vector>

namespace vlx::test {

struct DecodedClip {
    int width = 0, height = 0;
    std::vector<std::vector<uint8_t>> frames;  // bottom row first, unpadded
};

inline DecodedClip DecodeAll(const std::string& path) {
    DecodedClip clip;
    std::string desc = "filesrc location=\"" + path +
                       "\" ! decodebin ! videoconvert ! video/x-raw,format=BGR ! appsink name=out sync=false";
    GError* err = nullptr;
    GstElement* p = gst_parse_launch(desc.c_str(), &err);
    if (!p) {
        g_clear_error(&err);
        return clip;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "out");
    gst_element_set_state(p, GST_STATE_PLAYING);
    while (GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
        GstVideoInfo info;
        gst_video_info_from_caps(&info, gst_sample_get_caps(s));
        GstVideoFrame f;
        if (gst_video_frame_map(&f, &info, gst_sample_get_buffer(s), GST_MAP_READ)) {
            const int w = GST_VIDEO_FRAME_WIDTH(&f), h = GST_VIDEO_FRAME_HEIGHT(&f);
            const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&f, 0);
            const auto* d = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&f, 0));
            std::vector<uint8_t> v(static_cast<size_t>(w) * h * 3);
            for (int t = 0; t < h; ++t) std::copy_n(d + t * stride, w * 3, v.begin() + (h - 1 - t) * w * 3);
            clip.width = w;
            clip.height = h;
            clip.frames.push_back(std::move(v));
            gst_video_frame_unmap(&f);
        }
        gst_sample_unref(s);
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(p);
    return clip;
}

// Bottom-up rows: field 0 replaces rows 2, 4, ... (with a row after them),
// field 1 rows 3, 5, ... below height - 2, each byte by the floor of the
// mean of the rows beside it.
inline std::vector<uint8_t> Field(const std::vector<uint8_t>& in, int w, int h, int field) {
    std::vector<uint8_t> out = in;
    const int n = w * 3;
    for (int y = field ? 3 : 2; field ? y < h - 2 : y + 1 < h; y += 2)
        for (int i = 0; i < n; ++i) out[y * n + i] = static_cast<uint8_t>((in[(y - 1) * n + i] + in[(y + 1) * n + i]) / 2);
    return out;
}

}  // namespace vlx::test

#include "layout.h"

#include <cstring>

namespace vlx::filter {

bool IsAcceptedFormat(GstVideoFormat f) {
    switch (f) {
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12:
        case GST_VIDEO_FORMAT_YUY2:
        case GST_VIDEO_FORMAT_UYVY:
        case GST_VIDEO_FORMAT_GRAY8:
            return true;
        default:
            return false;
    }
}

bool SizeFits(GstVideoFormat f, int w, int h) {
    if (w <= 0 || h <= 0) return false;
    switch (f) {
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12:
            return w % 2 == 0 && h % 2 == 0;
        case GST_VIDEO_FORMAT_YUY2:
        case GST_VIDEO_FORMAT_UYVY:
            return w % 2 == 0;
        default:
            return true;
    }
}

FrameLayout PackedLayout(GstVideoFormat f, int w, int h) {
    FrameLayout l;
    const size_t px = static_cast<size_t>(w) * static_cast<size_t>(h);
    switch (f) {
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12:
            l.planes = 3;
            l.stride[0] = w;
            l.rows[0] = h;
            l.offset[1] = px;
            l.stride[1] = w / 2;
            l.rows[1] = h / 2;
            l.offset[2] = px + px / 4;
            l.stride[2] = w / 2;
            l.rows[2] = h / 2;
            l.size = px + px / 2;
            break;
        case GST_VIDEO_FORMAT_YUY2:
        case GST_VIDEO_FORMAT_UYVY:
            l.planes = 1;
            l.stride[0] = 2 * w;
            l.rows[0] = h;
            l.size = 2 * px;
            break;
        default:
            l.planes = 1;
            l.stride[0] = w;
            l.rows[0] = h;
            l.size = px;
            break;
    }
    return l;
}

FrameLayout BufferLayout(GstBuffer* buf, const GstVideoInfo& info) {
    FrameLayout l = PackedLayout(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_INFO_WIDTH(&info),
                                 GST_VIDEO_INFO_HEIGHT(&info));
    const GstVideoMeta* meta = gst_buffer_get_video_meta(buf);
    l.planes = meta ? static_cast<int>(meta->n_planes) : static_cast<int>(GST_VIDEO_INFO_N_PLANES(&info));
    for (int p = 0; p < l.planes && p < GST_VIDEO_MAX_PLANES; ++p) {
        l.offset[p] = meta ? meta->offset[p] : GST_VIDEO_INFO_PLANE_OFFSET(&info, p);
        l.stride[p] = meta ? meta->stride[p] : GST_VIDEO_INFO_PLANE_STRIDE(&info, p);
    }
    l.size = gst_buffer_get_size(buf);
    return l;
}

bool SameLayout(const FrameLayout& a, const FrameLayout& b) {
    if (a.planes != b.planes) return false;
    for (int p = 0; p < a.planes; ++p) {
        if (a.offset[p] != b.offset[p] || a.stride[p] != b.stride[p]) return false;
    }
    return true;
}

void CopyToPacked(const GstVideoFrame& frame, const FrameLayout& dst_layout, uint8_t* dst) {
    for (int p = 0; p < dst_layout.planes; ++p) {
        const auto* src = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
        const int src_stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
        uint8_t* out = dst + dst_layout.offset[p];
        const size_t row = static_cast<size_t>(dst_layout.stride[p]);
        for (int y = 0; y < dst_layout.rows[p]; ++y) {
            std::memcpy(out + y * row, src + static_cast<ptrdiff_t>(y) * src_stride, row);
        }
    }
}

void DescribePacked(GstBuffer* buf, GstVideoFormat f, int w, int h, const FrameLayout& packed,
                    bool default_is_packed) {
    GstVideoMeta* meta = gst_buffer_get_video_meta(buf);
    if (!meta) {
        if (default_is_packed) return;
        gsize offsets[GST_VIDEO_MAX_PLANES] = {};
        gint strides[GST_VIDEO_MAX_PLANES] = {};
        for (int p = 0; p < packed.planes; ++p) {
            offsets[p] = packed.offset[p];
            strides[p] = packed.stride[p];
        }
        gst_buffer_add_video_meta_full(buf, GST_VIDEO_FRAME_FLAG_NONE, f, static_cast<guint>(w),
                                       static_cast<guint>(h), static_cast<guint>(packed.planes), offsets, strides);
        return;
    }
    meta->format = f;
    meta->width = static_cast<guint>(w);
    meta->height = static_cast<guint>(h);
    meta->n_planes = static_cast<guint>(packed.planes);
    for (int p = 0; p < GST_VIDEO_MAX_PLANES; ++p) {
        meta->offset[p] = p < packed.planes ? packed.offset[p] : 0;
        meta->stride[p] = p < packed.planes ? packed.stride[p] : 0;
    }
}

}  // namespace vlx::filter

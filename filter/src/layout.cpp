#include "layout.h"

#include <algorithm>
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
        case GST_VIDEO_FORMAT_YUY2:
        case GST_VIDEO_FORMAT_UYVY:
            // Pixels are paired along the frame: a row of odd width would
            // end in half a pair.
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
        {
            // Chroma planes of ceil(w/2) x ceil(h/2), as the framework lays
            // out odd sizes.
            const int cw = (w + 1) / 2, ch = (h + 1) / 2;
            const size_t cpx = static_cast<size_t>(cw) * static_cast<size_t>(ch);
            l.planes = 3;
            l.stride[0] = w;
            l.rows[0] = h;
            l.offset[1] = px;
            l.stride[1] = cw;
            l.rows[1] = ch;
            l.offset[2] = px + cpx;
            l.stride[2] = cw;
            l.rows[2] = ch;
            l.size = px + 2 * cpx;
            break;
        }
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

FrameLayout DefaultLayout(const GstVideoInfo& info) {
    FrameLayout l = PackedLayout(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_INFO_WIDTH(&info),
                                 GST_VIDEO_INFO_HEIGHT(&info));
    l.planes = static_cast<int>(GST_VIDEO_INFO_N_PLANES(&info));
    for (int p = 0; p < l.planes && p < GST_VIDEO_MAX_PLANES; ++p) {
        l.offset[p] = GST_VIDEO_INFO_PLANE_OFFSET(&info, p);
        l.stride[p] = GST_VIDEO_INFO_PLANE_STRIDE(&info, p);
    }
    l.size = GST_VIDEO_INFO_SIZE(&info);
    return l;
}

void CopyFromPacked(const FrameLayout& src_layout, const uint8_t* src, const FrameLayout& dst_layout, uint8_t* dst) {
    // Last plane and last row first: in place (dst == src), every row moves
    // to a place at or after its own, so nothing is overwritten before it
    // has moved.
    const int planes = std::min(src_layout.planes, dst_layout.planes);
    for (int p = planes - 1; p >= 0; --p) {
        const size_t row = static_cast<size_t>(src_layout.stride[p]);
        const uint8_t* in = src + src_layout.offset[p];
        uint8_t* out = dst + dst_layout.offset[p];
        for (int y = src_layout.rows[p] - 1; y >= 0; --y) {
            std::memmove(out + static_cast<size_t>(y) * dst_layout.stride[p], in + y * row, row);
        }
    }
}

}  // namespace vlx::filter

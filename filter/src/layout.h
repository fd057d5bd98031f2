// Packed frame layouts: what the detection core works on (rows without
// padding, 4:2:0 chroma planes of ceil(w/2) x ceil(h/2)) against what a
// GStreamer buffer carries (strides and plane offsets from its caps or its
// video meta).
#pragma once

#include <gst/video/video.h>

#include <cstddef>
#include <cstdint>

namespace vlx::filter {

struct FrameLayout {
    int planes = 0;
    size_t offset[GST_VIDEO_MAX_PLANES] = {};
    int stride[GST_VIDEO_MAX_PLANES] = {};
    int rows[GST_VIDEO_MAX_PLANES] = {};
    size_t size = 0;  // bytes of the whole packed frame
};

// The accepted formats and their subtype identifiers; false for others.
bool IsAcceptedFormat(GstVideoFormat f);
// False for sizes the format cannot be packed at (odd widths of 4:2:2).
bool SizeFits(GstVideoFormat f, int w, int h);

FrameLayout PackedLayout(GstVideoFormat f, int w, int h);

// Layout of a buffer as it arrives: its video meta if it has one, else the
// default layout of its caps.
FrameLayout BufferLayout(GstBuffer* buf, const GstVideoInfo& info);

// Same planes, offsets and strides.
bool SameLayout(const FrameLayout& a, const FrameLayout& b);

// Copies a mapped frame row by row into a packed frame of layout dst_layout.
void CopyToPacked(const GstVideoFrame& frame, const FrameLayout& dst_layout, uint8_t* dst);

// Makes the buffer's video meta (adding one when needed) describe the packed
// layout at w x h; no meta is added when the packed layout is the default one.
void DescribePacked(GstBuffer* buf, GstVideoFormat f, int w, int h, const FrameLayout& packed,
                    bool default_is_packed);

// The framework's own layout of a format at w x h (rows padded as it pads
// them); what a muxer that ignores video metas writes and what a demuxer
// reading the file back expects.
FrameLayout DefaultLayout(const GstVideoInfo& info);

// Copies a packed frame of layout src_layout row by row into dst laid out as
// dst_layout (same planes and rows, wider strides); dst may be src (the frame
// is spread out in place).
void CopyFromPacked(const FrameLayout& src_layout, const uint8_t* src, const FrameLayout& dst_layout, uint8_t* dst);

}  // namespace vlx::filter

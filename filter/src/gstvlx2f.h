// The vlx2f detection element. See gstvlx2f.cpp for its pads, signals and
// messages.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_VLX2F (gst_vlx2f_get_type())
G_DECLARE_FINAL_TYPE(GstVlx2f, gst_vlx2f, GST, VLX2F, GstElement)

G_END_DECLS

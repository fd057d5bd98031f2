// The vlx2rf replay element. See gstvlx2rf.cpp for its pads and signals.
#pragma once

#include <gst/gst.h>

#include "vlx/replay_params.h"

G_BEGIN_DECLS

#define GST_TYPE_VLX2RF (gst_vlx2rf_get_type())
G_DECLARE_FINAL_TYPE(GstVlx2rf, gst_vlx2rf, GST, VLX2RF, GstElement)

G_END_DECLS

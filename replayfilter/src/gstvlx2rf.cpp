/**
 * SECTION:element-vlx2rf
 *
 * The Vigilux2 replay filter: sits between the decoded clip and the video
 * sink while a recorded clip is replayed. For every BGR frame it
 * 1. rebuilds one field in place from the other (line interpolation) when
 *    deinterlacing is on, so that one field of an interlaced frame can be
 *    looked at;
 * 2. copies the frame into the application's frame buffer (bottom row
 *    first, rows width * 3 bytes apart) for the replay snapshot;
 * 3. pushes it on "Output1".
 *
 * Pads: "Input" (template "Input_Video"), "Output1" (template
 * "Output_Video_Preview", carries the frames) and "Output2" (template
 * "Output_Video_Capture", carries only the stream events and a gap after
 * each segment, so a sink linked to it can preroll).
 *
 * The application hands over its replay parameter block once with "init"
 * (module-wide: one block for every vlx2rf in the process):
 * |[
 *   gint32 version = 0, reserved = 0;
 *   gint hr = -1;
 *   g_signal_emit_by_name(rf, "init", &block, &version, &reserved, &hr);
 *   // hr 0 and version 200: go on; hr 0x80004003 (as gint): a null argument
 * ]|
 * The element writes width, height, fps, pixel_count and frame_bytes when its
 * input gets a format, and reads deinterlace_on and field_select for every
 * frame. Without a block it reads the "deinterlace" and "field-select"
 * properties instead:
 * |[
 *   gst-launch-1.0 filesrc location=clip.avi ! decodebin ! videoconvert ! \
 *     video/x-raw,format=BGR ! vlx2rf deinterlace=true field-select=1 ! \
 *     videoconvert ! autovideosink
 * ]|
 */
#include "gstvlx2rf.h"

#include <gst/video/video.h>

#include <atomic>
#include <mutex>

#include "field.h"

GST_DEBUG_CATEGORY_STATIC(gst_vlx2rf_debug);
#define GST_CAT_DEFAULT gst_vlx2rf_debug

using vlx::ReplayParams;

namespace {

constexpr gint kSOk = 0;
constexpr gint kEPointer = static_cast<gint>(0x80004003u);
constexpr gint32 kVersion = 200;

enum { PROP_0, PROP_DEINTERLACE, PROP_FIELD_SELECT };
enum { SIGNAL_INIT, SIGNAL_RESERVED, N_SIGNALS };

#define VLX2RF_CAPS                                                           \
    "video/x-raw, format = (string) BGR, "                                    \
    "width = (int) [ 1, max ], height = (int) [ 1, max ], "                   \
    "framerate = (fraction) [ 0/1, max ]"

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("Input_Video", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2RF_CAPS));
GstStaticPadTemplate preview_template =
    GST_STATIC_PAD_TEMPLATE("Output_Video_Preview", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2RF_CAPS));
GstStaticPadTemplate capture_template =
    GST_STATIC_PAD_TEMPLATE("Output_Video_Capture", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(VLX2RF_CAPS));

// The application's block, shared by every instance in the process.
std::atomic<ReplayParams*> g_block{nullptr};

int32_t LoadWord(int32_t& w) { return std::atomic_ref<int32_t>(w).load(std::memory_order_relaxed); }

}  // namespace

struct _GstVlx2rf {
    GstElement parent;
    GstPad* sink;
    GstPad* out1;
    GstPad* out2;
    std::mutex* mu;  // serialises init, caps and frames
    // Properties, used only while no block is set.
    std::atomic<gboolean> deinterlace;
    std::atomic<gint> field_select;
    // Input format.
    bool have_caps;
    GstVideoInfo info;
    std::atomic<bool> gap_out2;
};

G_DEFINE_TYPE(GstVlx2rf, gst_vlx2rf, GST_TYPE_ELEMENT)

static guint signals[N_SIGNALS];

static gint gst_vlx2rf_init_block(GstVlx2rf* self, gpointer block, gpointer version, gpointer reserved) {
    if (!block || !version || !reserved) return kEPointer;
    std::lock_guard<std::mutex> lock(*self->mu);
    g_block.store(static_cast<ReplayParams*>(block));
    *static_cast<gint32*>(version) = kVersion;
    *static_cast<gint32*>(reserved) = 0;
    return kSOk;
}

static gint gst_vlx2rf_reserved(GstVlx2rf* self, gint) {
    std::lock_guard<std::mutex> lock(*self->mu);
    return kSOk;
}

static bool gst_vlx2rf_set_caps(GstVlx2rf* self, GstCaps* caps) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGR) {
        GST_WARNING_OBJECT(self, "refusing %" GST_PTR_FORMAT, caps);
        return false;
    }
    const int w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
    const int64_t duration = vlx::replayfilter::FrameDuration100ns(GST_VIDEO_INFO_FPS_N(&info),
                                                                   GST_VIDEO_INFO_FPS_D(&info));
    std::lock_guard<std::mutex> lock(*self->mu);
    self->info = info;
    self->have_caps = true;
    if (ReplayParams* p = g_block.load()) {
        p->width = w;
        p->height = h;
        p->pixel_count = w * h;
        p->frame_bytes = w * h * 3;
        p->fps = 10000000.0 / static_cast<double>(duration);
    }
    GST_INFO_OBJECT(self, "%dx%d, frame duration %" G_GINT64_FORMAT " (100 ns)", w, h, duration);
    return true;
}

static gboolean gst_vlx2rf_sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
    GstVlx2rf* self = GST_VLX2RF(parent);
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_CAPS: {
            GstCaps* caps;
            gst_event_parse_caps(event, &caps);
            if (!gst_vlx2rf_set_caps(self, caps)) {
                gst_event_unref(event);
                return FALSE;
            }
            break;
        }
        case GST_EVENT_SEGMENT:
        case GST_EVENT_FLUSH_STOP:
            self->gap_out2 = true;
            break;
        default:
            break;
    }
    // Every stream event goes to both outputs.
    return gst_pad_event_default(pad, parent, event);
}

static gboolean gst_vlx2rf_src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
    GstVlx2rf* self = GST_VLX2RF(parent);
    // Position, duration and seeking questions go to the input's peer; only
    // the first output answers them, the second carries no frames.
    if (pad == self->out2) {
        switch (GST_QUERY_TYPE(query)) {
            case GST_QUERY_POSITION:
            case GST_QUERY_DURATION:
            case GST_QUERY_SEEKING:
            case GST_QUERY_SEGMENT:
                return FALSE;
            default:
                break;
        }
    }
    return gst_pad_query_default(pad, parent, query);
}

static gboolean gst_vlx2rf_src_event(GstPad* pad, GstObject* parent, GstEvent* event) {
    GstVlx2rf* self = GST_VLX2RF(parent);
    // Upstream events (seeks, QoS, reconfigure) come from Output1 only.
    if (pad == self->out2) {
        gst_event_unref(event);
        return FALSE;
    }
    return gst_pad_push_event(self->sink, event);
}

static GstFlowReturn gst_vlx2rf_chain(GstPad*, GstObject* parent, GstBuffer* buf) {
    GstVlx2rf* self = GST_VLX2RF(parent);
    {
        std::lock_guard<std::mutex> lock(*self->mu);
        if (!self->have_caps) {
            gst_buffer_unref(buf);
            GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No video format"), (nullptr));
            return GST_FLOW_NOT_NEGOTIATED;
        }
        ReplayParams* p = g_block.load();
        bool deinterlace;
        int field;
        uint8_t* copy_to = nullptr;
        if (p) {
            deinterlace = LoadWord(p->deinterlace_on) != 0;
            field = LoadWord(p->field_select);
            copy_to = p->frame_buf;
        } else {
            deinterlace = self->deinterlace;
            field = self->field_select;
        }
        if (deinterlace || copy_to) {
            if (deinterlace) buf = gst_buffer_make_writable(buf);
            GstVideoFrame frame;
            if (!gst_video_frame_map(&frame, &self->info, buf, deinterlace ? GST_MAP_READWRITE : GST_MAP_READ)) {
                gst_buffer_unref(buf);
                GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("Cannot map a video frame"), (nullptr));
                return GST_FLOW_ERROR;
            }
            auto* data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
            const ptrdiff_t stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
            const int w = GST_VIDEO_FRAME_WIDTH(&frame), h = GST_VIDEO_FRAME_HEIGHT(&frame);
            if (deinterlace) vlx::replayfilter::RebuildField(data, w, h, stride, field);
            if (copy_to) vlx::replayfilter::CopyBottomUp(data, w, h, stride, copy_to);
            gst_video_frame_unmap(&frame);
        }
    }
    if (self->gap_out2.exchange(false) && gst_pad_is_linked(self->out2)) {
        gst_pad_push_event(self->out2, gst_event_new_gap(GST_BUFFER_PTS_IS_VALID(buf) ? GST_BUFFER_PTS(buf) : 0,
                                                         GST_CLOCK_TIME_NONE));
    }
    // Only the first output carries frames; unlinked, the frame is dropped.
    // Its flow result goes back upstream so that flushes and the end of the
    // stream stop the source.
    if (!gst_pad_is_linked(self->out1)) {
        gst_buffer_unref(buf);
        return GST_FLOW_OK;
    }
    return gst_pad_push(self->out1, buf);
}

static void gst_vlx2rf_init(GstVlx2rf* self) {
    self->mu = new std::mutex;
    self->have_caps = false;
    gst_video_info_init(&self->info);
    self->deinterlace = FALSE;
    self->field_select = 0;
    self->gap_out2 = false;

    self->sink = gst_pad_new_from_static_template(&sink_template, "Input");
    gst_pad_set_chain_function(self->sink, gst_vlx2rf_chain);
    gst_pad_set_event_function(self->sink, gst_vlx2rf_sink_event);
    // Caps and allocation questions are answered by what lies downstream, so
    // frames reach the sink in its own buffers without a copy.
    GST_PAD_SET_PROXY_CAPS(self->sink);
    GST_PAD_SET_PROXY_ALLOCATION(self->sink);
    gst_element_add_pad(GST_ELEMENT(self), self->sink);

    self->out1 = gst_pad_new_from_static_template(&preview_template, "Output1");
    self->out2 = gst_pad_new_from_static_template(&capture_template, "Output2");
    for (GstPad* out : {self->out1, self->out2}) {
        gst_pad_set_query_function(out, gst_vlx2rf_src_query);
        gst_pad_set_event_function(out, gst_vlx2rf_src_event);
        GST_PAD_SET_PROXY_CAPS(out);
        gst_element_add_pad(GST_ELEMENT(self), out);
    }
}

static void gst_vlx2rf_finalize(GObject* object) {
    GstVlx2rf* self = GST_VLX2RF(object);
    delete self->mu;
    G_OBJECT_CLASS(gst_vlx2rf_parent_class)->finalize(object);
}

static void gst_vlx2rf_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstVlx2rf* self = GST_VLX2RF(object);
    switch (id) {
        case PROP_DEINTERLACE:
            self->deinterlace = g_value_get_boolean(value);
            break;
        case PROP_FIELD_SELECT:
            self->field_select = g_value_get_int(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void gst_vlx2rf_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    GstVlx2rf* self = GST_VLX2RF(object);
    switch (id) {
        case PROP_DEINTERLACE:
            g_value_set_boolean(value, self->deinterlace);
            break;
        case PROP_FIELD_SELECT:
            g_value_set_int(value, self->field_select);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void gst_vlx2rf_class_init(GstVlx2rfClass* klass) {
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    gobject_class->finalize = gst_vlx2rf_finalize;
    gobject_class->set_property = gst_vlx2rf_set_property;
    gobject_class->get_property = gst_vlx2rf_get_property;

    const auto flags =
        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        gobject_class, PROP_DEINTERLACE,
        g_param_spec_boolean("deinterlace", "Deinterlace",
                             "Rebuild one field of every frame from the other (only without a parameter block)",
                             FALSE, flags));
    g_object_class_install_property(
        gobject_class, PROP_FIELD_SELECT,
        g_param_spec_int("field-select", "Field select",
                         "Field rebuilt: 0 keeps the even picture lines counted from the top of an even-height "
                         "frame, 1 the odd ones (only without a parameter block)",
                         0, 1, 0, flags));

    // gint init(gpointer block, gint32* version, gint32* reserved): 0 with
    // version 200, or 0x80004003 for a null argument.
    signals[SIGNAL_INIT] = g_signal_new_class_handler(
        "init", G_TYPE_FROM_CLASS(klass), static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(gst_vlx2rf_init_block), nullptr, nullptr, nullptr, G_TYPE_INT, 3, G_TYPE_POINTER, G_TYPE_POINTER,
        G_TYPE_POINTER);
    // gint reserved(gint): 0, nothing else.
    signals[SIGNAL_RESERVED] = g_signal_new_class_handler(
        "reserved", G_TYPE_FROM_CLASS(klass), static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
        G_CALLBACK(gst_vlx2rf_reserved), nullptr, nullptr, nullptr, G_TYPE_INT, 1, G_TYPE_INT);

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_add_static_pad_template(element_class, &preview_template);
    gst_element_class_add_static_pad_template(element_class, &capture_template);
    gst_element_class_set_static_metadata(
        element_class, "Vigilux2 Replay Filter", "Filter/Effect/Video/Deinterlace",
        "Rebuilds one field of each replayed frame and copies every frame for the replay snapshot", "Vigilux");
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(gst_vlx2rf_debug, "vlx2rf", 0, "Vigilux2 replay filter");
    return gst_element_register(plugin, "vlx2rf", GST_RANK_NONE, GST_TYPE_VLX2RF);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vlx2rf, "Vigilux2 replay filter", plugin_init, VLX_VERSION,
                  "unknown", "vigilux", "https://vigilux.invalid")

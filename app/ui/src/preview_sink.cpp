#include "vlx/ui/preview_sink.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstring>

namespace vlx {
namespace {

std::mutex g_receiver_mu;
FrameReceiver* g_receiver = nullptr;

GstFlowReturn OnNewSample(GstAppSink* sink, gpointer) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_OK;
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    if (buffer && caps && gst_video_info_from_caps(&info, caps)) {
        GstVideoFrame frame;
        if (gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
            const int w = GST_VIDEO_FRAME_WIDTH(&frame);
            const int h = GST_VIDEO_FRAME_HEIGHT(&frame);
            const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
            const auto* src = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
            QImage image(w, h, QImage::Format_RGB32);
            const size_t row = static_cast<size_t>(w) * 4;
            for (int y = 0; y < h; ++y) std::memcpy(image.scanLine(y), src + static_cast<size_t>(y) * stride, row);
            gst_video_frame_unmap(&frame);
            std::lock_guard<std::mutex> lock(g_receiver_mu);
            if (g_receiver) g_receiver->Deliver(std::move(image));
        }
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

}  // namespace

FrameReceiver::FrameReceiver() = default;

FrameReceiver::~FrameReceiver() {
    std::lock_guard<std::mutex> lock(g_receiver_mu);
    if (g_receiver == this) g_receiver = nullptr;
}

void FrameReceiver::Deliver(QImage&& frame) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        latest_ = std::move(frame);
    }
    ++frames_;
    if (!pending_.exchange(true)) emit frameReady();
}

QImage FrameReceiver::Take() {
    std::lock_guard<std::mutex> lock(mu_);
    pending_ = false;
    QImage out = std::move(latest_);
    latest_ = QImage();
    return out;
}

void SetFrameReceiver(FrameReceiver* receiver) {
    std::lock_guard<std::mutex> lock(g_receiver_mu);
    g_receiver = receiver;
}

}  // namespace vlx

// The sink element: videoconvert ! BGRx caps ! appsink, behind a ghost pad.
// Its "sync" property is the appsink's, so a file still plays at its own pace.
extern "C" {

struct VlxQtSink {
    GstBin parent;
    GstElement* appsink;
};
struct VlxQtSinkClass {
    GstBinClass parent_class;
};

G_DEFINE_TYPE(VlxQtSink, vlx_qt_sink, GST_TYPE_BIN)

enum { PROP_0, PROP_SYNC };

static void vlx_qt_sink_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    auto* self = reinterpret_cast<VlxQtSink*>(object);
    if (id == PROP_SYNC) {
        g_object_set(self->appsink, "sync", g_value_get_boolean(value), nullptr);
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void vlx_qt_sink_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    auto* self = reinterpret_cast<VlxQtSink*>(object);
    if (id == PROP_SYNC) {
        gboolean sync = FALSE;
        g_object_get(self->appsink, "sync", &sync, nullptr);
        g_value_set_boolean(value, sync);
    } else {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

static void vlx_qt_sink_class_init(VlxQtSinkClass* klass) {
    GObjectClass* oc = G_OBJECT_CLASS(klass);
    oc->set_property = vlx_qt_sink_set_property;
    oc->get_property = vlx_qt_sink_get_property;
    g_object_class_install_property(
        oc, PROP_SYNC,
        g_param_spec_boolean("sync", "Sync", "Show frames at their time", TRUE,
                             static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Vigilux window preview", "Sink/Video",
                                          "Copies preview frames into the window", "Vigilux");
}

static void vlx_qt_sink_init(VlxQtSink* self) {
    GstElement* convert = gst_element_factory_make("videoconvert", "PreviewConvert");
    GstElement* filter = gst_element_factory_make("capsfilter", "PreviewCaps");
    self->appsink = gst_element_factory_make("appsink", "PreviewAppSink");
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGRx");
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(self->appsink, "drop", TRUE, "max-buffers", 1u, "emit-signals", FALSE, "qos", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = vlx::OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(self->appsink), &callbacks, nullptr, nullptr);
    gst_bin_add_many(GST_BIN(self), convert, filter, self->appsink, nullptr);
    gst_element_link_many(convert, filter, self->appsink, nullptr);
    GstPad* pad = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(GST_ELEMENT(self), gst_ghost_pad_new("sink", pad));
    gst_object_unref(pad);
}

}  // extern "C"

namespace vlx {

void RegisterPreviewSink() {
    static const bool registered =
        gst_element_register(nullptr, kPreviewSinkFactory, GST_RANK_NONE, vlx_qt_sink_get_type()) != FALSE;
    (void)registered;
}

}  // namespace vlx

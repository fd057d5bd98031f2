// Device providers this library adds to GStreamer's device monitor, so that
// they appear in the lists like any camera:
//  - a DV camera on IEEE 1394 (dv1394src), listed when the system has
//    FireWire nodes, since no stock provider lists DV cameras;
//  - the test sources, listed only when VLX_TEST_DEVICES is "1": a live
//    camera showing a bright ball moving on black, a live microphone, and a
//    DV camera whose stream is real DV (encoded live, or read from the file
//    VLX_TEST_DV_FILE).
// The test camera offers UYVY, YUY2, I420, YV12 and GRAY8 unless
// VLX_TEST_CAMERA_FORMATS names a comma-separated subset, and gives its
// properties a V4L2 node when VLX_TEST_CAMERA_NODE names one.
#include <glob.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <gst/gst.h>

#include "devices_internal.h"
#include "vlx/capture/sources.h"

namespace vlx::capture::detail {
namespace {

enum DeviceRole { kRoleCamera = 1, kRoleMicrophone, kRoleDvCamera, kRoleDv1394 };

bool EnvIs(const char* name, const char* value) {
    const char* v = std::getenv(name);
    return v && std::strcmp(v, value) == 0;
}

// ---- the device object --------------------------------------------------------------------

struct VlxDevice {
    GstDevice parent;
    int role;
};
struct VlxDeviceClass {
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(VlxDevice, vlx_device, GST_TYPE_DEVICE)

GstElement* MakeElement(const char* factory, const char* name) {
    GstElement* e = gst_element_factory_make(factory, name);
    if (!e) g_warning("vlx device: element %s is missing", factory);
    return e;
}

GstElement* CapsFilter(const char* caps_text) {
    GstElement* f = gst_element_factory_make("capsfilter", nullptr);
    GstCaps* caps = gst_caps_from_string(caps_text);
    g_object_set(f, "caps", caps, nullptr);
    gst_caps_unref(caps);
    return f;
}

bool AddGhost(GstElement* bin, GstElement* inner, const char* pad_name) {
    GstPad* target = gst_element_get_static_pad(inner, "src");
    GstPad* ghost = gst_ghost_pad_new(pad_name, target);
    gst_object_unref(target);
    return gst_element_add_pad(bin, ghost);
}

std::string TestCameraFormats() {
    const char* v = std::getenv("VLX_TEST_CAMERA_FORMATS");
    return (v && *v) ? v : "UYVY,YUY2,I420,YV12,GRAY8";
}

GstCaps* TestCameraCaps() {
    std::string list = TestCameraFormats();
    std::string text = "video/x-raw, format=(string){ " + list +
                       " }, width=(int)[ 16, 4096 ], height=(int)[ 16, 4096 ], framerate=(fraction)[ 1/1, 120/1 ]";
    if (list.find(',') == std::string::npos) {
        text = "video/x-raw, format=(string)" + list +
               ", width=(int)[ 16, 4096 ], height=(int)[ 16, 4096 ], framerate=(fraction)[ 1/1, 120/1 ]";
    }
    GstCaps* caps = gst_caps_from_string(text.c_str());
    return caps ? caps : gst_caps_new_empty();
}

// The test camera: a live ball on black in the formats it offers, and a tone
// on a second pad, as a capture card that carries sound.
GstElement* CreateTestCamera(const char* name) {
    GstElement* bin = gst_bin_new(name);
    GstElement* vsrc = MakeElement("videotestsrc", nullptr);
    GstElement* asrc = MakeElement("audiotestsrc", nullptr);
    if (!vsrc || !asrc) {
        if (vsrc) gst_object_unref(vsrc);
        if (asrc) gst_object_unref(asrc);
        gst_object_unref(bin);
        return nullptr;
    }
    g_object_set(vsrc, "is-live", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(vsrc), "pattern", "ball");
    GstElement* vcaps = gst_element_factory_make("capsfilter", nullptr);
    GstCaps* caps = TestCameraCaps();
    g_object_set(vcaps, "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(asrc, "is-live", TRUE, "volume", 0.2, nullptr);
    GstElement* acaps = CapsFilter("audio/x-raw, format=S16LE, layout=interleaved, rate=48000, channels=2");
    gst_bin_add_many(GST_BIN(bin), vsrc, vcaps, asrc, acaps, nullptr);
    gst_element_link(vsrc, vcaps);
    gst_element_link(asrc, acaps);
    AddGhost(bin, vcaps, "src");
    AddGhost(bin, acaps, "audio_src");
    return bin;
}

// The DV encoder stamps its pictures 1000 hours on (room for negative decoding
// times); the DV muxer orders by raw time stamps, so it would hold the
// pictures back behind the sound for ever. Restamp them in running time, as
// the sound is.
GstPadProbeReturn ToRunningTime(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* segment = static_cast<GstSegment*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstBuffer* b = gst_buffer_make_writable(gst_pad_probe_info_get_buffer(info));
        if (GST_BUFFER_PTS_IS_VALID(b))
            GST_BUFFER_PTS(b) = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(b));
        if (GST_BUFFER_DTS_IS_VALID(b))
            GST_BUFFER_DTS(b) = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_DTS(b));
        GST_PAD_PROBE_INFO_DATA(info) = b;
    } else if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* ev = gst_pad_probe_info_get_event(info);
        if (GST_EVENT_TYPE(ev) == GST_EVENT_SEGMENT) {
            const GstSegment* in = nullptr;
            gst_event_parse_segment(ev, &in);
            gst_segment_copy_into(in, segment);
            GstSegment out;
            gst_segment_init(&out, GST_FORMAT_TIME);
            gst_event_unref(ev);
            GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_segment(&out);
        }
    }
    return GST_PAD_PROBE_OK;
}

// The test DV camera: a DV system stream with 48 kHz sound, NTSC 720x480.
GstElement* CreateTestDvCamera(const char* name) {
    GstElement* bin = gst_bin_new(name);
    const char* file = std::getenv("VLX_TEST_DV_FILE");
    if (file && *file) {
        GstElement* src = MakeElement("filesrc", nullptr);
        if (!src) {
            gst_object_unref(bin);
            return nullptr;
        }
        g_object_set(src, "location", file, nullptr);
        GstElement* caps = CapsFilter("video/x-dv, systemstream=(boolean)true");
        gst_bin_add_many(GST_BIN(bin), src, caps, nullptr);
        gst_element_link(src, caps);
        AddGhost(bin, caps, "src");
        return bin;
    }
    GstElement* vsrc = MakeElement("videotestsrc", nullptr);
    GstElement* enc = MakeElement("avenc_dvvideo", nullptr);
    GstElement* mux = MakeElement("avmux_dv", nullptr);
    GstElement* asrc = MakeElement("audiotestsrc", nullptr);
    if (!vsrc || !enc || !mux || !asrc) {
        for (GstElement* e : {vsrc, enc, mux, asrc})
            if (e) gst_object_unref(e);
        gst_object_unref(bin);
        return nullptr;
    }
    g_object_set(vsrc, "is-live", TRUE, nullptr);
    gst_util_set_object_arg(G_OBJECT(vsrc), "pattern", "ball");
    // 1601 or 1602 samples are one NTSC frame of 48 kHz sound.
    g_object_set(asrc, "is-live", TRUE, "volume", 0.2, "samplesperbuffer", 1601, nullptr);
    GstElement* vcaps =
        CapsFilter("video/x-raw, format=Y41B, width=720, height=480, framerate=30000/1001, pixel-aspect-ratio=8/9");
    GstElement* acaps = CapsFilter("audio/x-raw, format=S16LE, layout=interleaved, rate=48000, channels=2");
    GstElement* scaps = CapsFilter("video/x-dv, systemstream=(boolean)true");
    gst_bin_add_many(GST_BIN(bin), vsrc, vcaps, enc, asrc, acaps, mux, scaps, nullptr);
    bool ok = gst_element_link_many(vsrc, vcaps, enc, nullptr) && gst_element_link(asrc, acaps) &&
              gst_element_link_pads(enc, "src", mux, "video_%u") &&
              gst_element_link_pads(acaps, "src", mux, "audio_%u") && gst_element_link(mux, scaps);
    if (!ok) {
        gst_object_unref(bin);
        return nullptr;
    }
    GstPad* encoded = gst_element_get_static_pad(enc, "src");
    GstSegment* segment = gst_segment_new();
    gst_segment_init(segment, GST_FORMAT_TIME);
    gst_pad_add_probe(encoded,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      ToRunningTime, segment, reinterpret_cast<GDestroyNotify>(gst_segment_free));
    gst_object_unref(encoded);
    AddGhost(bin, scaps, "src");
    return bin;
}

GstElement* CreateTestMicrophone(const char* name) {
    GstElement* src = MakeElement("audiotestsrc", name);
    if (src) g_object_set(src, "is-live", TRUE, "volume", 0.2, nullptr);
    return src;
}

GstElement* vlx_device_create_element(GstDevice* device, const gchar* name) {
    switch (reinterpret_cast<VlxDevice*>(device)->role) {
        case kRoleCamera: return CreateTestCamera(name);
        case kRoleMicrophone: return CreateTestMicrophone(name);
        case kRoleDvCamera: return CreateTestDvCamera(name);
        case kRoleDv1394: return MakeElement("dv1394src", name);
        default: return nullptr;
    }
}

void vlx_device_class_init(VlxDeviceClass* klass) {
    GST_DEVICE_CLASS(klass)->create_element = vlx_device_create_element;
}

void vlx_device_init(VlxDevice* self) { self->role = 0; }

GstDevice* NewDevice(int role, const char* display_name, const char* device_class, GstCaps* caps,
                     GstStructure* props) {
    auto* dev = static_cast<VlxDevice*>(g_object_new(vlx_device_get_type(), "display-name", display_name, "caps",
                                                     caps, "device-class", device_class, "properties", props,
                                                     nullptr));
    dev->role = role;
    gst_caps_unref(caps);
    if (props) gst_structure_free(props);
    return GST_DEVICE(dev);
}

// ---- the providers ------------------------------------------------------------------------

struct VlxTestProvider {
    GstDeviceProvider parent;
};
struct VlxTestProviderClass {
    GstDeviceProviderClass parent_class;
};
G_DEFINE_TYPE(VlxTestProvider, vlx_test_provider, GST_TYPE_DEVICE_PROVIDER)

GList* vlx_test_provider_probe(GstDeviceProvider*) {
    if (!EnvIs("VLX_TEST_DEVICES", "1")) return nullptr;
    GList* list = nullptr;
    GstStructure* props = gst_structure_new("vlx-test-device", "device.api", G_TYPE_STRING, "vlx-test", nullptr);
    const char* node = std::getenv("VLX_TEST_CAMERA_NODE");
    if (node && *node) {
        gst_structure_set(props, "device.api", G_TYPE_STRING, "v4l2", "device.path", G_TYPE_STRING, node, nullptr);
    }
    list = g_list_append(list, NewDevice(kRoleCamera, kTestCameraName, "Video/Source", TestCameraCaps(), props));
    list = g_list_append(list,
                         NewDevice(kRoleDvCamera, kTestDvCameraName, "Video/Source",
                                   gst_caps_from_string("video/x-dv, systemstream=(boolean)true"), nullptr));
    list = g_list_append(
        list, NewDevice(kRoleMicrophone, kTestMicrophoneName, "Audio/Source",
                        gst_caps_from_string("audio/x-raw, format=(string)S16LE, layout=(string)interleaved, "
                                             "rate=(int)[ 8000, 96000 ], channels=(int)[ 1, 2 ]"),
                        nullptr));
    return list;
}

void vlx_test_provider_class_init(VlxTestProviderClass* klass) {
    GstDeviceProviderClass* pc = GST_DEVICE_PROVIDER_CLASS(klass);
    pc->probe = vlx_test_provider_probe;
    gst_device_provider_class_set_static_metadata(pc, "Vigilux test sources", "Audio/Video/Source",
                                                  "Test camera, DV camera and microphone for the tests",
                                                  "Vigilux");
}
void vlx_test_provider_init(VlxTestProvider*) {}

struct VlxDvProvider {
    GstDeviceProvider parent;
};
struct VlxDvProviderClass {
    GstDeviceProviderClass parent_class;
};
G_DEFINE_TYPE(VlxDvProvider, vlx_dv_provider, GST_TYPE_DEVICE_PROVIDER)

bool HasFireWire() {
    if (access("/dev/raw1394", F_OK) == 0) return true;
    glob_t g{};
    bool found = glob("/dev/fw*", 0, nullptr, &g) == 0 && g.gl_pathc > 0;
    globfree(&g);
    return found;
}

GList* vlx_dv_provider_probe(GstDeviceProvider*) {
    if (!HasFireWire()) return nullptr;
    GstElementFactory* f = gst_element_factory_find("dv1394src");
    if (!f) return nullptr;
    gst_object_unref(f);
    // dv1394src finds the camera on the bus itself; one entry stands for it.
    return g_list_append(nullptr, NewDevice(kRoleDv1394, "IEEE 1394 DV Camera", "Video/Source",
                                            gst_caps_from_string("video/x-dv, systemstream=(boolean)true"),
                                            nullptr));
}

void vlx_dv_provider_class_init(VlxDvProviderClass* klass) {
    GstDeviceProviderClass* pc = GST_DEVICE_PROVIDER_CLASS(klass);
    pc->probe = vlx_dv_provider_probe;
    gst_device_provider_class_set_static_metadata(pc, "IEEE 1394 DV cameras", "Video/Source",
                                                  "DV cameras on FireWire through dv1394src", "Vigilux");
}
void vlx_dv_provider_init(VlxDvProvider*) {}

gboolean RegisterProviders(GstPlugin* plugin) {
    return gst_device_provider_register(plugin, "vlxdv1394deviceprovider", GST_RANK_SECONDARY,
                                        vlx_dv_provider_get_type()) &&
           gst_device_provider_register(plugin, "vlxtestdeviceprovider", GST_RANK_SECONDARY,
                                        vlx_test_provider_get_type());
}

}  // namespace

void EnsureGstReady() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!gst_is_initialized()) gst_init(nullptr, nullptr);
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "vlxdevices",
                                   "Device providers of Vigilux", RegisterProviders, "2.0", "Proprietary",
                                   "vigilux", "vigilux", "https://vigilux.invalid/");
    });
}

}  // namespace vlx::capture::detail

// Device, audio and compressor lists, and format negotiation with a device.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "devices_internal.h"
#include "vlx/app/report.h"
#include "vlx/capture/sources.h"

namespace vlx::capture {
namespace detail {

namespace {

constexpr unsigned kDevEnumFailed = 0x80004005u;  // reported as the enumeration's result code

std::string DisplayName(GstDevice* d) {
    gchar* name = gst_device_get_display_name(d);
    std::string s = name ? name : "";
    g_free(name);
    return s;
}

std::string Numbered(int n, const std::string& name) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:", n);
    return buf + name;
}

void CopySetting(char* field, size_t cap, const std::string& value) {
    std::snprintf(field, cap, "%s", value.c_str());
}

}  // namespace

DeviceScan::~DeviceScan() {
    for (auto& d : video_) gst_object_unref(d.device);
    for (auto& d : audio_) gst_object_unref(d.device);
}

bool DeviceScan::Run() {
    EnsureGstReady();
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    if (!monitor) return false;
    guint vf = gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    guint af = gst_device_monitor_add_filter(monitor, "Audio/Source", nullptr);
    if (vf == 0 && af == 0) {
        gst_object_unref(monitor);
        return false;
    }
    // Probing without starting the monitor: a snapshot of what is plugged in.
    GList* devices = gst_device_monitor_get_devices(monitor);
    int nv = 0;
    int na = 0;
    for (GList* l = devices; l; l = l->next) {
        GstDevice* d = GST_DEVICE(l->data);
        if (gst_device_has_classes(d, "Video/Source")) {
            video_.push_back({Numbered(++nv, DisplayName(d)), GST_DEVICE(gst_object_ref(d))});
        } else if (gst_device_has_classes(d, "Audio/Source")) {
            audio_.push_back({Numbered(++na, DisplayName(d)), GST_DEVICE(gst_object_ref(d))});
        }
    }
    g_list_free_full(devices, gst_object_unref);
    gst_object_unref(monitor);
    // The video devices continue the audio list's numbering (a video device
    // can carry the sound).
    return true;
}

std::vector<std::string> DeviceScan::AudioListEntries() const {
    std::vector<std::string> list{kNoAudio};
    for (const auto& d : audio_) list.push_back(d.entry);
    int n = static_cast<int>(audio_.size());
    for (const auto& d : video_) {
        std::string name = d.entry.substr(d.entry.find(':') + 1);
        list.push_back(Numbered(++n, name));
    }
    return list;
}

GstDevice* DeviceScan::FindVideo(const std::string& entry) const {
    for (const auto& d : video_)
        if (d.entry == entry) return d.device;
    return nullptr;
}

GstDevice* DeviceScan::FindAudio(const std::string& entry) const {
    for (const auto& d : audio_)
        if (d.entry == entry) return d.device;
    int n = static_cast<int>(audio_.size());
    for (const auto& d : video_) {
        std::string name = d.entry.substr(d.entry.find(':') + 1);
        if (Numbered(++n, name) == entry) return d.device;
    }
    return nullptr;
}

std::string V4l2NodeOf(GstDevice* device) {
    GstStructure* props = gst_device_get_properties(device);
    if (!props) return {};
    std::string node;
    const char* api = gst_structure_get_string(props, "device.api");
    if (api && std::strcmp(api, "v4l2") == 0) {
        const char* path = gst_structure_get_string(props, "device.path");
        if (!path) path = gst_structure_get_string(props, "api.v4l2.path");
        if (path) node = path;
    }
    gst_structure_free(props);
    return node;
}

std::vector<std::string> AviCompressorNames() {
    EnsureGstReady();
    std::vector<std::string> names;
    GstElementFactory* mux = gst_element_factory_find("avimux");
    if (!mux) return names;
    GstCaps* accepted = nullptr;
    for (const GList* l = gst_element_factory_get_static_pad_templates(mux); l; l = l->next) {
        auto* t = static_cast<GstStaticPadTemplate*>(l->data);
        if (t->direction == GST_PAD_SINK && std::strncmp(t->name_template, "video", 5) == 0) {
            accepted = gst_static_pad_template_get_caps(t);
            break;
        }
    }
    gst_object_unref(mux);
    if (!accepted) return names;

    GList* encoders = gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_VIDEO_ENCODER, GST_RANK_NONE);
    for (GList* l = encoders; l; l = l->next) {
        GstElementFactory* f = GST_ELEMENT_FACTORY(l->data);
        for (const GList* p = gst_element_factory_get_static_pad_templates(f); p; p = p->next) {
            auto* t = static_cast<GstStaticPadTemplate*>(p->data);
            if (t->direction != GST_PAD_SRC) continue;
            GstCaps* caps = gst_static_pad_template_get_caps(t);
            bool ok = !gst_caps_is_any(caps) && gst_caps_can_intersect(caps, accepted);
            gst_caps_unref(caps);
            if (ok) {
                names.push_back(GST_OBJECT_NAME(f));
                break;
            }
        }
    }
    gst_plugin_feature_list_free(encoders);
    gst_caps_unref(accepted);
    std::sort(names.begin(), names.end());
    return names;
}

Guid SubtypeOfFormat(const char* f) {
    if (!f) return kGuidNull;
    if (!std::strcmp(f, "I420")) return kSubtypeI420;
    if (!std::strcmp(f, "YV12")) return kSubtypeYV12;
    if (!std::strcmp(f, "YUY2")) return kSubtypeYUY2;
    if (!std::strcmp(f, "UYVY")) return kSubtypeUYVY;
    if (!std::strcmp(f, "GRAY8")) return kSubtypeY800;
    return kGuidNull;
}

namespace {

// The first fixed caps the device takes from `wanted`, with the frame rate
// nearest to the one asked for; nullptr when it takes none.
GstCaps* Agree(const GstCaps* device_caps, GstCaps* wanted, int fps_n, int fps_d) {
    GstCaps* common = gst_caps_intersect(wanted, const_cast<GstCaps*>(device_caps));
    gst_caps_unref(wanted);
    if (gst_caps_is_empty(common)) {
        gst_caps_unref(common);
        return nullptr;
    }
    GstCaps* one = gst_caps_copy_nth(common, 0);
    gst_caps_unref(common);
    GstStructure* s = gst_caps_get_structure(one, 0);
    if (gst_structure_has_field(s, "framerate")) gst_structure_fixate_field_nearest_fraction(s, "framerate", fps_n, fps_d);
    return gst_caps_fixate(one);
}

GstCaps* RawCaps(const char* format, int w, int h) {
    return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format, "width", G_TYPE_INT, w, "height",
                               G_TYPE_INT, h, nullptr);
}

GstCaps* DvCaps() { return gst_caps_new_simple("video/x-dv", "systemstream", G_TYPE_BOOLEAN, TRUE, nullptr); }

}  // namespace

void NegotiateFormat(const GstCaps* device_caps, int cxin, int cyin, double fps, Negotiated* out, int cx) {
    out->kind = Negotiated::kNone;
    if (!device_caps || gst_caps_is_empty(device_caps)) return;
    int n = 0;
    int d = 1;
    WantedFrameRate(fps, &n, &d);
    // IYUV is I420's layout under another name; offering it again changes nothing.
    static const struct {
        const char* format;
        const Guid* subtype;
    } kRaw[] = {{"UYVY", &kSubtypeUYVY}, {"YUY2", &kSubtypeYUY2}, {"I420", &kSubtypeI420}, {"YV12", &kSubtypeYV12}};
    const bool odd_width = ((cxin | (cx > 0 ? cx : cxin)) & 1) != 0;
    for (const auto& r : kRaw) {
        if (odd_width && (r.subtype == &kSubtypeUYVY || r.subtype == &kSubtypeYUY2)) continue;
        if (GstCaps* c = Agree(device_caps, RawCaps(r.format, cxin, cyin), n, d)) {
            out->kind = Negotiated::kRaw;
            out->caps = c;
            out->subtype_req = out->subtype = *r.subtype;
            return;
        }
    }
    auto take_dv = [&](bool half) {
        if (GstCaps* c = Agree(device_caps, DvCaps(), n, d)) {
            out->kind = Negotiated::kDv;
            out->caps = c;
            out->subtype_req = kSubtypeDvsd;
            out->subtype = kSubtypeYUY2;
            out->dv_half = half;
            return true;
        }
        return false;
    };
    if (cyin < 480 && take_dv(true)) return;
    if (GstCaps* c = Agree(device_caps, RawCaps("GRAY8", cxin, cyin), n, d)) {
        out->kind = Negotiated::kRaw;
        out->caps = c;
        out->subtype_req = out->subtype = kSubtypeY800;
        return;
    }
    // A DV camera at full size: DV pictures are 480 or 576 lines high.
    if (cyin >= 480) take_dv(false);
}

}  // namespace detail

void WantedFrameRate(double fps, int* num, int* den) {
    if (fps <= 0.01) {
        // Unknown: the 333667 x 100 ns interval of NTSC video.
        *num = 30000;
        *den = 1001;
        return;
    }
    // Devices list rates as fractions; whole and NTSC rates are kept exact
    // (29.97 -> 30000/1001) so that they match what a device offers.
    if (std::fabs(fps - std::round(fps)) < 1e-3) {
        *num = static_cast<int>(std::round(fps));
        *den = 1;
    } else if (std::fabs(fps * 1.001 - std::round(fps * 1.001)) < 2e-3) {
        *num = static_cast<int>(std::round(fps * 1.001)) * 1000;
        *den = 1001;
    } else {
        gst_util_double_to_fraction(fps, num, den);
    }
}

DeviceLists EnumerateDevices(AppContext& ctx) {
    DeviceLists lists;
    detail::DeviceScan scan;
    if (scan.Run()) {
        for (const auto& d : scan.video()) lists.video.push_back(d.entry);
        lists.audio = scan.AudioListEntries();
    } else {
        ErrorBox("UE003: DxErr devenum hr = %x", detail::kDevEnumFailed);
    }
    lists.compressors = {"AVI", "WMV"};
    int n = 0;
    for (const auto& name : detail::AviCompressorNames()) lists.compressors.push_back(detail::Numbered(++n, name));

    Settings& ap = ctx.ap;
    if (ap.dv_video[0] == '\0' && !lists.video.empty()) detail::CopySetting(ap.dv_video, sizeof ap.dv_video, lists.video[0]);
    if (ap.dv_audio[0] == '\0' && !lists.audio.empty()) detail::CopySetting(ap.dv_audio, sizeof ap.dv_audio, lists.audio[0]);
    if (ap.dv_codec[0] == '\0') detail::CopySetting(ap.dv_codec, sizeof ap.dv_codec, lists.compressors[0]);

    if (std::strcmp(ap.dv_codec, "AVI") == 0) {
        ctx.output_kind = kOutputAvi;
    } else if (std::strcmp(ap.dv_codec, "WMV") == 0) {
        ctx.output_kind = kOutputWmv;
    } else {
        ctx.output_kind = kOutputCodec;
    }
    return lists;
}

}  // namespace vlx::capture

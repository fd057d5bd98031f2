// V4L2 input routing, tuner and controls.
#include "vlx/capture/v4l2_device.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "devices_internal.h"

namespace vlx::capture {
namespace {

int SysOpen(const char* path, int flags) { return ::open(path, flags); }
int SysClose(int fd) { return ::close(fd); }
int SysIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

const V4l2Ops kSystemOps{SysOpen, SysClose, SysIoctl};
std::atomic<const V4l2Ops*> g_ops{&kSystemOps};

const V4l2Ops& Ops() { return *g_ops.load(); }

// An open device node, closed on scope exit.
class Node {
public:
    explicit Node(const std::string& path) : fd_(path.empty() ? -1 : Ops().open(path.c_str(), O_RDWR | O_NONBLOCK)) {}
    ~Node() {
        if (fd_ >= 0) Ops().close(fd_);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    bool ok() const { return fd_ >= 0; }
    bool Io(unsigned long request, void* arg) const {
        int r;
        do {
            r = Ops().ioctl(fd_, request, arg);
        } while (r < 0 && errno == EINTR);
        return r >= 0;
    }

private:
    int fd_;
};

std::string Text(const __u8* s, size_t cap) {
    return std::string(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), cap));
}

std::string Numbered(int n, const std::string& s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d:", n);
    return buf + s;
}

bool Has(const std::string& lower, const char* word) { return lower.find(word) != std::string::npos; }

// V4L2 gives inputs a type (tuner, camera) and a driver's name; the lists show
// the connector kind where the name tells it, else the driver's name.
std::string VideoConnectorName(const v4l2_input& in) {
    if (in.type == V4L2_INPUT_TYPE_TUNER) return "Tuner";
    std::string name = Text(in.name, sizeof in.name);
    std::string l = name;
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (Has(l, "tuner") || Has(l, "television")) return "Tuner";
    if (Has(l, "s-video") || Has(l, "svideo") || Has(l, "s video")) return "S-Video";
    if (Has(l, "composite") || Has(l, "cvbs")) return "Composite";
    if (Has(l, "component") || Has(l, "ypbpr") || Has(l, "yuv")) return "YRYBY";
    if (Has(l, "sdi")) return "Serial Digital";
    if (Has(l, "rgb") || Has(l, "vga")) return "RGB";
    if (Has(l, "1394") || Has(l, "firewire")) return "1394";
    if (Has(l, "usb")) return "USB";
    if (Has(l, "aux")) return "AUX";
    return name.empty() ? "Unknown" : name;
}

std::string AudioConnectorName(const v4l2_audio& a) {
    std::string name = Text(a.name, sizeof a.name);
    std::string l = name;
    for (char& c : l) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (Has(l, "tuner") || Has(l, "television") || Has(l, "tv")) return "Tuner";
    if (Has(l, "mic")) return "Microphone";
    if (Has(l, "spdif") || Has(l, "s/pdif")) return "S/PDIF";
    if (Has(l, "aes")) return "AES/EBU Digital";
    if (Has(l, "line")) return "Line";
    if (Has(l, "aux")) return "AUX";
    if (Has(l, "1394")) return "1394";
    if (Has(l, "usb")) return "USB";
    return name.empty() ? "Unknown" : name;
}

InputLists ListOpen(const Node& node) {
    InputLists lists;
    for (__u32 i = 0; i < 64; ++i) {
        v4l2_input in{};
        in.index = i;
        if (!node.Io(VIDIOC_ENUMINPUT, &in)) break;
        lists.video.push_back(Numbered(static_cast<int>(i) + 1, VideoConnectorName(in)));
    }
    for (__u32 i = 0; i < 64; ++i) {
        v4l2_audio a{};
        a.index = i;
        if (!node.Io(VIDIOC_ENUMAUDIO, &a)) break;
        lists.audio.push_back(Numbered(static_cast<int>(i) + 1, AudioConnectorName(a)));
    }
    return lists;
}

}  // namespace

const V4l2Ops& SystemV4l2Ops() { return kSystemOps; }

void SetV4l2Ops(const V4l2Ops* ops) { g_ops.store(ops ? ops : &kSystemOps); }

std::string DeviceNodeOf(const char* entry) {
    detail::DeviceScan scan;
    if (!scan.Run() || !entry) return {};
    GstDevice* d = scan.FindVideo(entry);
    return d ? detail::V4l2NodeOf(d) : std::string();
}

InputLists ListInputs(const std::string& path) {
    Node node(path);
    return node.ok() ? ListOpen(node) : InputLists{};
}

bool RouteInputsOnNode(const std::string& path, int vpin, int apin, bool route_audio, InputLists* lists) {
    Node node(path);
    if (!node.ok()) {
        if (lists) *lists = {};
        return false;
    }
    InputLists found = ListOpen(node);
    bool ok = true;
    if (vpin >= 0 && vpin < static_cast<int>(found.video.size())) {
        int index = vpin;
        ok = node.Io(VIDIOC_S_INPUT, &index) && ok;
    }
    if (route_audio && apin >= 0 && apin < static_cast<int>(found.audio.size())) {
        v4l2_audio a{};
        a.index = static_cast<__u32>(apin);
        ok = node.Io(VIDIOC_S_AUDIO, &a) && ok;
    }
    if (lists) *lists = std::move(found);
    return ok;
}

bool RouteInputs(AppContext& ctx, InputLists* lists) {
    std::string node = DeviceNodeOf(ctx.ap.dv_video);
    if (node.empty()) {
        if (lists) *lists = {};
        return true;  // nothing to route
    }
    bool audio = ctx.ap.dv_audio[0] != '\0' && std::strcmp(ctx.ap.dv_audio, kNoAudio) != 0;
    return RouteInputsOnNode(node, ctx.ap.vpin, ctx.ap.apin, audio, lists);
}

double ChannelFrequencyMHz(int ch, bool antenna) {
    // Picture carriers, 6 MHz channels.
    if (antenna) {
        if (ch >= 2 && ch <= 4) return 55.25 + 6.0 * (ch - 2);
        if (ch >= 5 && ch <= 6) return 77.25 + 6.0 * (ch - 5);
        if (ch >= 7 && ch <= 13) return 175.25 + 6.0 * (ch - 7);
        if (ch >= 14 && ch <= 69) return 471.25 + 6.0 * (ch - 14);
        return 0;
    }
    if (ch == 1) return 73.25;
    if (ch >= 2 && ch <= 4) return 55.25 + 6.0 * (ch - 2);
    if (ch >= 5 && ch <= 6) return 77.25 + 6.0 * (ch - 5);
    if (ch >= 7 && ch <= 13) return 175.25 + 6.0 * (ch - 7);
    if (ch >= 14 && ch <= 22) return 121.25 + 6.0 * (ch - 14);
    if (ch >= 23 && ch <= 94) return 217.25 + 6.0 * (ch - 23);
    if (ch >= 95 && ch <= 99) return 91.25 + 6.0 * (ch - 95);
    if (ch >= 100 && ch <= 125) return 649.25 + 6.0 * (ch - 100);
    return 0;
}

TunerResult ApplyTunerOnNode(const std::string& path, int channel, bool antenna) {
    Node node(path);
    if (!node.ok()) return TunerResult::kNoTuner;
    v4l2_tuner tuner{};
    tuner.index = 0;
    if (!node.Io(VIDIOC_G_TUNER, &tuner) || tuner.type != V4L2_TUNER_ANALOG_TV) return TunerResult::kNoTuner;
    double mhz = ChannelFrequencyMHz(channel, antenna);
    if (mhz <= 0) return TunerResult::kNoChannel;
    // Tuner units are 62.5 kHz, or 62.5 Hz with the low-frequency capability.
    double unit_hz = (tuner.capability & V4L2_TUNER_CAP_LOW) ? 62.5 : 62500.0;
    v4l2_frequency f{};
    f.tuner = 0;
    f.type = V4L2_TUNER_ANALOG_TV;
    f.frequency = static_cast<__u32>(std::lround(mhz * 1e6 / unit_hz));
    if (f.frequency < tuner.rangelow || f.frequency > tuner.rangehigh) return TunerResult::kNoChannel;
    return node.Io(VIDIOC_S_FREQUENCY, &f) ? TunerResult::kTuned : TunerResult::kFailed;
}

TunerResult ApplyTuner(AppContext& ctx) {
    std::string node = DeviceNodeOf(ctx.ap.dv_video);
    if (node.empty()) return TunerResult::kNoTuner;
    return ApplyTunerOnNode(node, ctx.ap.tv_ch, ctx.ap.tv_antenna != 0);
}

std::vector<DeviceControl> ListControls(const std::string& path) {
    std::vector<DeviceControl> list;
    Node node(path);
    if (!node.ok()) return list;
    v4l2_queryctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    // Guard against a driver that repeats itself.
    for (int guard = 0; guard < 1024 && node.Io(VIDIOC_QUERYCTRL, &q); ++guard) {
        const __u32 id = q.id;
        if (!(q.flags & V4L2_CTRL_FLAG_DISABLED) && q.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
            DeviceControl c;
            c.id = id;
            c.name = Text(q.name, sizeof q.name);
            switch (q.type) {
                case V4L2_CTRL_TYPE_INTEGER: c.type = DeviceControl::kInteger; break;
                case V4L2_CTRL_TYPE_BOOLEAN: c.type = DeviceControl::kBoolean; break;
                case V4L2_CTRL_TYPE_MENU: c.type = DeviceControl::kMenu; break;
                case V4L2_CTRL_TYPE_BUTTON: c.type = DeviceControl::kButton; break;
                case V4L2_CTRL_TYPE_INTEGER64: c.type = DeviceControl::kInteger64; break;
                case V4L2_CTRL_TYPE_INTEGER_MENU: c.type = DeviceControl::kIntegerMenu; break;
                default: c.type = DeviceControl::kOther; break;
            }
            c.minimum = q.minimum;
            c.maximum = q.maximum;
            c.step = static_cast<int32_t>(q.step);
            c.default_value = q.default_value;
            c.read_only = (q.flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
            c.inactive = (q.flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
            if (!(q.flags & V4L2_CTRL_FLAG_WRITE_ONLY) && c.type != DeviceControl::kButton) {
                v4l2_control v{};
                v.id = id;
                if (node.Io(VIDIOC_G_CTRL, &v)) c.value = v.value;
            }
            if (c.type == DeviceControl::kMenu || c.type == DeviceControl::kIntegerMenu) {
                for (int32_t i = q.minimum; i <= q.maximum && i - q.minimum < 256; ++i) {
                    v4l2_querymenu m{};
                    m.id = id;
                    m.index = static_cast<__u32>(i);
                    if (!node.Io(VIDIOC_QUERYMENU, &m)) continue;  // gaps are allowed
                    if (c.type == DeviceControl::kMenu) {
                        c.menu.emplace_back(i, Text(m.name, sizeof m.name));
                    } else {
                        c.menu.emplace_back(i, std::to_string(static_cast<long long>(m.value)));
                    }
                }
            }
            list.push_back(std::move(c));
        }
        q = v4l2_queryctrl{};
        q.id = id | V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return list;
}

bool GetControl(const std::string& path, uint32_t id, int32_t* value) {
    Node node(path);
    if (!node.ok()) return false;
    v4l2_control v{};
    v.id = id;
    if (!node.Io(VIDIOC_G_CTRL, &v)) return false;
    *value = v.value;
    return true;
}

bool SetControl(const std::string& path, uint32_t id, int32_t value) {
    Node node(path);
    if (!node.ok()) return false;
    v4l2_control v{};
    v.id = id;
    v.value = value;
    return node.Io(VIDIOC_S_CTRL, &v);
}

}  // namespace vlx::capture

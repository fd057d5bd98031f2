// Shared inside the sources library: the device scan, the device providers
// this library adds, and format negotiation.
#pragma once

#include <string>
#include <vector>

#include <gst/gst.h>

#include "vlx/guid.h"

namespace vlx::capture::detail {

// Initialises GStreamer when the program has not, and registers the device
// providers of this library (the DV camera on IEEE 1394, and the test
// sources, which list devices only when VLX_TEST_DEVICES is "1").
void EnsureGstReady();

struct FoundDevice {
    std::string entry;            // "%d:%s" as listed
    GstDevice* device = nullptr;  // one reference
};

// The devices present now, in enumeration order, with their list entries.
class DeviceScan {
public:
    DeviceScan() = default;
    DeviceScan(const DeviceScan&) = delete;
    DeviceScan& operator=(const DeviceScan&) = delete;
    ~DeviceScan();

    // False when the device monitor could not be used.
    bool Run();

    const std::vector<FoundDevice>& video() const { return video_; }
    const std::vector<FoundDevice>& audio() const { return audio_; }  // audio devices only
    // The device whose entry equals `entry` exactly: a video device from the
    // video list, or for the audio list an audio device or a video device
    // numbered after the audio devices.
    GstDevice* FindVideo(const std::string& entry) const;
    GstDevice* FindAudio(const std::string& entry) const;
    std::vector<std::string> AudioListEntries() const;

private:
    std::vector<FoundDevice> video_;
    std::vector<FoundDevice> audio_;
};

// The V4L2 node of a device from its properties, empty for other devices.
std::string V4l2NodeOf(GstDevice* device);

// Video encoder factory names whose output avimux accepts, sorted.
std::vector<std::string> AviCompressorNames();

// One video format agreed with a device.
struct Negotiated {
    enum Kind { kNone, kRaw, kDv } kind = kNone;
    GstCaps* caps = nullptr;  // fixed caps to ask of the device (owned)
    Guid subtype_req = kGuidNull;
    Guid subtype = kGuidNull;  // raw format delivered on the video pad
    bool dv_half = false;      // DV decoded at twice the input size, halved
    Negotiated() = default;
    Negotiated(const Negotiated&) = delete;
    Negotiated& operator=(const Negotiated&) = delete;
    ~Negotiated() {
        if (caps) gst_caps_unref(caps);
    }
};

// Offers the device the formats in order UYVY, YUY2, I420 (IYUV is the same
// layout), YV12; then, when cyin < 480, DV at twice the size; then GRAY8; and
// for a device that offers nothing else, DV at full size when cyin >= 480.
// cx is the working width (0: cxin): the 4:2:2 formats are offered only when
// both widths are even, since they pair pixels along the row.
void NegotiateFormat(const GstCaps* device_caps, int cxin, int cyin, double fps, Negotiated* out, int cx = 0);

// Raw format name (I420, YV12, YUY2, UYVY, GRAY8) -> subtype, kGuidNull for others.
Guid SubtypeOfFormat(const char* format);

}  // namespace vlx::capture::detail

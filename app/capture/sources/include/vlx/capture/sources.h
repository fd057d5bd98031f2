// The live source side of the capture pipeline: the device, audio and
// compressor lists, and a ready-made source bin for the chosen input (a file or
// network camera, a capture device, or a DV camera) that delivers raw video in
// a format the detection element takes, and optionally S16LE audio.
#pragma once

#include <string>
#include <vector>

#include <gst/gst.h>

#include "vlx/app/context.h"
#include "vlx/guid.h"

namespace vlx::capture {

// The three lists of the input settings, in the "%d:%s" form the AP.dv_video,
// AP.dv_audio and AP.dv_codec settings hold.
struct DeviceLists {
    std::vector<std::string> video;        // "1:<name>", ... capture devices
    std::vector<std::string> audio;        // "NULL", audio devices, then the video devices
    std::vector<std::string> compressors;  // "AVI", "WMV", "1:<encoder factory>", ...
};

// Refills the lists from the devices present now and sets ctx.output_kind from
// AP.dv_codec. An empty AP.dv_video, AP.dv_audio or AP.dv_codec takes the first
// entry listed. Safe to call from any thread.
DeviceLists EnumerateDevices(AppContext& ctx);

// The entry "NULL" in the audio list: no audio.
inline constexpr const char* kNoAudio = "NULL";

// Device names the test sources carry; they are listed only when the
// environment variable VLX_TEST_DEVICES is "1".
inline constexpr const char* kTestCameraName = "Vigilux Test Camera";
inline constexpr const char* kTestMicrophoneName = "Vigilux Test Microphone";
inline constexpr const char* kTestDvCameraName = "Vigilux Test DV Camera";

// Input connectors of the bound devices, "%d:%s" numbered from 1. AP.vpin and
// AP.apin are zero-based indexes into them.
struct InputLists {
    std::vector<std::string> video;
    std::vector<std::string> audio;
};

enum class SourceKind { kNone, kFile, kNetwork, kDevice, kDv };

// What BuildSource hands over. `bin` is a GstBin that is not yet in a pipeline
// with the ghost source pads "video" (raw video, IF.cxin x IF.cyin, in the
// format `subtype`) and, when `has_audio`, "audio" (S16LE interleaved; 48000 Hz
// when `audio_48k`). The object holds one reference to the bin; adding the
// bin to a pipeline takes another.
struct SourceParts {
    GstElement* bin = nullptr;
    bool has_audio = false;
    // The format agreed with the source (dvsd for a DV camera); BuildSource
    // also stores it in dp.subtype_req.
    Guid subtype_req = kGuidNull;
    // The raw format on the "video" pad: I420, YV12, YUY2, UYVY or Y800.
    Guid subtype = kGuidNull;
    bool audio_48k = false;  // DV audio from the camera
    bool live = false;       // a device or network camera, not a file
    SourceKind kind = SourceKind::kNone;
    std::string video_node;  // the V4L2 node of the video device, if it has one
    InputLists inputs;       // filled for devices with V4L2 inputs

    SourceParts() = default;
    SourceParts(const SourceParts&) = delete;
    SourceParts& operator=(const SourceParts&) = delete;
    SourceParts(SourceParts&& o) noexcept { *this = std::move(o); }
    SourceParts& operator=(SourceParts&& o) noexcept;
    ~SourceParts() { Reset(); }
    void Reset();
};

// What a video file (or network camera) holds, as the file input sees it.
struct VideoFileFacts {
    bool ok = false;
    // On failure: the message code of the step that failed and the reason
    // in plain words ("no such file", "not a video file", ...).
    std::string code;
    std::string reason;
    int width = 0, height = 0;
    int fps_n = 0, fps_d = 1;  // 0/1 when the file gives no rate
    std::string format;        // the raw format the input will deliver
    bool has_audio = false;
};
// Looks at AP.infname's kind of name (a path, a file:// or network address)
// and asks GStreamer what it holds. Never reports anything itself.
VideoFileFacts ProbeVideoFile(const std::string& name);

// Builds the source for the current settings (IF.fileinmode with AP.infname,
// else the device AP.dv_video with AP.dv_audio). On failure it reports the
// message through ErrorBox and returns false; `out` is then empty.
bool BuildSource(AppContext& ctx, SourceParts* out);

// The frame rate asked of a device for IF.fps as a fraction (30 -> 30/1,
// 29.97 -> 30000/1001); 30000/1001 (an interval of 333667 x 100 ns) when
// fps < 0.01. The device's nearest rate is taken.
void WantedFrameRate(double fps, int* num, int* den);

}  // namespace vlx::capture

// Device, audio and compressor lists; format negotiation with device caps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <ostream>
#include <string>

#include "devices_internal.h"
#include "source_rig.h"
#include "vlx/capture/sources.h"

namespace vlx::capture {
namespace {

using test::EnableTestDevices;
using test::EntryOf;
using test::NewContext;
using test::SetText;

int NumberOf(const std::string& entry) { return std::atoi(entry.c_str()); }

TEST(DeviceLists, NumberedFromOneWithAudioListContinuingOverVideoDevices) {
    EnableTestDevices();
    test::CaptureReporter reporter;
    auto ctx = NewContext(640, 480);
    DeviceLists lists = EnumerateDevices(*ctx);
    EXPECT_TRUE(reporter.errors().empty());

    std::regex form("^[1-9][0-9]*:.+$");
    ASSERT_GE(lists.video.size(), 2u);
    for (size_t i = 0; i < lists.video.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lists.video[i], form)) << lists.video[i];
        EXPECT_EQ(NumberOf(lists.video[i]), static_cast<int>(i) + 1) << lists.video[i];
    }
    const std::string cam = EntryOf(lists.video, kTestCameraName);
    const std::string dv = EntryOf(lists.video, kTestDvCameraName);
    ASSERT_FALSE(cam.empty());
    ASSERT_FALSE(dv.empty());
    EXPECT_EQ(EntryOf(lists.video, kTestMicrophoneName), "");  // no picture, not a video device

    // "NULL", the audio devices from 1, then every video device numbered on.
    ASSERT_GE(lists.audio.size(), 1 + 1 + lists.video.size());
    EXPECT_EQ(lists.audio[0], "NULL");
    for (size_t i = 1; i < lists.audio.size(); ++i) {
        EXPECT_EQ(NumberOf(lists.audio[i]), static_cast<int>(i)) << lists.audio[i];
    }
    const size_t audio_devices = lists.audio.size() - 1 - lists.video.size();
    EXPECT_GE(audio_devices, 1u);
    EXPECT_FALSE(EntryOf(lists.audio, kTestMicrophoneName).empty());
    for (size_t i = 0; i < lists.video.size(); ++i) {
        const std::string& v = lists.video[i];
        EXPECT_EQ(lists.audio[1 + audio_devices + i],
                  std::to_string(audio_devices + i + 1) + v.substr(v.find(':')));
    }

    // Compressors: "AVI", "WMV", then encoders avimux takes, numbered from 1.
    ASSERT_GE(lists.compressors.size(), 3u);
    EXPECT_EQ(lists.compressors[0], "AVI");
    EXPECT_EQ(lists.compressors[1], "WMV");
    GstElement* mux = gst_element_factory_make("avimux", nullptr);
    ASSERT_NE(mux, nullptr);
    for (size_t i = 2; i < lists.compressors.size(); ++i) {
        const std::string& c = lists.compressors[i];
        EXPECT_EQ(NumberOf(c), static_cast<int>(i) - 1) << c;
        std::string factory = c.substr(c.find(':') + 1);
        GstElementFactory* f = gst_element_factory_find(factory.c_str());
        ASSERT_NE(f, nullptr) << factory;
        EXPECT_TRUE(gst_element_factory_list_is_type(f, GST_ELEMENT_FACTORY_TYPE_ENCODER)) << factory;
        gst_object_unref(f);
    }
    gst_object_unref(mux);
    EXPECT_FALSE(EntryOf(lists.compressors, "avenc_mjpeg").empty());
    EXPECT_EQ(EntryOf(lists.compressors, "avenc_wmav2"), "");  // an audio encoder

    // Empty settings took the first entries; "AVI" is output kind 1.
    EXPECT_EQ(std::string(ctx->ap.dv_video), lists.video[0]);
    EXPECT_EQ(std::string(ctx->ap.dv_audio), "NULL");
    EXPECT_EQ(std::string(ctx->ap.dv_codec), "AVI");
    EXPECT_EQ(ctx->output_kind, kOutputAvi);

    // The enumeration order is stable from one call to the next.
    DeviceLists again = EnumerateDevices(*ctx);
    EXPECT_EQ(again.video, lists.video);
    EXPECT_EQ(again.audio, lists.audio);
    EXPECT_EQ(again.compressors, lists.compressors);
}

TEST(DeviceLists, OutputKindFollowsTheCompressorSettingAndSettingsAreKept) {
    EnableTestDevices();
    test::CaptureReporter reporter;
    auto ctx = NewContext(640, 480);
    SetText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, "7:Camera that left");
    SetText(ctx->ap.dv_codec, sizeof ctx->ap.dv_codec, "WMV");
    EnumerateDevices(*ctx);
    EXPECT_EQ(ctx->output_kind, kOutputWmv);
    // A device no longer present keeps its text.
    EXPECT_EQ(std::string(ctx->ap.dv_video), "7:Camera that left");

    SetText(ctx->ap.dv_codec, sizeof ctx->ap.dv_codec, "1:avenc_mjpeg");
    EnumerateDevices(*ctx);
    EXPECT_EQ(ctx->output_kind, kOutputCodec);
    // Exact text only: "avi" is a compressor name, not the raw AVI kind.
    SetText(ctx->ap.dv_codec, sizeof ctx->ap.dv_codec, "avi");
    EnumerateDevices(*ctx);
    EXPECT_EQ(ctx->output_kind, kOutputCodec);
    SetText(ctx->ap.dv_codec, sizeof ctx->ap.dv_codec, "AVI");
    EnumerateDevices(*ctx);
    EXPECT_EQ(ctx->output_kind, kOutputAvi);
}

TEST(DeviceLists, TestDevicesOnlyWhenEnabled) {
    EnableTestDevices();
    setenv("VLX_TEST_DEVICES", "0", 1);
    auto ctx = NewContext(640, 480);
    DeviceLists lists = EnumerateDevices(*ctx);
    EXPECT_EQ(EntryOf(lists.video, kTestCameraName), "");
    EXPECT_EQ(EntryOf(lists.audio, kTestMicrophoneName), "");
    EXPECT_EQ(lists.audio.at(0), "NULL");
    setenv("VLX_TEST_DEVICES", "1", 1);
}

// ---- negotiation -------------------------------------------------------------------------

struct Offer {
    const char* device_caps;
    int cxin, cyin;
    detail::Negotiated::Kind kind;
    const char* want;  // expected fixed caps (subset test), or nullptr
    Guid subtype_req;
};

void PrintTo(const Offer& o, std::ostream* os) { *os << o.device_caps << " @ " << o.cxin << "x" << o.cyin; }

class Negotiation : public ::testing::TestWithParam<Offer> {};

TEST_P(Negotiation, FirstAcceptedFormatInOrder) {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    const Offer& o = GetParam();
    GstCaps* dev = gst_caps_from_string(o.device_caps);
    ASSERT_NE(dev, nullptr);
    detail::Negotiated n;
    detail::NegotiateFormat(dev, o.cxin, o.cyin, 30.0, &n);
    gst_caps_unref(dev);
    EXPECT_EQ(n.kind, o.kind);
    EXPECT_EQ(n.subtype_req, o.subtype_req);
    if (o.want) {
        ASSERT_NE(n.caps, nullptr);
        GstCaps* want = gst_caps_from_string(o.want);
        gchar* got = gst_caps_to_string(n.caps);
        EXPECT_TRUE(gst_caps_is_fixed(n.caps)) << got;
        EXPECT_TRUE(gst_caps_is_subset(n.caps, want)) << got;
        g_free(got);
        gst_caps_unref(want);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Order, Negotiation,
    ::testing::Values(
        // UYVY before YUY2 whatever order the device lists them in.
        Offer{"video/x-raw, format={YUY2,UYVY,I420}, width=[1,4096], height=[1,4096], framerate=[1/1,60/1]", 640,
              480, detail::Negotiated::kRaw, "video/x-raw,format=UYVY,width=640,height=480,framerate=30/1",
              kSubtypeUYVY},
        Offer{"video/x-raw, format={I420,YUY2}, width=[1,4096], height=[1,4096], framerate=[1/1,60/1]", 640, 480,
              detail::Negotiated::kRaw, "video/x-raw,format=YUY2,width=640,height=480", kSubtypeYUY2},
        Offer{"video/x-raw, format={YV12,I420}, width=[1,4096], height=[1,4096]", 320, 240,
              detail::Negotiated::kRaw, "video/x-raw,format=I420,width=320,height=240", kSubtypeI420},
        // GRAY8 last: after the 4:2:x formats and after DV below 480 lines.
        Offer{"video/x-raw, format={GRAY8,YV12}, width=[1,4096], height=[1,4096]", 320, 240,
              detail::Negotiated::kRaw, "video/x-raw,format=YV12", kSubtypeYV12},
        Offer{"video/x-raw, format=GRAY8, width=[1,4096], height=[1,4096]; video/x-dv, systemstream=true", 360, 240,
              detail::Negotiated::kDv, "video/x-dv,systemstream=true", kSubtypeDvsd},
        Offer{"video/x-raw, format=GRAY8, width=[1,4096], height=[1,4096]; video/x-dv, systemstream=true", 720, 480,
              detail::Negotiated::kRaw, "video/x-raw,format=GRAY8,width=720,height=480", kSubtypeY800},
        // A DV-only camera at full size.
        Offer{"video/x-dv, systemstream=true", 720, 480, detail::Negotiated::kDv, "video/x-dv", kSubtypeDvsd},
        // The size is part of the offer: a camera that has no 800x600 does not match.
        Offer{"video/x-raw, format={UYVY,YUY2,GRAY8}, width=640, height=480", 800, 600, detail::Negotiated::kNone,
              nullptr, kGuidNull},
        Offer{"image/jpeg, width=640, height=480", 640, 480, detail::Negotiated::kNone, nullptr, kGuidNull},
        // Discrete frame rates: the one nearest to 30/1.
        Offer{"video/x-raw, format=YUY2, width=640, height=480, framerate={15/1, 25/1, 60/1}", 640, 480,
              detail::Negotiated::kRaw, "video/x-raw,format=YUY2,width=640,height=480,framerate=25/1",
              kSubtypeYUY2}));

TEST(Negotiation, DvHalfOnlyBelow480Lines) {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    GstCaps* dv = gst_caps_from_string("video/x-dv, systemstream=true");
    detail::Negotiated half, full;
    detail::NegotiateFormat(dv, 360, 240, 29.97, &half);
    detail::NegotiateFormat(dv, 720, 480, 29.97, &full);
    gst_caps_unref(dv);
    EXPECT_EQ(half.kind, detail::Negotiated::kDv);
    EXPECT_TRUE(half.dv_half);
    EXPECT_EQ(full.kind, detail::Negotiated::kDv);
    EXPECT_FALSE(full.dv_half);
    EXPECT_EQ(half.subtype, kSubtypeYUY2);  // what the decoder delivers
}

TEST(Negotiation, FrameRateFromTheFrameInterval) {
    int n = 0, d = 0;
    WantedFrameRate(30.0, &n, &d);
    EXPECT_EQ(n, 30);
    EXPECT_EQ(d, 1);
    WantedFrameRate(29.97, &n, &d);
    EXPECT_EQ(n, 30000);
    EXPECT_EQ(d, 1001);
    WantedFrameRate(0.0, &n, &d);  // unknown: 333667 x 100 ns
    EXPECT_EQ(n, 30000);
    EXPECT_EQ(d, 1001);
    WantedFrameRate(25.0, &n, &d);
    EXPECT_EQ(n, 25);
    EXPECT_EQ(d, 1);
    WantedFrameRate(7.5, &n, &d);
    EXPECT_NEAR(static_cast<double>(n) / d, 7.5, 1e-6);
}

}  // namespace
}  // namespace vlx::capture

// Source bins: files, the test camera and microphone, the test DV camera.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>

#include "source_rig.h"
#include "vlx/capture/sources.h"

namespace vlx::capture {
namespace {

using test::CaptureReporter;
using test::EnableTestDevices;
using test::EntryOf;
using test::Facts;
using test::NewContext;
using test::SetText;
using test::SourceRun;

// A bright ball on black: some pixels near white, most of the picture dark.
void ExpectBallPicture(const test::FrameFacts& f) {
    EXPECT_GT(f.max_luma, 180);
    EXPECT_LT(f.mean_luma, 60.0);
}

// ---- file input --------------------------------------------------------------------------

class FileInput : public ::testing::Test {
protected:
    void SetUp() override { EnableTestDevices(); }
    std::unique_ptr<AppContext> FileContext(const std::string& path, int cxin, int cyin) {
        auto ctx = NewContext(cxin, cyin);
        ctx->dp.fileinmode = 1;
        SetText(ctx->ap.infname, sizeof ctx->ap.infname, path);
        return ctx;
    }
    test::TempDir dir;
    CaptureReporter reporter;
};

TEST_F(FileInput, RawAviWithSoundDeliversEveryFrameAndTheSound) {
    const std::string avi = dir / "clip.avi";
    test::MakeAvi(avi, 320, 240, 20, true);
    auto ctx = FileContext(avi, 320, 240);
    SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, "1:Vigilux Test Microphone");

    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts)) << (reporter.errors().empty() ? "" : reporter.errors()[0]);
    EXPECT_TRUE(reporter.errors().empty());
    EXPECT_EQ(parts.kind, SourceKind::kFile);
    EXPECT_FALSE(parts.live);
    EXPECT_TRUE(parts.has_audio);
    EXPECT_EQ(parts.subtype, kSubtypeYUY2);  // already a format the element takes: kept
    EXPECT_EQ(ctx->dp.subtype_req, kSubtypeYUY2);
    EXPECT_EQ(GST_OBJECT_PARENT(parts.bin), nullptr);

    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    int frames = 0;
    int sound_buffers = 0;
    while (GstSample* s = run.PullVideo(5 * GST_SECOND)) {
        if (frames == 0) {
            auto f = Facts(s);
            EXPECT_EQ(f.format, "YUY2");
            EXPECT_EQ(f.width, 320);
            EXPECT_EQ(f.height, 240);
            ExpectBallPicture(f);
        }
        ++frames;
        gst_sample_unref(s);
        // The sound is pulled alongside so that neither branch stalls.
        if (GstSample* a = run.PullAudio(frames == 1 ? 5 * GST_SECOND : 0)) {
            if (sound_buffers++ == 0) {
                int rate = 0;
                EXPECT_EQ(test::AudioFormat(a, &rate), "S16LE/interleaved");
                EXPECT_EQ(rate, 48000);
            }
            gst_sample_unref(a);
        }
    }
    EXPECT_GT(sound_buffers, 0);
    EXPECT_EQ(frames, 20);
    EXPECT_TRUE(gst_app_sink_is_eos(run.video_sink()));
    EXPECT_EQ(run.Error(), "");
}

TEST_F(FileInput, WithoutSoundSettingTheSoundTrackIsLeftOut) {
    const std::string avi = dir / "clip.avi";
    test::MakeAvi(avi, 160, 120, 10, true);
    auto ctx = FileContext(avi, 160, 120);  // AP.dv_audio "NULL"
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_FALSE(parts.has_audio);
    GstPad* audio = gst_element_get_static_pad(parts.bin, "audio");
    EXPECT_EQ(audio, nullptr);
    if (audio) gst_object_unref(audio);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    int frames = 0;
    while (GstSample* s = run.PullVideo(5 * GST_SECOND)) {
        ++frames;
        gst_sample_unref(s);
    }
    // The unused sound track neither stops nor blocks the picture.
    EXPECT_EQ(frames, 10);
    EXPECT_EQ(run.Error(), "");
}

TEST_F(FileInput, WantedSoundMissingFromTheFileIsUE035) {
    const std::string avi = dir / "silent.avi";
    test::MakeAvi(avi, 160, 120, 5, false);
    auto ctx = FileContext(avi, 160, 120);
    SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, "1:Vigilux Test Microphone");
    SourceParts parts;
    EXPECT_FALSE(BuildSource(*ctx, &parts));
    EXPECT_EQ(parts.bin, nullptr);
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UE035:Cannot get audio pin");
}

TEST_F(FileInput, SizeMismatchNamesBothSizes) {
    const std::string avi = dir / "clip.avi";
    test::MakeAvi(avi, 320, 240, 5, false);
    auto ctx = FileContext(avi, 640, 480);
    SourceParts parts;
    EXPECT_FALSE(BuildSource(*ctx, &parts));
    ASSERT_EQ(reporter.errors().size(), 1u);
    const std::string e = reporter.errors()[0];
    EXPECT_EQ(e.rfind("UE025: Cannot connect F-U", 0), 0u) << e;
    EXPECT_NE(e.find("320x240"), std::string::npos) << e;
    EXPECT_NE(e.find("640x480"), std::string::npos) << e;
}

TEST_F(FileInput, MissingOrUnreadableFiles) {
    auto ctx = FileContext(dir / "nothing-here.avi", 320, 240);
    SourceParts parts;
    EXPECT_FALSE(BuildSource(*ctx, &parts));
    const std::string junk = dir / "junk.avi";
    test::WriteFileBytes(junk, "this is not a video file at all", 31);
    auto ctx2 = FileContext(junk, 320, 240);
    EXPECT_FALSE(BuildSource(*ctx2, &parts));
    auto ctx3 = FileContext("", 320, 240);
    EXPECT_FALSE(BuildSource(*ctx3, &parts));
    ASSERT_EQ(reporter.errors().size(), 3u);
    EXPECT_EQ(reporter.errors()[0], "UE-DGB:Failed to connect AVI file source\n " + (dir / "nothing-here.avi") +
                                        ": no such file");
    EXPECT_EQ(reporter.errors()[1], "UE-DEG: Cannot connect A-S\n " + junk + ": not a video file");
    EXPECT_EQ(reporter.errors()[2], "UE-DGB:Failed to connect AVI file source\n no file named");
}

TEST_F(FileInput, CompressedVideoIsDecodedToI420) {
    const std::string avi = dir / "mjpeg.avi";
    test::MakeAvi(avi, 320, 240, 8, false, "I420", "jpegenc");
    auto ctx = FileContext(avi, 320, 240);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_EQ(parts.subtype, kSubtypeI420);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    GstSample* s = run.PullVideo();
    ASSERT_NE(s, nullptr) << run.Error();
    auto f = Facts(s);
    EXPECT_EQ(f.format, "I420");
    EXPECT_EQ(f.width, 320);
    ExpectBallPicture(f);
    gst_sample_unref(s);
}

TEST_F(FileInput, RawFormatTheElementDoesNotTakeIsConverted) {
    const std::string avi = dir / "bgr.avi";
    test::MakeAvi(avi, 160, 120, 4, false, "BGR");
    auto ctx = FileContext(avi, 160, 120);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_EQ(parts.subtype, kSubtypeI420);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    GstSample* s = run.PullVideo();
    ASSERT_NE(s, nullptr) << run.Error();
    EXPECT_EQ(Facts(s).format, "I420");
    gst_sample_unref(s);
}

// A plain HTTP server on loopback serving a folder; the port it took is
// written to a file.
class HttpServer {
public:
    explicit HttpServer(const std::string& dir) : port_file_(dir + "/port") {
        const std::string code =
            "import http.server, os, sys\n"
            "os.chdir(sys.argv[1])\n"
            "class Quiet(http.server.SimpleHTTPRequestHandler):\n"
            "    def log_message(self, *a): pass\n"
            "s = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Quiet)\n"
            "open(sys.argv[2] + '.tmp', 'w').write(str(s.server_address[1]))\n"
            "os.rename(sys.argv[2] + '.tmp', sys.argv[2])\n"
            "s.serve_forever()\n";
        pid_ = fork();
        if (pid_ == 0) {
            execl(test::SystemPython(), test::SystemPython(), "-c", code.c_str(), dir.c_str(), port_file_.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && port_ == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            port_ = std::atoi(test::ReadFileText(port_file_).c_str());
        }
    }
    ~HttpServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }

private:
    std::string port_file_;
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST_F(FileInput, NetworkCameraAddressIsALiveSource) {
    test::MakeAvi(dir / "stream.avi", 320, 240, 12, false);
    HttpServer server(dir.str());
    ASSERT_GT(server.port(), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/stream.avi";
    auto ctx = FileContext(url, 320, 240);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts)) << (reporter.errors().empty() ? "" : reporter.errors()[0]);
    EXPECT_EQ(parts.kind, SourceKind::kNetwork);
    EXPECT_TRUE(parts.live);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    int frames = 0;
    while (GstSample* s = run.PullVideo(5 * GST_SECOND)) {
        if (frames == 0) ExpectBallPicture(Facts(s));
        ++frames;
        gst_sample_unref(s);
    }
    EXPECT_EQ(frames, 12);

    // An address where nothing answers fails the build, with the file-source message.
    auto gone = FileContext("http://127.0.0.1:" + std::to_string(server.port()) + "/missing.avi", 320, 240);
    EXPECT_FALSE(BuildSource(*gone, &parts));
    ASSERT_FALSE(reporter.errors().empty());
    EXPECT_EQ(reporter.errors().back().rfind("UE-DGB:Failed to connect AVI file source\n http://", 0), 0u)
        << reporter.errors().back();
}

// ---- capture devices ---------------------------------------------------------------------

class Devices : public ::testing::Test {
protected:
    void SetUp() override { EnableTestDevices(); }
    std::unique_ptr<AppContext> DeviceContext(const char* formats, int cxin, int cyin, const char* device) {
        EnableTestDevices(formats);
        auto ctx = NewContext(cxin, cyin);
        DeviceLists lists = EnumerateDevices(*ctx);
        SetText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, EntryOf(lists.video, device));
        audio_list = lists.audio;
        return ctx;
    }
    std::vector<std::string> audio_list;
    CaptureReporter reporter;
};

struct CameraCase {
    const char* formats;
    const char* delivered;
    Guid subtype;
};

void PrintTo(const CameraCase& c, std::ostream* os) { *os << (c.formats ? c.formats : "all formats"); }

class CameraFormats : public Devices, public ::testing::WithParamInterface<CameraCase> {};

TEST_P(CameraFormats, NegotiatedFormatReachesTheVideoPad) {
    const CameraCase& c = GetParam();
    auto ctx = DeviceContext(c.formats, 320, 240, kTestCameraName);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts)) << (reporter.errors().empty() ? "" : reporter.errors()[0]);
    EXPECT_EQ(parts.kind, SourceKind::kDevice);
    EXPECT_TRUE(parts.live);
    EXPECT_EQ(parts.subtype, c.subtype);
    EXPECT_EQ(parts.subtype_req, c.subtype);
    EXPECT_EQ(ctx->dp.subtype_req, c.subtype);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    GstSample* s = run.PullVideo();
    ASSERT_NE(s, nullptr) << run.Error();
    auto f = Facts(s);
    EXPECT_EQ(f.format, c.delivered);
    EXPECT_EQ(f.width, 320);
    EXPECT_EQ(f.height, 240);
    ExpectBallPicture(f);
    gst_sample_unref(s);
}

INSTANTIATE_TEST_SUITE_P(Order, CameraFormats,
                         ::testing::Values(CameraCase{nullptr, "UYVY", kSubtypeUYVY},
                                           CameraCase{"GRAY8,I420,YUY2", "YUY2", kSubtypeYUY2},
                                           CameraCase{"GRAY8,YV12,I420", "I420", kSubtypeI420},
                                           CameraCase{"GRAY8,YV12", "YV12", kSubtypeYV12},
                                           CameraCase{"GRAY8", "GRAY8", kSubtypeY800}),
                         [](const ::testing::TestParamInfo<CameraCase>& i) { return std::string(i.param.delivered); });

TEST_F(Devices, NoFormatMatchIsUM012) {
    auto ctx = DeviceContext("BGRx,RGB", 320, 240, kTestCameraName);
    SourceParts parts;
    EXPECT_FALSE(BuildSource(*ctx, &parts));
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UM012:Media type not matched");
}

TEST_F(Devices, DeviceChosenByExactEntryOnly) {
    auto ctx = DeviceContext(nullptr, 320, 240, kTestCameraName);
    const std::string entry = ctx->ap.dv_video;
    ASSERT_FALSE(entry.empty());
    SourceParts parts;
    for (std::string wrong : {std::string(entry.size(), ' '), entry + " ", " " + entry, std::string("Vigilux Test Camera"),
                              std::string(entry).replace(entry.find("Test"), 4, "test")}) {
        SetText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, wrong);
        EXPECT_FALSE(BuildSource(*ctx, &parts)) << wrong;
    }
    ASSERT_EQ(reporter.errors().size(), 5u);
    for (const auto& e : reporter.errors()) EXPECT_EQ(e, "UM010: No video capture device");
    SetText(ctx->ap.dv_video, sizeof ctx->ap.dv_video, entry);
    EXPECT_TRUE(BuildSource(*ctx, &parts));
}

TEST_F(Devices, SeparateMicrophoneAndMissingAudioDevice) {
    auto ctx = DeviceContext(nullptr, 320, 240, kTestCameraName);
    SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, "9:Microphone that left");
    SourceParts parts;
    EXPECT_FALSE(BuildSource(*ctx, &parts));
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UM011: No audio capture device");

    SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, EntryOf(audio_list, kTestMicrophoneName));
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_TRUE(parts.has_audio);
    EXPECT_FALSE(parts.audio_48k);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    GstSample* a = run.PullAudio();
    ASSERT_NE(a, nullptr) << run.Error();
    EXPECT_EQ(test::AudioFormat(a, nullptr), "S16LE/interleaved");
    gst_sample_unref(a);
    GstSample* v = run.PullVideo();
    ASSERT_NE(v, nullptr);
    gst_sample_unref(v);
}

TEST_F(Devices, SoundFromTheVideoDeviceByItsAudioListEntry) {
    auto ctx = DeviceContext(nullptr, 320, 240, kTestCameraName);
    // The camera's own entry in the audio list, numbered after the audio devices.
    SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, EntryOf(audio_list, kTestCameraName));
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_TRUE(parts.has_audio);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    GstSample* a = run.PullAudio();
    ASSERT_NE(a, nullptr) << run.Error();
    gst_sample_unref(a);
    GstSample* v = run.PullVideo();
    ASSERT_NE(v, nullptr);
    gst_sample_unref(v);
}

TEST_F(Devices, UnusedCameraSoundDoesNotStopThePicture) {
    auto ctx = DeviceContext(nullptr, 160, 120, kTestCameraName);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    EXPECT_FALSE(parts.has_audio);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    for (int i = 0; i < 30; ++i) {
        GstSample* v = run.PullVideo();
        ASSERT_NE(v, nullptr) << i << " " << run.Error();
        gst_sample_unref(v);
    }
    EXPECT_EQ(run.Error(), "");
}

// ---- DV ----------------------------------------------------------------------------------

struct DvCase {
    int cxin, cyin;
    bool audio;
};

void PrintTo(const DvCase& c, std::ostream* os) {
    *os << c.cxin << "x" << c.cyin << (c.audio ? " with sound" : "");
}

class DvCamera : public Devices, public ::testing::WithParamInterface<DvCase> {};

TEST_P(DvCamera, DecodedFramesAtTheInputSize) {
    const DvCase& c = GetParam();
    auto ctx = DeviceContext(nullptr, c.cxin, c.cyin, kTestDvCameraName);
    if (c.audio) SetText(ctx->ap.dv_audio, sizeof ctx->ap.dv_audio, ctx->ap.dv_video);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts)) << (reporter.errors().empty() ? "" : reporter.errors()[0]);
    EXPECT_EQ(parts.kind, SourceKind::kDv);
    EXPECT_EQ(parts.subtype_req, kSubtypeDvsd);
    EXPECT_EQ(ctx->dp.subtype_req, kSubtypeDvsd);
    EXPECT_EQ(parts.subtype, kSubtypeYUY2);
    EXPECT_EQ(parts.audio_48k, c.audio);
    EXPECT_EQ(parts.has_audio, c.audio);
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    for (int i = 0; i < 3; ++i) {
        GstSample* s = run.PullVideo(20 * GST_SECOND);
        ASSERT_NE(s, nullptr) << run.Error();
        auto f = Facts(s);
        EXPECT_EQ(f.format, "YUY2");
        EXPECT_EQ(f.width, c.cxin);
        EXPECT_EQ(f.height, c.cyin);
        ExpectBallPicture(f);
        gst_sample_unref(s);
        if (c.audio) {
            GstSample* a = run.PullAudio(20 * GST_SECOND);
            ASSERT_NE(a, nullptr) << run.Error();
            int rate = 0;
            EXPECT_EQ(test::AudioFormat(a, &rate), "S16LE/interleaved");
            EXPECT_EQ(rate, 48000);
            gst_sample_unref(a);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DvCamera,
                         ::testing::Values(DvCase{720, 480, false}, DvCase{360, 240, false}, DvCase{360, 240, true},
                                           DvCase{720, 480, true}),
                         [](const ::testing::TestParamInfo<DvCase>& i) {
                             return std::to_string(i.param.cxin) + "x" + std::to_string(i.param.cyin) +
                                    (i.param.audio ? "_with_sound" : "");
                         });

TEST_F(Devices, DvCameraOfAnotherSizeFailsInsteadOfStretching) {
    // The DV camera is 720x480: 640x480 is neither its full nor its half size.
    auto ctx = DeviceContext(nullptr, 640, 480, kTestDvCameraName);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    SourceRun run(parts);
    run.Play();
    GstSample* s = run.PullVideo(3 * GST_SECOND);
    EXPECT_EQ(s, nullptr);
    if (s) gst_sample_unref(s);
    EXPECT_EQ(run.Error(), "UM021: Resolution or Media type not matched");
}

TEST_F(Devices, DvFromAFile) {
    test::TempDir dir;
    const std::string dv = dir / "camera.dv";
    {
        GError* err = nullptr;
        std::string launch = "videotestsrc num-buffers=15 pattern=ball ! "
                             "video/x-raw,format=Y41B,width=720,height=480,framerate=30000/1001 ! avenc_dvvideo ! "
                             "avmux_dv ! filesink location=\"" + dv + "\"";
        GstElement* p = gst_parse_launch(launch.c_str(), &err);
        ASSERT_NE(p, nullptr);
        gst_element_set_state(p, GST_STATE_PLAYING);
        GstBus* bus = gst_element_get_bus(p);
        GstMessage* m = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                                   static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(GST_MESSAGE_TYPE(m), GST_MESSAGE_EOS);
        gst_message_unref(m);
        gst_object_unref(bus);
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    }
    auto ctx = DeviceContext(nullptr, 360, 240, kTestDvCameraName);
    setenv("VLX_TEST_DV_FILE", dv.c_str(), 1);
    SourceParts parts;
    ASSERT_TRUE(BuildSource(*ctx, &parts));
    SourceRun run(parts);
    ASSERT_TRUE(run.Play());
    int frames = 0;
    while (GstSample* s = run.PullVideo(5 * GST_SECOND)) {
        auto f = Facts(s);
        EXPECT_EQ(f.width, 360);
        EXPECT_EQ(f.height, 240);
        ++frames;
        gst_sample_unref(s);
    }
    unsetenv("VLX_TEST_DV_FILE");
    EXPECT_EQ(frames, 15);
}

}  // namespace
}  // namespace vlx::capture

// vlx-skysim writes AVIs that ffprobe and GStreamer read back with the
// frames, size, format and pixels the generator renders, and truth JSON that
// parses.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "test_support.h"
#include "vlx/skysim/generator.h"

// GLib allocates at load time and never frees; leak checking stays on for
// everything else.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }

namespace vlx::skysim {
namespace {

struct Result {
    int code = -1;
    std::string output;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Result RunCommand(const std::vector<std::string>& args) {
    // In sanitizer builds GLib's load-time allocations, never freed, would
    // otherwise fail the program at exit; the test environment means to
    // turn leak checking off, and this keeps it off when it did not.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 0);
    std::string cmd;
    for (const std::string& a : args) cmd += Quote(a) + " ";
    cmd += "2>&1";
    Result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Skysim() { return test::BuildDir() + "/bin/vlx-skysim"; }

// key=value lines of one ffprobe stream.
std::map<std::string, std::string> Probe(const std::string& file, const char* stream) {
    const Result r = RunCommand({"ffprobe", "-v", "error", "-count_frames", "-select_streams", stream, "-show_entries",
                          "stream=codec_name,codec_tag_string,width,height,pix_fmt,r_frame_rate,nb_read_frames,"
                          "sample_rate,channels",
                          "-of", "default=noprint_wrappers=1", file});
    EXPECT_EQ(r.code, 0) << r.output;
    std::map<std::string, std::string> kv;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

// Decodes the AVI with avidemux and returns the luma plane of every frame.
std::vector<std::vector<uint8_t>> DecodeLuma(const std::string& file, std::string* caps_format) {
    gst_init(nullptr, nullptr);
    GError* err = nullptr;
    const std::string desc = "filesrc location=" + file + " ! avidemux ! video/x-raw ! appsink name=out sync=false";
    GstElement* pipe = gst_parse_launch(desc.c_str(), &err);
    EXPECT_TRUE(pipe) << (err ? err->message : "");
    g_clear_error(&err);
    std::vector<std::vector<uint8_t>> frames;
    if (!pipe) return frames;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipe), "out");
    EXPECT_NE(gst_element_set_state(pipe, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    while (GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
        GstVideoInfo info;
        EXPECT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(s)));
        *caps_format = gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info));
        GstVideoFrame vf;
        if (gst_video_frame_map(&vf, &info, gst_sample_get_buffer(s), GST_MAP_READ)) {
            const int w = GST_VIDEO_INFO_WIDTH(&info), h = GST_VIDEO_INFO_HEIGHT(&info);
            const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&vf, 0));
            const int stride = GST_VIDEO_FRAME_COMP_STRIDE(&vf, 0);
            const int pstride = GST_VIDEO_FRAME_COMP_PSTRIDE(&vf, 0);
            std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) luma[y * w + x] = data[y * stride + x * pstride];
            frames.push_back(std::move(luma));
            gst_video_frame_unmap(&vf);
        }
        gst_sample_unref(s);
    }
    EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink)));
    gst_element_set_state(pipe, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipe);
    return frames;
}

TEST(SkysimCli, WritesAviWithAudioThatFfprobeReads) {
    test::TempDir dir;
    const std::string avi = dir / "sky.avi";
    // Large enough frames that the video queue fills long before the end:
    // the writer must keep feeding audio for the muxer to drain it.
    const Result r = RunCommand({Skysim(), "--preset", "single-meteor", "--out", avi, "--width", "480", "--height",
                                 "360", "--seconds", "4", "--audio"});
    ASSERT_EQ(r.code, 0) << r.output;

    auto v = Probe(avi, "v:0");
    EXPECT_EQ(v["codec_name"], "rawvideo");
    EXPECT_EQ(v["codec_tag_string"], "YUY2");
    EXPECT_EQ(v["width"], "480");
    EXPECT_EQ(v["height"], "360");
    EXPECT_EQ(v["r_frame_rate"], "2997/100");
    EXPECT_EQ(v["nb_read_frames"], "120");  // 4 s at 29.97
    auto a = Probe(avi, "a:0");
    EXPECT_EQ(a["codec_name"], "pcm_s16le");
    EXPECT_EQ(a["sample_rate"], "48000");
    EXPECT_EQ(a["channels"], "2");
    // 4 s of 48 kHz stereo, as ffprobe counts the muxer's audio chunks.
    const Result dur = RunCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                   "packet=size", "-of", "csv=p=0", avi});
    long bytes = 0;
    std::istringstream sizes(dur.output);
    for (long n; sizes >> n;) bytes += n;
    EXPECT_EQ(bytes, 4 * static_cast<long>(std::floor(120 * 48000 / 29.97)));

    // The truth lands next to the AVI and is valid JSON that says the same.
    const std::string json = dir / "sky.json";
    ASSERT_TRUE(std::filesystem::exists(json));
    const Result py = RunCommand({test::SystemPython(), "-c",
                           "import json,sys\n"
                           "j=json.load(open(sys.argv[1]))\n"
                           "m=[e for e in j['events'] if e['kind']=='meteor']\n"
                           "print(j['video'], j['format'], j['width'], j['height'], j['frames'], len(m),\n"
                           "      sum(e['expect_trigger'] for e in m), j['audio']['rate'], 'tone_sample' in m[0])",
                           json});
    ASSERT_EQ(py.code, 0) << py.output;
    EXPECT_EQ(py.output, "sky.avi YUY2 480 360 120 1 1 48000 True\n");
}

TEST(SkysimCli, I420AtAnOddSizeDecodesToTheRenderedFrames) {
    test::TempDir dir;
    const std::string avi = dir / "odd.avi";
    const std::string truth = dir / "elsewhere.json";
    const Result r = RunCommand({Skysim(), "--preset", "two-close", "--out", avi, "--format", "I420", "--width", "161",
                          "--height", "121", "--seconds", "4", "--seed", "5", "--fps", "25", "--truth", truth});
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_TRUE(std::filesystem::exists(truth));
    EXPECT_FALSE(std::filesystem::exists(dir / "odd.json"));

    auto v = Probe(avi, "v:0");
    EXPECT_EQ(v["codec_tag_string"], "I420");
    EXPECT_EQ(v["width"], "161");
    EXPECT_EQ(v["height"], "121");
    EXPECT_EQ(v["r_frame_rate"], "25/1");
    EXPECT_EQ(v["nb_read_frames"], "100");

    std::string format;
    const auto frames = DecodeLuma(avi, &format);
    EXPECT_EQ(format, "I420");
    ASSERT_EQ(frames.size(), 100u);
    Generator g(*Preset("two-close", {161, 121, 25, 4, 5}));
    for (int f : {0, 62, 99}) {
        const uint8_t* luma = g.RenderLuma(f);
        EXPECT_EQ(frames[f], std::vector<uint8_t>(luma, luma + 161 * 121)) << "frame " << f;
    }
}

TEST(SkysimCli, RefusesBadArgumentsAndReportsWriteFailures) {
    test::TempDir dir;
    Result r = RunCommand({Skysim(), "--preset", "no-such-sky", "--out", dir / "x.avi"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.output.find("unknown preset"), std::string::npos) << r.output;
    r = RunCommand({Skysim(), "--out", dir / "x.avi", "--format", "RGB"});
    EXPECT_EQ(r.code, 2);
    r = RunCommand({Skysim(), "--out", dir / "x.avi", "--width", "12"});
    EXPECT_EQ(r.code, 2);
    r = RunCommand({Skysim(), "--preset", "plane"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.output.find("--out"), std::string::npos);

    // A folder that does not exist: an error, no truth file beside it.
    const std::string missing = dir / "no/such/dir/x.avi";
    r = RunCommand({Skysim(), "--preset", "plane", "--out", missing, "--seconds", "1", "--width", "64", "--height", "48"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.output.find(missing), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "no"));

    // The video is fine but its truth cannot be written: a failure all the same.
    const std::string bad_truth = dir / "missing/sky.json";
    r = RunCommand({Skysim(), "--preset", "plane", "--out", dir / "ok.avi", "--truth", bad_truth, "--seconds", "1",
                    "--width", "64", "--height", "48"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.output.find(bad_truth), std::string::npos) << r.output;

    r = RunCommand({Skysim(), "--list-presets"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.output.find("demo\n"), std::string::npos);
}

}  // namespace
}  // namespace vlx::skysim

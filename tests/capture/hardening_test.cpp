// End to end, through vlx2d: what a station left alone must survive. Odd
// frame sizes in every format, refused starts, files of killed runs, a file
// input that is not what the settings say.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <chrono>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;

using Result = test::ShellResult;
using test::Quote;
using test::Shell;

class Hardening : public ::testing::Test {
protected:
    // A simulated sky with one meteor, in the given raw format and size.
    std::string Sky(const std::string& format, int w, int h, int seconds = 7) {
        std::string avi = dir / (format + "_" + std::to_string(w) + "x" + std::to_string(h) + ".avi");
        Result r = Shell(test::BuildDir() + "/bin/vlx-skysim --preset single-meteor --seconds " +
                         std::to_string(seconds) + " --format " + format + " --width " + std::to_string(w) +
                         " --height " + std::to_string(h) + " --out " + Quote(avi));
        EXPECT_EQ(r.status, 0) << r.out;
        return avi;
    }

    // vlx2d in a folder of its own (its program directory).
    Result Run(const std::string& args, int timeout_s = 120) {
        return Shell("cd " + Quote(dir.str()) + " && XDG_DOCUMENTS_DIR=" + Quote(dir / "Docs") + " timeout " +
                     std::to_string(timeout_s) + " " +
                     Quote(test::BuildDir() + "/bin/vlx2d") + " --out " + Quote(clips()) + " " + args);
    }

    std::string clips() const { return dir / "clips"; }

    std::vector<fs::path> Files(const std::string& suffix) const {
        std::vector<fs::path> v;
        if (!fs::exists(clips())) return v;
        for (auto& e : fs::recursive_directory_iterator(clips())) {
            const std::string n = e.path().filename().string();
            if (e.is_regular_file() && n.ends_with(suffix)) v.push_back(e.path());
        }
        return v;
    }

    test::TempDir dir;
};

// Every format at odd widths and heights, at full size and scaled down to an
// odd working size: one clip that GStreamer and ffprobe read back at the
// working size.
TEST_F(Hardening, OddFrameSizesWorkInEveryFormat) {
    struct Case {
        const char* format;
        int w, h, cx, cy;
    } cases[] = {
        {"YUY2", 641, 479, 641, 479}, {"YUY2", 641, 479, 321, 239}, {"UYVY", 641, 479, 321, 239},
        {"UYVY", 642, 479, 642, 479}, {"YUY2", 642, 480, 321, 239}, {"I420", 641, 479, 641, 479},
        {"I420", 641, 479, 321, 239}, {"GRAY8", 641, 479, 321, 239},
    };
    for (const Case& c : cases) {
        const std::string what = std::string(c.format) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) +
                                 " -> " + std::to_string(c.cx) + "x" + std::to_string(c.cy);
        SCOPED_TRACE(what);
        fs::remove_all(clips());
        const std::string sky = Sky(c.format, c.w, c.h);
        Result r = Run("--input " + Quote(sky) + " --detect --fast --set IF.dsize=20 --set IF.cxin=" +
                       std::to_string(c.w) + " --set IF.cyin=" + std::to_string(c.h) + " --set IF.cx=" +
                       std::to_string(c.cx) + " --set IF.cy=" + std::to_string(c.cy));
        fs::remove(sky);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.find("CRITICAL"), std::string::npos) << r.out;
        const std::vector<fs::path> avis = Files(".avi");
        ASSERT_EQ(avis.size(), 1u) << r.out;
        EXPECT_EQ(Files("S.jpg").size(), 1u);
        Result probe = Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                             "stream=width,height,nb_read_frames -of csv=p=0 " + Quote(avis[0].string()));
        int w = 0, h = 0, frames = 0;
        ASSERT_EQ(std::sscanf(probe.out.c_str(), "%d,%d,%d", &w, &h, &frames), 3) << probe.out;
        EXPECT_EQ(w, c.cx);
        EXPECT_EQ(h, c.cy);
        EXPECT_GT(frames, 30);
        // Read back with the framework's own row layout: a frame of another
        // size fails the conversion.
        Result play = Shell("gst-launch-1.0 -q filesrc location=" + Quote(avis[0].string()) +
                            " ! decodebin ! videoconvert ! video/x-raw,format=BGRx ! fakesink");
        EXPECT_EQ(play.status, 0) << play.out;
    }
}


// kill -9 in the middle of a clip, then a new start: the capture file of the
// killed run becomes a playable clip named for its start, and is gone.
TEST_F(Hardening, ACaptureFileOfAKilledRunIsRecoveredAtStart) {
    const std::string sky = Sky("I420", 320, 240, 12);
    const std::string args = "--set IF.lid=KILL --set IF.cid=01 --set IF.cxin=320 --set IF.cyin=240 --set IF.cx=320 "
                             "--set IF.cy=240";
    const std::string cmd = "cd " + Quote(dir.str()) + " && exec env XDG_DOCUMENTS_DIR=" + Quote(dir / "Docs") + " " +
                            Quote(test::BuildDir() + "/bin/vlx2d") + " --out " + Quote(clips()) + " --input " +
                            Quote(sky) + " --detect " + args + " >" + Quote(dir / "killed.log") + " 2>&1";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Killed once the clip's frames are being written (a few hundred kB).
    bool writing = false;
    for (int i = 0; i < 400 && !writing; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const fs::path& t : Files(".avi")) writing = writing || (t.filename().string()[0] == 'T' && fs::file_size(t) > 400000);
    }
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(writing) << test::ReadFileText(dir / "killed.log");
    ASSERT_TRUE(Files(".avi").size() == 1 && Files(".avi")[0].filename().string()[0] == 'T');

    Result r = Run("--stop-after 1 " + args);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("recovered the capture file"), std::string::npos) << r.out;
    const std::vector<fs::path> avis = Files(".avi");
    ASSERT_EQ(avis.size(), 1u) << r.out;
    const std::string name = avis[0].filename().string();
    EXPECT_TRUE(name.starts_with("M") && name.ends_with("_KILL_01.avi")) << name;
    Result probe = Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                         "-of csv=p=0 " + Quote(avis[0].string()));
    EXPECT_EQ(probe.status, 0) << probe.out;
    EXPECT_GE(std::atoi(probe.out.c_str()), 3) << probe.out;
    Result play = Shell("gst-launch-1.0 -q filesrc location=" + Quote(avis[0].string()) +
                        " ! decodebin ! videoconvert ! fakesink");
    EXPECT_EQ(play.status, 0) << play.out;
}


// A start that cannot work ends vlx2d at once with a non-zero status after
// its message, rather than leaving it idle until killed.
TEST_F(Hardening, ARefusedStartEndsTheStation) {
    const std::string sky = Sky("I420", 320, 240, 2);
    struct Case {
        const char* what;
        std::string sets;
        const char* message;
    } cases[] = {
        {"output larger than input", "--set IF.cxin=320 --set IF.cyin=240 --set IF.cx=640 --set IF.cy=240",
         "Xi must be >= Xo, Yi must be >= Yo\n Please set proper value"},
        {"WMV without sound", "--set AP.dv_codec=WMV --set AP.dv_audio=NULL",
         "UM035: WMV needs audio source\n Please Set Audio device"},
        {"input size not the file's", "--set IF.cxin=640 --set IF.cyin=480 --set IF.cx=640 --set IF.cy=480",
         "UE025: Cannot connect F-U\n The video is 320x240, the input size is set to 640x480"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = Run("--input " + Quote(sky) + " --detect --fast " + c.sets, 20);
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_NE(r.status, 124) << "still running when timed out:\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_TRUE(Files(".avi").empty()) << r.out;  // no capture file is left behind
    }
}

// A file input that cannot be read says why in plain words; one that can is
// taken at its own size and rate unless the settings are given for the run.
TEST_F(Hardening, FileInputExplainsItselfAndFitsTheFile) {
    const std::string sky = Sky("GRAY8", 176, 144, 7);
    // The same file with a codec nobody knows.
    std::vector<uint8_t> bytes = test::ReadFileBytes(sky);
    for (size_t i = 0; i + 4 <= std::min<size_t>(bytes.size(), 4096); ++i) {
        if (!std::memcmp(&bytes[i], "Y800", 4)) std::memcpy(&bytes[i], "ZZZZ", 4);
    }
    const std::string zzzz = dir / "zzzz.avi";
    test::WriteFileBytes(zzzz, bytes.data(), bytes.size());
    const std::string text = dir / "notes.avi";
    test::WriteFileBytes(text, "not a video\n", 12);
    fs::create_directories(dir / "folder.avi");
    struct Case {
        std::string input;
        std::string message;
    } cases[] = {
        {dir / "missing.avi", "UE-DGB:Failed to connect AVI file source\n " + (dir / "missing.avi") + ": no such file"},
        {dir / "folder.avi", "UE-DGB:Failed to connect AVI file source\n " + (dir / "folder.avi") + ": a folder, not a file"},
        {text, "UE-DEG: Cannot connect A-S\n " + text + ": not a video file"},
        {zzzz, "UE025: Cannot connect F-U\n " + zzzz + ": no decoder for codec ZZZZ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Result r = Run("--input " + Quote(c.input) + " --detect --fast");
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }

    // No size or rate given: the file's, for this run only.
    Result r = Run("--input " + Quote(sky) + " --detect --fast");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(sky + " is 176x144 at 29.97 fps: input and working size and frame rate taken from it for "
                         "this run"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Files(".avi").size(), 1u) << r.out;
    Result saved = Run("--print-settings");
    EXPECT_NE(saved.out.find("IF.cxin=640\n"), std::string::npos) << saved.out;
    EXPECT_NE(saved.out.find("IF.fps=29.97\n"), std::string::npos) << saved.out;
    // One of them given: the settings must match the file.
    r = Run("--input " + Quote(sky) + " --detect --fast --set IF.fps=25");
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("UE025: Cannot connect F-U\n The video is 176x144, the input size is set to 640x480"),
              std::string::npos)
        << r.out;
}

}  // namespace
}  // namespace vlx

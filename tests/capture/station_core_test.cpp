// Station in-process on simulated skies: silent servers cost no sky, the same
// file gives the same clips in every run, and a file that ends in the middle
// of a clip still gives that clip.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "../notify/servers.h"
#include "capture_reporter.h"
#include "dbus_session.h"
#include "test_support.h"
#include "vlx/capture/station.h"
#include "vlx/messages.h"
#include "vlx/settings/settings_store.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Shell(const std::string& cmd) {
    std::string out;
    std::FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

int FfprobeFrames(const std::string& path) {
    return std::atoi(Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                           "-of csv=p=0 '" + path + "'")
                         .c_str());
}

class StationCore : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DOCUMENTS_DIR", (dir / "Docs").c_str(), 1);
        SetDefaults(ctx);
        std::strcpy(ctx.program_dir, dir.str().c_str());
        std::strcpy(ctx.ap.db_dir, (dir / "clips").c_str());
        fs::create_directories(dir / "clips");
        ctx.dp.cxin = ctx.dp.cx = 320;
        ctx.dp.cyin = ctx.dp.cy = 240;
        ctx.ap.md_log = 1;
        ctx.ap.md_autorun = 0;
    }

    std::string Sky(const std::string& preset, double seconds) {
        const std::string avi = dir / (preset + std::to_string(static_cast<int>(seconds * 10)) + ".avi");
        Shell(test::BuildDir() + "/bin/vlx-skysim --preset " + preset + " --seconds " + std::to_string(seconds) +
              " --width 320 --height 240 --out '" + avi + "'");
        EXPECT_TRUE(fs::exists(avi));
        return avi;
    }

    void Input(const std::string& avi) {
        ctx.dp.fileinmode = 1;
        std::strcpy(ctx.ap.infname, avi.c_str());
    }

    // Runs the station on the file until it quits; when quit_after_end, the
    // test ends it itself once the input is over (as a signal would).
    struct Run {
        std::vector<FinishedClip> clips;
        StationSummary summary;
        double end_of_input_s = -1;
        double quit_to_stopped_s = -1;
    };
    Run Play(StationOptions opt, bool quit_after_end = false) {
        Run run;
        std::mutex mu;
        std::condition_variable cv;
        bool ended = false;
        const auto t0 = Clock::now();
        auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
        StationEvents ev;
        ev.clip_finished = [&](const FinishedClip& c) {
            std::lock_guard<std::mutex> lock(mu);
            run.clips.push_back(c);
        };
        ev.end_of_input = [&] {
            std::lock_guard<std::mutex> lock(mu);
            run.end_of_input_s = seconds();
            ended = true;
            cv.notify_all();
        };
        opt.sound_sink = "fakesink";
        opt.quit_at_end_of_input = !quit_after_end;
        Station station(ctx, opt, ev);
        station.Start(true);
        if (quit_after_end) {
            std::unique_lock<std::mutex> lock(mu);
            cv.wait_for(lock, std::chrono::seconds(120), [&] { return ended; });
            lock.unlock();
            const double q = seconds();
            station.Quit();
            station.Wait();
            run.quit_to_stopped_s = seconds() - q;
        } else {
            station.Wait();
        }
        run.summary = station.Summary();
        return run;
    }

    test::TempDir dir;
    test::CaptureReporter reporter;
    AppContext ctx;
};

TEST_F(StationCore, SilentServersHoldNoFrameBackAndClipsStillFinishInOrder) {
    // Two meteors six seconds apart in a twelve-second file played at its
    // own pace, with FTP and mail servers that accept and never answer.
    const std::string avi = Sky("two-apart", 12);
    Input(avi);
    test::SilentListener silent;
    Settings& ap = ctx.ap;
    ap.ftp_on = ap.ftp_jpg = ap.ftp_small = 1;
    std::strcpy(ap.ftp_server, "127.0.0.1");
    ap.ftp_port = silent.port();
    ap.mail_on = ap.mail_big = ap.mail_popbefore = 1;
    std::snprintf(ap.mail_popserver, sizeof ap.mail_popserver, "127.0.0.1:%d", silent.port());
    std::snprintf(ap.mail_server, sizeof ap.mail_server, "127.0.0.1:%d", silent.port());

    test::PrivateBus bus;
    const std::string log = dir / "monitor.txt";
    const std::string mon = Shell("DBUS_SESSION_BUS_ADDRESS='" + bus.address() +
                                  "' dbus-monitor --session \"type='signal',interface='org.vigilux.Station'\" > '" +
                                  log + "' 2>&1 & echo $!");
    ::usleep(300000);
    StationOptions opt;
    opt.dbus_address = bus.address();
    Run run = Play(opt, true);
    ::usleep(300000);
    kill(std::atoi(mon.c_str()), SIGTERM);

    // The file played in real time: no minute-long wait per clip.
    EXPECT_GT(run.end_of_input_s, 11.0);
    EXPECT_LT(run.end_of_input_s, 12.0 + 3.0);
    EXPECT_EQ(run.summary.frames_unexamined, 0);
    EXPECT_GE(run.summary.frames_in, 359);
    // The quit gives the silent servers up at once.
    EXPECT_LT(run.quit_to_stopped_s, 2.0);
    ASSERT_EQ(run.clips.size(), 2u);
    EXPECT_LT(run.clips[0].start_time, run.clips[1].start_time);
    std::vector<std::string> announced;
    std::istringstream seen(test::ReadFileText(log));
    for (std::string line; std::getline(seen, line);) {
        if (line.find("member=VigiluxV2NotifyMessage") != std::string::npos) announced.push_back(line);
    }
    EXPECT_EQ(announced.size(), 2u) << test::ReadFileText(log);
    for (const FinishedClip& c : run.clips) {
        EXPECT_TRUE(c.network_skipped);
        const std::string base = c.path.substr(0, c.path.size() - 4);
        EXPECT_EQ(FfprobeFrames(c.path), c.frames) << c.path;
        for (const char* s : {"S.jpg", "T.jpg", "M.bmp", ".xml"}) EXPECT_TRUE(fs::exists(base + s)) << base + s;
    }
}

TEST_F(StationCore, TheSameFileGivesTheSameClipsInEveryRun) {
    Input(Sky("two-apart", 12));
    StationOptions opt;
    opt.fast = true;
    opt.use_dbus = false;
    std::vector<std::vector<std::pair<int64_t, int32_t>>> ranges;
    for (int i = 0; i < 5; ++i) {
        fs::remove_all(dir / "clips");
        fs::create_directories(dir / "clips");
        Run run = Play(opt);
        std::vector<std::pair<int64_t, int32_t>> r;
        for (const FinishedClip& c : run.clips) r.emplace_back(c.end_frame, c.frames);
        ranges.push_back(r);
    }
    ASSERT_EQ(ranges[0].size(), 2u);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(ranges[i], ranges[0]) << "run " << i;
}

TEST_F(StationCore, AFileEndingInAClipGivesThatClipWithTheFramesLeft) {
    // 81 frames; the meteor is detected from frame 76, five frames before
    // the end, so the clip cannot have its full tail.
    Input(Sky("two-apart", 2.7));
    StationOptions opt;
    opt.fast = true;
    opt.use_dbus = false;
    Run run = Play(opt);
    ASSERT_EQ(run.clips.size(), 1u);
    const FinishedClip& c = run.clips[0];
    EXPECT_EQ(c.result, kClipNormal);
    const int detect_first = 76, total = 81;
    EXPECT_EQ(c.frames, ctx.dp.fs_head + (total - detect_first));
    EXPECT_EQ(FfprobeFrames(c.path), c.frames);
    EXPECT_TRUE(fs::exists(c.path.substr(0, c.path.size() - 4) + ".xml"));
}

}  // namespace
}  // namespace vlx

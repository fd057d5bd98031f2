// The live side's logic that needs no pipeline: the live page's state
// machine and status, clip suffixes, time offsets, buffer sizes, the batch
// action's command line.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "capture_reporter.h"
#include "test_support.h"
#include "vlx/capture/live_engine.h"
#include "vlx/capture/live_page.h"
#include "vlx/capture/live_thread.h"
#include "vlx/messages.h"
#include "vlx/settings/settings_store.h"

namespace vlx {
namespace {

struct RecordingAlarm : Alarm {
    std::vector<std::string> plays;
    int beeps = 0;
    void PlayFile(const std::string& p) override { plays.push_back(p); }
    void Beep() override { ++beeps; }
};

class LivePageTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DOCUMENTS_DIR", (dir / "Docs").c_str(), 1);
        SetDefaults(ctx);
        std::strcpy(ctx.ap.db_dir, dir.str().c_str());
        ctx.ap.db_ymddir = 0;
        std::strcpy(ctx.month_folder, dir.str().c_str());
        LivePage::Hooks h;
        h.post = [this](uint32_t c) { posted.push_back(c); };
        h.detect_starting = [this] { ++detect_starts; };
        h.error = [this](const std::string& e) { errors.push_back(e); };
        h.alarm = &alarm;
        page = std::make_unique<LivePage>(ctx, h);
    }
    test::TempDir dir;
    AppContext ctx;
    RecordingAlarm alarm;
    std::vector<uint32_t> posted;
    std::vector<std::string> errors;
    int detect_starts = 0;
    std::unique_ptr<LivePage> page;
};

TEST_F(LivePageTest, ActionsPostTheirCommandsInOrder) {
    page->UserDetect();  // from idle: start, then detect on
    EXPECT_EQ(posted, (std::vector<uint32_t>{LIVE_START, LIVE_DETECT_ON}));
    EXPECT_EQ(page->LiveState(), LiveActions::kDetect);
    EXPECT_EQ(detect_starts, 1);
    ctx.dp.timer_trig = 1;
    page->UserRec();
    EXPECT_EQ(ctx.dp.timer_trig, 0);  // a user's press is never a timer clip
    EXPECT_STREQ(page->rec_caption(), "RecOff");
    posted.clear();
    ctx.dp.rec_remain = 12;
    ctx.dp.warmup = 3;
    page->UserStop();  // Rec is on: off first, then detection off and stop
    EXPECT_EQ(posted, (std::vector<uint32_t>{LIVE_REC_OFF, LIVE_DETECT_OFF, LIVE_STOP}));
    EXPECT_EQ(ctx.dp.rec_remain, 0);
    EXPECT_EQ(ctx.dp.warmup, 0);
    EXPECT_STREQ(page->rec_caption(), "Rec");

    posted.clear();
    EXPECT_TRUE(page->Preview());
    page->UserDetect();  // from preview: detection on only
    EXPECT_EQ(posted, (std::vector<uint32_t>{LIVE_START, LIVE_DETECT_ON}));
    posted.clear();
    page->UserStop();
    page->UserRec();  // Rec does nothing while idle
    EXPECT_EQ(posted, (std::vector<uint32_t>{LIVE_DETECT_OFF, LIVE_STOP}));
}

TEST_F(LivePageTest, StartIsRefusedWhenTheOutputIsLargerThanTheInput) {
    ctx.dp.cx = 800;
    EXPECT_FALSE(page->Preview());
    page->UserDetect();
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(page->LiveState(), LiveActions::kStop);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "Xi must be >= Xo, Yi must be >= Yo\n Please set proper value");
}

TEST_F(LivePageTest, StartSelectsTheFontAndKeepsTheTextLineInside) {
    ctx.ap.si_fontsize = 2;
    ctx.dp.si_y0 = 470;
    ctx.status.Set("-FTP:dir error");
    ASSERT_TRUE(page->Preview());
    EXPECT_EQ(ctx.dp.si_fontx, 16);
    EXPECT_EQ(ctx.dp.si_fonty, 30);
    EXPECT_NE(ctx.dp.font_table, nullptr);
    EXPECT_EQ(ctx.dp.si_y0, 480 - 30 - 2);
    EXPECT_EQ(ctx.status.Get(), "");
}

TEST_F(LivePageTest, StatusFollowsTheFirstMatchingRowAndSoundsOnEntry) {
    ctx.ap.beep = 1;
    EXPECT_EQ(page->RefreshStatus(), " status : idle ");
    page->UserDetect();
    ctx.dp.warmup = 5;
    EXPECT_EQ(page->RefreshStatus(), " activating ");
    ctx.dp.warmup = 0;
    EXPECT_EQ(page->RefreshStatus(), " Detecting ");
    ctx.dp.detect_on = 1;
    ctx.dp.rec_remain = 40;
    ctx.dp.drop_count = 3;
    EXPECT_EQ(page->RefreshStatus(), " D-Recording -3");
    EXPECT_EQ(alarm.beeps, 1);
    ctx.dp.rec_remain = 39;  // same combination: no second alarm
    page->RefreshStatus();
    EXPECT_EQ(alarm.beeps, 1);
    page->UserRec();
    EXPECT_EQ(page->RefreshStatus(), " D-Recording -3");  // Rec does not change the combination
    std::strcpy(ctx.ap.snd, "/sounds/bell.wav");
    ctx.dp.rec_remain = 0;
    page->RefreshStatus();
    ctx.dp.rec_remain = 2;
    ctx.dp.drop_count = 0;
    EXPECT_EQ(page->RefreshStatus(), " Recording ");
    EXPECT_EQ(alarm.plays, std::vector<std::string>{"/sounds/bell.wav"});
    ctx.dp.detect_on = 0;
    page->PressRec();
    ctx.dp.rec_remain = 0;
    page->RefreshStatus();
    ctx.dp.rec_remain = 1;
    EXPECT_EQ(ChooseStatusRow(LiveActions::kDetect, false, ctx.dp).text, std::string(" T-Recording "));
    EXPECT_FALSE(ChooseStatusRow(LiveActions::kDetect, false, ctx.dp).alarm);
}

TEST(LiveLogic, DetectSizeSliderAndStatusPeriod) {
    EXPECT_EQ(SliderToDetectSize(299), 299);
    EXPECT_EQ(SliderToDetectSize(300), 300);
    EXPECT_EQ(SliderToDetectSize(301), 400);
    EXPECT_EQ(SliderToDetectSize(512), 21500);
    EXPECT_EQ(DetectSizeToSlider(25000), 547);
    EXPECT_EQ(DetectSizeToSlider(299), 299);
    EXPECT_EQ(StatusPeriodMs(29.97), 100);
    EXPECT_EQ(StatusPeriodMs(25), 120);
}

TEST(LiveLogic, ClipSuffixByTriggerKind) {
    AppContext ctx;
    ctx.ap.ftp_trigsuffix = 0;
    ctx.dp.clip_trigger = kTriggerManual;
    EXPECT_EQ(ClipSuffix(ctx), '_');
    ctx.ap.ftp_trigsuffix = 1;
    const std::pair<int, char> expect[] = {{1, '_'}, {2, '-'}, {3, '='}, {4, '+'}, {0, '_'}, {9, '_'}};
    for (auto [kind, letter] : expect) {
        ctx.dp.clip_trigger = kind;
        EXPECT_EQ(ClipSuffix(ctx), letter) << kind;
    }
}

TEST(LiveLogic, ClipOutcomeNamesOnlyFilesThatWereKept) {
    struct Case {
        int result;
        int leavelong;
        int singlefile;
        const char* text;
    } cases[] = {
        {kClipNormal, 0, 0, "clip /c/M1.avi"},
        {-1, 1, 0, "clip over maximum length: deleted, stills kept"},
        {-1, 0, 0, "clip over maximum length: deleted"},
        {kClipCancelled, 1, 0, "clip cancelled by the slow-object mask: deleted"},
        {-1, 0, 1, "clip /c/M1.avi"},  // the one file of the run holds it
    };
    for (const Case& c : cases) {
        AppContext ctx;
        ctx.ap.leavelong = c.leavelong;
        ctx.dp.singlefilemode = c.singlefile;
        EXPECT_EQ(ClipOutcomeText(ctx, c.result, "/c/M1.avi"), c.text) << c.result << " " << c.leavelong;
    }
}

TEST(LiveLogic, TimeOffsetForUtcLocalAndAUserSetDate) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "JST-9", 1);
    tzset();
    AppContext ctx;
    ctx.tz_bias = -32400;
    ctx.daylight = 0;
    const int64_t now = 1718928000;  // 2024-06-21 00:00:00 UTC
    ctx.dp.si_utc = 1;
    EXPECT_EQ(ComputeTimeOffset(ctx, now), 0);
    ctx.dp.si_utc = 0;
    EXPECT_EQ(ComputeTimeOffset(ctx, now), -32400);  // capture time is local time
    ctx.dp.si_cdate = 1;
    ctx.ap.si_yyyymmdd = 20001231;
    ctx.ap.si_hhmmss = 235959;
    // Capture time (UTC now minus the offset, read as UTC) starts at the given
    // local date and time.
    int64_t capture = now - ComputeTimeOffset(ctx, now);
    EXPECT_EQ(capture, 978307199);  // 2000-12-31 23:59:59
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}

TEST(LiveLogic, BlockSizesFollowTheSettings) {
    DetectParams dp{};
    dp.cx = 641;
    dp.cy = 3;
    dp.fs_diff = 1;
    dp.dmin = 2;
    dp.fs_head = 30;
    dp.fps = 29.97;
    BlockSizes s = ComputeBlockSizes(dp, false, true);
    EXPECT_EQ(s.pixels, 1924);
    EXPECT_EQ(s.frame_bytes, 3848);
    EXPECT_EQ(s.shift_frames, 48);
    EXPECT_EQ(s.audio_buf_bytes, 8192);
    EXPECT_EQ(s.audio_bufs, 96);
    EXPECT_EQ(ComputeBlockSizes(dp, true, false).frame_bytes, 1924);
    EXPECT_EQ(ComputeBlockSizes(dp, true, false).audio_buf_bytes, 0);
    dp.fps = 0;
    s = ComputeBlockSizes(dp, false, true);
    EXPECT_EQ(s.audio_buf_bytes, 98304);
    EXPECT_EQ(s.audio_bufs, 48);
}

TEST(BatchAction, SplitsAtTheFirstSpaceAndReplacesTheClipStem) {
    const std::string clip = "/data/sky.v2/2007/M20070812_190211_TOKYO1_A1.avi";
    auto args = BatchActionArgs("notify-send  \"Meteor at\" %X.jpg --path=%X", clip);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], "notify-send");
    EXPECT_EQ(args[1], "Meteor at");
    EXPECT_EQ(args[2], "/data/sky.v2/2007/M20070812_190211_TOKYO1_A1.jpg");
    EXPECT_EQ(args[3], "--path=/data/sky.v2/2007/M20070812_190211_TOKYO1_A1");
    EXPECT_EQ(BatchActionArgs("/usr/bin/true", clip), std::vector<std::string>{"/usr/bin/true"});
    // A shell metacharacter is just a character: nothing is expanded.
    args = BatchActionArgs("echo $(rm -rf /) ;ls", clip);
    EXPECT_EQ(args, (std::vector<std::string>{"echo", "$(rm", "-rf", "/)", ";ls"}));
}

TEST(BatchAction, StartsWithoutWaitingAndLeavesNoZombie) {
    test::TempDir dir;
    std::string script = dir / "act.sh";
    {
        std::ofstream f(script);
        f << "#!/bin/sh\nsleep 0.2\necho \"$1\" > \"$2\"\n";
    }
    chmod(script.c_str(), 0755);
    std::string clip = dir / "M20070812_190211__.avi";
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunBatchAction(script + " %X " + (dir / "out.txt"), clip));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    for (int i = 0; i < 100 && test::ReadFileText(dir / "out.txt").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(test::ReadFileText(dir / "out.txt"), dir / "M20070812_190211__\n");
    // Nothing of ours is left to reap.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_FALSE(RunBatchAction("/no/such/program %X", clip));
}

}  // namespace
}  // namespace vlx

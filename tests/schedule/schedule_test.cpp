#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "schedule_fixture.h"
#include "vlx/schedule/schedule.h"
#include "vlx/schedule/sun.h"

namespace vlx {
namespace {

using Log = std::vector<std::string>;

// The live page as the schedule sees it, writing every action and wait into
// one log so their order can be checked.
class FakeLive : public LiveActions {
public:
    FakeLive(AppContext& ctx, Log& log) : ctx_(ctx), log_(log) {}
    int LiveState() override { return state; }
    void Detect() override {
        log_.push_back("detect");
        state = kDetect;
    }
    void Stop() override {
        log_.push_back("stop");
        state = kStop;
    }
    void PressRec() override {
        rec = !rec;
        log_.push_back(std::string(rec ? "rec on" : "rec off") + " tt=" + std::to_string(ctx_.dp.timer_trig));
    }
    int state = kStop;
    bool rec = false;

private:
    AppContext& ctx_;
    Log& log_;
};

class ScheduleTest : public test::StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        std::strcpy(ctx->settings_file, "Settings.vxi");
        live = std::make_unique<FakeLive>(*ctx, log);
        DetectSchedule::Hooks hooks;
        hooks.sleep = [this](int ms) { log.push_back("sleep " + std::to_string(ms)); };
        hooks.read_settings = [this] {
            log.push_back(std::string("read ") + ctx->settings_file);
            ctx->ap.comment[0] = 'P';  // something the profile changed
        };
        hooks.refresh_clip_db = [this] { log.push_back("refresh"); };
        schedule = std::make_unique<DetectSchedule>(*ctx, *live, std::move(hooks));
    }

    // One timer tick at a local clock time (2023-06-21 unless given).
    Log TickAt(int hour, int minute, int second = 0, int day = 21) {
        log.clear();
        SetLocal(2023, 6, day, hour, minute, second);
        schedule->MinuteCheck();
        return log;
    }

    void SetWindow(int n, int h1, int m1, int h2, int m2, const char* vxi = "") {
        ScheduleSettings& sd = ctx->ap.sd[n];
        sd.on = 1;
        sd.h1 = h1, sd.m1 = m1, sd.h2 = h2, sd.m2 = m2;
        std::strcpy(sd.vxi, vxi);
    }

    Log log;
    std::unique_ptr<FakeLive> live;
    std::unique_ptr<DetectSchedule> schedule;
};

TEST(WindowTest, BoundsAndMidnight) {
    EXPECT_TRUE(InsideWindow(6 * 60, 6 * 60, 17 * 60));
    EXPECT_TRUE(InsideWindow(17 * 60 - 1, 6 * 60, 17 * 60));
    EXPECT_FALSE(InsideWindow(17 * 60, 6 * 60, 17 * 60));  // the end minute is out
    EXPECT_FALSE(InsideWindow(6 * 60 - 1, 6 * 60, 17 * 60));
    // 18:00 to 05:00 runs through midnight.
    EXPECT_TRUE(InsideWindow(2 * 60 + 30, 18 * 60, 5 * 60));
    EXPECT_TRUE(InsideWindow(18 * 60, 18 * 60, 5 * 60));
    EXPECT_TRUE(InsideWindow(0, 18 * 60, 5 * 60));
    EXPECT_FALSE(InsideWindow(5 * 60, 18 * 60, 5 * 60));
    EXPECT_FALSE(InsideWindow(12 * 60, 18 * 60, 5 * 60));
    for (int t = 0; t < kMinutesPerDay; ++t) EXPECT_FALSE(InsideWindow(t, 600, 600));
}

TEST_F(ScheduleTest, AutoStartFollowsTheWindows) {
    schedule->AutoStart();
    EXPECT_TRUE(log.empty());  // AP.md_autorun off

    ctx->ap.md_autorun = 1;
    SetLocal(2023, 6, 21, 17, 0);
    schedule->Initialise();  // AP.sunset off: the typed times stay
    EXPECT_EQ(ctx->ap.sd[0].h1, 6);
    schedule->AutoStart();
    EXPECT_EQ(log, (Log{"sleep 1000", "detect"}));  // no schedule on: start at once

    log.clear();
    live->state = LiveActions::kStop;
    SetWindow(0, 6, 0, 17, 0, "day.vxi");
    schedule->AutoStart();
    EXPECT_TRUE(log.empty());  // 17:00 is the end minute, outside

    SetWindow(1, 18, 0, 5, 0, "night.vxi");
    SetLocal(2023, 6, 21, 2, 30);
    schedule->AutoStart();
    EXPECT_EQ(log, (Log{"sleep 1000", "read night.vxi", "detect"}));
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");
    EXPECT_EQ(ctx->ap.comment[0], 'P');

    // With the sun: at 04:30 the night (19:47 to 04:16) is over and the day
    // (04:21 to 19:42) has begun.
    log.clear();
    live->state = LiveActions::kStop;
    ctx->ap.sunset = 1;
    SetLocal(2023, 6, 21, 4, 30);
    schedule->Initialise();
    schedule->AutoStart();
    EXPECT_EQ(log, (Log{"sleep 1000", "read day.vxi", "detect"}));
}

TEST_F(ScheduleTest, ProfileIsReadOnlyWhenItNamesAnotherFile) {
    test::CaptureReporter reporter;
    schedule->LoadProfile(0);  // no name
    std::strcpy(ctx->ap.sd[0].vxi, "Settings.vxi");
    schedule->LoadProfile(0);  // the file already in force
    EXPECT_TRUE(log.empty());
    std::strcpy(ctx->ap.sd[0].vxi, "settings.vxi");  // names are case-sensitive
    schedule->LoadProfile(0);
    EXPECT_EQ(log, (Log{"read settings.vxi"}));

    log.clear();
    std::memset(ctx->ap.sd[1].vxi, 'x', sizeof(ctx->ap.sd[1].vxi));  // no room, no terminator
    schedule->LoadProfile(1);
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0].rfind("UM071: Cannot read xxx", 0), 0u);
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");
}

TEST_F(ScheduleTest, StartAndEndActOncePerMinute) {
    EXPECT_TRUE(TickAt(6, 0).empty());  // nothing is on
    SetWindow(0, 6, 0, 17, 0, "day.vxi");
    EXPECT_TRUE(TickAt(5, 59).empty());
    EXPECT_EQ(TickAt(6, 0, 0), (Log{"read day.vxi", "detect"}));
    live->state = LiveActions::kStop;  // say the user stopped it in the same minute
    EXPECT_TRUE(TickAt(6, 0, 30).empty());
    EXPECT_TRUE(TickAt(6, 1).empty());
    live->state = LiveActions::kDetect;
    EXPECT_TRUE(TickAt(16, 59).empty());
    EXPECT_EQ(TickAt(17, 0), (Log{"stop"}));
    // Already stopped or already detecting: nothing to do at the edges.
    EXPECT_TRUE(TickAt(17, 0, 0, 22).empty());
    live->state = LiveActions::kDetect;
    EXPECT_TRUE(TickAt(6, 0, 0, 23).empty());
    // Previewing counts as not detecting, and as not stopped.
    live->state = LiveActions::kPreview;
    EXPECT_EQ(TickAt(6, 0, 0, 24), (Log{"read day.vxi", "detect"}));
    live->state = LiveActions::kPreview;
    EXPECT_EQ(TickAt(17, 0, 0, 24), (Log{"stop"}));
}

TEST_F(ScheduleTest, FirstTickActsEvenOnMinuteZero) {
    SetWindow(1, 18, 0, 5, 0);
    EXPECT_EQ(TickAt(18, 0, 10), (Log{"detect"}));
}

TEST_F(ScheduleTest, WakingHoursLaterInTheSameMinuteValueStillActs) {
    SetWindow(1, 20, 0, 5, 0);
    EXPECT_TRUE(TickAt(17, 0, 30).empty());
    EXPECT_EQ(TickAt(20, 0, 10), (Log{"detect"}));
}

TEST_F(ScheduleTest, EmptyWindowNeverStartsDetection) {
    SetWindow(0, 6, 0, 6, 0);
    EXPECT_TRUE(TickAt(6, 0).empty());
    live->state = LiveActions::kDetect;
    EXPECT_TRUE(TickAt(6, 0, 0, 22).empty());
}

TEST_F(ScheduleTest, MeetingSchedulesStopThenStartWithTheSecondProfile) {
    SetWindow(0, 6, 0, 17, 0, "day.vxi");
    SetWindow(1, 17, 0, 5, 0, "night.vxi");
    live->state = LiveActions::kDetect;
    EXPECT_EQ(TickAt(17, 0), (Log{"stop", "read night.vxi", "detect"}));
    EXPECT_EQ(live->state, LiveActions::kDetect);
    EXPECT_EQ(TickAt(5, 0, 0, 22), (Log{"stop"}));
}

TEST_F(ScheduleTest, AutoRestartOnTheSixtyFirstMinute) {
    ctx->ap.ar_on = 1;
    SetLocal(2023, 6, 21, 10, 0, 30);
    live->state = LiveActions::kDetect;  // the user pressed Detect
    schedule->OnDetectStarted();
    int restarts = 0;
    for (int i = 1; i <= 61; ++i) {
        const Log got = TickAt(10 + i / 60, i % 60);
        if (i < 61) {
            EXPECT_TRUE(got.empty()) << "minute " << i;
        } else {
            EXPECT_EQ(got, (Log{"stop", "sleep 200", "detect"}));
            ++restarts;
        }
    }
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(schedule->restart_minutes(), 0);
    // Counting starts over, and a start by any other means also resets it.
    for (int i = 2; i <= 40; ++i) TickAt(11, i);
    schedule->OnDetectStarted();
    for (int i = 41; i <= 100; ++i) EXPECT_TRUE(TickAt(11 + i / 60, i % 60).empty()) << i;
    EXPECT_EQ(TickAt(12, 41), (Log{"stop", "sleep 200", "detect"}));
    // Minutes spent previewing are not counted.
    live->state = LiveActions::kPreview;
    for (int i = 42; i <= 59; ++i) TickAt(12, i);
    EXPECT_EQ(schedule->restart_minutes(), 0);
}

TEST_F(ScheduleTest, TimerTriggerEveryFullHourWhileDetecting) {
    ctx->ap.ttrig_on = 1;
    live->state = LiveActions::kDetect;
    std::vector<int> fired;
    for (int t = 9 * 60 + 58; t <= 11 * 60 + 2; ++t) {
        const Log got = TickAt(t / 60, t % 60);
        if (!got.empty()) {
            fired.push_back(t);
            EXPECT_EQ(got, (Log{"sleep 100", "rec on tt=1", "sleep 500", "rec off tt=1"}));
        }
    }
    EXPECT_EQ(fired, (std::vector<int>{600, 660}));

    ctx->ap.ttrig = 7;  // minutes of the day divisible by 7
    ctx->dp.timer_trig = 0;
    EXPECT_FALSE(TickAt(0, 7).empty());
    EXPECT_TRUE(TickAt(0, 8).empty());
    live->state = LiveActions::kPreview;
    EXPECT_TRUE(TickAt(0, 14).empty());
    EXPECT_EQ(ctx->dp.timer_trig, 1);  // from 00:07; the live side clears it at detect-on

    ctx->ap.ttrig = 0;  // a damaged settings file
    live->state = LiveActions::kDetect;
    EXPECT_TRUE(TickAt(0, 15).empty());
}

TEST_F(ScheduleTest, NewDayRecomputesTheSunWindows) {
    ctx->ap.sunset = 1;
    SetWindow(0, 3, 3, 3, 33);
    SetWindow(1, 3, 3, 3, 33);
    schedule->SetClipDbOpened(true);
    TickAt(23, 59, 0, 21);
    EXPECT_EQ(ctx->ap.sd[0].h1, 3);  // not yet

    TickAt(0, 0, 5, 22);
    EXPECT_EQ(log, Log{"refresh"});
    const SunTimes sun = SunTimesFor(LocalTimeOf(clock.Now().sec), 135.0, 35.0, -9 * 3600);
    EXPECT_EQ(sun.day, 22);
    EXPECT_EQ(ctx->ap.sd[0].h1 * 60 + ctx->ap.sd[0].m1, sun.rise_h * 60 + sun.rise_m - 25);
    EXPECT_EQ(ctx->ap.sd[1].h2 * 60 + ctx->ap.sd[1].m2, sun.rise_h * 60 + sun.rise_m - 30);

    // "pm-am /day": the day turns at noon instead.
    ctx->ap.db_night = 1;
    SetWindow(0, 3, 3, 3, 33);
    EXPECT_EQ(TickAt(0, 0, 0, 23), Log{});
    EXPECT_EQ(ctx->ap.sd[0].h1, 3);
    EXPECT_EQ(TickAt(12, 0, 0, 23), Log{"refresh"});
    EXPECT_EQ(ctx->ap.sd[0].h1, 4);

    // With every schedule off, an opened clip database still gets its refresh.
    ctx->ap.sd[0].on = ctx->ap.sd[1].on = 0;
    ctx->ap.sunset = 0;
    EXPECT_EQ(TickAt(12, 0, 0, 24), Log{"refresh"});
}

}  // namespace
}  // namespace vlx

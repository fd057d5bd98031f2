// Schedule profiles read through the real settings store.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "schedule_fixture.h"
#include "test_support.h"
#include "vlx/schedule/schedule.h"
#include "vlx/schedule/sun.h"
#include "vlx/settings/settings_store.h"

namespace vlx {
namespace {

class CountingLive : public LiveActions {
public:
    int LiveState() override { return state; }
    void Detect() override {
        ++detects;
        state = kDetect;
    }
    void Stop() override { state = kStop; }
    void PressRec() override {}
    int state = kStop;
    int detects = 0;
};

class ProfileTest : public test::StationTest {
protected:
    void SetUp() override {
        StationTest::SetUp();
        SetLocal(2023, 6, 21, 17, 59);
        std::strcpy(ctx->program_dir, dir.str().c_str());
        SetDefaults(*ctx);
        ctx->compute_sun_times = [](AppContext& c) { ComputeSunTimes(c); };
    }

    DetectSchedule::Hooks StoreHooks() {
        DetectSchedule::Hooks hooks;
        hooks.sleep = [](int) {};
        hooks.read_settings = [this] { ReadSettings(*ctx); };
        return hooks;
    }

    test::TempDir dir;
    test::CaptureReporter reporter;
    CountingLive live;
};

TEST_F(ProfileTest, ScheduleStartLoadsItsProfileAndKeepsTheSettingsFile) {
    // A night profile: another timer interval, coordinates, and sun-adjusted times.
    ctx->ap.ttrig = 7;
    ctx->ap.sunset = 1;
    ctx->ap.lng = 135.0;
    ctx->ap.lat = 35.0;
    ctx->ap.sd[1].on = 1;
    ASSERT_TRUE(WriteSettingsTo(*ctx, "night.vxi"));

    SetDefaults(*ctx);
    ctx->ap.sd[1].on = 1;  // 18:00 to 05:00
    std::strcpy(ctx->ap.sd[1].vxi, "night.vxi");
    DetectSchedule schedule(*ctx, live, StoreHooks());

    schedule.MinuteCheck();
    EXPECT_EQ(live.detects, 0);
    SetLocal(2023, 6, 21, 18, 0);
    schedule.MinuteCheck();
    EXPECT_EQ(live.detects, 1);
    EXPECT_EQ(ctx->ap.ttrig, 7);
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");
    // The loaded profile turned on the sun adjustment: its times are in force.
    EXPECT_EQ(ctx->ap.sd[1].h1 * 60 + ctx->ap.sd[1].m1, 19 * 60 + 47);
    EXPECT_EQ(ctx->ap.sd[1].h2 * 60 + ctx->ap.sd[1].m2, 4 * 60 + 16);
    EXPECT_TRUE(reporter.errors().empty());
}

TEST_F(ProfileTest, UnreadableProfileIsReportedAndDetectionStillStarts) {
    ctx->ap.md_autorun = 1;
    ctx->ap.sd[0].on = 1;  // 06:00 to 17:00
    std::strcpy(ctx->ap.sd[0].vxi, "missing.vxi");
    SetLocal(2023, 6, 21, 10, 0);
    DetectSchedule schedule(*ctx, live, StoreHooks());
    schedule.AutoStart();
    EXPECT_EQ(live.detects, 1);
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UM071: Cannot read missing.vxi Default value used");
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");
}

}  // namespace
}  // namespace vlx

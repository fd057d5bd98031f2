#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "schedule_fixture.h"
#include "vlx/schedule/schedule.h"
#include "vlx/schedule/sun.h"

namespace vlx {
namespace {

using test::StationTest;

std::string Hm(int h, int m) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d", h, m);
    return buf;
}

// Minutes of the day that the window test counts as inside.
int MinutesInside(const ScheduleSettings& sd) {
    int n = 0;
    for (int t = 0; t < kMinutesPerDay; ++t) n += InsideSchedule(sd, t);
    return n;
}

TEST(EquationOfTime, KnownDaysExtremesAndGaps) {
    EXPECT_DOUBLE_EQ(EquationOfTime(1, 1), -187.8);
    EXPECT_DOUBLE_EQ(EquationOfTime(2, 12), -859.8);
    EXPECT_DOUBLE_EQ(EquationOfTime(5, 15), 223.8);
    EXPECT_DOUBLE_EQ(EquationOfTime(6, 21), -83.8);
    EXPECT_DOUBLE_EQ(EquationOfTime(7, 27), -384.8);
    EXPECT_DOUBLE_EQ(EquationOfTime(11, 4), 983.3);
    EXPECT_DOUBLE_EQ(EquationOfTime(12, 31), -152.9);
    EXPECT_DOUBLE_EQ(EquationOfTime(2, 29), EquationOfTime(2, 28));
    for (auto [m, d] : {std::pair{2, 30}, {2, 31}, {4, 31}, {6, 31}, {9, 31}, {11, 31}}) {
        EXPECT_EQ(EquationOfTime(m, d), 0.0) << m << "/" << d;
    }
    const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m <= 12; ++m) {
        for (int d = 1; d <= days[m - 1]; ++d) {
            EXPECT_GE(EquationOfTime(m, d), -859.8) << m << "/" << d;
            EXPECT_LE(EquationOfTime(m, d), 983.3) << m << "/" << d;
            // The curve is smooth: no day moves by more than about half a minute.
            if (d > 1) {
                EXPECT_LT(std::abs(EquationOfTime(m, d) - EquationOfTime(m, d - 1)), 31.0);
            }
        }
    }
}

TEST_F(StationTest, JapanMidsummerSunAndWindows) {
    SetLocal(2023, 6, 21, 12, 0);
    const SunTimes sun = ComputeSunTimes(*ctx);
    EXPECT_EQ(sun.month, 6);
    EXPECT_EQ(sun.day, 21);
    EXPECT_EQ(Hm(sun.rise_h, sun.rise_m), "04:46");
    EXPECT_EQ(Hm(sun.set_h, sun.set_m), "19:17");
    EXPECT_EQ(sun.kind, SunDay::kNormal);
    const auto& sd = ctx->ap.sd;
    EXPECT_EQ(Hm(sd[0].h1, sd[0].m1), "04:21");
    EXPECT_EQ(Hm(sd[0].h2, sd[0].m2), "19:42");
    EXPECT_EQ(Hm(sd[1].h1, sd[1].m1), "19:47");
    EXPECT_EQ(Hm(sd[1].h2, sd[1].m2), "04:16");
}

TEST_F(StationTest, LocalDateDecidesTheDay) {
    // 15:30 UTC on 20 June is already 21 June in Japan.
    SetLocal(2023, 6, 21, 0, 30);
    const SunTimes sun = ComputeSunTimes(*ctx);
    EXPECT_EQ(sun.month, 6);
    EXPECT_EQ(sun.day, 21);
    EXPECT_EQ(Hm(sun.rise_h, sun.rise_m), "04:46");
}

TEST_F(StationTest, OffsetsWrapPastMidnight) {
    SetLocal(2023, 6, 21, 12, 0);
    ctx->ap.sd[0].o2 = 300;   // sunset 19:17 + 5 h
    ctx->ap.sd[1].o2 = -300;  // sunrise 04:46 - 5 h
    ctx->ap.sd[1].o1 = -1000;
    ComputeSunTimes(*ctx);
    const auto& sd = ctx->ap.sd;
    EXPECT_EQ(Hm(sd[0].h2, sd[0].m2), "00:17");
    EXPECT_EQ(Hm(sd[1].h1, sd[1].m1), "02:37");
    EXPECT_EQ(Hm(sd[1].h2, sd[1].m2), "23:46");
}

TEST_F(StationTest, PolarDayAndNightGiveSoundWindows) {
    ctx->ap.lat = 78.0;
    ctx->ap.lng = 15.0;
    ctx->tz_bias = -3600;

    SetLocal(2023, 6, 21, 12, 0);
    SunTimes sun = ComputeSunTimes(*ctx);
    EXPECT_EQ(sun.kind, SunDay::kPolarDay);
    EXPECT_EQ(Hm(sun.rise_h, sun.rise_m), Hm(sun.set_h, sun.set_m));
    EXPECT_EQ(sun.day_minutes, kMinutesPerDay);
    // Solar midnight at 15 E in UTC+1, less the equation of time: 00:01.
    EXPECT_EQ(Hm(sun.rise_h, sun.rise_m), "00:01");
    EXPECT_EQ(MinutesInside(ctx->ap.sd[0]), kMinutesPerDay - 1);  // the day window runs round the clock
    EXPECT_EQ(MinutesInside(ctx->ap.sd[1]), 0);                   // no night
    EXPECT_EQ(Hm(ctx->ap.sd[0].h1, ctx->ap.sd[0].m1), "23:36");

    SetLocal(2023, 12, 21, 12, 0);
    sun = ComputeSunTimes(*ctx);
    EXPECT_EQ(sun.kind, SunDay::kPolarNight);
    EXPECT_EQ(Hm(sun.rise_h, sun.rise_m), "11:58");  // solar noon, the equation of time being +144.4 s
    EXPECT_EQ(Hm(sun.set_h, sun.set_m), "11:58");
    EXPECT_EQ(MinutesInside(ctx->ap.sd[0]), 50);  // only the offsets' margin around noon
    EXPECT_EQ(MinutesInside(ctx->ap.sd[1]), kMinutesPerDay - 60);
}

TEST_F(StationTest, WindowsNeverTurnInsideOutAnywhere) {
    // Every latitude and day, also with the clock zone far from the longitude:
    // times stay in range, and each window lasts what its offsets give it.
    for (auto [lng, tz] : {std::pair{135.0, -9 * 3600}, {180.0, 12 * 3600}, {-180.0, -14 * 3600}}) {
        ctx->ap.lng = lng;
        ctx->tz_bias = tz;
        for (int lat = -90; lat <= 90; lat += 3) {
            ctx->ap.lat = lat;
            for (int yday = 0; yday < 365; yday += 7) {
                std::tm date{};
                date.tm_year = 123;
                date.tm_mday = 1 + yday;
                timegm(&date);  // normalises month and day
                const SunTimes sun = SunTimesFor(date, ctx->ap.lng, ctx->ap.lat, ctx->tz_bias);
                ASSERT_GE(sun.rise_h, 0);
                ASSERT_LE(sun.rise_h, 23);
                ASSERT_GE(sun.set_h, 0);
                ASSERT_LE(sun.set_h, 23);
                ApplySunTimes(ctx->ap, sun);
                for (const auto& sd : ctx->ap.sd) {
                    ASSERT_TRUE(sd.h1 >= 0 && sd.h1 <= 23 && sd.h2 >= 0 && sd.h2 <= 23);
                    ASSERT_TRUE(sd.m1 >= 0 && sd.m1 <= 59 && sd.m2 >= 0 && sd.m2 <= 59);
                }
                const int day = std::clamp(sun.day_minutes + 50, 0, kMinutesPerDay - 1);
                const int night = std::clamp(kMinutesPerDay - sun.day_minutes - 60, 0, kMinutesPerDay - 1);
                ASSERT_EQ(MinutesInside(ctx->ap.sd[0]), day) << lat << " " << yday << " " << lng;
                ASSERT_EQ(MinutesInside(ctx->ap.sd[1]), night) << lat << " " << yday << " " << lng;
            }
        }
    }
}

TEST_F(StationTest, BadCoordinatesStillGiveTimes) {
    SetLocal(2023, 6, 21, 12, 0);
    ctx->ap.lat = std::nan("");
    ctx->ap.lng = std::nan("");
    SunTimes sun = ComputeSunTimes(*ctx);
    EXPECT_EQ(sun.kind, SunDay::kNormal);  // taken as 0,0: twelve hours of day
    EXPECT_NEAR(sun.day_minutes, 728, 2);
    ctx->ap.lat = 1e308;
    sun = ComputeSunTimes(*ctx);
    EXPECT_EQ(sun.kind, SunDay::kPolarDay);  // taken as the north pole
}

std::string Report(AppContext& ctx) {
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    PrintSunReport(ctx, f);
    std::fclose(f);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

TEST_F(StationTest, SunReportShowsTheWindowsInForce) {
    SetLocal(2023, 6, 21, 22, 5);
    ctx->ap.sunset = 1;
    EXPECT_EQ(Report(*ctx),
              "Longitude : 135.0000, Latitude : 35.0000\n"
              "Month 06  Day 21 (LT)  Sunrise 04:46  Sunset 19:17\n"
              "Schedule1 (Day)         04:21     to    19:42\n"
              "Schedule2 (Night)       19:47     to    04:16\n");
    // A report only: the settings keep their typed times.
    EXPECT_EQ(ctx->ap.sd[0].h1, 6);

    ctx->ap.sunset = 0;
    EXPECT_EQ(Report(*ctx),
              "Longitude : 135.0000, Latitude : 35.0000\n"
              "Month 06  Day 21 (LT)  Sunrise 04:46  Sunset 19:17\n"
              "Schedule1 (Day)         06:00     to    17:00\n"
              "Schedule2 (Night)       18:00     to    05:00\n");

    ctx->ap.sunset = 1;
    ctx->ap.lat = -78.0;
    EXPECT_NE(Report(*ctx).find("The sun does not rise today\n"), std::string::npos);
}

}  // namespace
}  // namespace vlx

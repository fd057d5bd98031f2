// A station in Japan (UTC+9) with a hand-set clock.
#pragma once

#include <cstdlib>
#include <ctime>
#include <memory>

#include <gtest/gtest.h>

#include "vlx/app/context.h"
#include "vlx/clock.h"

namespace vlx::test {

class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "JST-9", 1);
        tzset();
        ctx = std::make_unique<AppContext>();
        ctx->clock = &clock;
        ctx->tz_bias = -9 * 3600;
        ctx->ap.lng = 135.0;
        ctx->ap.lat = 35.0;
        ScheduleSettings& day = ctx->ap.sd[0];
        ScheduleSettings& night = ctx->ap.sd[1];
        day.h1 = 6, day.m1 = 0, day.o1 = -25, day.h2 = 17, day.m2 = 0, day.o2 = 25;
        night.h1 = 18, night.m1 = 0, night.o1 = 30, night.h2 = 5, night.m2 = 0, night.o2 = -30;
        ctx->ap.ttrig = 60;
        ctx->ap.ar_h = 1;
    }

    // Sets the clock to a local (UTC+9) date and time.
    void SetLocal(int year, int month, int day, int hour, int minute, int second = 0) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        clock.Set({timegm(&tm) - 9 * 3600, 0});
    }

    ManualClock clock;
    std::unique_ptr<AppContext> ctx;  // large: keep it off the stack
};

}  // namespace vlx::test

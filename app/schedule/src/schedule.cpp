#include "vlx/schedule/schedule.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "vlx/app/report.h"
#include "vlx/schedule/sun.h"

namespace vlx {

bool InsideWindow(int now, int start, int end) {
    if (end >= start) return start <= now && now < end;
    return now >= start || now < end;
}

bool InsideSchedule(const ScheduleSettings& sd, int now) {
    return InsideWindow(now, sd.h1 * 60 + sd.m1, sd.h2 * 60 + sd.m2);
}

DetectSchedule::DetectSchedule(AppContext& ctx, LiveActions& live, Hooks hooks)
    : ctx_(ctx), live_(live), hooks_(std::move(hooks)) {}

std::tm DetectSchedule::LocalNow() { return LocalTimeOf(ctx_.clock->Now().sec); }

void DetectSchedule::Sleep(int ms) {
    if (hooks_.sleep) {
        hooks_.sleep(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void DetectSchedule::StartDetect() {
    restart_minutes_ = 0;
    live_.Detect();
}

void DetectSchedule::LoadProfile(int n) {
    if (n < 0 || n > 1 || !hooks_.read_settings) return;
    // Reading replaces ctx.ap, profile name included: work on a copy.
    const char* vxi = ctx_.ap.sd[n].vxi;
    const std::string profile(vxi, strnlen(vxi, sizeof(ctx_.ap.sd[n].vxi)));
    if (profile.empty() || profile == ctx_.settings_file) return;
    if (profile.size() >= sizeof(ctx_.settings_file)) {
        // Cut to fit, the name would open some other file.
        ErrorBox("UM071: Cannot read %s Default value used", profile.c_str());
        return;
    }
    // The settings file written at shut-down stays the one named at start-up.
    char saved[sizeof(ctx_.settings_file)];
    std::memcpy(saved, ctx_.settings_file, sizeof(saved));
    std::memcpy(ctx_.settings_file, profile.c_str(), profile.size() + 1);
    hooks_.read_settings();
    std::memcpy(ctx_.settings_file, saved, sizeof(saved));
}

void DetectSchedule::Initialise() {
    last_minute_ = INT64_MIN;
    if (ctx_.ap.sunset) ComputeSunTimes(ctx_);
}

void DetectSchedule::AutoStart() {
    const Settings& ap = ctx_.ap;
    if (!ap.md_autorun) return;
    if (!ap.sd[0].on && !ap.sd[1].on) {
        Sleep(1000);
        StartDetect();
        return;
    }
    const std::tm now = LocalNow();
    const int minute_of_day = now.tm_hour * 60 + now.tm_min;
    for (int n = 0; n < 2; ++n) {
        if (ap.sd[n].on && InsideSchedule(ap.sd[n], minute_of_day)) {
            Sleep(1000);
            LoadProfile(n);
            StartDetect();
            return;
        }
    }
}

void DetectSchedule::RunWindow(int n, int hour, int minute) {
    // A reference: loading the profile may change this schedule's own times.
    const ScheduleSettings& sd = ctx_.ap.sd[n];
    // Starting and stopping in the same minute would build a pipeline, write a
    // log entry and tear it all down again for a window that has no time.
    if (sd.h1 == sd.h2 && sd.m1 == sd.m2) return;
    if (hour == sd.h1 && minute == sd.m1 && live_.LiveState() != LiveActions::kDetect) {
        LoadProfile(n);
        StartDetect();
    }
    if (hour == sd.h2 && minute == sd.m2 && live_.LiveState() != LiveActions::kStop) live_.Stop();
}

void DetectSchedule::MinuteCheck() {
    const Settings& ap = ctx_.ap;  // read afresh at each step: a profile may replace it
    if (!ap.sd[0].on && !ap.sd[1].on && !ap.ar_on && !ap.ttrig_on && !clip_db_opened_) return;

    // Keyed by the clock's whole minute rather than its minute of the hour, so
    // waking from a suspend of whole hours does not skip the minute it wakes in.
    const int64_t utc = ctx_.clock->Now().sec;
    const int64_t clock_minute = utc >= 0 ? utc / 60 : (utc - 59) / 60;
    if (clock_minute == last_minute_) return;
    last_minute_ = clock_minute;
    const std::tm now = LocalTimeOf(utc);
    const int hour = now.tm_hour;
    const int minute = now.tm_min;

    if (minute == 0 && ((hour == 0 && !ap.db_night) || (hour == 12 && ap.db_night))) {
        if (ap.sunset) ComputeSunTimes(ctx_);
        if (clip_db_opened_ && hooks_.refresh_clip_db) hooks_.refresh_clip_db();
    }

    // Schedule 1 first: where it ends as schedule 2 starts, detection stops and
    // starts again under schedule 2's profile.
    for (int n = 0; n < 2; ++n) {
        if (ctx_.ap.sd[n].on) RunWindow(n, hour, minute);
    }

    if (ap.ar_on && live_.LiveState() == LiveActions::kDetect) {
        ++restart_minutes_;
        const int64_t limit = int64_t{std::max(ap.ar_h, 1)} * 60;
        if (restart_minutes_ > limit) {
            live_.Stop();
            Sleep(200);
            StartDetect();
        }
    }

    // An interval below one minute (a damaged settings file) would divide by zero.
    if (ap.ttrig_on && ap.ttrig > 0 && live_.LiveState() == LiveActions::kDetect &&
        (hour * 60 + minute) % ap.ttrig == 0) {
        ctx_.dp.timer_trig = 1;
        Sleep(100);
        live_.PressRec();
        Sleep(500);
        live_.PressRec();
    }
}

}  // namespace vlx

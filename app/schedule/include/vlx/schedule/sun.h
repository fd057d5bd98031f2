// Sunrise and sunset at the station, and the schedule windows derived from
// them when "Auto Adjust to Sun" is on.
//
// Dates and clock times are local: the calendar day comes from the process's
// local time zone (localtime_r, so the TZ environment variable applies), while
// solar noon uses AppContext::tz_bias, the zone offset taken at start-up.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "vlx/app/context.h"

namespace vlx {

inline constexpr int kMinutesPerDay = 1440;

// Equation of time (apparent minus mean solar time) in seconds for a calendar
// day; February 29 has February 28's value, and days a month lacks give 0.
double EquationOfTime(int month, int day);

// Where the sun neither rises nor sets, sunrise and sunset fall in the same
// minute: solar midnight on a polar day, solar noon in a polar night.
enum class SunDay { kNormal, kPolarDay, kPolarNight };

struct SunTimes {
    int month = 0;  // 1..12, local date the times were computed for
    int day = 0;    // 1..31
    int rise_h = 0, rise_m = 0;
    int set_h = 0, set_m = 0;
    int day_minutes = 0;  // sunset minus sunrise, 0..1440 (1440 on a polar day)
    SunDay kind = SunDay::kNormal;
};

// Sun times for a local calendar day (tm_mon, tm_mday, tm_yday are used) at
// longitude/latitude in degrees (east and north positive), with the zone
// offset in seconds west of UTC. Never yields values outside 00:00..23:59.
SunTimes SunTimesFor(const std::tm& local_date, double lng, double lat, int32_t tz_bias);

// Writes the start and end times of both schedules from the sun times and the
// offsets in `ap`, whether the schedules are on or not. A window whose offsets
// leave it no time is made empty (start = end); one that would reach round the
// clock runs from its start to the minute before it.
void ApplySunTimes(Settings& ap, const SunTimes& sun);

// Today's sun times from ctx.clock, written into the schedule settings.
SunTimes ComputeSunTimes(AppContext& ctx);

// The local calendar time of a UTC instant, in the process's time zone.
std::tm LocalTimeOf(int64_t utc_seconds);

// The text of the sun-adjust dialog: today's date, coordinates, sunrise,
// sunset and both schedule windows as the settings and the coordinates give
// them (from the sun when AP.sunset is on, else as typed). Leaves ctx alone.
void PrintSunReport(AppContext& ctx, std::FILE* out);

}  // namespace vlx

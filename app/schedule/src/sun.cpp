#include "vlx/schedule/sun.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "eot_table.h"

namespace vlx {

namespace {

constexpr double kZenith = 1.5856316254368479;  // 90.85 degrees: refraction and the sun's radius

// Minutes into 0..1439, for any sign.
int WrapMinutes(int64_t t) {
    int64_t r = t % kMinutesPerDay;
    return static_cast<int>(r < 0 ? r + kMinutesPerDay : r);
}

double Finite(double v) { return std::isfinite(v) ? v : 0.0; }

void SetTime(int32_t& h, int32_t& m, int minutes) {
    h = minutes / 60;
    m = minutes % 60;
}

}  // namespace

double EquationOfTime(int month, int day) {
    if (month < 1 || month > 12 || day < 1 || day > 31) return 0.0;
    return schedule_detail::kEquationOfTime[month - 1][day - 1];
}

SunTimes SunTimesFor(const std::tm& local_date, double lng, double lat, int32_t tz_bias) {
    using std::numbers::pi;
    SunTimes out;
    out.month = local_date.tm_mon + 1;
    out.day = local_date.tm_mday;

    // A coordinate that is not a number would poison every time below.
    lng = Finite(lng);
    lat = std::clamp(Finite(lat), -90.0, 90.0);

    const double e = EquationOfTime(out.month, out.day);
    const double noon = 43200.0 - e - 240.0 * lng - tz_bias;  // seconds after local midnight
    const double phi = lat * pi / 180.0;
    const double gamma = 2.0 * pi * (tz_bias / 86400 + local_date.tm_yday + 0.5) / 365.0;
    const double decl = 0.006918 - 0.399912 * std::cos(gamma) + 0.070257 * std::sin(gamma) -
                        0.006758 * std::cos(2 * gamma) + 0.000907 * std::sin(2 * gamma) -
                        0.002697 * std::cos(3 * gamma) + 0.00148 * std::sin(3 * gamma);

    double cos_h = std::cos(kZenith) / (std::cos(phi) * std::cos(decl)) - std::tan(phi) * std::tan(decl);
    // Beyond +-1 the sun stays below (polar night) or above (polar day) the
    // horizon all day; the limit gives a zero or full-day half-arc instead of NaN.
    if (std::isnan(cos_h)) cos_h = 1.0;
    if (cos_h > 1.0) {
        cos_h = 1.0;
        out.kind = SunDay::kPolarNight;
    } else if (cos_h < -1.0) {
        cos_h = -1.0;
        out.kind = SunDay::kPolarDay;
    }
    const double half = std::acos(cos_h) / pi * 12.0 * 3600.0;

    // Rounded to the nearest minute; floor keeps that true before midnight too.
    const int64_t r = static_cast<int64_t>(std::floor((noon - half + 30.0) / 60.0));
    const int64_t s = static_cast<int64_t>(std::floor((noon + half + 30.0) / 60.0));
    out.day_minutes = static_cast<int>(std::clamp<int64_t>(s - r, 0, kMinutesPerDay));
    const int rise = WrapMinutes(r);
    const int set = WrapMinutes(s);
    out.rise_h = rise / 60;
    out.rise_m = rise % 60;
    out.set_h = set / 60;
    out.set_m = set % 60;
    return out;
}

void ApplySunTimes(Settings& ap, const SunTimes& sun) {
    const int64_t rise = sun.rise_h * 60 + sun.rise_m;
    const int64_t set = sun.set_h * 60 + sun.set_m;
    // Each window is laid out from its start over its length, so offsets that
    // eat the whole window, or stretch it past a full day, cannot turn it
    // inside out (a night window of minus 20 minutes would otherwise run 23 h 40).
    auto lay = [](ScheduleSettings& sd, int64_t from, int64_t length) {
        const int start = WrapMinutes(from + sd.o1);
        int64_t len = length + int64_t{sd.o2} - int64_t{sd.o1};
        if (len <= 0) {
            len = 0;
        } else if (len >= kMinutesPerDay) {
            len = kMinutesPerDay - 1;
        }
        SetTime(sd.h1, sd.m1, start);
        SetTime(sd.h2, sd.m2, WrapMinutes(start + len));
    };
    lay(ap.sd[0], rise, sun.day_minutes);
    lay(ap.sd[1], set, kMinutesPerDay - sun.day_minutes);
}

std::tm LocalTimeOf(int64_t utc_seconds) {
    std::tm tm{};
    const time_t t = static_cast<time_t>(utc_seconds);
    localtime_r(&t, &tm);
    return tm;
}

SunTimes ComputeSunTimes(AppContext& ctx) {
    const std::tm today = LocalTimeOf(ctx.clock->Now().sec);
    SunTimes sun = SunTimesFor(today, ctx.ap.lng, ctx.ap.lat, ctx.tz_bias);
    ApplySunTimes(ctx.ap, sun);
    return sun;
}

void PrintSunReport(AppContext& ctx, std::FILE* out) {
    const std::tm today = LocalTimeOf(ctx.clock->Now().sec);
    const SunTimes sun = SunTimesFor(today, ctx.ap.lng, ctx.ap.lat, ctx.tz_bias);
    // The schedules as they would run: Settings is large, so the copy goes on the heap.
    auto ap = std::make_unique<Settings>(ctx.ap);
    if (ap->sunset) ApplySunTimes(*ap, sun);

    std::fprintf(out, "Longitude : %.4f, Latitude : %.4f\n", ctx.ap.lng, ctx.ap.lat);
    std::fprintf(out, "Month %02d  Day %02d (LT)  Sunrise %02d:%02d  Sunset %02d:%02d\n", sun.month, sun.day,
                 sun.rise_h, sun.rise_m, sun.set_h, sun.set_m);
    if (sun.kind == SunDay::kPolarDay) std::fprintf(out, "The sun does not set today\n");
    if (sun.kind == SunDay::kPolarNight) std::fprintf(out, "The sun does not rise today\n");
    std::fprintf(out, "Schedule1 (Day)         %02d:%02d     to    %02d:%02d\n", ap->sd[0].h1, ap->sd[0].m1,
                 ap->sd[0].h2, ap->sd[0].m2);
    std::fprintf(out, "Schedule2 (Night)       %02d:%02d     to    %02d:%02d\n", ap->sd[1].h1, ap->sd[1].m1,
                 ap->sd[1].h2, ap->sd[1].m2);
}

}  // namespace vlx

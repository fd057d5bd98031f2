#include "vlx/detect/stamp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vlx/guid.h"

namespace vlx::detect {

namespace {

constexpr const char* kMonthNames[13] = {"Nul", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Appends to a bounded text; stops growing at kStampTextMax characters.
struct TextOut {
    char* buf;
    size_t n = 0;
    void Put(char c) {
        if (n < kStampTextMax) buf[n++] = c;
    }
    void Put(const char* s) {
        while (*s) Put(*s++);
    }
    void PutBounded(const char* s, size_t max) {
        for (size_t i = 0; i < max && s[i]; ++i) Put(s[i]);
    }
    template <typename... A>
    void Printf(const char* fmt, A... a) {
        char tmp[64];
        std::snprintf(tmp, sizeof tmp, fmt, a...);
        Put(tmp);
    }
};

}  // namespace

CalendarTime CalendarFromSeconds(int64_t seconds) {
    // Days since the epoch to a proleptic Gregorian date (H. Hinnant's
    // civil_from_days), exact for any int64 day count we can meet.
    int64_t days = seconds / 86400;
    int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        days -= 1;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    CalendarTime t;
    t.day = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int32_t>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<int32_t>(rem / 3600);
    t.minute = static_cast<int32_t>(rem / 60 % 60);
    t.second = static_cast<int32_t>(rem % 60);
    return t;
}

char TriggerLetter(int32_t kind) {
    switch (kind) {
        case kTriggerNone: return ' ';
        case kTriggerVideo: return 'V';
        case kTriggerAudio: return 'A';
        case kTriggerTimer: return 'T';
        case kTriggerManual: return 'M';
        default: return 'X';
    }
}

size_t ExpandStamp(const DetectParams& p, int32_t format, const FrameStamp& s, StampStyle style,
                   const ClipProgress& clip, char (&out)[kStampTextMax + 1]) {
    const char date_mark = p.si_cdate ? '*' : ' ';
    const char over_mark = s.over ? '+' : ' ';
    const bool recording =
        clip.emitted >= 2 && (clip.max_frames == 0 || clip.emitted < clip.max_frames);
    const char rec_mark = style == StampStyle::kPreview && recording ? 'R' : ' ';

    TextOut t{out};
    const char* f = p.si_format;
    const char* end = f + sizeof p.si_format;
    while (f < end && *f) {
        if (*f != '%') {
            t.Put(*f++);
            continue;
        }
        ++f;
        if (f >= end || !*f) break;
        switch (*f++) {
            case 'C': t.Printf("%04d", p.clip_count); break;
            case 'F':
                if (style == StampStyle::kCapture) {
                    if (clip.emitted < 1) t.Put("      ");
                    else t.Printf(" %05d", clip.emitted);
                } else {
                    if (clip.emitted < 2) t.Put("      ");
                    else t.Printf("%c%05d", rec_mark, clip.emitted + p.fs_head);
                }
                break;
            case 'I':
                t.PutBounded(p.lid, sizeof p.lid);
                t.Put(' ');
                t.PutBounded(p.cid, sizeof p.cid);
                break;
            case 'i': {
                char names[sizeof p.cname + sizeof p.lname + 2];
                TextOut n{names};
                n.PutBounded(p.cname, sizeof p.cname);
                n.Put(' ');
                n.PutBounded(p.lname, sizeof p.lname);
                for (size_t i = 0; i < n.n && i < 29; ++i) t.Put(names[i]);
                break;
            }
            case 'L':
                t.Printf("%c%05d%c%03d", TriggerLetter(s.trigger), std::min(s.hit_count, 99999),
                         over_mark, s.max_level);
                break;
            case 'M': t.Printf(".%03d", s.ms); break;
            case 'T':
                t.Printf("%c%04d/%02d/%02d %02d:%02d:%02d", date_mark, s.year, s.month, s.day,
                         s.hour, s.minute, s.second);
                break;
            case 't':
                t.Printf("%c%02d/%s/%04d %02d:%02d:%02d", date_mark, s.day,
                         kMonthNames[(s.month >= 0 && s.month <= 12) ? s.month : 0], s.year,
                         s.hour, s.minute, s.second);
                break;
            case 'Y': t.Put(FormatName(format)); break;
            default: break;  // unknown code: both characters dropped
        }
    }
    out[t.n] = '\0';
    return t.n;
}

void Plot(const Canvas& c, int32_t x, int32_t y, uint8_t value) {
    const size_t p = static_cast<size_t>(y) * static_cast<size_t>(c.cx) + static_cast<size_t>(x);
    switch (c.format) {
        case kFormatYUY2: c.data[2 * p] = value; break;
        case kFormatUYVY: c.data[2 * p + 1] = value; break;
        default: c.data[p] = value; break;
    }
}

void Draw(const Canvas& c, const Font& f, int32_t x, int32_t y, int ch) {
    if (ch < 32 || ch > 126 || !f.table || f.width <= 0) return;
    if (x < 0 || x > c.cx - f.width || y >= c.cy || f.height <= 0 || f.height >= y) return;
    const uint8_t* g = f.table + static_cast<size_t>(f.width) * f.height * (127 - ch);
    for (int32_t i = 0; i < f.height; ++i) {
        for (int32_t j = 0; j < f.width; ++j) {
            const uint8_t b = g[i * f.width + j];
            if (b > 1) Plot(c, x + j, y - i, b);
            else if (b == 1) Plot(c, x + j, y - i, 0);
        }
    }
}

void DrawText(const Canvas& c, const Font& f, int32_t x, int32_t y, const char* text) {
    for (; *text; ++text, x += f.width) Draw(c, f, x, y, static_cast<unsigned char>(*text));
}

void Stamp(const Canvas& c, const DetectParams& p, const FrameStamp& s, StampStyle style,
           const ClipProgress& clip) {
    if (!p.si_on) return;
    char text[kStampTextMax + 1];
    ExpandStamp(p, c.format, s, style, clip, text);
    DrawText(c, Font{p.font_table, p.si_fontx, p.si_fonty}, 0, c.cy - p.si_y0 - 1, text);
}

size_t WriteRecordLine(uint8_t* frame, size_t len, const DetectParams& p, const FrameStamp& s,
                       int32_t frame_number) {
    char line[kRecordLineBytes + 16];
    std::snprintf(line, sizeof line, "VLXR %04d%02d%02d %02d%02d%02d.%03d%c%c %c %05d%c%03d %05d",
                  s.year % 10000, s.month, s.day, s.hour, s.minute, s.second, s.ms,
                  p.si_cdate ? '*' : ' ', p.si_utc ? 'u' : ' ', TriggerLetter(s.trigger),
                  std::clamp(s.hit_count, 0, 99999), s.over ? '+' : ' ',
                  std::clamp(s.max_level, 0, 999), std::clamp(frame_number, 0, 99999));
    const size_t n = std::min(len, kRecordLineBytes);
    std::memcpy(frame, line, n);
    return n;
}

}  // namespace vlx::detect

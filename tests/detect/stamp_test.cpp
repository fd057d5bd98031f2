#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "rig.h"
#include "vlx/detect/fonts.h"
#include "vlx/detect/stamp.h"

namespace vlx::detect {
namespace {

FrameStamp March5() {
    FrameStamp s;
    s.year = 2024;
    s.month = 3;
    s.day = 5;
    s.hour = 7;
    s.minute = 8;
    s.second = 9;
    s.ms = 45;
    s.trigger = kTriggerVideo;
    s.hit_count = 123456;
    s.over = 1;
    s.max_level = 7;
    return s;
}

std::string Expand(DetectParams& p, const char* fmt, StampStyle style = StampStyle::kCapture,
                   ClipProgress clip = {}, const FrameStamp& s = March5(), int format = kFormatYUY2) {
    std::strncpy(p.si_format, fmt, sizeof p.si_format - 1);
    char out[kStampTextMax + 1];
    const size_t n = ExpandStamp(p, format, s, style, clip, out);
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

TEST(StampText, FormatCodes) {
    DetectParams p{};
    EXPECT_EQ(Expand(p, "%T%M"), " 2024/03/05 07:08:09.045");
    EXPECT_EQ(Expand(p, "%t"), " 05/Mar/2024 07:08:09");
    EXPECT_EQ(Expand(p, "%L"), "V99999+007");
    EXPECT_EQ(Expand(p, "%F", StampStyle::kCapture, {12, 0}), " 00012");
    EXPECT_EQ(Expand(p, "%F", StampStyle::kCapture, {0, 0}), "      ");
    p.fs_head = 30;
    EXPECT_EQ(Expand(p, "%F", StampStyle::kPreview, {12, 0}), "R00042");
    EXPECT_EQ(Expand(p, "%F", StampStyle::kPreview, {12, 12}), " 00042");  // max length reached
    EXPECT_EQ(Expand(p, "%F", StampStyle::kPreview, {1, 0}), "      ");
    EXPECT_EQ(Expand(p, "a%Qb%%c"), "abc");
    EXPECT_EQ(Expand(p, "end%"), "end");
    p.clip_count = 42;
    EXPECT_EQ(Expand(p, "%C"), "0042");
    EXPECT_EQ(Expand(p, "%Y"), "YUY2");
    EXPECT_EQ(Expand(p, "%Y", StampStyle::kCapture, {}, March5(), kFormatGray8), "RGB8");
    std::strcpy(p.lid, "TOKYO01");
    std::strcpy(p.cid, "A2");
    EXPECT_EQ(Expand(p, "%I"), "TOKYO01 A2");
    std::strcpy(p.cname, "Observatory-of-the-north");
    std::strcpy(p.lname, "Station");
    EXPECT_EQ(Expand(p, "[%i]"), "[Observatory-of-the-north Stat]");  // 29 characters
    p.si_cdate = 1;
    FrameStamp s = March5();
    s.trigger = 9;
    s.hit_count = 5;
    s.over = 0;
    s.max_level = 255;
    s.month = 0;
    EXPECT_EQ(Expand(p, "%T|%t|%L", StampStyle::kCapture, {}, s), "*2024/00/05 07:08:09|*05/Nul/2024 07:08:09|X00005 255");
    // The text stops growing at 254 characters.
    std::string longfmt(200, 'x');
    longfmt += "%T%T%T%T";
    EXPECT_EQ(Expand(p, longfmt.c_str()).size(), kStampTextMax);
}

TEST(StampText, CalendarMatchesTheCLibrary) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const int64_t t = static_cast<int64_t>(rng() % 8000000000ull) - 2000000000ll;
        const time_t tt = static_cast<time_t>(t);
        std::tm tm{};
        gmtime_r(&tt, &tm);
        const CalendarTime c = CalendarFromSeconds(t);
        ASSERT_EQ(c.year, tm.tm_year + 1900) << t;
        ASSERT_EQ(c.month, tm.tm_mon + 1) << t;
        ASSERT_EQ(c.day, tm.tm_mday) << t;
        ASSERT_EQ(c.hour, tm.tm_hour) << t;
        ASSERT_EQ(c.minute, tm.tm_min) << t;
        ASSERT_EQ(c.second, tm.tm_sec) << t;
    }
}

// A 3 x 4 font whose glyphs are easy to recognise: every byte is the
// character code, except the top-left byte (1, black) and a transparent
// bottom-right byte.
std::vector<uint8_t> TestFont() {
    std::vector<uint8_t> t(3 * 4 * 96, 0);
    for (int c = 32; c < 127; ++c) {
        uint8_t* g = &t[3 * 4 * (127 - c)];
        for (int i = 0; i < 12; ++i) g[i] = static_cast<uint8_t>(c);
        g[3 * 3 + 0] = 1;  // top row (stored last), left column
        g[2] = 0;          // bottom row, right column
    }
    return t;
}

TEST(StampDraw, ClippingAndPlotPerFormat) {
    const auto font = TestFont();
    const Font f{font.data(), 3, 4};
    for (int format : {kFormatPlanar420, kFormatYUY2, kFormatUYVY, kFormatGray8}) {
        const int cx = 12, cy = 10;
        std::vector<uint8_t> frame(FrameBytes(format, cx, cy), 200);
        const Canvas c{frame.data(), format, cx, cy};
        Draw(c, f, 0, 5, 'A');
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 0, 5), 'A');
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 2, 5), 200);  // transparent
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 0, 2), 0);    // black
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 1, 2), 'A');
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 0, 1), 200);
        if (format == kFormatYUY2) {
            EXPECT_EQ(frame[2 * (5 * cx) + 1], 200);  // chroma untouched
        }
        if (format == kFormatUYVY) {
            EXPECT_EQ(frame[2 * (5 * cx)], 200);
        }
        // Characters that do not fit are skipped, the rest still drawn, x
        // advancing for each.
        std::fill(frame.begin(), frame.end(), 200);
        DrawText(c, f, -1, 8, "ab\x01" "cd");
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 0, 8), 200);   // 'a' at -1 skipped
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 2, 8), 'b');
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 5, 8), 200);   // \x01 skipped
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 8, 8), 'c');
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 11, 8), 200);  // 'd' at 11 does not fit
        // Baseline too high (y <= font height) or below the frame: nothing.
        std::fill(frame.begin(), frame.end(), 200);
        Draw(c, f, 0, 4, 'A');
        Draw(c, f, 0, 10, 'A');
        EXPECT_EQ(std::count(frame.begin(), frame.end(), 200), static_cast<long>(frame.size()));
        Draw(c, f, 9, 5, 'Z');  // exactly at the right edge
        EXPECT_EQ(test::LumaAt(frame.data(), format, cx, 9, 5), 'Z');
    }
}

TEST(StampDraw, StampUsesBaselineFromTheBottom) {
    const FontTable ft = StampFont(0);
    DetectParams p{};
    p.si_on = 1;
    p.font_table = ft.glyphs;
    p.si_fontx = ft.width;
    p.si_fonty = ft.height;
    std::strcpy(p.si_format, "%T");
    const int cx = 120, cy = 40;
    std::vector<uint8_t> frame(cx * cy, 128);
    const Canvas c{frame.data(), kFormatGray8, cx, cy};
    p.si_y0 = 2;
    Stamp(c, p, March5(), StampStyle::kPreview, {});
    int touched_lo = cy, touched_hi = -1;
    for (int y = 0; y < cy; ++y)
        for (int x = 0; x < cx; ++x)
            if (frame[y * cx + x] != 128) {
                touched_lo = std::min(touched_lo, y);
                touched_hi = std::max(touched_hi, y);
            }
    EXPECT_LE(touched_hi, cy - 2 - 1);  // the baseline row
    EXPECT_GE(touched_hi, cy - 2 - 3);
    EXPECT_GE(touched_lo, cy - 3 - ft.height + 1);
    // si_y0 so large that the baseline is at or above row si_fonty.
    std::fill(frame.begin(), frame.end(), 128);
    p.si_y0 = cy - 1 - ft.height;
    Stamp(c, p, March5(), StampStyle::kPreview, {});
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 128), cx * cy);
    p.si_y0 = 2;
    p.si_on = 0;
    Stamp(c, p, March5(), StampStyle::kPreview, {});
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 128), cx * cy);
}

TEST(StampFonts, ThreeSizesWithInkInEveryPrintableGlyph) {
    const int sizes[3][2] = {{5, 9}, {8, 15}, {16, 30}};
    for (int s = 0; s < 3; ++s) {
        const FontTable f = StampFont(s);
        EXPECT_EQ(f.width, sizes[s][0]);
        EXPECT_EQ(f.height, sizes[s][1]);
        for (int c = 33; c < 127; ++c) {
            const uint8_t* g = f.glyphs + f.width * f.height * (127 - c);
            int white = 0;
            for (int i = 0; i < f.width * f.height; ++i) white += g[i] == 255;
            EXPECT_GT(white, 0) << "size " << s << " char " << c;
        }
        const uint8_t* space = f.glyphs + f.width * f.height * (127 - ' ');
        for (int i = 0; i < f.width * f.height; ++i) EXPECT_EQ(space[i], 0);
        // Distinct digits.
        for (int a = '0'; a <= '9'; ++a)
            for (int b = a + 1; b <= '9'; ++b)
                EXPECT_NE(0, std::memcmp(f.glyphs + f.width * f.height * (127 - a),
                                         f.glyphs + f.width * f.height * (127 - b), f.width * f.height));
    }
    EXPECT_EQ(StampFont(7).width, 5);
}

TEST(StampCore, OffsetCarriesIntoTheNextSecondAndRecordLine) {
    test::RigConfig c;
    c.cx = 160;
    c.cy = 40;
    c.format = kFormatYUY2;
    test::Rig rig(c);
    const FontTable ft = StampFont(1);
    rig.p.si_on = 1;
    rig.p.font_table = ft.glyphs;
    rig.p.si_fontx = ft.width;
    rig.p.si_fonty = ft.height;
    rig.p.si_y0 = 1;
    rig.p.si_offset = 900;
    rig.p.si_utc = 1;
    rig.p.rec_line = 1;
    rig.clock.Set(WallTime{1709622489, 500});
    rig.period_ms = 0;
    rig.Start();
    for (int k = 0; k < 10; ++k) rig.Feed(rig.Flat(20));
    const FrameStamp& s = rig.core.SlotStamp(3);
    EXPECT_EQ(s.second, 10);
    EXPECT_EQ(s.ms, 400);
    // A clip frame carries the record line at byte 0, with the stamp of its
    // own slot (taken before the forced trigger).
    rig.p.force_trig = 1;
    VideoOutcome o;
    for (int k = 0; k < 3 && o.capture_slot < 0; ++k) o = rig.Feed(rig.Flat(20));
    ASSERT_GE(o.capture_slot, 0);
    const char* line = reinterpret_cast<const char*>(rig.core.VideoSlot(o.capture_slot));
    EXPECT_EQ(std::string(line), "VLXR 20240305 070810.400 u   00000 000 00001");
    EXPECT_EQ(std::strlen(line) + 1, kRecordLineBytes);
    // The stamp is drawn into the captured frame too.
    const uint8_t* d = rig.core.VideoSlot(o.capture_slot);
    int ink = 0;
    for (int y = c.cy - 16; y < c.cy - 1; ++y)
        for (int x = 0; x < c.cx; ++x) ink += d[2 * (y * c.cx + x)] == 255;
    EXPECT_GT(ink, 40);
}

}  // namespace
}  // namespace vlx::detect

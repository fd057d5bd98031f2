// Clip selection, the still pick order, the size rules and the overlays.
#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "test_support.h"
#include "vlx/clips/records.h"
#include "vlx/replay/still.h"

namespace {

using vlx::ClipEntry;
using vlx::StillImage;

TEST(Still, TheEntryLettersChooseTheMediaAndTheStill) {
    struct Case {
        const char* letters;
        const char* media;
        char type;
        const char* still;
    } cases[] = {
        {"A SPTBCMX ", ".avi", 'a', "S.jpg"}, {" WsPT   X ", ".wmv", 'w', "S.bmp"},
        {"AW P     ", ".avi", 'a', "P.jpg"},  {"   p B   ", "", 0, "P.bmp"},
        {"     BC  ", "", 0, ".bmp"},          {"      CM  ", "", 0, "C.bmp"},
        {"    T   X ", "", 0, ""},  // a thumbnail and a record only: no still
    };
    for (const Case& c : cases) {
        ClipEntry e{"/clips/2007/200710/20071015", "M20071015_203045_TK1", c.letters};
        vlx::ClipSelection s = vlx::SelectionFor(e);
        const std::string base = "/clips/2007/200710/20071015/M20071015_203045_TK1";
        EXPECT_EQ(s.base_path, base);
        EXPECT_EQ(s.media_path, *c.media ? base + c.media : "") << c.letters;
        EXPECT_EQ(s.clip_type, c.type) << c.letters;
        EXPECT_EQ(vlx::PickStill(e, s.base_path), *c.still ? base + c.still : "") << c.letters;
    }
}

// A 40 x 30 picture of value 100 and a map with one of each kind of pixel.
TEST(Still, OverlaysFollowTheirOrderAndTheBoxIsWidenedAndClamped) {
    const int w = 40, h = 30;
    StillImage map;
    map.Fill(w, h, 0);
    auto at = [&](StillImage& img, int x, int y) { return &img.pixels[(y * w + x) * 3]; };
    at(map, 1, 1)[0] = 1;      // area mask bit
    at(map, 2, 1)[0] = 2;      // the other area bit
    at(map, 3, 1)[0] = 4;      // not an area bit
    at(map, 4, 1)[0] = 248;    // scintillation
    at(map, 20, 10)[2] = 255;  // strong hits: box x 5..53 -> 39, y -5 -> 0 .. 27
    at(map, 38, 12)[2] = 254;
    at(map, 30, 20)[2] = 100;  // a weak hit: marked, not boxed
    at(map, 30, 20)[0] = 3;    // under a hit the area mask is painted over
    for (int mask = 0; mask < 8; ++mask) {
        vlx::Overlays o{(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0};
        StillImage d;
        d.Fill(w, h, 100);
        vlx::ApplyOverlays(d, map, o);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t* m = at(map, x, y);
                uint8_t want[3] = {100, 100, 100};
                if (o.area && (m[0] & 3)) want[0] = want[1] = want[2] = 150;
                if (o.scl && m[0] == 248) want[0] = 248, want[1] = 0, want[2] = 0;
                if (o.hit && m[2]) want[0] = 255, want[1] = 255, want[2] = 0;
                const bool edge = ((x == 5 || x == 39) && y <= 27) || ((y == 0 || y == 27) && x >= 5);
                if (o.hit && edge) want[0] = 0, want[1] = 0, want[2] = 255;
                const uint8_t* got = at(d, x, y);
                ASSERT_TRUE(got[0] == want[0] && got[1] == want[1] && got[2] == want[2])
                    << "overlays " << mask << " at " << x << "," << y << ": " << int(got[0]) << " " << int(got[1])
                    << " " << int(got[2]);
            }
        }
    }
    // Without a strong hit there is no box.
    at(map, 20, 10)[2] = 0;
    at(map, 38, 12)[2] = 0;
    StillImage d;
    d.Fill(w, h, 100);
    vlx::ApplyOverlays(d, map, {false, false, true});
    EXPECT_EQ(at(d, 5, 0)[2], 100);
}

TEST(Still, SizeRulesKeepThePictureWhenAFileDoesNotFit) {
    vlx::test::TempDir dir;
    vlx::test::CaptureReporter reporter;
    std::vector<uint8_t> px(8 * 6 * 3, 77), small(4 * 2 * 3, 9);
    ASSERT_TRUE(vlx::WriteBmp24(dir / "fit.bmp", px.data(), 8, 6));
    ASSERT_TRUE(vlx::WriteBmp24(dir / "small.bmp", small.data(), 4, 2));
    ASSERT_TRUE(vlx::WriteJpegFromRgb(dir / "other.jpg", small.data(), 4, 2));
    struct Case {
        std::string path;
        bool still;  // as a still, or as the map
        bool loaded;
        const char* error;
    } cases[] = {
        {dir / "fit.bmp", true, true, nullptr},
        {dir / "small.bmp", true, false, "UM081: Map file size not matched"},
        {dir / "gone.bmp", true, false, "UM080: Cannot read bmp file"},
        {dir / "other.jpg", true, true, nullptr},  // a JPEG brings its size
        {dir / "fit.bmp", false, true, nullptr},
        {dir / "small.bmp", false, false, "UM081 Map file size not matched"},
        {dir / "gone.bmp", false, false, "UM082: Map file not exist"},
    };
    for (const Case& c : cases) {
        reporter.clear();
        StillImage d;
        d.Fill(8, 6, 150);
        StillImage map;
        bool ok = c.still ? vlx::LoadStill(c.path, d) : vlx::LoadMap(c.path, d, map);
        EXPECT_EQ(ok, c.loaded) << c.path;
        EXPECT_EQ(reporter.errors(), c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{})
            << c.path;
        if (!c.loaded) {
            EXPECT_EQ(d.width, 8);
            EXPECT_EQ(d.height, 6);
            EXPECT_EQ(d.pixels, std::vector<uint8_t>(8 * 6 * 3, 150));
        }
    }
    StillImage d;
    d.Fill(8, 6, 150);
    ASSERT_TRUE(vlx::LoadStill(dir / "other.jpg", d));
    EXPECT_EQ(d.width, 4);
    EXPECT_EQ(d.height, 2);
}

}  // namespace

// Text records and the area mask: the XML record read by a real XML parser,
// the detection log across a month change, area-mask files good and bad, and
// the replay still's name.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "clips_test_util.h"
#include "test_support.h"
#include "vlx/clips/records.h"
#include "vlx/clips/storage.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::SetText;
using test::Utc;
using Attributes = std::vector<std::pair<std::string, std::string>>;

// The root element's attributes in document order, as Python's parser sees them.
Attributes ParseWithPython(const std::string& path, int* status) {
    const std::string script =
        "import sys, xml.etree.ElementTree as ET\n"
        "root = ET.parse(sys.argv[1]).getroot()\n"
        "assert root.tag == 'vigilux_record', root.tag\n"
        "for k, v in root.attrib.items():\n"
        "    sys.stdout.buffer.write(k.encode() + b'\\x01' + v.encode() + b'\\x02')\n";
    test::TempDir tmp;
    test::WriteFileBytes(tmp / "parse.py", script.data(), script.size());
    std::string out = test::RunCommand(std::string(test::SystemPython()) + " " + (tmp / "parse.py") + " '" + path + "'",
                                       status);
    Attributes attrs;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t sep = out.find('\x01', pos), end = out.find('\x02', pos);
        if (sep == std::string::npos || end == std::string::npos) break;
        attrs.emplace_back(out.substr(pos, sep - pos), out.substr(sep + 1, end - sep - 1));
        pos = end + 1;
    }
    return attrs;
}

class RecordTest : public ::testing::Test {
protected:
    RecordTest() : clock_(WallTime{Utc(2007, 8, 12, 19, 2, 11), 0}) {
        ctx_.clock = &clock_;
        SetText(ctx_.ap.db_dir, dir_.str().c_str());
        SetText(ctx_.program_dir, dir_.str().c_str());
        ctx_.ap.db_ymddir = 1;
    }

    test::TempDir dir_;
    test::CaptureReporter reporter_;
    ManualClock clock_;
    AppContext ctx_;
};

TEST_F(RecordTest, XmlRecordReadsBackAttributeByAttribute) {
    DetectParams& dp = ctx_.dp;
    dp.clip_start_time = Utc(2007, 8, 12, 19, 2, 11);
    dp.clip_trigger = 1;
    dp.clip_frames = 57;
    dp.clip_dlev = 20;
    dp.dsize = 3;
    dp.cx = 640;
    dp.cy = 480;
    dp.fps = 29.97;
    dp.fs_head = 30;
    dp.fs_tail = 45;
    dp.fs_diff = 2;
    dp.si_y0 = 8;
    dp.si_on = 0;
    dp.si_fonty = 16;
    ctx_.tz_bias = -32400;
    ctx_.ap.lng = 139.7;
    ctx_.ap.lat = -35.68;
    ctx_.ap.alt = 40.0;
    SetText(dp.lid, "TOKYO01");
    SetText(dp.cid, "AB");
    SetText(dp.cname, "WAT-100N");
    SetText(dp.lname, "f1.2");
    SetText(ctx_.ap.oname, "Sato's");
    SetText(ctx_.ap.hname, "PC&card");
    SetText(ctx_.ap.comment, "He said \"clear\" <sky> & 'calm'");

    const std::string path = dir_ / "M20070812_190211_TOKYO01_AB.xml";
    ASSERT_TRUE(WriteClipRecord(ctx_, path));
    const std::string text = test::ReadFileText(path);
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\r\n<vigilux_record version=\"200\" y=\"2007\" mo=\"08\"";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_TRUE(text.ends_with("\"></vigilux_record>\r\n"));
    EXPECT_NE(text.find(" lng=\"139.7000\" lat=\"-35.6800\" alt=\"40.0\" tz=\"32400\" u2=\"209\" cx="), std::string::npos);
    EXPECT_NE(text.find("comment=\"He said &quot;clear&quot; &lt;sky&gt; &amp; &apos;calm&apos;\""), std::string::npos);

    int status = -1;
    Attributes attrs = ParseWithPython(path, &status);
    ASSERT_EQ(status, 0) << text;
    const Attributes expected = {
        {"version", "200"}, {"y", "2007"},     {"mo", "08"},         {"d", "12"},          {"h", "19"},
        {"m", "02"},        {"s", "11"},       {"trig", "1"},        {"frames", "57"},     {"lng", "139.7000"},
        {"lat", "-35.6800"}, {"alt", "40.0"},  {"tz", "32400"},      {"u2", "209"},        {"cx", "640"},
        {"cy", "480"},      {"fps", "29.970"}, {"head", "30"},       {"tail", "45"},       {"diff", "2"},
        {"sipos", "8"},     {"sisize", "0"},   {"dlev", "20"},       {"dsize", "3"},       {"lid", "TOKYO01"},
        {"observer", "Sato's"}, {"sid", "AB"}, {"cam", "WAT-100N"},  {"lens", "f1.2"},     {"cap", "PC&card"},
        {"comment", "He said \"clear\" <sky> & 'calm'"},
    };
    EXPECT_EQ(attrs, expected);

    // UTC stamps and the superimposed line.
    dp.si_utc = 1;
    dp.si_on = 1;
    ASSERT_TRUE(WriteClipRecord(ctx_, path));
    attrs = ParseWithPython(path, &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(attrs.size(), expected.size());
    EXPECT_EQ(attrs[12], (std::pair<std::string, std::string>{"tz", "0"}));
    EXPECT_EQ(attrs[21], (std::pair<std::string, std::string>{"sisize", "16"}));

    // A folder that does not exist: no record and nothing else.
    EXPECT_FALSE(WriteClipRecord(ctx_, dir_ / "missing/M.xml"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

TEST_F(RecordTest, DetectionLogAcrossAMonthChange) {
    ctx_.ap.md_log = 1;
    clock_.Set(WallTime{Utc(2007, 8, 31, 23, 0, 0), 0});
    MakeClipPath(ctx_, ctx_.CaptureNow() + 1, 'T', '_');
    LogDetectStart(ctx_);
    EXPECT_EQ(ctx_.detect_start_time, Utc(2007, 8, 31, 23, 0, 0));

    clock_.Set(WallTime{Utc(2007, 9, 1, 0, 30, 5), 0});
    MakeClipPath(ctx_, ctx_.CaptureNow() + 1, 'T', '_');
    LogDetectStop(ctx_);

    EXPECT_EQ(test::ReadFileText(dir_ / "2007/200708/detlog.csv"),
              "ver,Y1(start),M1,D1,h1,m1,s1,Y2(stop),M2,D2,h2,m2,s2,Lapse(sec)\r\n209,2007,08,31,23,00,00,");
    EXPECT_EQ(test::ReadFileText(dir_ / "2007/200709/detlog.csv"),
              "ver,Y1,M1,D1,h1,m1,s1,Y2,M2,D2,h2,m2,s2,Lapse(sec)\r\n,,,,,,,2007,09,01,00,30,05,      5405");

    // Within one month the line is completed in place.
    clock_.Set(WallTime{Utc(2007, 9, 12, 19, 2, 11), 0});
    LogDetectStart(ctx_);
    clock_.Set(WallTime{Utc(2007, 9, 13, 4, 30, 5), 0});
    LogDetectStop(ctx_);
    EXPECT_TRUE(test::ReadFileText(dir_ / "2007/200709/detlog.csv")
                    .ends_with("\r\n209,2007,09,12,19,02,11,2007,09,13,04,30,05,     34074"));
}

TEST_F(RecordTest, DetectionLogOffOrUnwritable) {
    ctx_.ap.db_ymddir = 0;
    ctx_.ap.md_log = 0;
    MakeClipPath(ctx_, ctx_.CaptureNow(), 'T', '_');
    LogDetectStart(ctx_);
    EXPECT_EQ(ctx_.detect_start_time, Utc(2007, 8, 12, 19, 2, 11));  // kept even without a log
    LogDetectStop(ctx_);
    EXPECT_FALSE(fs::exists(dir_ / "detlog.csv"));

    ctx_.ap.md_log = 1;
    fs::create_directory(dir_ / "detlog.csv");  // a folder in the log's place
    LogDetectStart(ctx_);
    LogDetectStop(ctx_);
    EXPECT_TRUE(fs::is_directory(dir_ / "detlog.csv"));

    // No file named yet in this run: no month folder, no log anywhere.
    AppContext fresh;
    fresh.clock = &clock_;
    fresh.ap.md_log = 1;
    LogDetectStart(fresh);
    LogDetectStop(fresh);
    EXPECT_FALSE(fs::exists("/detlog.csv"));
    EXPECT_TRUE(reporter_.errors().empty());
}

class AreaMaskTest : public RecordTest {
protected:
    static constexpr int W = 8, H = 6;
    void SetUp() override {
        ctx_.dp.cx = W;
        ctx_.dp.cy = H;
        ctx_.dp.pixels = W * H;
        alloc_.assign(W * H + 2 * W, 7);
        ctx_.dp.mask_alloc = alloc_.data();
        ctx_.dp.mask = alloc_.data() + W;
        SetText(ctx_.ap.dareafname, "area.bmp");
    }
    // A file picture: all black with the given pure-red points (row from the top).
    std::vector<uint8_t> Picture(const std::vector<std::pair<int, int>>& red) {
        std::vector<uint8_t> px(W * H * 3, 0);
        for (auto [x, y] : red) px[((H - 1 - y) * W + x) * 3 + 2] = 255;
        return px;
    }
    void WriteRaw(const std::vector<uint8_t>& bytes) { test::WriteFileBytes(dir_ / "area.bmp", bytes.data(), bytes.size()); }
    std::vector<uint8_t> FileOf(const std::vector<uint8_t>& px, int w = W, int h = H) {
        EXPECT_TRUE(WriteBmp24(dir_ / "tmp.bmp", px.data(), w, h));
        return test::ReadFileBytes(dir_ / "tmp.bmp");
    }
    void ExpectRejected(const char* what) {
        SCOPED_TRACE(what);
        AreaMaskPicture pic;
        EXPECT_FALSE(ReadAreaMask(ctx_, true, pic));
        EXPECT_EQ(reporter_.errors(), std::vector<std::string>{"UM027: Area Mask File size not matched ... ignored"});
        EXPECT_STREQ(ctx_.ap.dareafname, "DA-ALL.bmp");
        EXPECT_EQ(alloc_, std::vector<uint8_t>(alloc_.size(), 0));
        EXPECT_TRUE(pic.pixels.empty());
        reporter_.clear();
        SetText(ctx_.ap.dareafname, "area.bmp");
    }

    std::vector<uint8_t> alloc_;
};

TEST_F(AreaMaskTest, RedPointsBecomeMaskBitsRowsFromTheTop) {
    std::vector<uint8_t> px = Picture({{2, 1}, {7, 5}});
    px[((H - 1 - 3) * W + 4) * 3 + 2] = 254;  // nearly red is detected as usual
    WriteRaw(FileOf(px));
    AreaMaskPicture pic;
    ASSERT_TRUE(ReadAreaMask(ctx_, true, pic));
    EXPECT_EQ(pic.width, W);
    EXPECT_EQ(pic.height, H);
    EXPECT_EQ(pic.pixels, px);
    std::vector<uint8_t> expected(alloc_.size(), 0);
    expected[W + 1 * W + 2] = 2;
    expected[W + 5 * W + 7] = 2;
    EXPECT_EQ(alloc_, expected);
    EXPECT_TRUE(reporter_.errors().empty());

    // Without the clear flag only the picture is read.
    std::fill(alloc_.begin(), alloc_.end(), 7);
    ASSERT_TRUE(ReadAreaMask(ctx_, false, pic));
    EXPECT_EQ(alloc_, std::vector<uint8_t>(alloc_.size(), 7));

    // All red: every mask byte, and only the mask, is 2.
    std::vector<std::pair<int, int>> all;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) all.emplace_back(x, y);
    WriteRaw(FileOf(Picture(all)));
    ASSERT_TRUE(ReadAreaMask(ctx_, true, pic));
    for (size_t i = 0; i < alloc_.size(); ++i) EXPECT_EQ(alloc_[i], (i >= W && i < W + W * H) ? 2 : 0) << i;
}

TEST_F(AreaMaskTest, PixelOffsetIsHonoured) {
    std::vector<uint8_t> f = FileOf(Picture({{0, 0}}));
    std::vector<uint8_t> with_palette(f.begin(), f.begin() + 54);
    with_palette.resize(1078, 0xFF);  // a palette full of "red" bytes must be skipped
    with_palette.insert(with_palette.end(), f.begin() + 54, f.end());
    with_palette[10] = 1078 & 0xFF;
    with_palette[11] = 1078 >> 8;
    WriteRaw(with_palette);
    AreaMaskPicture pic;
    ASSERT_TRUE(ReadAreaMask(ctx_, true, pic));
    EXPECT_EQ(ctx_.dp.mask[0], 2);
    EXPECT_EQ(std::count(alloc_.begin(), alloc_.end(), 2), 1);
}

TEST_F(AreaMaskTest, NoMaskAndUnreadableFiles) {
    SetText(ctx_.ap.dareafname, "DA-ALL.bmp");
    AreaMaskPicture pic;
    EXPECT_FALSE(ReadAreaMask(ctx_, true, pic));
    EXPECT_EQ(alloc_, std::vector<uint8_t>(alloc_.size(), 0));
    EXPECT_TRUE(reporter_.errors().empty());

    SetText(ctx_.ap.dareafname, "none.bmp");
    EXPECT_FALSE(ReadAreaMask(ctx_, true, pic));
    fs::create_directory(dir_ / "folder.bmp");
    SetText(ctx_.ap.dareafname, "folder.bmp");
    EXPECT_FALSE(ReadAreaMask(ctx_, true, pic));
    EXPECT_EQ(reporter_.errors(), (std::vector<std::string>{"UM026: Cannot read Area Mask none.bmp ",
                                                            "UM026: Cannot read Area Mask folder.bmp "}));
    EXPECT_STREQ(ctx_.ap.dareafname, "folder.bmp");
}

TEST_F(AreaMaskTest, BadFilesAreRejectedWithoutReadingPastThem) {
    const std::vector<uint8_t> good = FileOf(Picture({{1, 1}}));
    std::vector<uint8_t> f;

    WriteRaw(FileOf(std::vector<uint8_t>(W * (H - 1) * 3, 0), W, H - 1));
    ExpectRejected("other size");

    WriteRaw(std::vector<uint8_t>(good.begin(), good.begin() + 30));
    ExpectRejected("header cut short");

    WriteRaw(std::vector<uint8_t>(good.begin(), good.end() - 1));
    ExpectRejected("pixels cut short");

    f = good;
    f[10] = f[11] = f[12] = 0xFF;
    f[13] = 0x7F;
    WriteRaw(f);
    ExpectRejected("offset past the end");

    f = good;
    f[10] = 20;
    WriteRaw(f);
    ExpectRejected("offset inside the header");

    f = good;
    f[18] = f[19] = f[20] = 0xFF;
    f[21] = 0x7F;
    WriteRaw(f);
    ExpectRejected("absurd width");

    f = good;
    f[22] = f[23] = f[24] = f[25] = 0x80;
    WriteRaw(f);
    ExpectRejected("absurd negative height");

    f = good;
    f[0] = 'X';
    WriteRaw(f);
    ExpectRejected("not a picture file");

    WriteRaw({});
    ExpectRejected("empty file");

    // The setting was reset each time: the next build uses no mask.
    WriteRaw(good);
    AreaMaskPicture pic;
    EXPECT_TRUE(ReadAreaMask(ctx_, true, pic));
}

TEST(ReplayStill, NameFromPositionAndFields) {
    const std::string clip = "/clips/2007/200708/20070812/M20070812_190211_TOKYO01_AB.avi";
    EXPECT_EQ(ReplayStillPath(clip, 10'000'000, 29.97, false, false),
              "/clips/2007/200708/20070812/z20070812_190211_TOKYO01_AB_029s.jpg");
    EXPECT_EQ(ReplayStillPath(clip, 10'000'000, 29.97, true, false),
              "/clips/2007/200708/20070812/z20070812_190211_TOKYO01_AB_059s.jpg");
    EXPECT_EQ(ReplayStillPath(clip, 10'000'000, 29.97, true, true),
              "/clips/2007/200708/20070812/z20070812_190211_TOKYO01_AB_060s.jpg");
    EXPECT_EQ(ReplayStillPath(clip, 0, 25.0, false, false),
              "/clips/2007/200708/20070812/z20070812_190211_TOKYO01_AB_000s.jpg");
    EXPECT_EQ(ReplayStillPath("M1.wmv", 400'000'000, 25.0, false, false), "z1_1000s.jpg");
    EXPECT_EQ(ReplayStillPath(clip, 10'000'000, 0.0, false, false),
              "/clips/2007/200708/20070812/z20070812_190211_TOKYO01_AB_000s.jpg");
}

}  // namespace
}  // namespace vlx

#include "vlx/clipdb/clip_database.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../clips/clips_test_util.h"
#include "capture_reporter.h"
#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::SetText;
using test::Utc;

const test::PrivateDataHome g_data_home;

void Touch(const std::string& path, size_t bytes = 1) {
    fs::create_directories(fs::path(path).parent_path());
    std::string data(bytes, 'x');
    test::WriteFileBytes(path, data.data(), data.size());
}

// Records what the list is told, and checks it stays in step with the model.
struct ListRecorder : ClipListView {
    std::vector<std::string> rows;
    const ClipDatabase* db = nullptr;
    std::string counter;
    int selected = -1;
    std::vector<std::pair<int, std::string>> shown;
    int no_clip = 0;

    void ListCleared() override { rows.clear(); }
    void RowAdded(int row) override {
        ASSERT_EQ(row, static_cast<int>(rows.size()));
        rows.push_back(db->RowName(row));
    }
    void RowRemoved(int row) override { rows.erase(rows.begin() + row); }
    void CounterChanged(const std::string& text) override { counter = text; }
    void SelectionChanged(int row) override { selected = row; }
    void ShowClip(int entry, const std::string& name, bool) override { shown.emplace_back(entry, name); }
    void NoClip() override { ++no_clip; }
};

class ClipDatabaseTest : public ::testing::Test {
protected:
    ClipDatabaseTest() : clock_(WallTime{Utc(2007, 10, 15, 12, 0, 0), 0}), db_(ctx_, &answer_) {
        ctx_.clock = &clock_;
        ctx_.tz_bias = -9 * 3600;  // a zone east of UTC catches UTC / local mix-ups
        SetText(ctx_.ap.db_dir, dir_.str().c_str());
        ctx_.ap.db_ymddir = 0;
        ctx_.ap.db_latest = 0;
        ctx_.ap.db_night = 0;
        ctx_.ap.db_days = 1;
        SetDate(2007, 10, 15);
        view_.db = &db_;
        db_.SetView(&view_);
    }
    void SetDate(int y, int m, int d) {
        ctx_.ap.db_y = y;
        ctx_.ap.db_m = m;
        ctx_.ap.db_d = d;
    }
    std::vector<std::string> Rows() const {
        std::vector<std::string> out;
        for (int r = 0; r < db_.RowCount(); ++r) out.push_back(db_.RowName(r));
        return out;
    }
    std::string Root() const { return dir_.str(); }

    test::TempDir dir_;
    test::CaptureReporter reporter_;
    ManualClock clock_;
    AppContext ctx_;
    FixedAnswer answer_{true};
    ClipDatabase db_;
    ListRecorder view_;
};

TEST_F(ClipDatabaseTest, ReadWindowRunsFromMidnightOrNoonForTheDays) {
    for (const char* hour : {"00", "11", "12", "23"}) {
        for (const char* day : {"20071014", "20071015", "20071016"}) {
            Touch(Root() + "/M" + day + "_" + hour + "0000_TK1.avi");
        }
    }
    struct Case {
        int night, days;
        std::vector<std::string> listed;  // date_hour
    } cases[] = {
        {0, 1, {"20071015_00", "20071015_11", "20071015_12", "20071015_23"}},
        {1, 1, {"20071015_12", "20071015_23", "20071016_00", "20071016_11"}},
        {0, 2, {"20071015_00", "20071015_11", "20071015_12", "20071015_23", "20071016_00", "20071016_11",
                "20071016_12", "20071016_23"}},
    };
    for (const Case& c : cases) {
        ctx_.ap.db_night = c.night;
        ctx_.ap.db_days = c.days;
        db_.Read();
        std::vector<std::string> want;
        for (const std::string& s : c.listed) want.push_back("M" + s + "0000_TK1");
        EXPECT_EQ(Rows(), want) << "night " << c.night << " days " << c.days;
        EXPECT_EQ(view_.rows, want);
        EXPECT_EQ(view_.counter, std::to_string(want.size()) + " clips");
    }
    // The end is 00:00:00 of the next day and a clip counts from minute 1,
    // second 1 of its hour: the next day's hour 0 is out.
    EXPECT_EQ(db_.EndInstant() - db_.StartInstant(), 2 * 86400);
    ctx_.ap.db_night = 0;
    ctx_.ap.db_days = 1;
    db_.Read();
    EXPECT_EQ(db_.StartInstant(), Utc(2007, 10, 15, 0, 0, 0) + ctx_.tz_bias);
    EXPECT_EQ(db_.EndInstant(), Utc(2007, 10, 16, 0, 0, 0) + ctx_.tz_bias);
}

TEST_F(ClipDatabaseTest, WalkDescendsOnlyIntoDatedFoldersOfTheSpan) {
    ctx_.ap.db_ymddir = 1;
    ctx_.ap.db_days = 20;
    SetDate(2007, 12, 20);  // the span reaches into the next year
    const std::string clip = "_200000_TK1.avi";
    std::vector<std::string> listed = {
        "2007/200712/20071220/M20071220" + clip,
        "2007/200712/20071231/M20071231" + clip,
        "2008/200801/20080105/M20080105" + clip,
    };
    std::vector<std::string> skipped = {
        "2007/200712/20071219/M20071219" + clip,  // day folder before the start
        "2007/200711/20071130/M20071130" + clip,  // month before the start
        "2006/200612/20061231/M20061231" + clip,  // year before
        "2010/201001/20100101/M20100101" + clip,  // year past Y0 + N/365 + 1
        ".2007/200712/20071221/M20071221" + clip,  // hidden
        "2007/.200712/20071221/M20071221" + clip,
        "2007/2007-12/20071221/M20071221" + clip,  // not a month name
        "2007/200712/2007122/M20071222" + clip,    // 7 characters
        "2007/200712/20071223/T20071223" + clip,   // temporary file
        "2007/200712/20071223/M2007122x" + clip,   // not digits
        "2007/200712/20071223/M20071223_20000.avi",  // too short
        "2007/200712/20071223/M20071223-200000_TK1.avi",
        "2007/200712/20071223/M20071223_200000_TK1avi",
        "2008/200801/20080110/M20080110" + clip,  // inside the folder bounds, outside the window
    };
    for (const std::string& p : listed) Touch(Root() + "/" + p);
    for (const std::string& p : skipped) Touch(Root() + "/" + p);
    Touch(Root() + "/2007/200712/20071224");  // a file where a folder would be
    fs::create_directories(Root() + "/2007/200712/20071225/M20071225_200000_TK1.avi");  // a folder as a clip

    db_.Read();
    ASSERT_EQ(db_.RowCount(), 3);
    for (int r = 0; r < 3; ++r) {
        std::string want = Root() + "/" + listed[r];
        EXPECT_EQ(db_.RowClipPath(r), want);
        EXPECT_EQ(db_.RowFolder(r), fs::path(want).parent_path().string());
    }
    EXPECT_EQ(db_.DirectoryCount(), 3);
}

TEST_F(ClipDatabaseTest, EachFileGivesItsLetterAndTheClipsFilesMakeOneRow) {
    const std::string b = "M20071015_203045_TK1";
    struct Case {
        std::string file, row, media;
    } cases[] = {
        {b + ".avi", b, "A         "},  {b + ".wmv", b, " W        "}, {b + "S.jpg", b, "  S       "},
        {b + "S.bmp", b, "  s       "}, {b + "P.jpg", b, "   P      "}, {b + "P.bmp", b, "   p      "},
        {b + "T.jpg", b, "    T     "}, {b + ".bmp", b, "     B    "}, {b + "Z.bmp", b + "Z", "     B    "},
        {b + "C.bmp", b, "      C   "}, {b + "M.bmp", b, "       M  "}, {b + ".xml", b, "        X "},
        {b + ".AVI", b, "         *"},  {b + ".txt", b, "         *"}, {b + "Q.jpg", b + "Q", "          "},
        {b + "S.JPG", b + "S", "         *"},
    };
    for (const Case& c : cases) {
        fs::remove_all(Root());
        Touch(Root() + "/" + c.file);
        db_.Read();
        ASSERT_EQ(db_.RowCount(), 1) << c.file;
        EXPECT_EQ(db_.RowName(0), c.row) << c.file;
        EXPECT_EQ(db_.RowMedia(0), c.media) << c.file;
    }

    // Three files of one clip: one row, letters at 0, 2 and 8, sizes summed.
    fs::remove_all(Root());
    Touch(Root() + "/" + b + ".avi", 1 << 20);
    Touch(Root() + "/" + b + "S.jpg", 1 << 19);
    Touch(Root() + "/" + b + ".xml", 1 << 18);
    Touch(Root() + "/M20071015_203112_TK1.avi", 3 << 20);
    db_.Read();
    ASSERT_EQ(db_.RowCount(), 2);
    EXPECT_EQ(db_.RowName(0), b);
    EXPECT_EQ(db_.RowMedia(0), "A S     X ");
    EXPECT_EQ(db_.RowSizeText(0), "1.8");  // 1.75 MB
    EXPECT_EQ(db_.RowMedia(1), "A         ");
    EXPECT_EQ(db_.RowSizeText(1), "3.0");
}

TEST_F(ClipDatabaseTest, LatestDaysStartFromTheClock) {
    struct Case {
        int64_t now;  // UTC; local is 9 hours ahead
        int night, days, si_utc;
        int y, m, d;
    } cases[] = {
        {Utc(2007, 10, 14, 18, 0, 0), 0, 1, 0, 2007, 10, 15},  // local 03:00: today
        {Utc(2007, 10, 14, 18, 0, 0), 1, 1, 0, 2007, 10, 14},  // local 03:00, pm-am: yesterday
        {Utc(2007, 10, 15, 4, 0, 0), 1, 1, 0, 2007, 10, 15},   // local 13:00, pm-am: today
        {Utc(2007, 10, 14, 18, 0, 0), 0, 1, 1, 2007, 10, 14},  // time stamps in UTC
        {Utc(2007, 10, 14, 18, 0, 0), 0, 3, 0, 2007, 10, 13},
        {Utc(2007, 12, 31, 18, 0, 0), 1, 1, 0, 2007, 12, 31},  // local 03:00 on 1 January
    };
    for (const Case& c : cases) {
        clock_.Set({c.now, 0});
        ctx_.ap.db_night = c.night;
        ctx_.ap.db_days = c.days;
        ctx_.dp.si_utc = c.si_utc;
        db_.SetLatestStartDate();
        EXPECT_EQ((std::vector<int>{ctx_.ap.db_y, ctx_.ap.db_m, ctx_.ap.db_d}), (std::vector<int>{c.y, c.m, c.d}))
            << "now " << c.now << " night " << c.night;
    }

    // At a new day the list moves on with the clock; without "Set Latest
    // days" it keeps its date.
    Touch(Root() + "/M20071015_230000_TK1.avi");
    Touch(Root() + "/M20071016_001500_TK1.avi");
    ctx_.ap.db_night = 0;
    ctx_.ap.db_days = 1;
    ctx_.dp.si_utc = 0;
    ctx_.ap.db_latest = 1;
    clock_.Set({Utc(2007, 10, 15, 14, 59, 0), 0});  // local 23:59
    db_.Activate();
    EXPECT_EQ(Rows(), std::vector<std::string>{"M20071015_230000_TK1"});
    clock_.Set({Utc(2007, 10, 15, 15, 0, 0), 0});
    db_.OnNewDay(false);  // page not shown
    EXPECT_EQ(db_.RowCount(), 1);
    db_.OnNewDay(true);
    EXPECT_EQ(Rows(), std::vector<std::string>{"M20071016_001500_TK1"});
    db_.SetStartDate(2007, 10, 15);
    EXPECT_EQ(ctx_.ap.db_latest, 0);
    db_.OnNewDay(true);
    EXPECT_EQ(Rows(), std::vector<std::string>{"M20071015_230000_TK1"});
}

TEST_F(ClipDatabaseTest, StepsWrapAndDeletingKeepsTheSelectionInPlace) {
    ctx_.ap.nottrash = 1;
    for (const char* t : {"200000", "210000", "220000"}) {
        Touch(Root() + "/M20071015_" + t + "_TK1.avi");
        Touch(Root() + "/M20071015_" + t + "_TK1.xml");
    }
    db_.Read();
    db_.Previous();  // nothing selected: the last row
    EXPECT_EQ(db_.Selected(), 2);
    db_.Next();  // last: wraps to the first
    EXPECT_EQ(db_.Selected(), 0);
    db_.Previous();
    EXPECT_EQ(db_.Selected(), 2);
    EXPECT_EQ(view_.selected, 2);
    ASSERT_EQ(view_.shown.size(), 3u);
    EXPECT_EQ(view_.shown.back(), (std::pair<int, std::string>{2, "M20071015_220000_TK1"}));

    db_.Select(1);
    db_.DeleteSelected();
    EXPECT_FALSE(fs::exists(Root() + "/M20071015_210000_TK1.avi"));
    EXPECT_FALSE(fs::exists(Root() + "/M20071015_210000_TK1.xml"));
    EXPECT_EQ(view_.rows, (std::vector<std::string>{"M20071015_200000_TK1", "M20071015_220000_TK1"}));
    EXPECT_EQ(view_.counter, "2 clips");
    EXPECT_EQ(db_.Selected(), 1);  // the row now at the same place
    EXPECT_EQ(view_.shown.back().second, "M20071015_220000_TK1");
    EXPECT_EQ(db_.RowOfEntry(2), 1);
    EXPECT_EQ(db_.RowOfEntry(1), -1);

    db_.DeleteSelected();  // the last row: the selection moves up
    EXPECT_EQ(db_.Selected(), 0);
    db_.DeleteSelected();
    EXPECT_EQ(db_.Selected(), -1);
    EXPECT_EQ(view_.no_clip, 1);
    EXPECT_EQ(view_.counter, "0 clips");
    db_.Next();  // empty: nothing happens
    db_.DeleteSelected();
    EXPECT_EQ(view_.no_clip, 1);
    EXPECT_TRUE(fs::is_empty(Root()));
}

TEST_F(ClipDatabaseTest, DeleteAllAsksAndCancelChangesNothing) {
    ctx_.ap.nottrash = 1;
    Touch(Root() + "/M20071015_200000_TK1.avi");
    Touch(Root() + "/M20071015_210000_TK1.avi");
    Touch(Root() + "/M20071015_210000_TK1M.bmp");
    Touch(Root() + "/keep.txt");
    struct Asker : Questioner {
        bool ok = false;
        std::vector<std::string> asked;
        bool AskOkCancel(std::string_view text) override {
            asked.emplace_back(text);
            return ok;
        }
    } asker;
    ClipDatabase db(ctx_, &asker);
    db.Read();
    EXPECT_FALSE(db.DeleteAll());
    EXPECT_EQ(asker.asked, std::vector<std::string>{"DELETE ALL LISTED CLIPS OK?"});
    EXPECT_EQ(db.RowCount(), 2);
    EXPECT_EQ(std::distance(fs::directory_iterator(Root()), fs::directory_iterator()), 4);

    asker.ok = true;
    EXPECT_TRUE(db.DeleteAll());
    EXPECT_EQ(db.RowCount(), 0);
    EXPECT_EQ(db.EntryCount(), 0);
    EXPECT_EQ(db.DirectoryCount(), 0);
    EXPECT_EQ(db.CounterText(), "0 clips");
    EXPECT_TRUE(fs::exists(Root() + "/keep.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Root()), fs::directory_iterator()), 1);
}

TEST_F(ClipDatabaseTest, NewClipsTakeTheirLettersFromTheSettings) {
    struct Case {
        const char* codec;
        int bmp, snap, peak, map, thumb, log;
        const char* media;
    } cases[] = {
        {"AVI", 0, 1, 0, 1, 1, 0, "A S T  M  "},
        {"WMV", 1, 1, 1, 0, 0, 1, " Wsp    X "},
        {"XVID", 0, 0, 1, 0, 0, 0, "A  P      "},
    };
    ctx_.ap.db_ymddir = 1;
    Touch(Root() + "/2007/200710/20071015/M20071015_200000_TK1.avi");
    for (const Case& c : cases) {
        SetText(ctx_.ap.dv_codec, c.codec);
        ctx_.ap.bmp = c.bmp;
        ctx_.dp.im_snap = c.snap;
        ctx_.dp.im_peak = c.peak;
        ctx_.dp.im_map = c.map;
        ctx_.ap.thumbmail = c.thumb;
        ctx_.ap.md_log = c.log;
        // Only the clip file exists yet; what the settings will write is shown.
        const std::string path = Root() + "/2007/200710/20071015/M20071015_201500_TK1.avi";
        fs::remove(path);
        db_.Read();
        Touch(path, 1 << 20);
        db_.AddClipPath(path);
        ASSERT_EQ(db_.RowCount(), 2) << c.codec;
        EXPECT_EQ(db_.RowMedia(1), c.media) << c.codec;
        EXPECT_EQ(db_.RowSizeText(1), "1.0");
        EXPECT_EQ(view_.rows.back(), "M20071015_201500_TK1");
        EXPECT_EQ(db_.DirectoryCount(), 1);  // the folder's entry is reused
    }
    // Another folder is appended; a clip outside the window is not listed.
    db_.AddClipPath(Root() + "/other/M20071015_220000_TK1.avi");
    EXPECT_EQ(db_.DirectoryCount(), 2);
    EXPECT_EQ(db_.RowFolder(2), Root() + "/other");
    db_.AddClipPath(Root() + "/2007/200710/20071016/M20071016_010000_TK1.avi");
    EXPECT_EQ(db_.RowCount(), 3);
    EXPECT_EQ(view_.counter, "3 clips");
}

TEST_F(ClipDatabaseTest, ReadingStopsAtTheEntryLimitWithTheLastClipWhole) {
    char name[64];
    for (int i = 0; i <= kClipEntryCap; ++i) {  // one clip more than fits
        std::snprintf(name, sizeof name, "/M20071015_%02d%04d_TK1.avi", i / 10000, i % 10000);
        std::FILE* f = std::fopen((Root() + name).c_str(), "wb");
        ASSERT_TRUE(f);
        std::fclose(f);
    }
    std::snprintf(name, sizeof name, "/M20071015_%02d%04d_TK1.xml", (kClipEntryCap - 1) / 10000,
                  (kClipEntryCap - 1) % 10000);
    Touch(Root() + name);
    db_.Read();
    ASSERT_EQ(db_.RowCount(), kClipEntryCap);
    EXPECT_EQ(db_.RowName(kClipEntryCap - 1), "M20071015_009998_TK1");
    EXPECT_EQ(db_.RowMedia(kClipEntryCap - 1), "A       X ");
    db_.AddClipPath(Root() + "/M20071015_230000_TK1.avi");
    EXPECT_EQ(db_.RowCount(), kClipEntryCap);
    EXPECT_EQ(view_.counter, "9999 clips");
}

TEST_F(ClipDatabaseTest, DeletedClipGoesToTheTrash) {
    ctx_.ap.nottrash = 0;
    const std::string b = "M20071015_200000_TK1";
    Touch(Root() + "/" + b + ".avi", 100);
    Touch(Root() + "/" + b + "T.jpg", 10);
    db_.Read();
    db_.Select(0);
    db_.DeleteSelected();
    EXPECT_TRUE(reporter_.errors().empty());
    EXPECT_EQ(db_.RowCount(), 0);
    EXPECT_TRUE(fs::is_empty(Root()));
    const std::string trash = g_data_home.trash();
    EXPECT_EQ(fs::file_size(trash + "/files/" + b + ".avi"), 100u);
    EXPECT_EQ(fs::file_size(trash + "/files/" + b + "T.jpg"), 10u);
    std::string info = test::ReadFileText(trash + "/info/" + b + ".avi.trashinfo");
    EXPECT_NE(info.find("Path=" + Root() + "/" + b + ".avi"), std::string::npos) << info;
}

}  // namespace
}  // namespace vlx

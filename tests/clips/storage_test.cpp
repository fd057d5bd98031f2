#include "vlx/clips/storage.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "capture_reporter.h"
#include "clips_test_util.h"
#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::SetText;
using test::Utc;

const test::PrivateDataHome g_data_home;

class StorageTest : public ::testing::Test {
protected:
    StorageTest() : clock_(WallTime{Utc(2007, 8, 12, 19, 2, 11), 0}) {
        ctx_.clock = &clock_;
        SetText(ctx_.ap.db_dir, dir_.str().c_str());
        SetText(ctx_.dp.lid, "TOKYO01");
        SetText(ctx_.dp.cid, "AB");
        ctx_.ap.db_ymddir = 1;
        ctx_.ap.limit_MB = 1000;
        ctx_.ap.limit_stop = 1;
        ctx_.output_kind = kOutputAvi;
    }

    std::string Root() const { return dir_.str(); }

    // Creates files in order, far enough apart that their creation times differ.
    static void CreateInOrder(const std::string& folder, const std::vector<std::string>& names) {
        fs::create_directories(folder);
        for (const std::string& n : names) {
            test::WriteFileBytes(folder + "/" + n, n.data(), n.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    }

    test::TempDir dir_;
    test::CaptureReporter reporter_;
    ManualClock clock_;
    AppContext ctx_;
};

TEST_F(StorageTest, FlatFolderNamesEveryFieldOfThePattern) {
    ctx_.ap.db_ymddir = 0;
    std::string hhmm;
    std::string path = MakeClipPath(ctx_, Utc(2007, 8, 12, 19, 2, 11), 'M', '_', &hhmm);
    EXPECT_EQ(path, Root() + "/M20070812_190211_TOKYO01_AB.avi");
    EXPECT_EQ(hhmm, "1902");
    EXPECT_STREQ(ctx_.day_folder, Root().c_str());
    EXPECT_STREQ(ctx_.month_folder, Root().c_str());

    // Temporary prefix, trigger suffix, WMV output, camera id cut to two
    // characters, early-morning time zero-padded.
    ctx_.output_kind = kOutputWmv;
    SetText(ctx_.dp.cid, "XYZ");
    path = MakeClipPath(ctx_, Utc(2007, 8, 13, 0, 0, 5), 'T', '+', nullptr);
    EXPECT_EQ(path, Root() + "/T20070813_000005_TOKYO01+XY.wmv");
    EXPECT_TRUE(fs::is_empty(Root()));  // naming creates no file
}

TEST_F(StorageTest, DatedTreeAndTheNightRule) {
    std::string path = MakeClipPath(ctx_, Utc(2007, 8, 13, 2, 15, 30), 'M', '_');
    EXPECT_EQ(path, Root() + "/2007/200708/20070813/M20070813_021530_TOKYO01_AB.avi");
    EXPECT_TRUE(fs::is_directory(Root() + "/2007/200708/20070813"));
    EXPECT_STREQ(ctx_.month_folder, (Root() + "/2007/200708").c_str());

    ctx_.ap.db_night = 1;
    // Before noon the file keeps its own stamp but goes to the evening before.
    path = MakeClipPath(ctx_, Utc(2007, 8, 13, 2, 15, 30), 'M', '_');
    EXPECT_EQ(path, Root() + "/2007/200708/20070812/M20070813_021530_TOKYO01_AB.avi");
    EXPECT_STREQ(ctx_.day_folder, (Root() + "/2007/200708/20070812").c_str());
    path = MakeClipPath(ctx_, Utc(2007, 8, 13, 11, 59, 59), 'M', '_');
    EXPECT_EQ(path, Root() + "/2007/200708/20070812/M20070813_115959_TOKYO01_AB.avi");
    path = MakeClipPath(ctx_, Utc(2007, 8, 13, 12, 0, 0), 'M', '_');
    EXPECT_EQ(path, Root() + "/2007/200708/20070813/M20070813_120000_TOKYO01_AB.avi");

    // New Year's morning belongs to the last night of the old year, year and
    // month folders included.
    std::string hhmm;
    path = MakeClipPath(ctx_, Utc(2008, 1, 1, 3, 4, 5), 'M', '_', &hhmm);
    EXPECT_EQ(path, Root() + "/2007/200712/20071231/M20080101_030405_TOKYO01_AB.avi");
    EXPECT_STREQ(ctx_.month_folder, (Root() + "/2007/200712").c_str());
    EXPECT_EQ(hhmm, "0304");
    EXPECT_FALSE(fs::exists(Root() + "/2008"));
}

TEST_F(StorageTest, FolderThatCannotBeCreatedIsFatal) {
    // A file where the year folder should be: it "exists", so the month
    // folder below it cannot be made.
    test::WriteFileBytes(Root() + "/2007", "x", 1);
    EXPECT_THROW(MakeClipPath(ctx_, Utc(2007, 8, 13, 2, 15, 30), 'M', '_'), test::FatalError);
    ASSERT_EQ(reporter_.fatals().size(), 1u);
    EXPECT_EQ(reporter_.fatals()[0], "Cannot Create Date Dir " + Root() + "/2007/200708");
}

TEST_F(StorageTest, FreeSpaceOfARealVolume) {
    EXPECT_GE(FreeSpaceMB(Root()), 0);
    EXPECT_EQ(FreeSpaceMB(Root() + "/missing"), -1);
    EXPECT_EQ(FreeSpaceMB(""), -1);
}

// Clip base names of the form the station writes, n seconds after 19:02:00.
std::string Clip(int n) {
    char b[64];
    std::snprintf(b, sizeof b, "M20070812_1902%02d_TOKYO01_AB", n);
    return b;
}

TEST_F(StorageTest, ClipNamesAreRecognisedByTheirWholeForm) {
    struct Case {
        const char* name;
        const char* base;
    } cases[] = {
        {"M20070812_190211_TOKYO01_AB.avi", "M20070812_190211_TOKYO01_AB"},
        {"M20070812_190211_TOKYO01_AB.wmv", "M20070812_190211_TOKYO01_AB"},
        {"M20070812_190211_TOKYO01_ABS.jpg", "M20070812_190211_TOKYO01_AB"},
        {"M20070812_190211_TOKYO01_ABM.bmp", "M20070812_190211_TOKYO01_AB"},
        {"M20070812_190211_TOKYO01_ABT.jpg", "M20070812_190211_TOKYO01_AB"},
        {"M20070812_190211_TOKYO01_AB.xml", "M20070812_190211_TOKYO01_AB"},
        {"M20070812_190211__.avi", "M20070812_190211__"},      // no ids
        {"M20070812_190211_LOCATION1234F12P.jpg", "M20070812_190211_LOCATION1234F12"},
        {"Mynotes.txt", ""},
        {"M1.avi", ""},
        {"M20070812_190211_TOKYO01_AB.txt", ""},
        {"T20070812_190211_TOKYO01_AB.avi", ""},
        {"M2007081x_190211_TOKYO01_AB.avi", ""},
        {"M20070812_190211_TOKYO 01_AB.avi", ""},
        {"M20070812_190211_.avi", ""},
        {"M20070812_190211_TOKYO01_ABS.jpg.bak", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(ClipBaseOf(c.name), c.base) << c.name;
}

TEST_F(StorageTest, DeleteOldestTakesWholeClipsOldestFirstAndNothingElse) {
    std::string day = Root() + "/day";
    // The oldest entries are a folder and user files named with an "M".
    fs::create_directories(day + "/" + Clip(0) + ".avi");
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    CreateInOrder(day, {"Mynotes.txt", "M1.avi", "T20070812_000000_A_B.avi", Clip(2) + ".avi", Clip(2) + "S.jpg",
                        Clip(1) + ".avi", Clip(2) + "M.bmp", Clip(1) + "T.jpg", Clip(2) + ".xml", "notes.txt"});

    ASSERT_TRUE(DeleteOldestClipFile(day));
    for (const char* end : {".avi", "S.jpg", "M.bmp", ".xml"}) EXPECT_FALSE(fs::exists(day + "/" + Clip(2) + end));
    EXPECT_TRUE(fs::exists(day + "/" + Clip(1) + ".avi"));
    ASSERT_TRUE(DeleteOldestClipFile(day));
    EXPECT_FALSE(fs::exists(day + "/" + Clip(1) + ".avi"));
    EXPECT_FALSE(fs::exists(day + "/" + Clip(1) + "T.jpg"));
    EXPECT_FALSE(DeleteOldestClipFile(day));  // only the folder and the user's files are left
    EXPECT_TRUE(fs::is_directory(day + "/" + Clip(0) + ".avi"));
    for (const char* f : {"Mynotes.txt", "M1.avi", "T20070812_000000_A_B.avi", "notes.txt"}) {
        EXPECT_TRUE(fs::exists(day + "/" + f)) << f;
    }
    EXPECT_FALSE(DeleteOldestClipFile(Root() + "/missing"));
}

// A free-space figure that grows by 100 MB with every file deleted from folder.
struct FakeVolume {
    FakeVolume(std::string f, int32_t b) : folder(std::move(f)), base(b) {}
    std::string folder;
    int32_t base = 0;
    int files_at_start = 0;
    std::vector<std::string> queried;

    static int CountFiles(const std::string& f) {
        int n = 0;
        for (auto& e : fs::directory_iterator(f)) n += e.is_regular_file();
        return n;
    }
    StorageHooks Hooks(std::vector<int32_t>* shown, int* refreshed) {
        files_at_start = CountFiles(folder);
        StorageHooks h;
        h.free_space_mb = [this](const std::string& path) {
            queried.push_back(path);
            return base + 100 * (files_at_start - CountFiles(folder));
        };
        h.show_free_space = [shown](int32_t mb) { shown->push_back(mb); };
        h.clips_deleted = [refreshed] { ++*refreshed; };
        return h;
    }
};

TEST_F(StorageTest, GuardGoesOnAtOrAboveTheMinimumAndStopsWhenAskedTo) {
    std::string day = Root() + "/2007/200708/20070812";
    CreateInOrder(day, {Clip(1) + ".avi", Clip(2) + ".avi"});
    FakeVolume vol{day, 1000};
    std::vector<int32_t> shown;
    int refreshed = 0;
    StorageHooks hooks = vol.Hooks(&shown, &refreshed);

    EXPECT_TRUE(EnsureFreeSpace(ctx_, hooks));  // exactly the minimum
    EXPECT_EQ(shown, std::vector<int32_t>{1000});
    ASSERT_FALSE(vol.queried.empty());
    EXPECT_EQ(vol.queried[0], Root());  // the clip directory is what is measured

    vol.base = 999;
    EXPECT_FALSE(EnsureFreeSpace(ctx_, hooks));
    EXPECT_EQ(reporter_.errors(), std::vector<std::string>{"UM003: HDD Space limit. Please Stop and delete old files"});
    EXPECT_EQ(FakeVolume::CountFiles(day), 2);
    EXPECT_EQ(refreshed, 0);
}

TEST_F(StorageTest, GuardDeletesOldestUntilTheMinimumIsMet) {
    ctx_.ap.limit_stop = 0;
    ctx_.ap.limit_delday = 0;  // deleting does not depend on this flag
    ctx_.ap.limit_MB = 250;
    std::string day = Root() + "/2007/200708/20070812";
    CreateInOrder(day, {Clip(1) + ".avi", Clip(1) + "S.jpg", Clip(2) + ".avi", Clip(3) + "S.jpg", "T3.avi"});
    SetText(ctx_.day_folder, day.c_str());
    FakeVolume vol{day, 50};
    std::vector<int32_t> shown;
    int refreshed = 0;

    EXPECT_TRUE(EnsureFreeSpace(ctx_, vol.Hooks(&shown, &refreshed)));
    EXPECT_TRUE(reporter_.errors().empty());
    EXPECT_FALSE(fs::exists(day + "/" + Clip(1) + ".avi"));
    EXPECT_FALSE(fs::exists(day + "/" + Clip(1) + "S.jpg"));
    EXPECT_TRUE(fs::exists(day + "/" + Clip(2) + ".avi"));
    EXPECT_TRUE(fs::exists(day + "/" + Clip(3) + "S.jpg"));
    EXPECT_TRUE(fs::exists(day + "/T3.avi"));
    EXPECT_EQ(shown, (std::vector<int32_t>{50, 250}));
    EXPECT_EQ(refreshed, 1);
}

TEST_F(StorageTest, GuardGivesUpWhenNothingDeletableIsLeft) {
    ctx_.ap.limit_stop = 0;
    std::string day = Root() + "/2007/200708/20070812";
    fs::create_directories(day + "/Mfolder");  // cannot be deleted as a file
    CreateInOrder(day, {"T1.avi", Clip(1) + ".avi"});
    SetText(ctx_.day_folder, day.c_str());
    FakeVolume vol{day, 0};
    std::vector<int32_t> shown;
    int refreshed = 0;

    EXPECT_FALSE(EnsureFreeSpace(ctx_, vol.Hooks(&shown, &refreshed)));
    EXPECT_EQ(reporter_.errors(),
              std::vector<std::string>{"UM001: Cannot make Disk Free Space\n Delease delete manually"});
    EXPECT_FALSE(fs::exists(day + "/" + Clip(1) + ".avi"));  // what could go, went
    EXPECT_TRUE(fs::is_directory(day + "/Mfolder"));
    EXPECT_TRUE(fs::exists(day + "/T1.avi"));
    EXPECT_EQ(refreshed, 1);
}

TEST_F(StorageTest, GuardWithAnUnknownFigureDeletesNothing) {
    ctx_.ap.limit_stop = 0;
    std::string day = Root() + "/2007/200708/20070812";
    CreateInOrder(day, {Clip(1) + ".avi"});
    SetText(ctx_.day_folder, day.c_str());
    StorageHooks hooks;
    hooks.free_space_mb = [](const std::string&) { return -1; };
    EXPECT_TRUE(EnsureFreeSpace(ctx_, hooks));
    ctx_.ap.limit_stop = 1;
    EXPECT_TRUE(EnsureFreeSpace(ctx_, hooks));
    EXPECT_TRUE(fs::exists(day + "/" + Clip(1) + ".avi"));
    EXPECT_TRUE(reporter_.errors().empty());

    // The installed hooks are what the no-argument form uses.
    SetStorageHooks(hooks);
    EXPECT_TRUE(EnsureFreeSpace(ctx_));
    SetStorageHooks({});
}

TEST_F(StorageTest, GuardNeverDeletesOutsideTheClipDirectory) {
    ctx_.ap.limit_stop = 0;
    ctx_.ap.db_night = 1;
    // Capture time 2007-08-13 03:00: tonight's folder is 20070812.
    clock_.Set(WallTime{Utc(2007, 8, 13, 3, 0, 0), 0});
    std::string tonight = Root() + "/2007/200708/20070812";
    CreateInOrder(tonight, {Clip(1) + ".avi"});
    CreateInOrder(Root(), {Clip(0) + ".avi"});
    test::TempDir elsewhere;
    CreateInOrder(elsewhere.str(), {Clip(9) + ".avi"});

    StorageHooks hooks;
    int calls = 0;
    hooks.free_space_mb = [&calls](const std::string&) { return calls++ == 0 ? 0 : 5000; };

    // Before the first file of the run the day folder is empty.
    EXPECT_TRUE(EnsureFreeSpace(ctx_, hooks));
    EXPECT_FALSE(fs::exists(tonight + "/" + Clip(1) + ".avi"));
    EXPECT_TRUE(fs::exists(Root() + "/" + Clip(0) + ".avi"));

    // A day folder left from another clip directory is not used either.
    CreateInOrder(tonight, {Clip(2) + ".avi"});
    SetText(ctx_.day_folder, elsewhere.str().c_str());
    calls = 0;
    EXPECT_TRUE(EnsureFreeSpace(ctx_, hooks));
    EXPECT_TRUE(fs::exists(elsewhere.str() + "/" + Clip(9) + ".avi"));
    EXPECT_FALSE(fs::exists(tonight + "/" + Clip(2) + ".avi"));

    SetText(ctx_.day_folder, (Root() + "/../x").c_str());
    calls = 0;
    EXPECT_FALSE(EnsureFreeSpace(ctx_, hooks));  // tonight's folder is empty now
    EXPECT_TRUE(fs::exists(elsewhere.str() + "/" + Clip(9) + ".avi"));
    EXPECT_TRUE(fs::exists(Root() + "/" + Clip(0) + ".avi"));
}

TEST_F(StorageTest, RemoveClipFilesDeletesOutrightWithNotTrash) {
    ctx_.ap.nottrash = 1;
    std::string day = Root() + "/d";
    CreateInOrder(day, {"M20070812_190211_TOKYO01_AB.avi", "M20070812_190211_TOKYO01_ABS.jpg",
                        "M20070812_190211_TOKYO01_ABT.jpg", "M20070812_190211_TOKYO01_AB.xml",
                        "M20070812_190300_TOKYO01_AB.avi"});
    EXPECT_EQ(RemoveClipFiles(ctx_, day, "M20070812_190211_TOKYO01_AB"), 4);
    EXPECT_EQ(FakeVolume::CountFiles(day), 1);
    EXPECT_TRUE(fs::exists(day + "/M20070812_190300_TOKYO01_AB.avi"));
    EXPECT_TRUE(reporter_.errors().empty());
    EXPECT_FALSE(fs::exists(g_data_home.trash() + "/files/M20070812_190211_TOKYO01_AB.avi"));
}

TEST_F(StorageTest, RemoveClipFilesMovesToTheTrash) {
    ctx_.ap.nottrash = 0;
    std::string day = Root() + "/d";
    CreateInOrder(day, {"M20070812_190211_TOKYO01_AB.avi", "M20070812_190211_TOKYO01_ABS.jpg", "M2.avi"});
    EXPECT_EQ(RemoveClipFiles(ctx_, day, "M20070812_190211_TOKYO01_AB"), 2);
    EXPECT_TRUE(reporter_.errors().empty());
    EXPECT_EQ(FakeVolume::CountFiles(day), 1);
    const std::string trash = g_data_home.trash();
    EXPECT_EQ(test::ReadFileText(trash + "/files/M20070812_190211_TOKYO01_ABS.jpg"),
              "M20070812_190211_TOKYO01_ABS.jpg");
    std::string info = test::ReadFileText(trash + "/info/M20070812_190211_TOKYO01_AB.avi.trashinfo");
    EXPECT_NE(info.find("[Trash Info]"), std::string::npos);
    EXPECT_NE(info.find("Path=" + day + "/M20070812_190211_TOKYO01_AB.avi"), std::string::npos) << info;

    EXPECT_EQ(RemoveClipFiles(ctx_, day, "M_none"), 0);
    EXPECT_EQ(RemoveClipFiles(ctx_, Root() + "/missing", "M2"), 0);
    EXPECT_TRUE(reporter_.errors().empty());
}

}  // namespace
}  // namespace vlx

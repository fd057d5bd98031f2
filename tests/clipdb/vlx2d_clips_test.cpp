// vlx2d --clips on a real folder tree.
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "../clips/clips_test_util.h"
#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;

void Touch(const std::string& path, size_t bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::string data(bytes, 'x');
    test::WriteFileBytes(path, data.data(), data.size());
}

std::string Vlx2d(const test::TempDir& dir, const std::string& args, int* status) {
    return test::RunCommand("cd '" + dir.str() + "' && XDG_DOCUMENTS_DIR='" + dir.str() + "/Docs' '" +
                                test::BuildDir() + "/bin/vlx2d' " + args,
                            status);
}

TEST(Vlx2dClips, ListsTheRowsOfTheDaysAsThePageDoes) {
    test::TempDir dir;
    const std::string db = dir / "clips";
    const std::string day = db + "/2007/200710/20071015";
    Touch(day + "/M20071015_203045_TK1.avi", 3 << 19);
    Touch(day + "/M20071015_203045_TK1S.jpg", 1 << 18);
    Touch(day + "/M20071015_203045_TK1.xml", 1 << 10);
    Touch(day + "/M20071015_211500_TK1.AVI", 1 << 20);
    Touch(db + "/2007/200710/20071016/M20071016_200000_TK1.wmv", 1 << 20);
    Touch(db + "/2007/200710/20071017/M20071017_200000_TK1.wmv", 1 << 20);  // past the two days

    const std::string sets = "--set AP.db_dir=" + db +
                             " --set AP.db_ymddir=1 --set AP.db_latest=0 --set AP.db_night=0"
                             " --set AP.db_y=2007 --set AP.db_m=10 --set AP.db_d=15 --set AP.db_days=";
    int status = -1;
    std::string out = Vlx2d(dir, "--clips " + sets + "2", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out,
              "M20071015_203045_TK1\tA S     X \t1.8\n"
              "M20071015_211500_TK1\t         *\t1.0\n"
              "M20071016_200000_TK1\t W        \t1.0\n"
              "3 clips\n");
    // Overrides are for the run only: nothing was saved.
    EXPECT_FALSE(fs::exists(dir / "Settings.vxi"));

    // With "Set Latest days" the start date follows the clock.
    const time_t now = std::time(nullptr);
    struct tm tm{};
    gmtime_r(&now, &tm);
    char today[64];
    std::strftime(today, sizeof today, "%Y/%Y%m/%Y%m%d/M%Y%m%d_000500_TK1.avi", &tm);
    Touch(db + "/" + today, 1 << 20);
    out = Vlx2d(dir, "--clips " + sets + "1 --set AP.db_latest=1 --set IF.si_utc=1", &status);
    EXPECT_EQ(status, 0);
    if (std::time(nullptr) / 86400 == now / 86400) {
        EXPECT_EQ(out, std::string(today).substr(21, 20) + "\tA         \t1.0\n1 clips\n");
    }

    out = Vlx2d(dir, "--clips --set AP.db_dir=" + dir.str() + "/none --set AP.db_latest=0", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "0 clips\n");
}

}  // namespace
}  // namespace vlx

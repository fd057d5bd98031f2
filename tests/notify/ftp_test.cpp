// FTP upload against a real pyftpdlib server on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "capture_reporter.h"
#include "servers.h"
#include "test_support.h"
#include "vlx/notify/ftp.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;

void Put(char* dst, const std::string& s) { std::snprintf(dst, kPathCap, "%s", s.c_str()); }

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Names of the regular files directly in `dir`.
std::set<std::string> FilesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.is_regular_file()) names.insert(e.path().filename().string());
    }
    return names;
}

class FtpTest : public ::testing::Test {
protected:
    FtpTest()
        : home_(tmp_.path() / "home"),
          remote_((fs::create_directories(home_ / "up"), home_ / "up")),
          server_("ftp_server.py", tmp_ / "ftp.port", {home_.string(), "vlx", "secret"}) {
        fs::create_directories(day_);
        Put(ctx_.ap.ftp_server, "127.0.0.1");
        ctx_.ap.ftp_port = server_.port();
        Put(ctx_.ap.ftp_uname, "vlx");
        Put(ctx_.ap.ftp_pw, "secret");
        Put(ctx_.ap.ftp_dir, "up");
        ctx_.ap.ftp_passive = 1;
        ctx_.ap.ftp_on = ctx_.ap.ftp_jpg = ctx_.ap.ftp_small = 1;
        ctx_.ap.ftp_rc = 8;
        ctx_.ap.ftp_cn = 1;
        ctx_.ap.thumbmail = 1;
        ctx_.dp.im_snap = 1;
        ctx_.dp.clip_trigger = 1;
        Put(ctx_.day_folder, day_.string());
    }

    // A clip file of the day folder with distinct content.
    std::string Local(const std::string& name, size_t size) {
        std::string path = (day_ / name).string();
        auto bytes = RandomBytes(size, seed_++);
        test::WriteFileBytes(path, bytes.data(), bytes.size());
        return path;
    }

    bool Upload(const std::string& path, int kind, const char* hhmm = "2115") {
        return UploadClipFile(ctx_, path.c_str(), kind, hhmm, options_);
    }

    test::CaptureReporter reporter_;
    test::TempDir tmp_;
    fs::path home_;
    fs::path remote_;
    fs::path day_ = tmp_.path() / "day";
    test::PythonServer server_;
    AppContext ctx_;
    FtpOptions options_{5, 5};
    unsigned seed_ = 1;
};

TEST_F(FtpTest, RotatesNamesAcrossClipsAndThumbnailSharesTheNumber) {
    ctx_.ap.ftp_rc = 3;
    const int expected[] = {1, 2, 3, 1};
    for (int clip = 0; clip < 4; ++clip) {
        std::string still = Local("M_" + std::to_string(clip) + "S.jpg", 20000 + clip);
        std::string thumb = Local("M_" + std::to_string(clip) + "T.jpg", 3000 + clip);
        ASSERT_TRUE(Upload(still, kFtpStill)) << ctx_.status.Get();
        ASSERT_TRUE(Upload(thumb, kFtpThumbnail)) << ctx_.status.Get();
        const std::string n = std::to_string(expected[clip]);
        EXPECT_EQ(ReadFileBytes((remote_ / ("vlx" + n + ".jpg")).string()), ReadFileBytes(still)) << clip;
        EXPECT_EQ(ReadFileBytes((remote_ / ("vlxs" + n + ".jpg")).string()), ReadFileBytes(thumb)) << clip;
    }
    EXPECT_EQ(ctx_.ap.ftp_cn, 2);
    EXPECT_EQ(FilesIn(remote_), (std::set<std::string>{"vlx1.jpg", "vlx2.jpg", "vlx3.jpg", "vlxs1.jpg",
                                                        "vlxs2.jpg", "vlxs3.jpg"}));
    // The copies under the remote names are gone from the clip's folder.
    for (const auto& name : FilesIn(day_)) EXPECT_NE(name.rfind("vlx", 0), 0u) << name;
    EXPECT_EQ(ctx_.status.Get(), "");
}

TEST_F(FtpTest, EveryFileAdvancesTheNumberWhenNoThumbnailGoesUp) {
    ctx_.ap.thumbmail = 0;
    ASSERT_TRUE(Upload(Local("M_1.wmv", 5000), kFtpClip)) << ctx_.status.Get();
    ASSERT_TRUE(Upload(Local("M_1S.jpg", 4000), kFtpStill)) << ctx_.status.Get();
    EXPECT_EQ(ctx_.ap.ftp_cn, 3);

    // Thumbnails are made but not uploaded: nothing follows the still, so it
    // must move the number on itself.
    ctx_.ap.thumbmail = 1;
    ctx_.ap.ftp_small = 0;
    ASSERT_TRUE(Upload(Local("M_2S.jpg", 4000), kFtpStill)) << ctx_.status.Get();
    ASSERT_TRUE(Upload(Local("M_3S.jpg", 4000), kFtpStill)) << ctx_.status.Get();
    EXPECT_EQ(ctx_.ap.ftp_cn, 5);
    EXPECT_EQ(FilesIn(remote_), (std::set<std::string>{"vlx1.wmv", "vlx2.jpg", "vlx3.jpg", "vlx4.jpg"}));

    // A file that already bears its remote name in the clip's folder goes up
    // as it is and is not deleted afterwards.
    ctx_.ap.ftp_cn = 7;
    std::string named = Local("vlx7.jpg", 800);
    ASSERT_TRUE(Upload(named, kFtpStill)) << ctx_.status.Get();
    EXPECT_EQ(ReadFileBytes((remote_ / "vlx7.jpg").string()), ReadFileBytes(named));
    EXPECT_TRUE(fs::exists(named));
}

TEST_F(FtpTest, TimerTriggerClipsAreNamedByTimeOfDay) {
    ctx_.ap.ftp_trigsuffix = 1;
    ctx_.ap.ftp_cn = 5;
    ctx_.ap.thumbmail = 0;  // even without a thumbnail the number stays
    ctx_.dp.clip_trigger = 3;
    std::string still = Local("M_S.jpg", 7000);
    ASSERT_TRUE(Upload(Local("M.wmv", 9000), kFtpClip, "2300")) << ctx_.status.Get();
    ASSERT_TRUE(Upload(still, kFtpStill, "2300")) << ctx_.status.Get();
    ASSERT_TRUE(Upload(Local("M_T.jpg", 900), kFtpThumbnail, "2300")) << ctx_.status.Get();
    EXPECT_EQ(ctx_.ap.ftp_cn, 5);
    EXPECT_EQ(FilesIn(remote_), (std::set<std::string>{"vlxT2300.wmv", "vlxT2300.jpg", "vlxsT2300.jpg"}));
    EXPECT_EQ(ReadFileBytes((remote_ / "vlxT2300.jpg").string()), ReadFileBytes(still));

    // A video-triggered clip with the suffix option on keeps the numbered names.
    ctx_.dp.clip_trigger = 1;
    ASSERT_TRUE(Upload(Local("M2_S.jpg", 700), kFtpStill, "2301")) << ctx_.status.Get();
    EXPECT_TRUE(fs::exists(remote_ / "vlx5.jpg"));
    EXPECT_EQ(ctx_.ap.ftp_cn, 6);
}

TEST_F(FtpTest, WrongDirectoryUploadsNothingAndKeepsTheLocalCopy) {
    Put(ctx_.ap.ftp_dir, "nosuch");
    ctx_.ap.ftp_cn = 4;
    std::string still = Local("M_S.jpg", 6000);
    EXPECT_FALSE(Upload(still, kFtpStill));
    EXPECT_EQ(ctx_.status.Get(), "-FTP:dir error");
    EXPECT_EQ(ctx_.ap.ftp_cn, 4);
    for (const auto& e : fs::recursive_directory_iterator(home_)) {
        EXPECT_FALSE(e.is_regular_file()) << e.path();
    }
    EXPECT_EQ(ReadFileBytes((day_ / "vlx4.jpg").string()), ReadFileBytes(still));
    EXPECT_TRUE(reporter_.errors().empty());
}

TEST_F(FtpTest, RefusedPutKeepsTheCopyAndTheNumber) {
    Put(ctx_.ap.ftp_uname, "reader");  // may list, may not write
    std::string still = Local("M_S.jpg", 6000);
    EXPECT_FALSE(Upload(still, kFtpStill));
    EXPECT_EQ(ctx_.status.Get(), "-FTP:put error");
    EXPECT_EQ(ctx_.ap.ftp_cn, 1);
    EXPECT_TRUE(FilesIn(remote_).empty());
    EXPECT_TRUE(fs::exists(day_ / "vlx1.jpg"));
}

TEST_F(FtpTest, LoginAndConnectFailuresCarryTheLibraryText) {
    std::string still = Local("M_S.jpg", 600);
    Put(ctx_.ap.ftp_pw, "wrong");
    EXPECT_FALSE(Upload(still, kFtpStill));
    const std::string refused = ctx_.status.Get();
    EXPECT_EQ(refused.rfind("-FTP:", 0), 0u) << refused;
    EXPECT_NE(refused.find("530"), std::string::npos) << refused;  // the server's refusal code

    Put(ctx_.ap.ftp_pw, "secret");
    ctx_.ap.ftp_port = test::ClosedPort();
    EXPECT_FALSE(Upload(still, kFtpStill));
    const std::string closed = ctx_.status.Get();
    EXPECT_EQ(closed.rfind("-FTP:", 0), 0u) << closed;
    EXPECT_NE(closed, refused);
    EXPECT_NE(closed, "-FTP:dir error");
    EXPECT_NE(closed, "-FTP:put error");
    EXPECT_EQ(ctx_.ap.ftp_cn, 1);
    EXPECT_TRUE(FilesIn(remote_).empty());
}

TEST_F(FtpTest, ActiveModeAndDirectoryForms) {
    ctx_.ap.ftp_passive = 0;
    fs::create_directories(home_ / "sky cam");
    const std::pair<const char*, fs::path> dirs[] = {
        {"/up", remote_}, {"up/", remote_}, {"sky cam", home_ / "sky cam"}, {"", home_}};
    for (const auto& [dir, where] : dirs) {
        Put(ctx_.ap.ftp_dir, dir);
        ctx_.ap.ftp_cn = 7;
        std::string still = Local("M_S.jpg", 3000);
        ASSERT_TRUE(Upload(still, kFtpStill)) << dir << ": " << ctx_.status.Get();
        EXPECT_EQ(ReadFileBytes((where / "vlx7.jpg").string()), ReadFileBytes(still)) << dir;
        fs::remove(where / "vlx7.jpg");
    }
}

TEST_F(FtpTest, ClearDeletesOnlyTheVlxFilesOfTheDirectory) {
    for (const char* name : {"vlx1.jpg", "vlxs1.jpg", "vlxT2300.wmv", "keep.txt", "avlx1.jpg"}) {
        test::WriteFileBytes((remote_ / name).string(), "x", 1);
    }
    test::WriteFileBytes((home_ / "vlx9.jpg").string(), "x", 1);  // outside the directory
    ctx_.ap.ftp_cn = 5;
    ASSERT_TRUE(ClearRemoteFiles(ctx_, options_)) << ctx_.status.Get();
    EXPECT_EQ(ctx_.ap.ftp_cn, 1);
    EXPECT_EQ(FilesIn(remote_), (std::set<std::string>{"keep.txt", "avlx1.jpg"}));
    EXPECT_TRUE(fs::exists(home_ / "vlx9.jpg"));

    // Nothing to delete is not an error.
    ctx_.ap.ftp_cn = 3;
    ASSERT_TRUE(ClearRemoteFiles(ctx_, options_)) << ctx_.status.Get();
    EXPECT_EQ(ctx_.ap.ftp_cn, 1);

    // A directory that cannot be entered must not turn the clearing onto the
    // login directory.
    Put(ctx_.ap.ftp_dir, "nosuch");
    ctx_.ap.ftp_cn = 3;
    EXPECT_FALSE(ClearRemoteFiles(ctx_, options_));
    EXPECT_EQ(ctx_.status.Get(), "-FTP:dir error");
    EXPECT_TRUE(fs::exists(home_ / "vlx9.jpg"));
    EXPECT_EQ(ctx_.ap.ftp_cn, 3);
}

TEST(FtpSilentServer, GivesUpWithATimeoutStatus) {
    test::TempDir tmp;
    test::SilentListener silent;
    AppContext ctx;
    Put(ctx.ap.ftp_server, "127.0.0.1");
    ctx.ap.ftp_port = silent.port();
    Put(ctx.ap.ftp_dir, "up");
    ctx.ap.ftp_passive = 1;
    ctx.ap.ftp_rc = 8;
    ctx.ap.ftp_cn = 2;
    Put(ctx.day_folder, tmp.str());
    test::WriteFileBytes(tmp / "M_S.jpg", "abc", 3);
    const FtpOptions quick{1, 1};

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UploadClipFile(ctx, (tmp / "M_S.jpg").c_str(), kFtpStill, "0000", quick));
    std::string status = ctx.status.Get();
    EXPECT_EQ(status.rfind("-FTP:", 0), 0u) << status;
    EXPECT_NE(status.find("imeout"), std::string::npos) << status;  // "Timeout was reached" etc.

    ctx.status.Clear();
    EXPECT_FALSE(ClearRemoteFiles(ctx, quick));
    EXPECT_NE(ctx.status.Get().find("imeout"), std::string::npos) << ctx.status.Get();
    EXPECT_EQ(ctx.ap.ftp_cn, 2);
    // Both gave up on the short limits, far below the 20 s defaults.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

}  // namespace
}  // namespace vlx

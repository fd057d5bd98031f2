#include "vlx/app/startup.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "capture_reporter.h"
#include "test_support.h"
#include "vlx/settings/key_table.h"
#include "vlx/settings/settings_store.h"

namespace vlx {
namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir.str().c_str()), 0);
        setenv("XDG_DOCUMENTS_DIR", (dir / "Documents").c_str(), 1);
        ctx = std::make_unique<AppContext>();
    }
    void TearDown() override { ASSERT_EQ(chdir(old_cwd), 0); }

    // A profile with one distinctive value, written by the store itself.
    void MakeProfile(const std::string& path, int dlev) {
        AppContext other;
        CopyText(other.program_dir, sizeof other.program_dir, dir.str().c_str());
        SetDefaults(other);
        other.dp.dlev = dlev;
        ASSERT_TRUE(WriteSettingsTo(other, path.c_str()));
    }

    char old_cwd[1024] = {};
    test::TempDir dir;
    test::CaptureReporter reporter;
    std::unique_ptr<AppContext> ctx;
};

TEST_F(StartupTest, QuotedProfilePathIsReadAtStartAndWrittenAtExit) {
    std::string profile = dir / "station one.vxi";
    MakeProfile(profile, 61);
    Application app(*ctx);
    app.Startup("\"" + profile + "\"");
    EXPECT_EQ(std::string(ctx->program_dir), dir.str());
    EXPECT_EQ(std::string(ctx->settings_file), profile);
    EXPECT_EQ(ctx->dp.dlev, 61);
    EXPECT_TRUE(reporter.errors().empty());

    ctx->dp.dlev = 62;
    ctx->save_as_template = true;  // never a template at exit
    app.Shutdown();
    AppContext back;
    SetDefaults(back);
    ASSERT_TRUE(ReadSettingsFrom(back, profile.c_str()));
    EXPECT_EQ(back.dp.dlev, 62);
    EXPECT_STRNE(back.ap.db_dir, "");
    EXPECT_EQ(access((dir / "Settings.vxi").c_str(), F_OK), -1);
}

TEST_F(StartupTest, BadArgumentsAreReportedAndTheDefaultFileUsed) {
    MakeProfile(dir / "Settings.vxi", 44);
    Application app(*ctx);
    app.Startup("\"" + dir.str() + "\"");  // a folder
    ASSERT_EQ(reporter.errors().size(), 1u);
    EXPECT_EQ(reporter.errors()[0], "UE071: Invalid Command arg \"\"" + dir.str() + "\"\"... ignored");
    EXPECT_STREQ(ctx->settings_file, "Settings.vxi");
    EXPECT_EQ(ctx->dp.dlev, 44);

    reporter.clear();
    EXPECT_EQ(SettingsPathFromArgument("missing.vxi"), "");
    EXPECT_EQ(reporter.errors()[0], "UE071: Invalid Command arg \"missing.vxi\"... ignored");
}

TEST_F(StartupTest, ShutdownEndsEveryWorkerAfterTheSingleSave) {
    struct FakeThreadWorker : Worker {
        std::atomic<bool> ended{false};
        std::thread t;
        std::atomic<int> exits{0};
        void PostExit() override {
            ++exits;
            t = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                ended = true;
            });
        }
        bool Ended() const override { return ended; }
        ~FakeThreadWorker() override {
            if (t.joinable()) t.join();
        }
    } live, replay;
    Application app(*ctx);
    app.Startup("");
    int saves_seen = 0;
    app.before_save = [&](AppContext&) {
        ++saves_seen;
        EXPECT_EQ(live.exits, 1);  // the end command goes out before the save
    };
    app.AddWorker(&live);
    app.AddWorker(&replay);
    app.Shutdown();
    EXPECT_TRUE(live.Ended());
    EXPECT_TRUE(replay.Ended());
    EXPECT_EQ(saves_seen, 1);
    EXPECT_EQ(access((dir / "Settings.vxi").c_str(), F_OK), 0);
}

TEST_F(StartupTest, TimeZoneBiasIsSecondsWestIncludingDaylightSaving) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "JST-9", 1);
    ComputeTimeZone(*ctx, 1718928000);  // 2024-06-21
    EXPECT_EQ(ctx->tz_bias, -32400);
    EXPECT_EQ(ctx->daylight, 0);
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ComputeTimeZone(*ctx, 1718928000);  // summer
    EXPECT_EQ(ctx->tz_bias, -7200);
    EXPECT_EQ(ctx->daylight, 1);
    ComputeTimeZone(*ctx, 1704067200);  // winter
    EXPECT_EQ(ctx->tz_bias, -3600);
    EXPECT_EQ(ctx->daylight, 0);
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}

}  // namespace
}  // namespace vlx

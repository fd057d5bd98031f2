// Clip removal when the trash cannot be used: each file is reported and the
// others are still tried. Its own program, because GLib reads the trash
// location once per process.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "capture_reporter.h"
#include "clips_test_util.h"
#include "test_support.h"
#include "vlx/clips/storage.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;

// The trash would have to live below a plain file, so it cannot be made.
const std::string g_blocker = [] {
    std::string tmpl = (fs::temp_directory_path() / "vlxtest-notrash-XXXXXX").string();
    int fd = mkstemp(tmpl.data());
    if (fd < 0) std::abort();
    close(fd);
    setenv("XDG_DATA_HOME", (tmpl + "/data").c_str(), 1);
    return tmpl;
}();

struct BlockerCleanup {
    ~BlockerCleanup() { unlink(g_blocker.c_str()); }
} g_blocker_cleanup;

TEST(TrashRefused, EachFileIsReportedAndKept) {
    test::CaptureReporter reporter;
    test::TempDir dir;
    AppContext ctx;
    ctx.ap.nottrash = 0;
    test::WriteFileBytes(dir / "M1.avi", "a", 1);
    test::WriteFileBytes(dir / "M1S.jpg", "b", 1);
    test::WriteFileBytes(dir / "M2.avi", "c", 1);
    EXPECT_EQ(RemoveClipFiles(ctx, dir.str(), "M1"), 0);
    EXPECT_EQ(reporter.errors(), (std::vector<std::string>{"UM024: Cannot Delete clip", "UM024: Cannot Delete clip"}));
    EXPECT_TRUE(fs::exists(dir / "M1.avi"));
    EXPECT_TRUE(fs::exists(dir / "M1S.jpg"));
    EXPECT_TRUE(fs::exists(dir / "M2.avi"));
}

}  // namespace
}  // namespace vlx

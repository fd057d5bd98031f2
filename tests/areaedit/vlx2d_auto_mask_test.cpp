// vlx2d --auto-mask on a real picture: the mask it writes is the one the
// station reads at its next start.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../clips/clips_test_util.h"
#include "test_support.h"
#include "vlx/clips/records.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;

std::string Vlx2d(const test::TempDir& dir, const std::string& args, int* status) {
    return test::RunCommand("cd '" + dir.str() + "' && XDG_DOCUMENTS_DIR='" + dir.str() + "/Docs' '" +
                                test::BuildDir() + "/bin/vlx2d' " + args + " 2>&1",
                            status);
}

// A 640 x 480 sky (grey 60) over 50 black rows of ground.
void WriteSky(const std::string& path, int w = 640, int h = 480) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3, 60);
    std::fill(px.begin(), px.begin() + static_cast<size_t>(w) * 50 * 3, 0);  // bottom rows come first
    ASSERT_TRUE(WriteBmp24(path, px.data(), w, h));
}

TEST(Vlx2dAutoMask, MasksTheGroundAndBecomesTheStationsMask) {
    test::TempDir dir;
    WriteSky(dir / "sky.bmp");
    int status = -1;
    // The default brush L grows the ground by 6 rows.
    std::string out = Vlx2d(dir, "--auto-mask sky.bmp", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("/DA640-480.bmp: 35840 of 307200 pixels masked\n"), std::string::npos) << out;
    EXPECT_NE(out.find("AP.dareafname=DA640-480.bmp\n"), std::string::npos) << out;
    out = Vlx2d(dir, "--print-settings", &status);
    EXPECT_NE(out.find("AP.dareafname=DA640-480.bmp\n"), std::string::npos);

    AppContext ctx;
    test::SetText(ctx.program_dir, dir.str().c_str());
    test::SetText(ctx.ap.dareafname, "DA640-480.bmp");
    ctx.dp.cx = 640;
    ctx.dp.cy = 480;
    ctx.dp.pixels = 640 * 480;
    std::vector<uint8_t> alloc(640 * 480 + 2 * 640);
    ctx.dp.mask_alloc = alloc.data();
    ctx.dp.mask = alloc.data() + 640;
    AreaMaskPicture pic;
    ASSERT_TRUE(ReadAreaMask(ctx, true, pic));
    for (int row : {0, 423, 424, 479}) {  // rows from the top
        int marked = 0;
        for (int x = 0; x < 640; ++x) marked += ctx.dp.mask[row * 640 + x] == 2;
        EXPECT_EQ(marked, row >= 424 ? 640 : 0) << row;
    }

    // A named output elsewhere with the smallest brush; the setting stays.
    fs::create_directories(dir / "elsewhere");
    out = Vlx2d(dir, "--auto-mask sky.bmp elsewhere/DA-ground.bmp --brush S", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("elsewhere/DA-ground.bmp: 32000 of 307200 pixels masked\n"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir / "elsewhere/DA-ground.bmp"));
    out = Vlx2d(dir, "--print-settings", &status);
    EXPECT_NE(out.find("AP.dareafname=DA640-480.bmp\n"), std::string::npos);
}

TEST(Vlx2dAutoMask, RefusesWhatItCannotUse) {
    test::TempDir dir;
    WriteSky(dir / "small.bmp", 320, 240);
    WriteSky(dir / "sky.bmp");
    test::WriteFileBytes(dir / "text.bmp", "BM not a picture", 16);
    struct Case {
        std::string args, message;
    } cases[] = {
        {"--auto-mask missing.bmp", "UM026: Cannot read Area Mask missing.bmp"},
        {"--auto-mask small.bmp", "UM027: Area Mask File size not matched ... ignored"},
        {"--auto-mask text.bmp", "UM027: Area Mask File size not matched ... ignored"},
        {"--auto-mask sky.bmp DA-ALL.bmp", "UM025: \"DA-ALL.bmp\" Cannot use this name, Please Set another name"},
        {"--auto-mask sky.bmp --brush XL", "--brush takes S, M, L or LL"},
    };
    for (const Case& c : cases) {
        int status = -1;
        std::string out = Vlx2d(dir, c.args, &status);
        EXPECT_NE(status, 0) << c.args;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << ": " << out;
    }
    EXPECT_FALSE(fs::exists(dir / "DA-ALL.bmp"));
    EXPECT_FALSE(fs::exists(dir / "DA640-480.bmp"));
    EXPECT_FALSE(fs::exists(dir / "Settings.vxi"));

    // The picture may be of another size when IF.cx and IF.cy say so.
    int status = -1;
    std::string out = Vlx2d(dir, "--auto-mask small.bmp --set IF.cx=320 --set IF.cy=240", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(fs::exists(dir / "DA320-240.bmp"));
}

}  // namespace
}  // namespace vlx

#include "vlx/areaedit/area_mask_editor.h"

#include <cstring>
#include <memory>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../clips/clips_test_util.h"
#include "capture_reporter.h"
#include "test_support.h"

namespace vlx {
namespace {

namespace fs = std::filesystem;
using test::SetText;
using Pixels = std::set<std::pair<int, int>>;  // (column, row from the top)

struct Asker : Questioner {
    bool ok = false;
    std::vector<std::string> asked;
    bool AskOkCancel(std::string_view text) override {
        asked.emplace_back(text);
        return ok;
    }
};

class AreaMaskEditorTest : public ::testing::Test {
protected:
    // A picture wider than high and of scale 2, so that swapped axes or
    // rows counted from the wrong end show.
    void Make(int cx, int cy) {
        ctx_.dp.cx = cx;
        ctx_.dp.cy = cy;
        SetText(ctx_.program_dir, dir_.str().c_str());
        SetText(ctx_.ap.dareafname, kNoAreaMask);
        editor_ = std::make_unique<AreaMaskEditor>(ctx_, mask_, &asker_);
        editor_->SetBackground(nullptr, 0, 0);
        editor_->Open(20);
        editor_->AllDetect();
    }
    // Dialog point of the centre of an image pixel.
    EditorPoint At(int col, int row) const {
        const EditorLayout& l = editor_->layout();
        return {l.left + col * l.scale + l.scale / 2, l.top + row * l.scale + l.scale / 2};
    }
    Pixels Masked() const {
        Pixels out;
        for (int y = 0; y < editor_->height(); ++y) {
            for (int x = 0; x < editor_->width(); ++x) {
                if (editor_->IsMasked(x, y)) out.insert({x, y});
            }
        }
        return out;
    }
    void Background(uint8_t grey) {
        std::vector<uint8_t> bg(static_cast<size_t>(ctx_.dp.cx) * ctx_.dp.cy * 3, grey);
        editor_->SetBackground(bg.data(), ctx_.dp.cx, ctx_.dp.cy);
    }

    test::TempDir dir_;
    test::CaptureReporter reporter_;
    AppContext ctx_;
    AreaMaskPicture mask_;
    Asker asker_;
    std::unique_ptr<AreaMaskEditor> editor_;
};

TEST(AreaMaskLayout, ScaleAndPictureFollowTheHeight) {
    struct Case {
        int cx, cy, caption;
        EditorLayout want;
    } cases[] = {
        {320, 240, 20, {2, 90, 2, 730, 482, 738, 510}},
        {320, 241, 20, {1, 90, 2, 410, 243, 418, 500}},
        {640, 480, 30, {1, 90, 2, 730, 482, 738, 520}},
    };
    for (const Case& c : cases) {
        EditorLayout l = LayoutFor(c.cx, c.cy, c.caption);
        EXPECT_EQ((std::vector<int>{l.scale, l.left, l.top, l.right, l.bottom, l.dialog_width, l.dialog_height}),
                  (std::vector<int>{c.want.scale, c.want.left, c.want.top, c.want.right, c.want.bottom,
                                    c.want.dialog_width, c.want.dialog_height}))
            << c.cx << "x" << c.cy;
    }
}

TEST_F(AreaMaskEditorTest, PenMapsPointsToPixelsFromTheTop) {
    Make(40, 24);
    ASSERT_EQ(editor_->layout().scale, 2);
    editor_->SetTool(MaskTool::kPen);
    editor_->SetBrush(Brush::kS);
    int col, row;
    EXPECT_TRUE(editor_->MapPoint({90 + 2 * 37 + 1, 2 + 2 * 5}, &col, &row));
    EXPECT_EQ(std::make_pair(col, row), std::make_pair(37, 5));
    EXPECT_FALSE(editor_->MapPoint({89, 10}, &col, &row));
    EXPECT_FALSE(editor_->MapPoint({90 + 80, 10}, &col, &row));
    EXPECT_FALSE(editor_->MapPoint({100, 2 + 48}, &col, &row));

    editor_->Press(MouseButton::kLeft, At(37, 5));
    editor_->Move(At(38, 5), true, false);
    editor_->Move(At(39, 23), false, false);  // no button: nothing
    editor_->Move({89, 10}, true, false);     // outside: ignored
    EXPECT_EQ(Masked(), (Pixels{{37, 5}, {38, 5}}));
    // The mask picture is stored bottom row first.
    EXPECT_EQ(mask_.pixels[((24 - 1 - 5) * 40 + 37) * 3 + 2], 255);
    editor_->Press(MouseButton::kRight, At(37, 5));  // the other colour
    EXPECT_EQ(Masked(), (Pixels{{38, 5}}));
    EXPECT_TRUE(editor_->modified());
}

TEST_F(AreaMaskEditorTest, BrushMIsAFiveSquareWithoutCornersClippedAtTheEdge) {
    Make(40, 24);
    editor_->SetBrush(Brush::kM);
    editor_->PaintPoint(MaskColour::kMask, 0, 0);
    Pixels want;
    for (int y = 0; y <= 2; ++y) {
        for (int x = 0; x <= 2; ++x) {
            if (x != 2 || y != 2) want.insert({x, y});
        }
    }
    EXPECT_EQ(Masked(), want);
    editor_->AllDetect();
    editor_->PaintPoint(MaskColour::kMask, 20, 10);
    EXPECT_EQ(Masked().size(), 21u);
    EXPECT_FALSE(editor_->IsMasked(22, 12));
    EXPECT_TRUE(editor_->IsMasked(22, 11));
}

TEST_F(AreaMaskEditorTest, LineStepsAlongTheLongerAxisAndAClickPaintsNothing) {
    Make(40, 24);
    editor_->SetBrush(Brush::kS);
    ASSERT_EQ(editor_->tool(), MaskTool::kLine);
    editor_->Press(MouseButton::kLeft, At(5, 5));
    editor_->Release(MouseButton::kLeft, At(5, 5));
    EXPECT_TRUE(Masked().empty());
    EXPECT_FALSE(editor_->drag().active);

    // From the right end to the left: steps by column from the smaller end.
    editor_->Press(MouseButton::kLeft, At(10, 3));
    editor_->Move(At(2, 2), false, false);
    EXPECT_TRUE(editor_->drag().active);
    editor_->Release(MouseButton::kLeft, At(0, 0));
    Pixels want;
    for (int k = 0; k <= 10; ++k) want.insert({k, 3 * k / 10});
    EXPECT_EQ(Masked(), want);
    EXPECT_TRUE(editor_->IsMasked(10, 3));

    // Steeper than 45 degrees: steps by row. The right button paints the
    // other colour; a line with an end off the picture paints nothing.
    editor_->AllMask();
    editor_->Press(MouseButton::kRight, At(30, 23));
    editor_->Release(MouseButton::kRight, At(33, 0));
    Pixels cleared;
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 40; ++x) {
            if (!editor_->IsMasked(x, y)) cleared.insert({x, y});
        }
    }
    Pixels line;
    for (int k = 0; k <= 23; ++k) line.insert({33 - (3 * k + 22) / 23, k});  // x truncated, falling
    EXPECT_EQ(cleared, line);
    editor_->AllDetect();
    editor_->Press(MouseButton::kLeft, At(30, 10));
    editor_->Release(MouseButton::kLeft, {90 + 100, 12});
    EXPECT_TRUE(Masked().empty());
}

TEST_F(AreaMaskEditorTest, RectangleLeavesItsRightColumnAndIsClamped) {
    Make(40, 24);
    editor_->SetTool(MaskTool::kRect);
    editor_->SetBrush(Brush::kLL);  // not used by the rectangle
    editor_->Press(MouseButton::kLeft, At(20, 8));
    editor_->Release(MouseButton::kLeft, At(10, 5));
    Pixels want;
    for (int y = 5; y <= 8; ++y) {
        for (int x = 10; x <= 19; ++x) want.insert({x, y});
    }
    EXPECT_EQ(Masked(), want);

    editor_->AllDetect();
    editor_->Press(MouseButton::kLeft, At(30, 20));
    editor_->Release(MouseButton::kLeft, {90 + 2 * 60, 2 + 2 * 50});  // past the right and bottom edges
    want.clear();
    for (int y = 20; y <= 23; ++y) {
        for (int x = 30; x <= 38; ++x) want.insert({x, y});
    }
    EXPECT_EQ(Masked(), want);

    editor_->AllDetect();
    editor_->Press(MouseButton::kRight, At(1, 1));  // the right button draws no rectangle
    editor_->Release(MouseButton::kRight, At(9, 9));
    EXPECT_TRUE(Masked().empty());
}

TEST_F(AreaMaskEditorTest, AutoSetMasksDarkAndDimPixelsWithTheBrush) {
    Make(40, 24);
    struct Case {
        int grey, lev, ratio;
        size_t masked;
    } cases[] = {
        {100, 0, 0, 0}, {100, 0, 100, 0}, {100, 0, 101, 40 * 24}, {100, 101, 0, 40 * 24}, {100, 100, 0, 0},
        {0, 0, 255, 0},  // black everywhere: no share of a mean of nothing
    };
    for (const Case& c : cases) {
        Background(static_cast<uint8_t>(c.grey));
        editor_->Open(20);
        editor_->SetRatio(c.ratio);
        editor_->SetLevel(c.lev);
        EXPECT_EQ(Masked().size(), c.masked) << c.grey << " " << c.lev << " " << c.ratio;
        EXPECT_TRUE(editor_->modified());
    }

    // One dim pixel in a bright sky: 50 % of its neighbours' mean.
    std::vector<uint8_t> bg(40 * 24 * 3, 200);
    const size_t dim = ((24 - 1 - 7) * 40 + 12) * 3;
    std::memset(&bg[dim], 100, 3);
    editor_->SetBackground(bg.data(), 40, 24);
    editor_->Open(20);
    ctx_.ap.me_lev = 0;
    editor_->SetBrush(Brush::kS);
    editor_->SetRatio(60);
    EXPECT_EQ(Masked(), (Pixels{{12, 7}}));
    editor_->SetRatio(300);  // clamped to 255
    EXPECT_EQ(ctx_.ap.me_ratio, 255);
    editor_->SetRatio(40);
    EXPECT_TRUE(Masked().empty());
    // A bright pixel beside black ones is never masked by the ratio rule.
    std::fill(bg.begin(), bg.end(), 0);
    std::memset(&bg[dim], 250, 3);
    editor_->SetBackground(bg.data(), 40, 24);
    editor_->SetRatio(255);
    EXPECT_FALSE(editor_->IsMasked(12, 7));
    EXPECT_TRUE(editor_->IsMasked(12, 6));  // black, 0 % of its neighbours
}

TEST_F(AreaMaskEditorTest, AutoSetPaintsEverySpotAsTheBrushWould) {
    Make(37, 23);
    std::mt19937 rng(7);
    std::vector<uint8_t> bg(37 * 23 * 3);
    for (uint8_t& b : bg) b = static_cast<uint8_t>(60 + rng() % 140);
    editor_->SetBackground(bg.data(), 37, 23);
    ctx_.ap.me_lev = 70;
    ctx_.ap.me_ratio = 80;
    editor_->SetBrush(Brush::kS);
    editor_->AutoSet();
    const Pixels spots = Masked();
    ASSERT_GT(spots.size(), 5u);
    ASSERT_LT(spots.size(), 300u);
    for (Brush b : {Brush::kM, Brush::kL, Brush::kLL}) {
        editor_->SetBrush(b);
        editor_->AllDetect();
        for (auto [x, y] : spots) editor_->PaintPoint(MaskColour::kMask, x, y);
        const Pixels painted = Masked();
        editor_->AutoSet();
        EXPECT_EQ(Masked(), painted) << static_cast<int>(b);
    }
}

TEST_F(AreaMaskEditorTest, DisplayShowsTheMaskOverTheStill) {
    Make(40, 24);
    std::vector<uint8_t> bg(40 * 24 * 3);
    for (size_t i = 0; i < bg.size(); i += 3) bg[i] = 200, bg[i + 1] = 101, bg[i + 2] = 50;
    editor_->SetBackground(bg.data(), 40, 24);
    editor_->Open(20);
    editor_->SetBrush(Brush::kS);
    editor_->PaintPoint(MaskColour::kMask, 3, 0);
    editor_->AllDetect();  // rebuilds
    EXPECT_EQ(editor_->Display(), bg);
    editor_->SetTool(MaskTool::kPen);
    editor_->Press(MouseButton::kLeft, At(3, 0));
    const size_t top_row = ((24 - 1) * 40 + 3) * 3;
    std::vector<uint8_t> want = bg;
    want[top_row] = 100, want[top_row + 1] = 50, want[top_row + 2] = 128;
    EXPECT_EQ(editor_->Display(), want);
}

TEST_F(AreaMaskEditorTest, SavedFileIsReadBackAsTheSameMask) {
    Make(640, 480);
    EXPECT_EQ(editor_->ProposedName(), "DA640-480.bmp");
    editor_->SetTool(MaskTool::kRect);
    editor_->Press(MouseButton::kLeft, At(600, 10));
    editor_->Release(MouseButton::kLeft, At(639, 470));
    editor_->SetBrush(Brush::kL);
    editor_->PaintPoint(MaskColour::kMask, 3, 476);

    // The reserved name and a folder that does not exist change nothing.
    EXPECT_EQ(editor_->Save(dir_ / "DA-ALL.bmp"), AreaMaskEditor::SaveResult::kReservedName);
    EXPECT_EQ(reporter_.errors(),
              std::vector<std::string>{"UM025: \"DA-ALL.bmp\" Cannot use this name, Please Set another name"});
    EXPECT_FALSE(fs::exists(dir_ / "DA-ALL.bmp"));
    EXPECT_EQ(editor_->Save(dir_ / "missing/DA1.bmp"), AreaMaskEditor::SaveResult::kWriteFailed);
    EXPECT_STREQ(ctx_.ap.dareafname, "DA-ALL.bmp");
    EXPECT_NE(editor_->Display(), std::vector<uint8_t>(640 * 480 * 3, 128));

    ASSERT_EQ(editor_->Save(editor_->ProposedPath()), AreaMaskEditor::SaveResult::kSaved);
    EXPECT_STREQ(ctx_.ap.dareafname, "DA640-480.bmp");
    EXPECT_EQ(editor_->Display(), std::vector<uint8_t>(640 * 480 * 3, 128));
    const std::vector<uint8_t> file = test::ReadFileBytes(dir_ / "DA640-480.bmp");
    ASSERT_EQ(file.size(), 54u + 640 * 480 * 3);
    std::set<std::vector<uint8_t>> colours;
    for (size_t i = 54; i < file.size(); i += 3) colours.insert({file[i], file[i + 1], file[i + 2]});
    EXPECT_EQ(colours, (std::set<std::vector<uint8_t>>{{0, 0, 255}, {128, 128, 128}}));

    // The live side's reader marks exactly the painted pixels.
    const int W = 640, H = 480;
    std::vector<uint8_t> alloc(W * H + 2 * W, 0);
    ctx_.dp.pixels = W * H;
    ctx_.dp.mask_alloc = alloc.data();
    ctx_.dp.mask = alloc.data() + W;
    AreaMaskPicture read;
    ASSERT_TRUE(ReadAreaMask(ctx_, true, read));
    const Pixels painted = Masked();
    EXPECT_TRUE(painted.count({638, 10}) && painted.count({600, 470}) && painted.count({0, 479}));
    EXPECT_FALSE(painted.count({639, 10}) || painted.count({600, 471}));
    Pixels marked;
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            if (ctx_.dp.mask[y * W + x] == 2) marked.insert({x, y});
        }
    }
    EXPECT_EQ(marked, painted);
}

TEST_F(AreaMaskEditorTest, OpeningTakesThePureRedOfAMaskFileOnly) {
    Make(40, 24);
    std::vector<uint8_t> px(40 * 24 * 3, 0);
    auto set = [&](int x, int y, uint8_t b, uint8_t g, uint8_t r) {
        uint8_t* p = &px[((24 - 1 - y) * 40 + x) * 3];
        p[0] = b, p[1] = g, p[2] = r;
    };
    set(1, 1, 0, 0, 255);
    set(2, 1, 10, 0, 255);  // nearly red: the detector keeps it
    ASSERT_TRUE(WriteBmp24(dir_ / "DA-test.bmp", px.data(), 40, 24));
    SetText(ctx_.ap.dareafname, "DA-test.bmp");
    editor_->Open(20);
    EXPECT_EQ(Masked(), (Pixels{{1, 1}}));
    EXPECT_FALSE(editor_->modified());

    ASSERT_TRUE(WriteBmp24(dir_ / "DA-small.bmp", px.data(), 20, 24));
    SetText(ctx_.ap.dareafname, "DA-small.bmp");
    editor_->Open(20);
    EXPECT_EQ(reporter_.errors().back(), "UM027: Area Mask File size not matched ... ignored");
    EXPECT_STREQ(ctx_.ap.dareafname, "DA-ALL.bmp");
    EXPECT_EQ(Masked(), (Pixels{{1, 1}}));  // the picture in memory stays
}

TEST_F(AreaMaskEditorTest, CancelAsksOnlyWhenModified) {
    Make(40, 24);
    editor_->Open(20);
    EXPECT_TRUE(editor_->Cancel());
    EXPECT_TRUE(asker_.asked.empty());

    editor_->AllMask();
    asker_.ok = false;
    EXPECT_FALSE(editor_->Cancel());
    EXPECT_EQ(asker_.asked, std::vector<std::string>{"Not Saved OK?"});
    EXPECT_EQ(Masked().size(), 40u * 24);
    asker_.ok = true;
    EXPECT_TRUE(editor_->Cancel());
    EXPECT_EQ(editor_->Display(), std::vector<uint8_t>(40 * 24 * 3, 128));
    EXPECT_STREQ(ctx_.ap.dareafname, "DA-ALL.bmp");
    EXPECT_TRUE(fs::is_empty(dir_.path()));
}

}  // namespace
}  // namespace vlx

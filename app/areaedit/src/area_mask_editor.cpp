#include "vlx/areaedit/area_mask_editor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vlx/app/report.h"

namespace vlx {
namespace {

constexpr uint8_t kMaskBgr[3] = {0, 0, 255};
constexpr uint8_t kDetectBgr[3] = {128, 128, 128};

const uint8_t* ColourBytes(MaskColour c) { return c == MaskColour::kMask ? kMaskBgr : kDetectBgr; }

bool IsMaskPixel(const uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 255; }

// Division rounding down, so that points left of or above the picture map
// to negative pixels rather than to column or row 0.
int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

std::string FileNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

EditorLayout LayoutFor(int cx, int cy, int caption_height) {
    EditorLayout l;
    l.scale = cy > 240 ? 1 : 2;
    l.left = kPictureLeft;
    l.top = kPictureTop;
    l.right = l.left + cx * l.scale;
    l.bottom = l.top + cy * l.scale;
    l.dialog_width = cx * l.scale + 98;
    l.dialog_height = std::max(500, caption_height + cy * l.scale + 10);
    return l;
}

AreaMaskEditor::AreaMaskEditor(AppContext& ctx, AreaMaskPicture& mask, Questioner* questions)
    : ctx_(ctx), mask_(mask), questions_(questions), view_(&null_view_), cx_(ctx.dp.cx), cy_(ctx.dp.cy) {}

void AreaMaskEditor::SetBackground(const uint8_t* bgr, int width, int height) {
    const size_t n = static_cast<size_t>(std::max(cx_, 0)) * std::max(cy_, 0) * 3;
    if (bgr && width == cx_ && height == cy_) {
        background_.assign(bgr, bgr + n);
    } else {
        background_.assign(n, 0);
    }
}

void AreaMaskEditor::Open(int caption_height) {
    const bool named = std::strncmp(ctx_.ap.dareafname, kNoAreaMask, sizeof ctx_.ap.dareafname) != 0;
    AreaMaskPicture read;
    if (named && ReadAreaMask(ctx_, false, read)) mask_ = std::move(read);
    Begin(caption_height);
}

void AreaMaskEditor::Begin(int caption_height) {
    cx_ = std::max(ctx_.dp.cx, 0);
    cy_ = std::max(ctx_.dp.cy, 0);
    const size_t n = static_cast<size_t>(cx_) * cy_ * 3;
    if (mask_.width != cx_ || mask_.height != cy_ || mask_.pixels.size() != n) {
        mask_.width = cx_;
        mask_.height = cy_;
        mask_.pixels.assign(n, 128);
    }
    // The detector excludes only pure red; showing and saving anything else
    // as detect keeps the picture, the file and the detector in agreement.
    for (size_t i = 0; i < n; i += 3) {
        const uint8_t* c = IsMaskPixel(&mask_.pixels[i]) ? kMaskBgr : kDetectBgr;
        std::memcpy(&mask_.pixels[i], c, 3);
    }
    if (background_.size() != n) background_.assign(n, 0);

    layout_ = LayoutFor(cx_, cy_, caption_height);
    modified_ = false;
    colour_ = MaskColour::kMask;
    tool_ = MaskTool::kLine;
    brush_ = Brush::kL;
    drag_ = {};
    RebuildDisplay();
}

bool AreaMaskEditor::IsMasked(int x, int y) const {
    if (x < 0 || y < 0 || x >= cx_ || y >= cy_) return false;
    return IsMaskPixel(&mask_.pixels[(static_cast<size_t>(cy_ - 1 - y) * cx_ + x) * 3]);
}

int AreaMaskEditor::MaskedCount() const {
    int count = 0;
    for (size_t i = 0; i + 2 < mask_.pixels.size(); i += 3) count += IsMaskPixel(&mask_.pixels[i]);
    return count;
}

bool AreaMaskEditor::MapPoint(EditorPoint p, int* col, int* row) const {
    *col = FloorDiv(p.x - layout_.left, layout_.scale);
    *row = FloorDiv(p.y - layout_.top, layout_.scale);
    return p.x >= layout_.left && p.x < layout_.right && p.y >= layout_.top && p.y < layout_.bottom;
}

void AreaMaskEditor::SetPixel(MaskColour c, int x, int y) {
    std::memcpy(&mask_.pixels[(static_cast<size_t>(cy_ - 1 - y) * cx_ + x) * 3], ColourBytes(c), 3);
}

void AreaMaskEditor::PaintPoint(MaskColour c, int x, int y) {
    modified_ = true;
    const int s = static_cast<int>(brush_);
    if (s <= 1) {
        if (x >= 0 && y >= 0 && x < cx_ && y < cy_) SetPixel(c, x, y);
        return;
    }
    const int d = (s - 1) / 2;
    const int r = s * s / 4;
    for (int j = -d; j <= d; ++j) {
        for (int i = -d; i <= d; ++i) {
            const int px = x + i, py = y + j;
            if (px >= 0 && py >= 0 && px < cx_ && py < cy_ && i * i + j * j <= r) SetPixel(c, px, py);
        }
    }
}

void AreaMaskEditor::PaintLine(MaskColour c, EditorPoint from, EditorPoint to) {
    int x0, y0, x1, y1;
    MapPoint(from, &x0, &y0);
    MapPoint(to, &x1, &y1);
    auto inside = [&](int x, int y) { return x >= 0 && y >= 0 && x < cx_ && y < cy_; };
    if (!inside(x0, y0) || !inside(x1, y1)) return;
    const int dx = x1 - x0, dy = y1 - y0;
    // Stepping along the longer axis from its smaller end; the other
    // coordinate is the exact fraction truncated, so that the far end lands
    // on its own pixel however long the line.
    if (std::abs(dx) >= std::abs(dy) && dx != 0) {
        if (dx < 0) std::swap(x0, x1), std::swap(y0, y1);
        const int64_t n = x1 - x0, m = y1 - y0;
        for (int64_t k = 0; k <= n; ++k) {
            const int64_t num = m * k;
            const int y = y0 + static_cast<int>(num >= 0 ? num / n : -((-num + n - 1) / n));
            PaintPoint(c, x0 + static_cast<int>(k), y);
        }
    } else if (std::abs(dy) > std::abs(dx)) {
        if (dy < 0) std::swap(x0, x1), std::swap(y0, y1);
        const int64_t n = y1 - y0, m = x1 - x0;
        for (int64_t k = 0; k <= n; ++k) {
            const int64_t num = m * k;
            const int x = x0 + static_cast<int>(num >= 0 ? num / n : -((-num + n - 1) / n));
            PaintPoint(c, x, y0 + static_cast<int>(k));
        }
    }
    modified_ = true;
    RebuildDisplay();
}

void AreaMaskEditor::FillRect(MaskColour c, EditorPoint a, EditorPoint b) {
    int l, t, r, btm;
    MapPoint({std::min(a.x, b.x), std::min(a.y, b.y)}, &l, &t);
    MapPoint({std::max(a.x, b.x), std::max(a.y, b.y)}, &r, &btm);
    modified_ = true;
    if (r < 0 || btm < 0 || l >= cx_ || t >= cy_) return;
    l = std::clamp(l, 0, cx_ - 1);
    r = std::clamp(r, 0, cx_ - 1);
    t = std::clamp(t, 0, cy_ - 1);
    btm = std::clamp(btm, 0, cy_ - 1);
    for (int y = t; y <= btm; ++y) {
        for (int x = l; x < r; ++x) SetPixel(c, x, y);
    }
    RebuildDisplay();
}

void AreaMaskEditor::Press(MouseButton button, EditorPoint p) {
    int col, row;
    if (drag_.active || !MapPoint(p, &col, &row)) return;
    switch (tool_) {
        case MaskTool::kPen:
            PaintPoint(ButtonColour(button), col, row);
            RebuildDisplay();
            break;
        case MaskTool::kRect:
            if (button != MouseButton::kLeft) break;
            [[fallthrough]];
        case MaskTool::kLine:
            drag_ = {true, tool_, button, p, p};
            view_->DragChanged();
            break;
    }
}

void AreaMaskEditor::Move(EditorPoint p, bool left_held, bool right_held) {
    if (drag_.active) {  // the mouse is captured: points outside count too
        drag_.end = p;
        view_->DragChanged();
        return;
    }
    int col, row;
    if (tool_ != MaskTool::kPen || !MapPoint(p, &col, &row)) return;
    if (left_held) {
        PaintPoint(colour_, col, row);
    } else if (right_held) {
        PaintPoint(Other(colour_), col, row);
    } else {
        return;
    }
    RebuildDisplay();
}

void AreaMaskEditor::Release(MouseButton button, EditorPoint p) {
    if (!drag_.active || button != drag_.button) return;
    EditorDrag d = drag_;
    d.end = p;
    drag_ = {};
    view_->DragChanged();
    if (d.tool == MaskTool::kLine) {
        PaintLine(ButtonColour(d.button), d.start, d.end);
    } else {
        FillRect(colour_, d.start, d.end);
    }
}

void AreaMaskEditor::FillAll(MaskColour c) {
    const uint8_t* bytes = ColourBytes(c);
    for (size_t i = 0; i + 2 < mask_.pixels.size(); i += 3) std::memcpy(&mask_.pixels[i], bytes, 3);
}

void AreaMaskEditor::AllDetect() {
    FillAll(MaskColour::kDetect);
    modified_ = true;
    RebuildDisplay();
}

void AreaMaskEditor::AllMask() {
    FillAll(MaskColour::kMask);
    modified_ = true;
    RebuildDisplay();
}

void AreaMaskEditor::AutoSet() {
    const int W = cx_, H = cy_;
    const size_t n = static_cast<size_t>(W) * H;
    FillAll(MaskColour::kDetect);
    modified_ = true;
    if (n == 0) {
        RebuildDisplay();
        return;
    }
    const int lev = ctx_.ap.me_lev;
    const double ratio = ctx_.ap.me_ratio;

    // Brightness sums and their summed-area table (in storage row order: the
    // window and the brush are symmetric, so the order does not matter).
    std::vector<int32_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = &background_[i * 3];
        v[i] = p[0] + p[1] + p[2];
    }
    std::vector<int64_t> sat(static_cast<size_t>(W + 1) * (H + 1), 0);
    for (int y = 0; y < H; ++y) {
        int64_t row = 0;
        for (int x = 0; x < W; ++x) {
            row += v[static_cast<size_t>(y) * W + x];
            sat[static_cast<size_t>(y + 1) * (W + 1) + x + 1] = sat[static_cast<size_t>(y) * (W + 1) + x + 1] + row;
        }
    }
    auto box = [&](int x0, int y0, int x1, int y1) {  // inclusive
        const size_t w1 = W + 1;
        return sat[(y1 + 1) * w1 + x1 + 1] - sat[y0 * w1 + x1 + 1] - sat[(y1 + 1) * w1 + x0] + sat[y0 * w1 + x0];
    };

    std::vector<uint8_t> seed(n, 0);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const size_t i = static_cast<size_t>(y) * W + x;
            if (v[i] / 3 < lev) {
                seed[i] = 1;
                continue;
            }
            const int x0 = std::max(0, x - 2), x1 = std::min(W - 1, x + 2);
            const int y0 = std::max(0, y - 2), y1 = std::min(H - 1, y + 2);
            const int64_t count = static_cast<int64_t>(x1 - x0 + 1) * (y1 - y0 + 1);
            const int64_t others = box(x0, y0, x1, y1) - v[i];
            // Neighbours all black: the pixel is no share of their mean.
            if (count < 2 || others <= 0) continue;
            if (ratio > 100.0 * v[i] / (static_cast<double>(others) / static_cast<double>(count - 1))) seed[i] = 1;
        }
    }

    // Every seed painted with the brush: a disc whose row j spans
    // half_width[|j|] columns either side.
    const int s = static_cast<int>(brush_);
    const int d = s <= 1 ? 0 : (s - 1) / 2;
    const int r = s <= 1 ? 0 : s * s / 4;
    std::vector<int> half_width(d + 1, -1);
    for (int j = 0; j <= d; ++j) {
        for (int i = d; i >= 0; --i) {
            if (i * i + j * j <= r) {
                half_width[j] = i;
                break;
            }
        }
    }
    std::vector<int> cover(W + 1);
    for (int y = 0; y < H; ++y) {
        std::fill(cover.begin(), cover.end(), 0);
        bool any = false;
        for (int j = -d; j <= d; ++j) {
            const int sy = y + j;
            const int w = half_width[std::abs(j)];
            if (sy < 0 || sy >= H || w < 0) continue;
            const uint8_t* srow = &seed[static_cast<size_t>(sy) * W];
            for (int x = 0; x < W; ++x) {
                if (!srow[x]) continue;
                ++cover[std::max(0, x - w)];
                --cover[std::min(W - 1, x + w) + 1];
                any = true;
            }
        }
        if (!any) continue;
        int run = 0;
        uint8_t* out = &mask_.pixels[static_cast<size_t>(y) * W * 3];
        for (int x = 0; x < W; ++x) {
            run += cover[x];
            if (run > 0) std::memcpy(out + x * 3, kMaskBgr, 3);
        }
    }
    RebuildDisplay();
}

void AreaMaskEditor::SetLevel(int lev) {
    ctx_.ap.me_lev = std::clamp(lev, 0, 255);
    AutoSet();
}

void AreaMaskEditor::SetRatio(int ratio) {
    ctx_.ap.me_ratio = std::clamp(ratio, 0, 255);
    AutoSet();
}

void AreaMaskEditor::RebuildDisplay() {
    display_ = background_;
    for (size_t i = 0; i + 2 < display_.size() && i + 2 < mask_.pixels.size(); i += 3) {
        if (mask_.pixels[i + 2] == 255) {
            display_[i] /= 2;
            display_[i + 1] /= 2;
            display_[i + 2] = 128;
        }
    }
    view_->DisplayChanged();
}

std::string AreaMaskEditor::ProposedName() const {
    std::string name(ctx_.ap.dareafname, strnlen(ctx_.ap.dareafname, sizeof ctx_.ap.dareafname));
    if (name == kNoAreaMask) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "DA%d-%d.bmp", ctx_.dp.cx, ctx_.dp.cy);
        name = buf;
    }
    return name;
}

std::string AreaMaskEditor::ProposedPath() const {
    std::string dir(ctx_.program_dir, strnlen(ctx_.program_dir, sizeof ctx_.program_dir));
    if (dir.empty()) return ProposedName();
    return dir + (dir.back() == '/' ? "" : "/") + ProposedName();
}

AreaMaskEditor::SaveResult AreaMaskEditor::Save(const std::string& path) {
    const std::string name = FileNameOf(path);
    if (name == kNoAreaMask) {
        ErrorBox("UM025: \"DA-ALL.bmp\" Cannot use this name, Please Set another name");
        return SaveResult::kReservedName;
    }
    if (!WriteBmp24(path, mask_.pixels.data(), cx_, cy_)) return SaveResult::kWriteFailed;
    std::snprintf(ctx_.ap.dareafname, sizeof ctx_.ap.dareafname, "%s", name.c_str());
    std::fill(display_.begin(), display_.end(), 128);
    view_->DisplayChanged();
    return SaveResult::kSaved;
}

bool AreaMaskEditor::Cancel() {
    if (modified_ && !(questions_ && questions_->AskOkCancel(kNotSavedQuestion))) return false;
    std::fill(display_.begin(), display_.end(), 128);
    view_->DisplayChanged();
    return true;
}

}  // namespace vlx

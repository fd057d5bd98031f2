// The thumbnail: a box-maximum reduction, so that a thin bright trail survives,
// with the hit pixels marked and the strong hits framed.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "jpeg_internal.h"
#include "vlx/clips/records.h"

namespace vlx {
namespace {

// The fixed work area: the largest thumbnail the settings allow.
std::mutex g_work_mu;
uint8_t g_work[kThumbMaxCx * kThumbMaxCy * 3];

void ThumbSize(const AppContext& ctx, int& w, int& h) {
    w = std::clamp(ctx.ap.sj_cx, 10, kThumbMaxCx);
    h = std::clamp(ctx.ap.sj_cy, 8, kThumbMaxCy);
}

}  // namespace

void BuildThumbnail(const AppContext& ctx, int w, int h, uint8_t* out) {
    std::memset(out, 0, static_cast<size_t>(w) * h * 3);
    const int W = ctx.rgb_cx;
    const int H = ctx.rgb_cy;
    if (W <= 0 || H <= 0 || ctx.rgb.size() < static_cast<size_t>(W) * H * 3) return;
    const uint8_t* src = ctx.rgb.data();

    const bool tmark = ctx.ap.tmark != 0;
    // The hit map is indexed by picture rows from the top; it only matches a
    // buffer of the working size.
    const uint8_t* hits = (tmark && ctx.dp.im_map && ctx.dp.hit_map && ctx.dp.cx == W && ctx.dp.cy == H)
                              ? ctx.dp.hit_map
                              : nullptr;
    int min_col = w - 1, max_col = 0, min_row = h - 1, max_row = 0;

    for (int i = 0; i < h; ++i) {  // stored row order
        const int r0 = static_cast<int>(static_cast<int64_t>(i) * H / h);
        const int r1 = std::min(static_cast<int>(static_cast<int64_t>(i + 1) * H / h), H - 1);
        for (int j = 0; j < w; ++j) {
            const int c0 = static_cast<int>(static_cast<int64_t>(j) * W / w);
            const int c1 = std::min(static_cast<int>(static_cast<int64_t>(j + 1) * W / w), W - 1);
            uint8_t* t = out + (static_cast<size_t>(i) * w + j) * 3;
            uint8_t b = 0, g = 0, rd = 0;
            bool strong = false;
            for (int r = r0; r <= r1; ++r) {
                const uint8_t* s = src + (static_cast<size_t>(r) * W + c0) * 3;
                const uint8_t* hit_row = hits ? hits + static_cast<size_t>(H - 1 - r) * W : nullptr;
                for (int c = c0; c <= c1; ++c, s += 3) {
                    b = std::max(b, s[0]);
                    g = std::max(g, s[1]);
                    rd = std::max(rd, s[2]);
                    if (hit_row && hit_row[c] != 0) {
                        b = 255;
                        g = 255;
                        rd = 0;
                        if (hit_row[c] >= 254) strong = true;
                    }
                }
            }
            t[0] = b;
            t[1] = g;
            t[2] = rd;
            if (strong) {
                min_col = std::min(min_col, j);
                max_col = std::max(max_col, j);
                min_row = std::min(min_row, i);
                max_row = std::max(max_row, i);
            }
        }
    }

    if (!tmark) return;
    min_col = std::max(min_col - 10, 0);
    max_col = std::min(max_col + 10, w - 1);
    min_row = std::max(min_row - 10, 0);
    max_row = std::min(max_row + 10, h - 1);
    for (int c = min_col; c <= max_col; ++c) {
        out[(static_cast<size_t>(min_row) * w + c) * 3 + 2] = 255;
        out[(static_cast<size_t>(max_row) * w + c) * 3 + 2] = 255;
    }
    for (int r = min_row; r <= max_row; ++r) {
        out[(static_cast<size_t>(r) * w + min_col) * 3 + 2] = 255;
        out[(static_cast<size_t>(r) * w + max_col) * 3 + 2] = 255;
    }
}

bool WriteThumbnail(AppContext& ctx, const std::string& jpg_path) {
    if (ctx.rgb_cx <= 0 || ctx.rgb_cy <= 0) return false;
    int w, h;
    ThumbSize(ctx, w, h);
    std::lock_guard<std::mutex> lock(g_work_mu);
    BuildThumbnail(ctx, w, h, g_work);
    return clips_detail::WriteJpegFile(jpg_path, g_work, w, h, kJpegQuality);
}

}  // namespace vlx

// The element's buffers turned into pictures in the RGB buffer.
#include <algorithm>
#include <cstring>

#include "vlx/clips/records.h"
#include "vlx/guid.h"

namespace vlx {
namespace {

constexpr int kMaxSide = 16384;

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Fixed-point YUV to BGR with the coefficients scaled by 1000; the division
// truncates toward zero before clamping.
inline void YuvToBgr(int y, int u, int v, uint8_t* out) {
    const int du = u - 128;
    const int dv = v - 128;
    out[0] = Clamp255((1000 * y + 1772 * du + 500) / 1000);
    out[1] = Clamp255((1000 * y - 344 * du - 714 * dv + 500) / 1000);
    out[2] = Clamp255((1000 * y + 1402 * dv + 500) / 1000);
}

enum class Layout { kNone, kI420, kYV12, kYUY2, kUYVY, kGray };

Layout LayoutOf(const Guid& g) {
    if (g == kSubtypeI420 || g == kSubtypeIYUV) return Layout::kI420;
    if (g == kSubtypeYV12) return Layout::kYV12;
    if (g == kSubtypeYUY2) return Layout::kYUY2;
    if (g == kSubtypeUYVY) return Layout::kUYVY;
    if (g == kSubtypeRGB8 || g == kSubtypeY800) return Layout::kGray;
    return Layout::kNone;
}

// Bytes of the snapshot that a layout reads at W x H.
size_t BytesNeeded(Layout layout, size_t w, size_t h) {
    switch (layout) {
        case Layout::kI420:
        case Layout::kYV12: return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
        case Layout::kYUY2:
        case Layout::kUYVY: return w * h % 2 ? 2 * w * h + 2 : 2 * w * h;
        case Layout::kGray: return w * h;
        default: return 0;
    }
}

}  // namespace

bool EnsureRgbBuffer(AppContext& ctx) {
    const int cx = ctx.dp.cx;
    const int cy = ctx.dp.cy;
    if (cx <= 0 || cy <= 0 || cx > kMaxSide || cy > kMaxSide) return false;
    const size_t bytes = static_cast<size_t>(cx) * cy * 3;
    if (ctx.rgb_cx != cx || ctx.rgb_cy != cy || ctx.rgb.size() != bytes) {
        ctx.rgb.assign(bytes, 0);
        ctx.rgb_cx = cx;
        ctx.rgb_cy = cy;
    }
    return true;
}

bool SnapshotToRgb(AppContext& ctx) {
    const DetectParams& dp = ctx.dp;
    const Layout layout = LayoutOf(dp.subtype);
    if (layout == Layout::kNone || !dp.snapshot || !EnsureRgbBuffer(ctx)) return false;
    const size_t W = static_cast<size_t>(dp.cx);
    const size_t H = static_cast<size_t>(dp.cy);
    if (dp.frame_bytes > 0 && BytesNeeded(layout, W, H) > static_cast<size_t>(dp.frame_bytes)) return false;

    const uint8_t* src = dp.snapshot;
    // Planar chroma planes are ceil(W/2) x ceil(H/2): an odd last column or
    // row has chroma of its own (W*H/4 each for even sizes).
    const size_t CW = (W + 1) / 2, CH = (H + 1) / 2;
    const uint8_t* u_plane = src + W * H;
    const uint8_t* v_plane = src + W * H + CW * CH;
    if (layout == Layout::kYV12) std::swap(u_plane, v_plane);

    for (size_t y = 0; y < H; ++y) {
        uint8_t* out = ctx.rgb.data() + (H - 1 - y) * W * 3;  // picture row y from the top
        const size_t base = y * W;
        switch (layout) {
            case Layout::kI420:
            case Layout::kYV12: {
                const size_t crow = CW * (y / 2);
                for (size_t x = 0; x < W; ++x, out += 3) {
                    const size_t c = crow + x / 2;
                    YuvToBgr(src[base + x], u_plane[c], v_plane[c], out);
                }
                break;
            }
            case Layout::kYUY2:
                for (size_t x = 0; x < W; ++x, out += 3) {
                    const size_t p = base + x;
                    const size_t pair = 4 * (p / 2);
                    YuvToBgr(src[2 * p], src[pair + 1], src[pair + 3], out);
                }
                break;
            case Layout::kUYVY:
                for (size_t x = 0; x < W; ++x, out += 3) {
                    const size_t p = base + x;
                    const size_t pair = 4 * (p / 2);
                    YuvToBgr(src[2 * p + 1], src[pair], src[pair + 2], out);
                }
                break;
            case Layout::kGray:
                for (size_t x = 0; x < W; ++x, out += 3) out[0] = out[1] = out[2] = src[base + x];
                break;
            case Layout::kNone: break;
        }
    }
    return true;
}

bool MapToRgb(AppContext& ctx) {
    DetectParams& dp = ctx.dp;
    if (!EnsureRgbBuffer(ctx)) return false;
    const size_t W = static_cast<size_t>(dp.cx);
    const size_t H = static_cast<size_t>(dp.cy);
    for (size_t y = 0; y < H; ++y) {
        uint8_t* out = ctx.rgb.data() + (H - 1 - y) * W * 3;
        const size_t base = y * W;
        for (size_t x = 0; x < W; ++x, out += 3) {
            const size_t i = base + x;
            out[0] = dp.mask ? dp.mask[i] : 0;
            out[1] = dp.avr_map ? static_cast<uint8_t>(std::min<uint64_t>(255, (uint64_t{dp.avr_map[i]} + 8192) >> 14)) : 0;
            out[2] = dp.hit_map ? dp.hit_map[i] : 0;
        }
    }
    dp.clip_started = 0;
    return true;
}

}  // namespace vlx

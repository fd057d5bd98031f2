#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "rig.h"
#include "vlx/detect/resize.h"

namespace vlx::detect {
namespace {

// Straightforward out-of-place scaler from the same axis tables: rows first
// into a temporary image, then columns; chroma from the nearest sample.
std::vector<uint8_t> ReferenceResize(const std::vector<uint8_t>& in, int format, int cxin, int cyin,
                                     int cx, int cy) {
    ResizeAxis ax, ay;
    if (cx < cxin) ax.Build(cxin, cx);
    if (cy < cyin) ay.Build(cyin, cy);
    auto lerp = [](int a, int b, uint32_t w) { return Lerp16(a, b, w); };
    const int bpp = (format == kFormatYUY2 || format == kFormatUYVY) ? 2 : 1;
    const int lo = format == kFormatUYVY ? 1 : 0;
    // Row pass over whole rows at the source width.
    std::vector<uint8_t> rows(static_cast<size_t>(cxin) * bpp * cy);
    for (int j = 0; j < cy; ++j) {
        for (int k = 0; k < cxin * bpp; ++k) {
            uint8_t v;
            if (ay.empty()) {
                v = in[static_cast<size_t>(j) * cxin * bpp + k];
            } else {
                const bool luma = bpp == 1 || (k & 1) == lo;
                const uint8_t* a = &in[static_cast<size_t>(ay.src[j]) * cxin * bpp];
                const uint8_t* b = a + cxin * bpp;
                v = luma ? lerp(a[k], b[k], ay.weight[j])
                         : in[static_cast<size_t>(ay.nearest[j]) * cxin * bpp + k];
            }
            rows[static_cast<size_t>(j) * cxin * bpp + k] = v;
        }
    }
    std::vector<uint8_t> out(FrameBytes(format, cx, cy), 0);
    for (int j = 0; j < cy; ++j) {
        const uint8_t* r = &rows[static_cast<size_t>(j) * cxin * bpp];
        for (int i = 0; i < cx; ++i) {
            if (ax.empty()) {
                for (int b = 0; b < bpp; ++b) out[(static_cast<size_t>(j) * cx + i) * bpp + b] = r[i * bpp + b];
                continue;
            }
            const int s = ax.src[i];
            if (bpp == 1) {
                out[static_cast<size_t>(j) * cx + i] = lerp(r[s], r[s + 1], ax.weight[i]);
            } else {
                const size_t o = (static_cast<size_t>(j) * cx + i) * 2;
                out[o + lo] = lerp(r[2 * s + lo], r[2 * s + 2 + lo], ax.weight[i]);
                const int n = ax.nearest[i];
                const int col = (n & ~1) | (i & 1);
                out[o + 1 - lo] = r[2 * col + 1 - lo];
            }
        }
    }
    if (format == kFormatPlanar420) {
        // Chroma planes of ceil(w/2) x ceil(h/2): an odd last row or column
        // has chroma of its own.
        const Planar420 lin = Planar420Layout(cxin, cyin), lout = Planar420Layout(cx, cy);
        for (int plane = 0; plane < 2; ++plane) {
            for (size_t jc = 0; jc < lout.ch; ++jc) {
                for (size_t ic = 0; ic < lout.cw; ++ic) {
                    const int sy = ay.empty() ? 2 * static_cast<int>(jc) : ay.nearest[2 * jc];
                    const int sx = ax.empty() ? 2 * static_cast<int>(ic) : ax.nearest[2 * ic];
                    out[(plane ? lout.v : lout.u) + jc * lout.cw + ic] =
                        in[(plane ? lin.v : lin.u) + static_cast<size_t>(sy / 2) * lin.cw + sx / 2];
                }
            }
        }
    }
    return out;
}

TEST(Resize, InPlaceMatchesReferenceForEveryFormatAndAxis) {
    std::mt19937 rng(7);
    struct Size { int cxin, cyin, cx, cy; };
    const Size sizes[] = {{64, 48, 32, 24}, {64, 48, 64, 31}, {64, 48, 37 & ~1, 48}, {100, 62, 58, 40},
                          {22, 18, 20, 17}, {720, 576, 360, 288}, {66, 10, 64, 2}, {641, 479, 321, 239},
                          {65, 49, 65, 24}, {64, 49, 33, 49}};
    for (int format : {kFormatPlanar420, kFormatYUY2, kFormatUYVY, kFormatGray8}) {
        for (Size s : sizes) {
            // 4:2:2 pairs pixels along the row: odd widths are taken as 4:2:0.
            if ((format == kFormatYUY2 || format == kFormatUYVY) && ((s.cx | s.cxin) & 1)) continue;
            Resizer r;
            r.Configure(s.cxin, s.cyin, s.cx, s.cy);
            ASSERT_TRUE(r.active());
            std::vector<uint8_t> in(FrameBytes(format, s.cxin, s.cyin));
            for (auto& b : in) b = static_cast<uint8_t>(rng());
            const auto want = ReferenceResize(in, format, s.cxin, s.cyin, s.cx, s.cy);
            // Exactly the source bytes, so that a read past the end trips ASan.
            std::vector<uint8_t> buf(in);
            r.Apply(buf.data(), format);
            ASSERT_EQ(0, std::memcmp(buf.data(), want.data(), want.size()))
                << "format " << format << " " << s.cxin << "x" << s.cyin << " -> " << s.cx << "x" << s.cy;
        }
    }
}

TEST(Resize, TablesFollowTheLinearPositions) {
    ResizeAxis a;
    a.Build(1920, 960);
    EXPECT_EQ(a.src[0], 0);
    EXPECT_EQ(a.weight[0], 0u);
    EXPECT_EQ(a.src[959], 1918);
    EXPECT_EQ(a.weight[959], 65536u);  // the last output is the last input
    for (int i = 0; i < 959; ++i) {
        const double p = 1919.0 / 959.0 * i;
        EXPECT_EQ(a.src[i], static_cast<int>(std::floor(p + 1e-9)));
        EXPECT_NEAR(a.weight[i] / 65536.0, p - a.src[i], 1e-4);
    }
    // Every interpolated value lies within rounding of the real formula.
    for (uint32_t w : a.weight)
        for (int x : {0, 1, 100, 254, 255})
            for (int y : {0, 3, 128, 255}) {
                const double exact = x * (1 - w / 65536.0) + y * (w / 65536.0);
                EXPECT_LE(std::abs(Lerp16(x, y, w) - exact), 0.5 + 1e-9);
            }
}

TEST(Resize, GrayGradientScaledBothWays) {
    // A Y800 source scaled in both directions stays a clean gradient.
    const int cxin = 101, cyin = 51, cx = 51, cy = 26;
    std::vector<uint8_t> f(static_cast<size_t>(cxin) * cyin);
    for (int y = 0; y < cyin; ++y)
        for (int x = 0; x < cxin; ++x) f[static_cast<size_t>(y) * cxin + x] = static_cast<uint8_t>(2 * x + y);
    Resizer r;
    r.Configure(cxin, cyin, cx, cy);
    r.Apply(f.data(), kFormatGray8);
    for (int y = 0; y < cy; ++y)
        for (int x = 0; x < cx; ++x) EXPECT_EQ(f[static_cast<size_t>(y) * cx + x], 2 * (2 * x) + 2 * y) << x << "," << y;
}

TEST(Resize, CoreLeavesFramesOfTheWorkingSizeAlone) {
    test::RigConfig c;
    c.format = kFormatYUY2;
    test::Rig rig(c);
    rig.Start(false);  // not armed: resize then pass-through
    std::vector<uint8_t> f(FrameBytes(kFormatYUY2, c.cx, c.cy) + 16);
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 7);
    const auto copy = f;
    const VideoOutcome o = rig.core.ProcessVideo(f.data(), f.size(), {});
    EXPECT_EQ(o.frame_len, f.size());
    EXPECT_TRUE(o.deliver_preview);
    EXPECT_EQ(f, copy);

    test::RigConfig s;
    s.format = kFormatYUY2;
    s.cxin = 128;
    s.cyin = 96;
    test::Rig small(s);
    small.Start(false);
    std::vector<uint8_t> big(FrameBytes(kFormatYUY2, 128, 96), 50);
    EXPECT_EQ(small.core.ProcessVideo(big.data(), big.size(), {}).frame_len,
              FrameBytes(kFormatYUY2, 64, 48));
    // A frame too short for the source size is passed on untouched.
    std::vector<uint8_t> shortf(100, 9);
    const auto o2 = small.core.ProcessVideo(shortf.data(), shortf.size(), {});
    EXPECT_EQ(o2.frame_len, 100u);
    EXPECT_EQ(shortf, std::vector<uint8_t>(100, 9));
}

}  // namespace
}  // namespace vlx::detect

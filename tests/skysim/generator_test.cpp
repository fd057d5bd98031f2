// The sky renderer: determinism, formats, event placement, ground truth
// against the rendered pixels, audio.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "vlx/skysim/generator.h"

namespace vlx::skysim {
namespace {

constexpr FormatCode kFormats[] = {kFormatPlanar420, kFormatYUY2, kFormatUYVY, kFormatGray8};

Scene SmallScene(int w = 96, int h = 64) {
    Scene s;
    s.width = w;
    s.height = h;
    s.frames = 40;
    s.star_count = 40;
    s.clouds.on = true;
    s.clouds.scale = 16;
    s.drift = 5;
    MeteorSpec m;
    m.start_frame = 10;
    m.duration_frames = 8;
    m.x = 10;
    m.y = 10;
    m.angle_deg = 20;
    m.speed = 8;
    s.meteors.push_back(m);
    MoverSpec p;
    p.start_frame = 2;
    p.duration_frames = 30;
    p.x = 80;
    p.y = 50;
    p.angle_deg = 180;
    s.movers.push_back(p);
    return s;
}

std::vector<uint8_t> Render(Generator& g, int frame, FormatCode f) {
    std::vector<uint8_t> out(g.FrameBytes(f));
    EXPECT_TRUE(g.Render(frame, f, out.data()));
    return out;
}

// Luma and chroma bytes of a packed rendering.
std::vector<uint8_t> LumaOf(const std::vector<uint8_t>& frame, FormatCode f, int w, int h) {
    const size_t p = static_cast<size_t>(w) * h;
    std::vector<uint8_t> y(p);
    for (size_t i = 0; i < p; ++i) {
        switch (f) {
            case kFormatYUY2: y[i] = frame[2 * i]; break;
            case kFormatUYVY: y[i] = frame[2 * i + 1]; break;
            default: y[i] = frame[i]; break;
        }
    }
    return y;
}

TEST(SkysimGenerator, SameSeedSameBytesAndRandomAccess) {
    Generator a(SmallScene());
    Generator b(SmallScene());
    for (FormatCode f : kFormats) {
        for (int frame : {0, 12, 39}) EXPECT_EQ(Render(a, frame, f), Render(b, frame, f)) << f << " frame " << frame;
    }
    // Frames depend on their index only, not on what was rendered before.
    const auto f12 = Render(a, 12, kFormatYUY2);
    Render(a, 3, kFormatYUY2);
    Render(a, 30, kFormatGray8);
    EXPECT_EQ(Render(a, 12, kFormatYUY2), f12);
    // Consecutive frames differ (noise), and another seed gives another sky.
    EXPECT_NE(Render(a, 13, kFormatYUY2), f12);
    Scene other = SmallScene();
    other.seed = 2;
    Generator c(other);
    EXPECT_NE(Render(c, 12, kFormatYUY2), f12);
}

TEST(SkysimGenerator, FormatsAgreeOnLumaAtEvenAndOddSizes) {
    for (auto [w, h] : {std::pair{96, 64}, std::pair{33, 17}, std::pair{1, 1}}) {
        Generator g(SmallScene(w, h));
        EXPECT_EQ(Generator::FrameBytes(kFormatPlanar420, w, h),
                  static_cast<size_t>(w) * h + 2 * static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2));
        EXPECT_EQ(Generator::FrameBytes(kFormatYUY2, w, h), 2u * w * h);
        for (int frame : {0, 13}) {
            const uint8_t* luma = g.RenderLuma(frame);
            const std::vector<uint8_t> ref(luma, luma + static_cast<size_t>(w) * h);
            for (FormatCode f : kFormats) {
                const auto out = Render(g, frame, f);
                EXPECT_EQ(LumaOf(out, f, w, h), ref) << w << "x" << h << " format " << f;
                // Chroma is neutral everywhere.
                for (size_t i = 0; i < out.size(); ++i) {
                    const bool chroma = (f == kFormatYUY2 && i % 2 == 1) || (f == kFormatUYVY && i % 2 == 0) ||
                                        (f == kFormatPlanar420 && i >= ref.size());
                    if (chroma) {
                        ASSERT_EQ(out[i], 128) << "format " << f << " byte " << i;
                    }
                }
            }
        }
    }
    EXPECT_EQ(Generator::FrameBytes(kFormatNone, 8, 8), 0u);
}

TEST(SkysimGenerator, StridedRenderingKeepsRowsAndPadding) {
    // GStreamer-style rows: each row starts on a new two-pixel group and
    // the padding after it is left alone.
    const int w = 33, h = 17;
    Generator g(SmallScene(w, h));
    const std::vector<uint8_t> luma(g.RenderLuma(11), g.RenderLuma(11) + w * h);
    {
        const int stride = 72;  // >= 2 * 34
        std::vector<uint8_t> buf(stride * h, 0xEE);
        uint8_t* planes[3] = {buf.data(), nullptr, nullptr};
        const int strides[3] = {stride, 0, 0};
        ASSERT_TRUE(g.RenderStrided(11, kFormatUYVY, planes, strides));
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) ASSERT_EQ(buf[y * stride + 2 * x + 1], luma[y * w + x]) << x << "," << y;
            EXPECT_EQ(buf[y * stride + 2 * w + 1], luma[y * w + w - 1]);  // the odd pixel's group is whole
            EXPECT_EQ(buf[y * stride + 2 * w + 2], 0xEE);
        }
    }
    {
        const int strides[3] = {36, 20, 20};
        const int ch = (h + 1) / 2;
        std::vector<uint8_t> y(strides[0] * h, 0xEE), u(strides[1] * ch, 0xEE), v(strides[2] * ch, 0xEE);
        uint8_t* planes[3] = {y.data(), u.data(), v.data()};
        ASSERT_TRUE(g.RenderStrided(11, kFormatPlanar420, planes, strides));
        for (int r = 0; r < h; ++r) {
            ASSERT_TRUE(std::equal(luma.begin() + r * w, luma.begin() + (r + 1) * w, y.begin() + r * strides[0]));
            EXPECT_EQ(y[r * strides[0] + w], 0xEE);
        }
        for (int r = 0; r < ch; ++r) {
            EXPECT_EQ(u[r * strides[1] + 16], 128);
            EXPECT_EQ(u[r * strides[1] + 17], 0xEE);
            EXPECT_EQ(v[r * strides[2] + 16], 128);
        }
    }
}

double DistanceToSegment(double px, double py, double ax, double ay, double bx, double by) {
    const double dx = bx - ax, dy = by - ay;
    const double t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    return std::hypot(px - ax - t * dx, py - ay - t * dy);
}

TEST(SkysimGenerator, MeteorAppearsOnItsPathOnlyOnItsFrames) {
    Scene with = SmallScene(160, 120);
    with.movers.clear();
    with.meteors[0].duration_frames = 10;
    Scene without = with;
    without.meteors.clear();
    Generator g(with), bare(without);
    ASSERT_EQ(g.truth().size(), 1u);
    const TruthEvent& e = g.truth()[0];
    EXPECT_EQ(e.kind, EventKind::kMeteor);
    EXPECT_EQ(e.first_frame, 10);
    EXPECT_EQ(e.last_frame, 19);
    const double reach = 3.5 * with.meteors[0].width + 1;
    double last_projection = -1e9;
    for (int f = 0; f < with.frames; ++f) {
        const std::vector<uint8_t> a(g.RenderLuma(f), g.RenderLuma(f) + 160 * 120);
        const uint8_t* b = bare.RenderLuma(f);
        int changed = 0, brightest = 0, bx = 0, by = 0;
        for (int y = 0; y < 120; ++y) {
            for (int x = 0; x < 160; ++x) {
                const int d = a[y * 160 + x] - b[y * 160 + x];
                ASSERT_GE(d, 0);
                if (d == 0) continue;
                ++changed;
                ASSERT_LE(DistanceToSegment(x, y, e.x0, e.y0, e.x1, e.y1), reach) << "frame " << f;
                if (d > brightest) brightest = d, bx = x, by = y;
            }
        }
        if (f < e.first_frame || f > e.last_frame) {
            EXPECT_EQ(changed, 0) << "frame " << f;
            continue;
        }
        // Faint at the ends of its life (rise and fade), bright in between.
        EXPECT_GE(brightest, 15) << "frame " << f;
        if (f == 14) {
            EXPECT_GT(brightest, 150);
        }
        // The head moves along the path, about `speed` pixels per frame.
        const double projection = (bx - e.x0) * (e.x1 - e.x0) + (by - e.y0) * (e.y1 - e.y0);
        EXPECT_GT(projection, last_projection) << "frame " << f;
        last_projection = projection;
    }
    const double travelled = std::hypot(e.x1 - e.x0, e.y1 - e.y0);
    EXPECT_NEAR(travelled, with.meteors[0].speed * 10, 1e-6);
}

// A minimal frame-difference trigger over rendered frames: pixels that rose
// by `level` or more since the previous frame, `frames` consecutive frames of
// at least `size` hits (or one of `min_size`) start a clip; returns the
// frames on which clips started, with a new clip possible only after `tail`
// quiet frames.
std::vector<int> ClipStarts(Generator& g, int level, int tail) {
    const DetectModel& d = g.scene().detect;
    const size_t p = static_cast<size_t>(g.width()) * g.height();
    std::vector<uint8_t> prev(g.RenderLuma(0), g.RenderLuma(0) + p);
    std::vector<int> starts;
    int consec = 0, quiet = tail + 1;
    for (int f = 1; f < g.frames(); ++f) {
        const uint8_t* cur = g.RenderLuma(f);
        int hits = 0;
        for (size_t i = 0; i < p; ++i) hits += cur[i] - prev[i] >= level;
        prev.assign(cur, cur + p);
        if (hits >= d.size) {
            ++consec;
            if (quiet > tail && (consec >= d.frames || (d.min_size > 0 && hits >= d.min_size))) starts.push_back(f);
            quiet = 0;
        } else {
            consec = 0;
            ++quiet;
        }
    }
    return starts;
}

TEST(SkysimGenerator, GroundTruthMatchesTheRenderedPixels) {
    // The truth is judged on the event alone; a detector on the full frames
    // (noise, twinkling stars) must agree at both ends of the level band.
    for (const char* name : {"single-meteor", "two-close", "two-apart", "plane", "satellite"}) {
        Generator g(*Preset(name, {160, 120, 0, 0, 7}));
        for (const TruthEvent& e : g.truth()) EXPECT_FALSE(e.marginal) << name;
        for (int level : {g.detect_level_low(), g.detect_level_high()}) {
            const std::vector<int> starts = ClipStarts(g, level, 30);
            EXPECT_EQ(static_cast<int>(starts.size()), g.ExpectedClips(30)) << name << " level " << level;
            for (int s : starts) {
                const bool inside = std::any_of(g.truth().begin(), g.truth().end(), [&](const TruthEvent& e) {
                    return e.expect_trigger && s >= e.first_frame && s <= e.last_frame;
                });
                EXPECT_TRUE(inside) << name << ": clip at frame " << s << " matches no event";
            }
        }
    }
}

TEST(SkysimGenerator, PresetsSayWhatTheyPromise) {
    for (const std::string& name : PresetNames()) {
        auto scene = Preset(name);
        ASSERT_TRUE(scene) << name;
        EXPECT_EQ(Validate(*scene), "") << name;
    }
    EXPECT_FALSE(Preset("no-such-sky"));

    Generator demo(*Preset("demo"));
    EXPECT_EQ(demo.width(), 640);
    EXPECT_EQ(demo.height(), 480);
    EXPECT_EQ(demo.frames(), static_cast<int>(std::lround(60 * 29.97)));
    int meteors = 0, planes = 0;
    for (const TruthEvent& e : demo.truth()) {
        EXPECT_FALSE(e.marginal);
        if (e.kind == EventKind::kMeteor) {
            ++meteors;
            EXPECT_TRUE(e.expect_trigger);
        }
        if (e.kind == EventKind::kPlane) {
            ++planes;
            EXPECT_FALSE(e.expect_trigger);
        }
    }
    EXPECT_GE(meteors, 3);
    EXPECT_EQ(planes, 1);
    // Well apart: each meteor its own clip even with long head and tail.
    EXPECT_EQ(demo.ExpectedClips(150), meteors);

    EXPECT_EQ(Generator(*Preset("two-close")).ExpectedClips(30), 1);
    EXPECT_EQ(Generator(*Preset("two-apart")).ExpectedClips(30), 2);
    EXPECT_EQ(Generator(*Preset("twinkle")).truth().size(), 0u);
}

TEST(SkysimGenerator, SkyLevelNoiseAndDrift) {
    Scene s;
    s.width = 200;
    s.height = 100;
    s.frames = 11;
    s.star_count = 0;
    s.horizon_glow = 0;
    s.noise_sigma = 3;
    s.drift = 20;
    Generator g(s);
    auto stats = [&](int frame) {
        const uint8_t* l = g.RenderLuma(frame);
        double sum = 0, sq = 0;
        for (int i = 0; i < 200 * 100; ++i) sum += l[i], sq += l[i] * l[i];
        const double mean = sum / 20000;
        return std::pair{mean, std::sqrt(sq / 20000 - mean * mean)};
    };
    const auto [m0, sd0] = stats(0);
    const auto [m1, sd1] = stats(10);
    EXPECT_NEAR(m0, 24, 0.2);
    EXPECT_NEAR(m1, 44, 0.2);
    EXPECT_NEAR(sd0, 3, 0.3);
    EXPECT_NEAR(sd1, 3, 0.3);

    s.noise_sigma = 0;
    Generator flat(s);
    const uint8_t* l = flat.RenderLuma(0);
    EXPECT_TRUE(std::all_of(l, l + 20000, [](uint8_t v) { return v == 24; }));
}

TEST(SkysimGenerator, AudioHasABurstPerMeteorAndQuietElsewhere) {
    Generator g(*Preset("two-apart", {160, 120, 0, 0, 3}));
    const int64_t total = g.AudioSampleOfFrame(g.frames());
    EXPECT_EQ(total, static_cast<int64_t>(std::floor(g.frames() * 48000 / 29.97)));
    std::vector<int16_t> pcm(static_cast<size_t>(total) * 2);
    // Rendered in uneven pieces, as the writer does per frame.
    for (int f = 0; f < g.frames(); ++f) {
        const int64_t s0 = g.AudioSampleOfFrame(f), s1 = g.AudioSampleOfFrame(f + 1);
        g.RenderAudio(s0, static_cast<int>(s1 - s0), pcm.data() + s0 * 2);
    }
    std::vector<int16_t> again(pcm.size());
    g.RenderAudio(0, static_cast<int>(total), again.data());
    EXPECT_EQ(pcm, again);

    std::vector<int64_t> bursts;
    for (const TruthEvent& e : g.truth())
        if (e.kind == EventKind::kMeteor) bursts.push_back(e.tone_sample);
    ASSERT_EQ(bursts.size(), 2u);
    const int64_t len = 48000 / 5;
    for (int64_t s = 0; s < total; s += 480) {
        int peak = 0;
        for (int64_t i = s; i < std::min(total, s + 480); ++i)
            peak = std::max({peak, std::abs(int{pcm[i * 2]}), std::abs(int{pcm[i * 2 + 1]})});
        const bool in_burst = std::any_of(bursts.begin(), bursts.end(), [&](int64_t b) { return s >= b && s + 480 <= b + len; });
        const bool near_burst = std::any_of(bursts.begin(), bursts.end(), [&](int64_t b) { return s + 480 > b && s < b + len; });
        if (in_burst) {
            EXPECT_GT(peak, 5000) << "sample " << s;
        }
        if (!near_burst) {
            EXPECT_LE(peak, g.scene().audio.noise) << "sample " << s;
        }
    }
}

TEST(SkysimGenerator, RejectsBadScenes) {
    Scene s = SmallScene();
    s.width = 0;
    EXPECT_NE(Validate(s), "");
    EXPECT_THROW(Generator{s}, std::invalid_argument);
    s = SmallScene();
    s.meteors[0].rise = 0.7;
    s.meteors[0].fade = 0.5;
    EXPECT_NE(Validate(s), "");
    s = SmallScene();
    s.movers[0].kind = EventKind::kMeteor;
    EXPECT_NE(Validate(s), "");
    s = SmallScene();
    s.fps = 0;
    EXPECT_NE(Validate(s), "");
    // Events reaching past the picture or the end are cut, not refused.
    s = SmallScene(50, 40);
    s.meteors[0].x = -30;
    s.meteors[0].start_frame = 35;
    s.meteors[0].duration_frames = 20;
    Generator g(s);
    EXPECT_EQ(g.truth()[1].last_frame, 39);
    Render(g, 39, kFormatPlanar420);
}

}  // namespace
}  // namespace vlx::skysim

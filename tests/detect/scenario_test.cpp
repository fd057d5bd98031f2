// Whole-core scenarios on synthetic skies: background with sensor noise,
// twinkling stars, meteors (fast bright streaks) and a slow plane.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "rig.h"

namespace vlx::detect {
namespace {

using test::Rig;
using test::RigConfig;

struct Meteor {
    int start;           // first frame
    int frames;          // duration
    double x0, y0;       // head position on the first frame
    double vx, vy;       // pixels per frame
    int length = 8;      // streak length behind the head
    uint8_t luma = 220;
};

struct Plane {
    int start;
    double x0, y0, vx, vy;
};

class Sky {
public:
    Sky(int w, int h, int stars, uint32_t seed) : w_(w), h_(h), rng_(seed) {
        for (int i = 0; i < stars; ++i)
            stars_.push_back({4 + static_cast<int>(rng_() % (w - 8)), 4 + static_cast<int>(rng_() % (h - 8)),
                              150 + static_cast<int>(rng_() % 80)});
    }
    std::vector<Meteor> meteors;
    std::vector<Plane> planes;
    bool twinkle = true;

    std::vector<uint8_t> Frame(int k) {
        std::vector<uint8_t> f(static_cast<size_t>(w_) * h_);
        for (auto& v : f) v = static_cast<uint8_t>(20 + rng_() % 9 - 4);
        for (const Star& s : stars_) {
            const double a = twinkle ? 0.2 + 0.8 * (rng_() % 1000) / 1000.0 : 1.0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const double wgt = (dx == 0 && dy == 0) ? 1.0 : (dx == 0 || dy == 0) ? 0.5 : 0.25;
                    Put(f, s.x + dx, s.y + dy, 20 + (s.luma - 20) * a * wgt);
                }
        }
        for (const Meteor& m : meteors) {
            const int t = k - m.start;
            if (t < 0 || t >= m.frames) continue;
            const double hx = m.x0 + m.vx * t, hy = m.y0 + m.vy * t;
            const double n = std::hypot(m.vx, m.vy);
            for (int i = 0; i < m.length; ++i) {
                const double x = hx - m.vx / n * i, y = hy - m.vy / n * i;
                Put(f, static_cast<int>(x), static_cast<int>(y), m.luma);
                Put(f, static_cast<int>(x), static_cast<int>(y) + 1, m.luma);
            }
        }
        for (const Plane& p : planes) {
            const int t = k - p.start;
            if (t < 0) continue;
            const int x = static_cast<int>(p.x0 + p.vx * t), y = static_cast<int>(p.y0 + p.vy * t);
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) Put(f, x + dx, y + dy, 200);
        }
        // Frame number in the two top-left pixels (inside the border).
        f[0] = static_cast<uint8_t>(k & 0xFF);
        f[1] = static_cast<uint8_t>(k >> 8);
        return f;
    }

private:
    struct Star {
        int x, y, luma;
    };
    void Put(std::vector<uint8_t>& f, int x, int y, double v) {
        if (x < 2 || y < 2 || x >= w_ - 2 || y >= h_ - 2) return;
        f[static_cast<size_t>(y) * w_ + x] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
    }
    int w_, h_;
    std::mt19937 rng_;
    std::vector<Star> stars_;
};

RigConfig SceneConfig(int format = kFormatYUY2) {
    RigConfig c;
    c.cx = 160;
    c.cy = 120;
    c.format = format;
    c.fs_head = 10;
    c.fs_tail = 10;
    c.fs_diff = 2;
    c.dmin = 2;
    return c;
}

void Tune(Rig& rig) {
    rig.p.dlev = 40;
    rig.p.dsize = 6;
}

TEST(Scenario, OneMeteorGivesOneClipOfHeadEventTail) {
    for (int format : {kFormatYUY2, kFormatPlanar420}) {
        RigConfig c = SceneConfig(format);
        Rig rig(c);
        Tune(rig);
        rig.Start();
        Sky sky(c.cx, c.cy, 0, 11);
        sky.meteors.push_back({100, 12, 20, 20, 6, 3});
        for (int k = 0; k < 200; ++k) rig.Feed(sky.Frame(k));
        ASSERT_EQ(rig.clips.size(), 1u) << format;
        EXPECT_EQ(rig.clips[0].result, kClipNormal);
        EXPECT_EQ(rig.clips[0].delivered, c.fs_head + 12 + c.fs_tail);
        EXPECT_EQ(rig.clips[0].frames, c.fs_head + 12 + c.fs_tail);
        EXPECT_EQ(rig.delivered_frames.front(), 100 - c.fs_head);
        EXPECT_EQ(rig.delivered_frames.back(), 111 + c.fs_tail);
    }
}

TEST(Scenario, MeteorsFarApartGiveTwoClipsCloseOnesOneLongerClip) {
    RigConfig c = SceneConfig();
    {
        Rig rig(c);
        Tune(rig);
        rig.Start();
        Sky sky(c.cx, c.cy, 0, 12);
        sky.meteors.push_back({100, 12, 20, 20, 6, 3});
        sky.meteors.push_back({100 + 12 + 40, 10, 140, 30, -7, 4});
        for (int k = 0; k < 300; ++k) rig.Feed(sky.Frame(k));
        ASSERT_EQ(rig.clips.size(), 2u);
        EXPECT_EQ(rig.clips[0].delivered, c.fs_head + 12 + c.fs_tail);
        EXPECT_EQ(rig.clips[1].delivered, c.fs_head + 10 + c.fs_tail);
        EXPECT_EQ(rig.p.clip_count, 2);
    }
    {
        Rig rig(c);
        Tune(rig);
        rig.Start();
        Sky sky(c.cx, c.cy, 0, 13);
        sky.meteors.push_back({100, 12, 20, 20, 6, 3});
        sky.meteors.push_back({100 + 12 + 8, 10, 140, 30, -7, 4});
        for (int k = 0; k < 300; ++k) rig.Feed(sky.Frame(k));
        ASSERT_EQ(rig.clips.size(), 1u);
        EXPECT_EQ(rig.clips[0].delivered, c.fs_head + 12 + 8 + 10 + c.fs_tail);
        EXPECT_EQ(rig.delivered_frames.back(), 129 + c.fs_tail);
    }
}

TEST(Scenario, SlowPlaneIsNotRecorded) {
    RigConfig c = SceneConfig();
    c.cx = 320;
    Rig rig(c);
    Tune(rig);
    rig.p.so_on = 1;
    rig.p.so_vel = 50;
    rig.p.so_size = 10;
    rig.Start();
    Sky sky(c.cx, c.cy, 0, 14);
    sky.planes.push_back({50, 20, 60, 1.0, 0.1});
    for (int k = 0; k < 300; ++k) rig.Feed(sky.Frame(k));
    for (const auto& clip : rig.clips) EXPECT_EQ(clip.result, kClipCancelled);
    EXPECT_EQ(rig.p.rec_remain, 0);
    // A meteor with the slow-object mask on is still recorded.
    sky.meteors.push_back({320, 12, 200, 20, 6, 3});
    rig.clips.clear();
    for (int k = 300; k < 400; ++k) rig.Feed(sky.Frame(k));
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.clips[0].result, kClipNormal);
}

TEST(Scenario, TwinklingStarsAreMaskedWhileAMeteorStillTriggers) {
    RigConfig c = SceneConfig();
    // Without the mask the twinkling stars trigger clips.
    {
        Rig rig(c);
        Tune(rig);
        rig.Start();
        Sky sky(c.cx, c.cy, 40, 21);
        for (int k = 0; k < 300; ++k) rig.Feed(sky.Frame(k));
        EXPECT_GT(rig.delivered, 0);
    }
    Rig rig(c);
    Tune(rig);
    rig.p.sm_on = 1;
    rig.p.sm_size = 5;
    rig.p.sm_level = 105;
    rig.p.warmup = static_cast<int32_t>(4 * c.fps);
    rig.Start();
    Sky sky(c.cx, c.cy, 40, 21);
    sky.meteors.push_back({3000, 12, 20, 20, 6, 3});
    int max_hits = 0;
    for (int k = 0; k < 3000; ++k) {
        rig.Feed(sky.Frame(k));
        max_hits = std::max(max_hits, rig.p.hit_count);
    }
    EXPECT_TRUE(rig.clips.empty());
    EXPECT_EQ(rig.delivered, 0);
    EXPECT_LT(max_hits, rig.p.dsize);
    for (int k = 3000; k < 3100; ++k) rig.Feed(sky.Frame(k));
    ASSERT_EQ(rig.clips.size(), 1u);
    EXPECT_EQ(rig.clips[0].result, kClipNormal);
}

}  // namespace
}  // namespace vlx::detect

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "rig.h"
#include "vlx/detect/detector.h"
#include "vlx/detect/resize.h"

namespace vlx::detect {
namespace {

using test::LumaAt;

// Buffers of one detector run, sized exactly so that ASan sees overruns.
struct Bench {
    int w, h, format;
    DetectParams p{};
    std::vector<uint8_t> mask_alloc, hit, obj, cur, ref, head, preview, slot;
    std::vector<uint32_t> avr;
    Bench(int w_, int h_, int format_) : w(w_), h(h_), format(format_) {
        p.cx = w;
        p.cy = h;
        p.pixels = w * h;
        mask_alloc.assign(static_cast<size_t>(w) * h + 2 * w, 0);
        p.mask_alloc = mask_alloc.data();
        p.mask = mask_alloc.data() + w;
        hit.assign(static_cast<size_t>(w) * h, 0);
        p.hit_map = hit.data();
        obj.assign(static_cast<size_t>(w) * h, 0);
        p.obj_map = obj.data();
        avr.assign(static_cast<size_t>(w) * h, 0);
        p.avr_map = avr.data();
        const size_t fb = FrameBytes(format, w, h);
        cur.assign(fb, 0);
        ref.assign(fb, 0);
        head.assign(fb, 0);
        slot.assign(fb, 0);
        p.avr_keep = 503;
        p.avr_gain = 147456;
        p.dsize = 3;
        p.so_size = 2;
        p.so_vel = 20;
    }
    uint8_t L(const std::vector<uint8_t>& f, int i) const { return LumaAt(f.data(), format, w, i % w, i / w); }
    uint8_t& LRef(std::vector<uint8_t>& f, int i) {
        const size_t q = static_cast<size_t>(i);
        return format == kFormatYUY2 ? f[2 * q] : format == kFormatUYVY ? f[2 * q + 1] : f[q];
    }
};

struct RefOut {
    int maxd = 0, mx = -1, my = -1;
    int64_t hits = 0;
};

// The pixel loops written out pixel by pixel, as plainly as possible.
RefOut ReferenceLoops(Bench& b) {
    DetectParams& p = b.p;
    const int w = b.w, h = b.h;
    const bool so = p.so_on, bo = p.brightonly, avg = p.sm_on || bo;
    const int disp = p.si_maskb ? 1 : p.si_maskw ? 254 : -1;
    RefOut o;
    struct O { int state = 0; int64_t sx = 0, sy = 0, n = 0; };
    O objs[20];
    int next_free = 1;
    auto update = [&](int i, int x, int y, int d) {
        if (d > o.maxd) {
            o.maxd = d;
            o.mx = x;
            o.my = y;
        }
        (void)i;
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int i = y * w + x;
            const int m = p.mask[i];
            const int c = b.L(b.cur, i), r = b.L(b.ref, i), hd = b.L(b.head, i);
            const int d = c - r;
            uint32_t& a = p.avr_map[i];
            const bool bo_ok = !bo || (static_cast<uint32_t>(c + r) >= a / 8192 && c > hd + p.bolevel);
            if (!so && !avg) {
                if (m) {
                    if (p.si_area) {
                        p.mask[i] = static_cast<uint8_t>(m & 7);
                        b.LRef(b.preview, i) = 128;
                    }
                    continue;
                }
                update(i, x, y, d);
                if (d >= p.dlev) {
                    ++o.hits;
                    if (c > p.hit_map[i]) p.hit_map[i] = static_cast<uint8_t>(c);
                }
                continue;
            }
            if (m) {
                if (m & 3) {
                    if (p.si_area) b.LRef(b.preview, i) = 128;
                } else if (disp >= 0) {
                    b.LRef(b.preview, i) = static_cast<uint8_t>(disp);
                }
            } else if (!so) {
                if (bo_ok) {
                    update(i, x, y, d);
                    if (d >= p.dlev) {
                        ++o.hits;
                        if (c > p.hit_map[i]) p.hit_map[i] = static_cast<uint8_t>(c);
                    }
                }
            } else if (d < p.dlev || !bo_ok) {
                update(i, x, y, d);
            } else {
                const int id = p.obj_map[i];
                if (id && objs[id].state == 3) {
                    objs[id].sx += x;
                    objs[id].sy += y;
                    objs[id].n += 1;
                } else {
                    update(i, x, y, d);
                    const int v = std::min(c, 250);
                    if (v > p.hit_map[i]) p.hit_map[i] = static_cast<uint8_t>(v);
                    ++o.hits;
                    if (id) {
                        objs[id].sx += x;
                        objs[id].sy += y;
                        objs[id].n += 1;
                    } else if (next_free < 20) {
                        const int k = next_free++;
                        objs[k] = {1, x, y, 1};
                        for (int yy = std::max(y - p.so_size, 0); yy <= std::min(y + p.so_size, h - 1); ++yy)
                            for (int xx = std::max(x - p.so_size, 0); xx <= std::min(x + p.so_size, w - 1); ++xx)
                                if (!p.obj_map[yy * w + xx]) p.obj_map[yy * w + xx] = static_cast<uint8_t>(k);
                    }
                }
            }
            a = (static_cast<uint32_t>(p.avr_keep) * a + static_cast<uint32_t>(p.avr_gain) * c + 256) >> 9;
        }
    }
    if (so) {
        for (int k = 1; k < next_free; ++k) {
            if (objs[k].n < p.dsize) {
                o.hits -= objs[k].n;
            } else {
                const double cx = static_cast<double>(objs[k].sx) / objs[k].n;
                const double cy = static_cast<double>(objs[k].sy) / objs[k].n;
                p.hit_map[static_cast<int>(cx + std::trunc(cy) * w)] = 255;
            }
        }
    } else if (o.maxd > 0) {
        p.hit_map[o.my * w + o.mx] = 255;
    }
    return o;
}

TEST(DetectorLoops, FastPathsMatchPlainReferenceOnRandomFrames) {
    std::mt19937 rng(1234);
    auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int cases = 0;
    for (int wide = 0; wide < 2; ++wide)
    for (int format : {kFormatGray8, kFormatYUY2, kFormatUYVY, kFormatPlanar420}) {
        for (int w : {33, 64, 65, 7}) {
            for (int kind = 0; kind < 5; ++kind) {  // plain, average, average+dark, object, object+dark
                for (int rep = 0; rep < 3; ++rep) {
                    const int h = rnd(5, 19);
                    Bench b(w, h, format);
                    DetectParams& p = b.p;
                    Detector det;
                    det.Init(&p, w, h, 25.0);
                    det.Connect(format);
                    if (!wide) det.UseBaselineLoops();
                    p.sm_on = kind == 1;
                    p.brightonly = kind == 2 || kind == 4;
                    p.so_on = kind >= 3;
                    p.dlev = rnd(0, 40);
                    p.bolevel = rnd(0, 20);
                    p.si_area = rnd(0, 1);
                    p.si_maskw = rnd(0, 1);
                    p.si_maskb = rnd(0, 1);
                    const int mask_pct = rep == 0 ? 0 : rnd(1, 30);
                    for (size_t i = 0; i < b.ref.size(); ++i) {
                        b.ref[i] = static_cast<uint8_t>(rnd(0, 255));
                        b.head[i] = static_cast<uint8_t>(rnd(0, 255));
                        b.cur[i] = static_cast<uint8_t>(std::clamp(b.ref[i] + rnd(-40, 60), 0, 255));
                    }
                    for (int i = 0; i < w * h; ++i) {
                        p.mask[i] = rnd(0, 99) < mask_pct ? static_cast<uint8_t>(rnd(1, 255)) : 0;
                        p.hit_map[i] = static_cast<uint8_t>(rnd(0, 255) < 200 ? 0 : rnd(0, 255));
                        p.avr_map[i] = static_cast<uint32_t>(rnd(0, 255)) * 16384 + rnd(0, 16383);
                    }
                    b.preview = b.cur;
                    // Reference on copies.
                    Bench r = b;
                    r.p.mask = r.mask_alloc.data() + w;
                    r.p.mask_alloc = r.mask_alloc.data();
                    r.p.hit_map = r.hit.data();
                    r.p.obj_map = r.obj.data();
                    r.p.avr_map = r.avr.data();
                    const RefOut want = ReferenceLoops(r);

                    DetectFrame f;
                    f.preview = b.preview.data();
                    f.copy = true;
                    f.slot = b.slot.data();
                    f.ref = b.ref.data();
                    f.head = b.head.data();
                    f.now = {1000, 0};
                    const DetectResult got = det.Process(f);
                    SCOPED_TRACE(testing::Message() << "wide " << det.wide_loops() << " format " << format << " w " << w << " h " << h
                                                    << " kind " << kind << " rep " << rep);
                    EXPECT_EQ(got.maxdiff, want.maxd);
                    EXPECT_EQ(got.max_x, want.mx);
                    EXPECT_EQ(got.max_y, want.my);
                    EXPECT_EQ(got.hits, want.hits);
                    EXPECT_EQ(p.max_level, want.maxd);
                    EXPECT_EQ(p.hit_count, want.hits);
                    EXPECT_EQ(b.hit, r.hit);
                    EXPECT_EQ(b.avr, r.avr);
                    EXPECT_EQ(b.mask_alloc, r.mask_alloc);
                    EXPECT_EQ(b.preview, r.preview);
                    if (p.so_on) {
                        EXPECT_EQ(b.obj, r.obj);
                    }
                    EXPECT_EQ(0, std::memcmp(b.slot.data(), b.cur.data(), det.CopiedBytes()));
                    ++cases;
                }
            }
        }
    }
    EXPECT_EQ(cases, 2 * 4 * 4 * 5 * 3);
}

// Scintillation mask from a plain 5 x 5 sum per pixel.
std::vector<uint8_t> ReferenceScintillation(const std::vector<uint32_t>& avr, std::vector<uint8_t> mask_alloc,
                                            int w, int h, int level, int size) {
    static const int shapes[10][3] = {{0, 0, 0}, {1, 1, 1}, {1, 2, 3}, {1, 3, 5}, {1, 4, 6},
                                      {3, 5, 6}, {4, 5, 7}, {5, 6, 7}, {5, 6, 9}, {7, 8, 9}};
    uint8_t* mask = mask_alloc.data() + w;
    for (auto& m : mask_alloc) m &= 7;
    if (size < 1 || size > 9) return mask_alloc;
    for (int y = 2; y <= h - 3; ++y) {
        for (int x = 2; x <= w - 3; ++x) {
            uint32_t sum = 0;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) sum += avr[(y + dy) * w + x + dx];
            const uint32_t c = avr[y * w + x];
            const uint32_t m = (sum - c) / 24;
            if (!(c >= m + 16384 && 100ll * c > static_cast<long long>(level) * m)) continue;
            const long long r = 100ll * c;
            const int cls = r <= (2ll * level - 99) * m ? 0 : r > (4ll * level - 298) * m ? 2 : 1;
            const Detector::Shape& s = Detector::ShapeOf(shapes[size][cls]);
            for (int k = 0; k < s.n; ++k) {
                if (y + s.dy[k] < 0 || y + s.dy[k] >= h) continue;
                mask[(y + s.dy[k]) * w + x + s.dx[k]] |= 0xF8;
            }
        }
    }
    return mask_alloc;
}

TEST(Scintillation, IncrementalSumsMatchPlainSumsForEverySize) {
    std::mt19937 rng(99);
    for (int size = 0; size <= 10; ++size) {
        for (int w : {9, 31, 64}) {
            const int h = 7 + size;
            Bench b(w, h, kFormatGray8);
            Detector det;
            det.Init(&b.p, w, h, 30.0);
            det.Connect(kFormatGray8);
            b.p.sm_size = size;
            b.p.sm_level = 100 + 20 * (size % 4);
            for (auto& a : b.avr) {
                const int r = static_cast<int>(rng() % 100);
                a = r < 8 ? (150 + rng() % 100) * 16384 : r < 10 ? 0xF0000000u + rng() % 1000 : (20 + rng() % 10) * 16384;
            }
            for (auto& m : b.mask_alloc) m = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : 0);
            const auto want = ReferenceScintillation(b.avr, b.mask_alloc, w, h, b.p.sm_level, size);
            det.UpdateScintillation();
            EXPECT_EQ(b.mask_alloc, want) << "size " << size << " w " << w;
        }
    }
}

TEST(Scintillation, ShapesGrowAndSizeZeroMasksNothing) {
    const int counts[10] = {0, 1, 5, 9, 13, 21, 29, 45, 49, 69};
    for (int s = 1; s <= 9; ++s) EXPECT_EQ(Detector::ShapeOf(s).n, counts[s]) << s;
    for (int s : {8, 9}) {
        int top = 0, bottom = 0;
        for (int k = 0; k < Detector::ShapeOf(s).n; ++k) {
            top = std::min<int>(top, Detector::ShapeOf(s).dy[k]);
            bottom = std::max<int>(bottom, Detector::ShapeOf(s).dy[k]);
        }
        EXPECT_EQ(top, -4);
        EXPECT_EQ(bottom, 4);
    }

    // sm_on with sm_size 0: only the run-time border is masked.
    test::RigConfig c;
    test::Rig rig(c);
    rig.p.sm_on = 1;
    rig.p.sm_size = 0;
    rig.Start();
    auto sky = rig.Flat(20);
    sky[20 * c.cx + 20] = 250;
    for (int i = 0; i < 50; ++i) rig.Feed(sky);
    for (int y = 0; y < c.cy; ++y)
        for (int x = 0; x < c.cx; ++x) {
            const bool border = y < 2 || y >= c.cy - 2 || x < 2 || x >= c.cx - 2;
            ASSERT_EQ(rig.p.mask[y * c.cx + x], border ? 1 : 0) << x << "," << y;
        }
    // With a size the star is masked, centre included.
    rig.p.sm_size = 3;
    rig.Feed(sky);
    EXPECT_EQ(rig.p.mask[20 * c.cx + 20] & 0xF8, 0xF8);
    EXPECT_EQ(rig.p.mask[20 * c.cx + 30], 0);
}

TEST(DetectorEdges, DifferencesAreSignedAndTiesGoToTheFirstPixel) {
    test::RigConfig c;
    c.format = kFormatYUY2;
    test::Rig rig(c);
    rig.p.dlev = 1;
    rig.p.dsize = 1;
    rig.Start();
    auto sky = rig.Flat(50);
    rig.Feed(sky);
    // Identical frame: nothing, and the HitMap stays as it was.
    rig.p.clip_started = 1;  // keep the HitMap between frames
    rig.hit[5] = 77;
    rig.Feed(sky);
    EXPECT_EQ(rig.p.max_level, 0);
    EXPECT_EQ(rig.p.hit_count, 0);
    EXPECT_EQ(rig.hit[5], 77);
    for (size_t i = 0; i < rig.hit.size(); ++i) {
        if (i != 5) {
            ASSERT_EQ(rig.hit[i], 0);
        }
    }
    // Darker pixels never count.
    auto dark = sky;
    for (auto& v : dark) v = 10;
    rig.Feed(dark);
    EXPECT_EQ(rig.p.hit_count, 0);
    EXPECT_EQ(rig.p.max_level, 0);
    // dlev 0: every pixel that did not fall counts.
    rig.p.dlev = 0;
    auto mixed = dark;
    for (size_t i = 0; i < mixed.size(); i += 3) mixed[i] = 9;
    rig.Feed(mixed);
    EXPECT_EQ(rig.p.hit_count, static_cast<int>(mixed.size() - (mixed.size() + 2) / 3));
    // Two pixels with the same largest difference: the first one wins.
    rig.p.dlev = 5;
    auto two = mixed;
    two[10 * c.cx + 40] = 99;
    two[30 * c.cx + 4] = 99;  // later in raster order, same difference
    two[10 * c.cx + 41] = 98;  // over a 9: the same difference again
    rig.Feed(two);
    EXPECT_EQ(rig.p.max_level, 99 - 10);
    EXPECT_EQ(rig.ipc.x, 40);
    EXPECT_EQ(rig.ipc.y, 10);
    EXPECT_EQ(rig.ipc.hits, 3);
    EXPECT_EQ(rig.hit[10 * c.cx + 40], 255);  // the mark
    EXPECT_EQ(rig.hit[30 * c.cx + 4], 99);
}

TEST(DetectorEdges, FirstFramesAfterRunHaveNoReference) {
    test::RigConfig c;
    c.fs_diff = 3;
    test::Rig rig(c);
    rig.Start();
    for (int i = 0; i < 3; ++i) {
        rig.Feed(rig.Flat(static_cast<uint8_t>(50 * (i + 1))));
        EXPECT_EQ(rig.p.hit_count, 0) << i;
        EXPECT_EQ(rig.p.max_level, 0) << i;
    }
    rig.Feed(rig.Flat(200));
    EXPECT_EQ(rig.p.max_level, 150);
    EXPECT_EQ(rig.p.hit_count, c.cx * c.cy);
}

TEST(DetectorEdges, MaskedPixelsArePaintedOnThePreview) {
    for (int loop = 0; loop < 2; ++loop) {
        test::RigConfig c;
        c.format = kFormatUYVY;
        test::Rig rig(c);
        rig.p.sm_on = loop;  // plain loop or average loop
        rig.p.sm_size = 0;
        rig.p.si_area = 1;
        rig.p.si_maskw = 1;
        rig.p.si_maskb = 1;
        rig.Start();
        rig.Feed(rig.Flat(60));
        rig.p.mask[3 * c.cx + 10] = 1;     // user mask
        rig.p.mask[3 * c.cx + 11] = 0xF8;  // scintillation only
        rig.Feed(rig.Flat(60));
        EXPECT_EQ(LumaAt(rig.last.data(), c.format, c.cx, 10, 3), 128);
        // The plain loop clears scintillation bits instead of painting them.
        EXPECT_EQ(LumaAt(rig.last.data(), c.format, c.cx, 11, 3), loop ? 1 : 128);
        EXPECT_EQ(LumaAt(rig.last.data(), c.format, c.cx, 12, 3), 60);
    }
}

TEST(NoiseTracker, WeightsAndSettledLevels) {
    test::RigConfig c;
    c.cx = 16;
    c.cy = 16;
    c.fps = 25;
    test::Rig rig(c);
    rig.p.nt_on = 1;
    rig.p.nt_ratio = 200;
    rig.p.nt_delta = 5;
    rig.p.nt_min = 10;
    rig.p.dsize = 1000;  // no clips
    rig.Start();
    const Detector& d = rig.core.detector();
    EXPECT_EQ(d.nt_div(), 416675);
    EXPECT_EQ(d.nt_wfall(), 825);
    EXPECT_EQ(d.nt_wrise(), 825);
    EXPECT_EQ(d.nt_wmin(), 275);
    // Each frame one of two pixels rises by the noise level, so the largest
    // difference of every frame equals it.
    auto run = [&](int noise, int frames) {
        for (int k = 0; k < frames; ++k) {
            auto f = rig.Flat(1);
            f[0] = static_cast<uint8_t>(1 + (k % 2) * noise);
            f[1] = static_cast<uint8_t>(1 + ((k + 1) % 2) * noise);
            rig.Feed(f);
        }
    };
    run(20, 10);
    EXPECT_EQ(rig.p.dlev, 40);
    run(250, 4000);
    EXPECT_EQ(rig.p.dlev, 254);
    EXPECT_EQ(d.nt_wrise(), 275);  // decayed to a third after 22 x fps frames
    run(2, 4000);
    EXPECT_EQ(rig.p.dlev, 10);
    run(20, 12000);
    EXPECT_EQ(rig.p.dlev, 40);
    EXPECT_NEAR(d.noise(), 20.0, 0.5);
}

TEST(NoiseTracker, WaitsForTheEndOfWarmup) {
    test::RigConfig c;
    test::Rig rig(c);
    rig.p.nt_on = 1;
    rig.p.dlev = 77;
    rig.p.warmup = 6;
    rig.p.dsize = 1;
    rig.Start();
    auto f = rig.Flat(0);
    f[0] = 200;
    rig.Feed(rig.Flat(0));
    rig.Feed(f);  // warmup 5 -> still >= 4: no tracking, no hits
    EXPECT_EQ(rig.p.dlev, 77);
    EXPECT_EQ(rig.p.hit_count, 0);
    EXPECT_EQ(rig.p.warmup, 4);
    rig.Feed(rig.Flat(0));
    rig.Feed(f);  // warmup 3: tracking on, hits still 0
    EXPECT_NE(rig.p.dlev, 77);
    EXPECT_EQ(rig.p.hit_count, 0);
    rig.p.nt_on = 0;
    rig.p.dlev = 50;
    for (int i = 0; i < 3; ++i) rig.Feed(rig.Flat(0));
    rig.Feed(f);
    EXPECT_EQ(rig.p.warmup, 0);
    EXPECT_EQ(rig.p.hit_count, 1);
}

TEST(ObjectTracker, SmallObjectsAreDroppedAndSlowOnesMasked) {
    test::RigConfig c;
    c.cx = 80;
    c.cy = 60;
    test::Rig rig(c);
    rig.p.so_on = 1;
    rig.p.dsize = 4;
    rig.p.so_size = 6;
    rig.p.so_vel = 20;
    rig.p.dlev = 30;
    rig.Start();
    rig.Feed(rig.Flat(10));
    // Three hit pixels in one box: fewer than dsize, dropped and uncounted;
    // a second cluster of five is tracked.
    auto f = rig.Flat(10);
    f[10 * c.cx + 10] = f[10 * c.cx + 11] = f[11 * c.cx + 10] = 200;
    for (int k = 0; k < 5; ++k) f[40 * c.cx + 50 + k] = 200;
    rig.Feed(f);
    EXPECT_EQ(rig.p.hit_count, 5);
    const Detector& d = rig.core.detector();
    EXPECT_EQ(d.object(1).state, TrackedObject::kFree);
    EXPECT_EQ(d.object(2).state, TrackedObject::kTracked);
    EXPECT_EQ(d.max_obj(), 2);
    EXPECT_DOUBLE_EQ(d.object(2).cx, 52.0);
    EXPECT_EQ(rig.hit[40 * c.cx + 52], 255);  // centroid mark at confirmation
    // A dot creeping at 3 px/s for four seconds becomes slow; its pixels
    // stop counting.
    rig.period_ms = 100;  // 10 frames per second
    int last_hits = -1;
    for (int k = 0; k < 40; ++k) {
        auto g = rig.Flat(10);
        const int x = 50 + (k * 3) / 10;
        for (int j = 0; j < 5; ++j) g[40 * c.cx + x + j] = static_cast<uint8_t>(100 + (k % 2) * 100);
        rig.Feed(g);
        last_hits = rig.p.hit_count;
    }
    EXPECT_EQ(d.object(2).state, TrackedObject::kSlow);
    EXPECT_EQ(last_hits, 0);
    // Once it is gone for more than three seconds the record is freed.
    for (int k = 0; k < 35; ++k) rig.Feed(rig.Flat(10));
    EXPECT_EQ(d.object(2).state, TrackedObject::kFree);
    EXPECT_EQ(d.max_obj(), 0);
}

TEST(ObjectTracker, BoxesDrawnOnThePreview) {
    test::RigConfig c;
    c.cx = 80;
    c.cy = 60;
    test::Rig rig(c);
    rig.p.so_on = 1;
    rig.p.sm_on = 1;
    rig.p.sm_size = 0;
    rig.p.live_shown = 1;
    rig.p.dsize = 4;
    rig.p.so_size = 6;
    rig.p.dlev = 30;
    rig.Start();
    rig.Feed(rig.Flat(10));
    auto f = rig.Flat(10);
    for (int k = 0; k < 5; ++k) f[30 * c.cx + 40 + k] = 200;
    rig.Feed(f);
    // Centroid (42, 30), box 36..48 x 24..36, drawn 128 for a tracked object.
    EXPECT_EQ(rig.last[24 * c.cx + 36], 128);
    EXPECT_EQ(rig.last[36 * c.cx + 48], 128);
    EXPECT_EQ(rig.last[30 * c.cx + 36], 128);
    EXPECT_EQ(rig.last[30 * c.cx + 37], 10);
    rig.p.live_shown = 0;
    rig.Feed(f);
    EXPECT_EQ(rig.last[24 * c.cx + 36], 10);
}

}  // namespace
}  // namespace vlx::detect

#include "vlx/detect/detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vlx/detect/stamp.h"
#include "vlx/guid.h"

namespace vlx::detect {

namespace {

// Scintillation shapes, centred on the star. 8 and 9 are round patches over
// rows -4..+4: radius 4 (49 pixels, 9 columns at the middle row) and radius
// sqrt(20) (69 pixels, 9 columns over five rows), so each shape covers more
// than the one before.
struct ShapeTable {
    Detector::Shape s[10];
    ShapeTable() {
        for (int k = 1; k <= 9; ++k) {
            Detector::Shape& sh = s[k];
            for (int dy = -4; dy <= 4; ++dy) {
                for (int dx = -4; dx <= 4; ++dx) {
                    const int ax = dx < 0 ? -dx : dx, ay = dy < 0 ? -dy : dy;
                    bool in = false;
                    switch (k) {
                        case 1: in = ax == 0 && ay == 0; break;
                        case 2: in = ax + ay <= 1; break;
                        case 3: in = ax <= 1 && ay <= 1; break;
                        case 4: in = ax + ay <= 2; break;
                        case 5: in = ax <= 2 && ay <= 2 && !(ax == 2 && ay == 2); break;
                        case 6:
                            in = (ax <= 2 && ay <= 2) || (ax == 3 && ay == 0) || (ax == 0 && ay == 3);
                            break;
                        case 7: in = ax <= 3 && ay <= 3 && !(ax == 3 && ay == 3); break;
                        case 8: in = ax * ax + ay * ay <= 16; break;
                        case 9: in = ax * ax + ay * ay <= 20; break;
                    }
                    if (in) {
                        sh.dy[sh.n] = static_cast<int8_t>(dy);
                        sh.dx[sh.n] = static_cast<int8_t>(dx);
                        ++sh.n;
                    }
                }
            }
        }
    }
};

const ShapeTable& Shapes() {
    static const ShapeTable t;
    return t;
}

// Shape numbers (small, medium, large) by sm_size.
constexpr int kShapeBySize[10][3] = {{0, 0, 0}, {1, 1, 1}, {1, 2, 3}, {1, 3, 5}, {1, 4, 6},
                                     {3, 5, 6}, {4, 5, 7}, {5, 6, 7}, {5, 6, 9}, {7, 8, 9}};

inline int64_t Elapsed(WallTime now, int64_t sec, int32_t ms) {
    return (now.sec - sec) * 1000 - ms + now.ms;
}

}  // namespace

const Detector::Shape& Detector::ShapeOf(int shape) {
    static const Shape none;
    return shape >= 1 && shape <= 9 ? Shapes().s[shape] : none;
}

void Detector::Init(DetectParams* p, int32_t cx, int32_t cy, double fps) {
    p_ = p;
    w_ = cx;
    h_ = cy;
    for (int i = 0; i < kObjectRecords; ++i) {
        obj_[i] = TrackedObject{};
        obj_[i].id = i;
        obj_[i].next = (i >= 1 && i < kObjectRecords - 1) ? i + 1 : 0;
    }
    free_head_ = 1;
    max_obj_ = 0;
    noise_ = 0;
    nt_div_ = static_cast<int32_t>(fps * 16667);
    nt_wfall_ = static_cast<int32_t>(fps * 33);
    nt_wrise_ = static_cast<int32_t>(fps * 33);
    nt_wmin_ = static_cast<int32_t>(fps * 11);
    const size_t n = static_cast<size_t>(cx) * static_cast<size_t>(cy);
    if (p->avr_map) std::memset(p->avr_map, 0, static_cast<size_t>(p->pixels) * sizeof(uint32_t));
    if (p->mask) {
        // The spare rows before and after the mask belong to the
        // scintillation mask alone.
        uint8_t* m = p->mask - cx;
        const size_t len = std::max<size_t>(static_cast<size_t>(p->pixels), n) + 2 * static_cast<size_t>(cx);
        for (size_t i = 0; i < len; ++i) m[i] &= 3;
    }
    // Whatever the HitMap holds now is unknown: the first clear wipes it all.
    hm_lo_ = 0;
    hm_hi_ = cy - 1;
    colsum_.assign(static_cast<size_t>(std::max(cx, 0)), 0);
    star_.assign(static_cast<size_t>(std::max(cx, 0)), 0);
}

size_t Detector::CopiedBytes() const { return static_cast<size_t>(w_) * h_ * step_; }

void Detector::Connect(int32_t format) {
    format_ = format;
    switch (format) {
        case kFormatYUY2:
            step_ = 2;
            off_ = 0;
            object_rows_[0] = &Detector::ObjectRow<2, 0, false>;
            object_rows_[1] = &Detector::ObjectRow<2, 0, true>;
            break;
        case kFormatUYVY:
            step_ = 2;
            off_ = 1;
            object_rows_[0] = &Detector::ObjectRow<2, 1, false>;
            object_rows_[1] = &Detector::ObjectRow<2, 1, true>;
            break;
        default:
            step_ = 1;
            off_ = 0;
            object_rows_[0] = &Detector::ObjectRow<1, 0, false>;
            object_rows_[1] = &Detector::ObjectRow<1, 0, true>;
            break;
    }
    SelectLoops(true);
}

void Detector::SelectLoops(bool allow_wide) {
    wide_ = false;
#if defined(VLX_HAVE_AVX2_LOOPS)
    if (allow_wide && __builtin_cpu_supports("avx2")) {
        table_ = loops::Avx2Table(format_);
        wide_ = true;
        return;
    }
#else
    (void)allow_wide;
#endif
    table_ = loops::BaselineTable(format_);
}

void Detector::UseBaselineLoops() { SelectLoops(false); }

void Detector::ApplyBorder() {
    if (!p_ || !p_->sm_on || !p_->mask || w_ <= 0 || h_ <= 0) return;
    uint8_t* m = p_->mask;
    for (int32_t y = 0; y < h_; ++y) {
        uint8_t* row = m + static_cast<size_t>(y) * w_;
        if (y < 2 || y >= h_ - 2) {
            std::memset(row, 1, w_);
        } else {
            for (int32_t x : {0, 1, w_ - 2, w_ - 1})
                if (x >= 0 && x < w_) row[x] = 1;
        }
    }
}

// ---------------------------------------------------------------------------
// Object-loop rows that hold hit candidates, in raster order: objects are
// created and joined here, so the order matters.

template <int S, int O, bool BO>
void Detector::ObjectRow(void* self, const loops::Ctx& c, int32_t y, loops::Out& out) {
    Detector& d = *static_cast<Detector*>(self);
    const int32_t w = c.w, h = c.h;
    const int dlev = c.dlev;
    const int32_t so_size = d.p_->so_size;
    const size_t base = static_cast<size_t>(y) * w;
    const uint8_t* cur = c.slot + base * S + O;
    const uint8_t* ref = c.ref + base * S + O;
    const uint8_t* hd = c.head + base * S + O;
    const uint8_t* mrow = c.mask + base;
    const uint32_t* arow = c.avr + base;
    uint8_t* hrow = c.hit_map + base;
    uint8_t* om = d.p_->obj_map;
    out.Touch(y);
    for (int32_t x = 0; x < w; ++x) {
        if (mrow[x]) continue;
        const int cv = cur[x * S], rv = ref[x * S];
        const int diff = cv - rv;
        bool cand = diff >= dlev;
        if constexpr (BO)
            cand = cand && static_cast<uint32_t>(cv + rv) >= (arow[x] >> 13) && cv > hd[x * S] + c.bolevel;
        const int id = om[base + x];
        const int32_t state = id ? d.obj_[id].state : 0;
        if (cand && state == TrackedObject::kSlow) {
            TrackedObject& o = d.obj_[id];
            o.sum_x += x;
            o.sum_y += y;
            o.count += 1;
            continue;
        }
        if (diff > out.maxdiff) {
            out.maxdiff = diff;
            out.max_x = x;
            out.max_y = y;
        }
        if (!cand) continue;
        const uint8_t v = static_cast<uint8_t>(std::min(cv, 250));
        if (v > hrow[x]) hrow[x] = v;
        out.hits += 1;
        if (id) {
            TrackedObject& o = d.obj_[id];
            o.sum_x += x;
            o.sum_y += y;
            o.count += 1;
            continue;
        }
        const int k = d.TakeRecord();
        if (!k) continue;  // table full: a plain hit
        TrackedObject& o = d.obj_[k];
        o.state = TrackedObject::kNew;
        o.sum_x = x;
        o.sum_y = y;
        o.count = 1;
        d.max_obj_ = std::max(d.max_obj_, k);
        const int32_t x0 = std::clamp(x - so_size, 0, w - 1), x1 = std::clamp(x + so_size, 0, w - 1);
        const int32_t y0 = std::clamp(y - so_size, 0, h - 1), y1 = std::clamp(y + so_size, 0, h - 1);
        for (int32_t yy = y0; yy <= y1; ++yy) {
            uint8_t* orow = om + static_cast<size_t>(yy) * w;
            for (int32_t xx = x0; xx <= x1; ++xx)
                if (!orow[xx]) orow[xx] = static_cast<uint8_t>(k);
        }
    }
}

// ---------------------------------------------------------------------------
// Object table.

int Detector::TakeRecord() {
    const int k = free_head_;
    if (!k) return 0;
    free_head_ = obj_[k].next;
    obj_[k].next = 0;
    return k;
}

void Detector::FreeRecord(int id) {
    TrackedObject& o = obj_[id];
    o.state = TrackedObject::kFree;
    o.next = free_head_;
    free_head_ = id;
    while (max_obj_ > 0 && obj_[max_obj_].state == TrackedObject::kFree) --max_obj_;
}

void Detector::SetCentroidAndBox(TrackedObject& o, WallTime now) {
    o.last_sec = now.sec;
    o.last_ms = now.ms;
    o.cx = static_cast<double>(o.sum_x) / static_cast<double>(o.count);
    o.cy = static_cast<double>(o.sum_y) / static_cast<double>(o.count);
    const int32_t s = p_->so_size;
    auto clampi = [](double v, int32_t hi) {
        const double t = std::trunc(v);
        return static_cast<int32_t>(std::clamp(t, 0.0, static_cast<double>(hi)));
    };
    o.bx0 = clampi(o.cx - s, w_ - 1);
    o.bx1 = clampi(o.cx + s, w_ - 1);
    o.by0 = clampi(o.cy - s, h_ - 1);
    o.by1 = clampi(o.cy + s, h_ - 1);
}

void Detector::MarkHit(int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x >= w_ || y >= h_) return;
    p_->hit_map[static_cast<size_t>(y) * w_ + x] = 255;
    TouchHitRow(y);
}

void Detector::ClearHitMap(bool all) {
    if (!p_ || !p_->hit_map) return;
    if (all) {
        std::memset(p_->hit_map, 0, static_cast<size_t>(std::max(p_->pixels, w_ * h_)));
    } else if (hm_lo_ <= hm_hi_) {
        std::memset(p_->hit_map + static_cast<size_t>(hm_lo_) * w_, 0,
                    static_cast<size_t>(hm_hi_ - hm_lo_ + 1) * w_);
    }
    hm_lo_ = h_;
    hm_hi_ = -1;
}

void Detector::BuildObjectMap() {
    uint8_t* om = p_->obj_map;
    std::memset(om, 0, static_cast<size_t>(w_) * h_);
    for (int id = 1; id <= max_obj_; ++id) {
        TrackedObject& o = obj_[id];
        if (o.state == TrackedObject::kFree) continue;
        o.sum_x = o.sum_y = o.count = 0;
        for (int32_t y = o.by0; y <= o.by1; ++y) {
            uint8_t* row = om + static_cast<size_t>(y) * w_;
            for (int32_t x = o.bx0; x <= o.bx1; ++x) {
                const int cur = row[x];
                if (cur == 0 || obj_[cur].state < o.state) row[x] = static_cast<uint8_t>(id);
            }
        }
    }
}

int32_t Detector::UpdateObjects(const DetectFrame& f, int64_t& hits) {
    const WallTime now = f.now;
    const double v = p_->so_vel / 1000.0;
    const double limit = v * v;
    int32_t cancel = 0;
    const int top = max_obj_;
    for (int id = 1; id <= top; ++id) {
        TrackedObject& o = obj_[id];
        switch (o.state) {
            case TrackedObject::kNew:
                if (o.count < p_->dsize) {
                    hits -= o.count;
                    FreeRecord(id);
                    break;
                }
                o.first_sec = now.sec;
                o.first_ms = now.ms;
                o.age = 0;
                SetCentroidAndBox(o, now);
                o.x0c = o.cx;
                o.y0c = o.cy;
                o.state = TrackedObject::kTracked;
                MarkHit(static_cast<int32_t>(o.cx), static_cast<int32_t>(o.cy));
                break;
            case TrackedObject::kTracked:
                o.age += 1;
                if (o.count == 0) {
                    if (Elapsed(now, o.last_sec, o.last_ms) > 3000) FreeRecord(id);
                    break;
                }
                SetCentroidAndBox(o, now);
                if (Elapsed(now, o.first_sec, o.first_ms) <= 3000) {
                    MarkHit(static_cast<int32_t>(o.cx), static_cast<int32_t>(o.cy));
                } else {
                    const double e = static_cast<double>(Elapsed(now, o.first_sec, o.first_ms));
                    const double dx = o.x0c - o.cx, dy = o.y0c - o.cy;
                    const double v2 = (dx * dx + dy * dy) / e / e;
                    if (limit > v2) {
                        o.state = TrackedObject::kSlow;
                        if (p_->rec_remain != 0 && f.emitted < o.age) cancel = std::max(cancel, o.age);
                    }
                }
                break;
            case TrackedObject::kSlow:
                if (o.count == 0) {
                    if (Elapsed(now, o.last_sec, o.last_ms) > 3000) FreeRecord(id);
                    break;
                }
                SetCentroidAndBox(o, now);
                break;
            default: break;
        }
    }
    return cancel;
}

// ---------------------------------------------------------------------------

DetectResult Detector::Process(const DetectFrame& f) {
    DetectParams* p = p_;
    DetectResult res;
    const bool so = p->so_on != 0;
    if (so) BuildObjectMap();
    loops::Out lo;
    if (f.ref) {
        loops::Ctx c;
        c.preview = f.preview;
        c.copy = f.copy;
        c.slot = f.slot;
        c.ref = f.ref;
        c.head = f.head;
        c.mask = p->mask;
        c.hit_map = p->hit_map;
        c.avr = p->avr_map;
        c.w = w_;
        c.h = h_;
        c.dlev = p->dlev;
        c.bolevel = p->bolevel;
        c.keep = static_cast<uint32_t>(p->avr_keep);
        c.gain = static_cast<uint32_t>(p->avr_gain);
        c.si_area = p->si_area != 0;
        c.disp = p->si_maskb ? 1 : (p->si_maskw ? 254 : -1);
        c.owner = this;
        c.object_row[0] = object_rows_[0];
        c.object_row[1] = object_rows_[1];
        const bool bo = p->brightonly != 0;
        loops::Fn fn;
        if (so) fn = bo ? table_.object_bo : table_.object;
        else if (p->sm_on || bo) fn = bo ? table_.average_bo : table_.average;
        else fn = table_.plain;
        fn(c, lo);
        if (lo.hm_lo <= lo.hm_hi) {
            TouchHitRow(lo.hm_lo);
            TouchHitRow(lo.hm_hi);
        }
    } else if (f.copy) {
        std::memcpy(f.slot, f.preview, CopiedBytes());
    }
    int64_t hits = lo.hits;
    if (so) res.cancel = UpdateObjects(f, hits);
    else if (lo.maxdiff > 0) MarkHit(lo.max_x, lo.max_y);
    p->max_level = lo.maxdiff;

    if (p->warmup < 4) {
        if (nt_wrise_ > nt_wmin_) --nt_wrise_;
        const double md = lo.maxdiff;
        if (noise_ < 0.1) {
            noise_ = md;
        } else if (nt_div_ > 0) {
            const double wt = md > noise_ ? nt_wrise_ : nt_wfall_;
            noise_ = ((nt_div_ - wt) * noise_ + wt * md) / nt_div_;
        }
        if (p->nt_on) {
            const int32_t n = static_cast<int32_t>(noise_ + 0.5);
            int32_t level = (n * p->nt_ratio + 99) / 100;
            if (level - n < p->nt_delta) level = n + p->nt_delta;
            if (level > 254) level = 254;
            if (level < p->nt_min) level = p->nt_min;
            p->dlev = level;
        }
    }
    res.hits = static_cast<int32_t>(std::clamp<int64_t>(hits, INT32_MIN, INT32_MAX));
    if (p->warmup > 0) {
        p->warmup -= 1;
        p->hit_count = 0;
    } else {
        p->hit_count = res.hits;
    }
    res.maxdiff = lo.maxdiff;
    res.max_x = lo.max_x;
    res.max_y = lo.max_y;
    return res;
}

// ---------------------------------------------------------------------------
// Scintillation mask.

void Detector::UpdateScintillation() {
    DetectParams* p = p_;
    const int32_t w = w_, h = h_;
    {
        uint8_t* m = p->mask - w;
        const size_t len = static_cast<size_t>(w) * h + 2 * static_cast<size_t>(w);
        for (size_t i = 0; i < len; ++i) m[i] &= 7;
    }
    const int size = p->sm_size;
    if (size < 1 || size > 9 || w < 5 || h < 5) return;
    loops::ScintCtx c;
    c.mask = p->mask;
    c.avr = p->avr_map;
    c.w = w;
    c.h = h;
    c.level = p->sm_level;
    for (int k = 0; k < 3; ++k) {
        const Shape& sh = Shapes().s[kShapeBySize[size][k]];
        c.shape[k] = loops::ScintShape{sh.n, sh.dy, sh.dx};
    }
    c.colsum = colsum_.data();
    c.star = star_.data();
    table_.scint(c);
}

void Detector::DrawBoxes(uint8_t* preview) const {
    if (!p_->sm_on || !p_->so_on || !p_->live_shown) return;
    const Canvas c{preview, format_, w_, h_};
    int slow = 0, tracked = 0;
    for (int id = 1; id <= max_obj_; ++id) {
        const TrackedObject& o = obj_[id];
        uint8_t v;
        if (o.state == TrackedObject::kSlow) {
            if (slow >= 11) continue;
            ++slow;
            v = 255;
        } else if (o.state == TrackedObject::kNew || o.state == TrackedObject::kTracked) {
            if (tracked >= 11) continue;
            ++tracked;
            v = 128;
        } else {
            continue;
        }
        for (int32_t x = o.bx0; x <= o.bx1; ++x) {
            Plot(c, x, o.by0, v);
            Plot(c, x, o.by1, v);
        }
        for (int32_t y = o.by0; y <= o.by1; ++y) {
            Plot(c, o.bx0, y, v);
            Plot(c, o.bx1, y, v);
        }
    }
}

}  // namespace vlx::detect

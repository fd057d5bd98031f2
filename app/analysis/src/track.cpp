#include "vlx/analysis/track.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace vlx::analysis {
namespace {

// Hits kept per frame and per clip: a flash or a cloud can make most of the
// frame rise; beyond these the frame is still counted but its pixels are not
// all kept (such frames are judged by their counts alone).
constexpr size_t kMaxFrameHits = 65536;
constexpr size_t kMaxClipHits = 8u << 20;
// Frame indices are kept in 16 bits per pixel.
constexpr int kMaxFrames = 65535;

struct Blob {
    int frame = 0;
    int n = 0;
    int64_t rise = 0;
    double sx = 0, sy = 0;  // rise-weighted sums
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
    int track = -1;
    double cx() const { return rise > 0 ? sx / static_cast<double>(rise) : 0; }
    double cy() const { return rise > 0 ? sy / static_cast<double>(rise) : 0; }
};

struct Track {
    std::vector<int> blobs;  // indices, one per frame, in frame order
    double lx = 0, ly = 0, vx = 0, vy = 0;
    int lf = 0;
    bool has_v = false;
    int64_t rise = 0;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + mid, v.end());
    return v[mid];
}

// Theil-Sen slope: the median of the pairwise slopes, so that a few frames
// where the head fades or a strobe widens the blob do not bend the speed.
double RobustSlope(const std::vector<double>& t, const std::vector<double>& v) {
    std::vector<double> slopes;
    const size_t n = t.size();
    const size_t step = n > 200 ? n / 200 : 1;  // bounded work on long clips
    for (size_t i = 0; i < n; i += step)
        for (size_t j = i + 1; j < n; j += step)
            if (t[j] != t[i]) slopes.push_back((v[j] - v[i]) / (t[j] - t[i]));
    return Median(std::move(slopes));
}

}  // namespace

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::kMeteor: return "meteor";
        case Kind::kAircraft: return "aircraft";
        case Kind::kSatellite: return "satellite";
        case Kind::kFlash: return "flash";
        case Kind::kCloud: return "cloud";
        case Kind::kNoise: return "noise";
        case Kind::kUnsure: return "unsure";
    }
    return "unsure";
}

bool TrackAnalyser::Begin(const AnalysisSetup& setup, std::string* error) {
    s_ = setup;
    if (s_.width < 1 || s_.height < 1 || s_.width > 8192 || s_.height > 8192) {
        *error = "frame size " + std::to_string(s_.width) + "x" + std::to_string(s_.height) + " out of range";
        return false;
    }
    if (!(s_.fps >= 0.01 && s_.fps <= 1000)) s_.fps = 29.97;
    // Eight frame pairs give the level; a clip starts well before its event.
    level_frames_ = s_.dlev <= 0 ? 8 : 0;
    level_sum_ = 0;
    if (s_.dlev > 0) s_.dlev = std::min(s_.dlev, 255);
    s_.fs_diff = std::clamp(s_.fs_diff, 1, 100);
    frames_ = 0;
    pixels_ = static_cast<size_t>(s_.width) * s_.height;
    excluded_.assign(pixels_, 0);
    if (s_.mask.size() == pixels_)
        for (size_t i = 0; i < pixels_; ++i) excluded_[i] = s_.mask[i] != 0;
    for (int y = std::max(0, s_.stamp_first_row); y <= std::min(s_.height - 1, s_.stamp_last_row); ++y)
        std::memset(excluded_.data() + static_cast<size_t>(y) * s_.width, 1, s_.width);
    std::memset(excluded_.data(), 1, std::min<size_t>(std::max(0, s_.record_line_pixels), pixels_));
    unmasked_ = static_cast<int64_t>(pixels_) - std::count(excluded_.begin(), excluded_.end(), uint8_t{1});
    ring_.assign(s_.fs_diff + 1, std::vector<uint8_t>(pixels_, 0));
    first_.assign(pixels_, 0);
    peak_.assign(pixels_, 0);
    hit_frames_.assign(pixels_, 0);
    first_hit_.assign(pixels_, 0);
    last_hit_.assign(pixels_, 0);
    hits_.clear();
    hits_.reserve(1 << 16);
    frame_start_.clear();
    frame_hits_.clear();
    frame_has_ref_.clear();
    return true;
}

void TrackAnalyser::AddFrame(const uint8_t* luma, int stride) {
    if (pixels_ == 0 || frames_ >= kMaxFrames) return;
    const int w = s_.width, h = s_.height;
    uint8_t* cur = ring_[frames_ % ring_.size()].data();
    for (int y = 0; y < h; ++y) std::memcpy(cur + static_cast<size_t>(y) * w, luma + static_cast<size_t>(y) * stride, w);
    frame_start_.push_back(hits_.size());
    if (frames_ == 0) std::memcpy(first_.data(), cur, pixels_);
    uint8_t* pk = peak_.data();
    for (size_t i = 0; i < pixels_; ++i) pk[i] = std::max(pk[i], cur[i]);
    if (frames_ < s_.fs_diff) {
        frame_hits_.push_back(0);
        frame_has_ref_.push_back(false);
        ++frames_;
        return;
    }
    const uint8_t* ref = ring_[(frames_ - s_.fs_diff) % ring_.size()].data();
    const uint8_t* ex = excluded_.data();
    if (level_frames_ > 0) {
        int maxdiff = 0;
        for (size_t i = 0; i < pixels_; ++i)
            if (!ex[i]) maxdiff = std::max(maxdiff, cur[i] - ref[i]);
        level_sum_ += maxdiff;
        if (--level_frames_ == 0) {
            // As the detector's noise tracking settles on a steady noise.
            const int n = static_cast<int>(level_sum_ / 8 + 0.5);
            int level = (n * s_.nt_ratio + 99) / 100;
            if (level - n < s_.nt_delta) level = n + s_.nt_delta;
            s_.dlev = std::clamp(std::max(level, s_.nt_min), 1, 254);
        }
        frame_hits_.push_back(0);
        frame_has_ref_.push_back(false);
        ++frames_;
        return;
    }
    const int dlev = s_.dlev;
    const size_t room = std::min(kMaxFrameHits, kMaxClipHits - std::min(kMaxClipHits, hits_.size()));
    size_t stored = 0;
    int count = 0;
    const uint16_t stamp = static_cast<uint16_t>(frames_);
    for (int y = 0; y < h; ++y) {
        const size_t row = static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            const size_t i = row + x;
            const int d = cur[i] - ref[i];
            if (d < dlev || ex[i]) continue;
            ++count;
            if (hit_frames_[i] == 0) first_hit_[i] = stamp;
            if (hit_frames_[i] < 255) ++hit_frames_[i];
            last_hit_[i] = stamp;
            if (stored < room) {
                hits_.push_back(Hit{static_cast<uint16_t>(x), static_cast<uint16_t>(y), static_cast<uint8_t>(d)});
                ++stored;
            }
        }
    }
    frame_hits_.push_back(count);
    frame_has_ref_.push_back(true);
    ++frames_;
}

Analysis TrackAnalyser::Finish() {
    Analysis out;
    if (s_.dlev <= 0) s_.dlev = 255;  // too short to estimate a level: nothing counts
    out.width = s_.width;
    out.height = s_.height;
    out.fps = s_.fps;
    out.dlev = s_.dlev;
    out.fs_diff = s_.fs_diff;
    Measures& m = out.measures;
    const int w = s_.width, h = s_.height;
    const int nf = frames_;
    frame_start_.push_back(hits_.size());

    // A pixel that rose on three or more frames spread thinly over a long
    // span flickers in place (a twinkling star): something moving lights a
    // pixel on a few consecutive frames, or once per strobe further along.
    auto flickers = [&](size_t i) {
        const int n = hit_frames_[i];
        return n >= 3 && (last_hit_[i] - first_hit_[i] + 1) >= 3 * n;
    };

    // Blobs: the frame's hits binned into cells; cells up to two apart join,
    // so a streak with a faint gap stays one object.
    const int cell = std::max(4, (w + 79) / 80);
    const int gw = (w + cell - 1) / cell, gh = (h + cell - 1) / cell;
    std::vector<int> cell_stamp(static_cast<size_t>(gw) * gh, -1), cell_label(cell_stamp.size(), -1);
    std::vector<int> touched, queue;
    std::vector<Blob> blobs;
    std::vector<int> hit_blob(hits_.size(), -1);
    std::vector<size_t> frame_blob_start(nf + 1, 0);
    out.rows.resize(nf);
    for (int f = 0; f < nf; ++f) {
        FrameRow& row = out.rows[f];
        row.frame = f;
        row.has_ref = frame_has_ref_[f];
        frame_blob_start[f] = blobs.size();
        const size_t a = frame_start_[f], b = frame_start_[f + 1];
        // Hits beyond what was stored count as they were; stored flickering
        // ones are taken out.
        int flick = 0;
        int64_t rise = 0;
        double sx = 0, sy = 0;
        row.x0 = w;
        row.y0 = h;
        touched.clear();
        for (size_t k = a; k < b; ++k) {
            const Hit& hp = hits_[k];
            const size_t i = static_cast<size_t>(hp.y) * w + hp.x;
            if (flickers(i)) {
                ++flick;
                continue;
            }
            rise += hp.rise;
            sx += static_cast<double>(hp.x) * hp.rise;
            sy += static_cast<double>(hp.y) * hp.rise;
            row.x0 = std::min<int>(row.x0, hp.x);
            row.x1 = std::max<int>(row.x1, hp.x);
            row.y0 = std::min<int>(row.y0, hp.y);
            row.y1 = std::max<int>(row.y1, hp.y);
            const int c = (hp.y / cell) * gw + hp.x / cell;
            if (cell_stamp[c] != f) {
                cell_stamp[c] = f;
                cell_label[c] = -1;
                touched.push_back(c);
            }
        }
        row.hits = frame_hits_[f] - flick;
        row.rise = rise;
        if (rise > 0) {
            row.cx = sx / static_cast<double>(rise);
            row.cy = sy / static_cast<double>(rise);
        } else {
            row.x0 = row.y0 = 0;
        }
        row.changed = unmasked_ > 0 ? static_cast<double>(row.hits) / static_cast<double>(unmasked_) : 0;
        m.total_hits += row.hits;
        int labels = 0;
        for (int c0 : touched) {
            if (cell_label[c0] >= 0) continue;
            cell_label[c0] = labels;
            queue.assign(1, c0);
            while (!queue.empty()) {
                const int c = queue.back();
                queue.pop_back();
                const int cx = c % gw, cy = c / gw;
                for (int dy = -2; dy <= 2; ++dy) {
                    const int ny = cy + dy;
                    if (ny < 0 || ny >= gh) continue;
                    for (int dx = -2; dx <= 2; ++dx) {
                        const int nx = cx + dx;
                        if (nx < 0 || nx >= gw) continue;
                        const int nc = ny * gw + nx;
                        if (cell_stamp[nc] == f && cell_label[nc] < 0) {
                            cell_label[nc] = labels;
                            queue.push_back(nc);
                        }
                    }
                }
            }
            ++labels;
        }
        const size_t base = blobs.size();
        blobs.resize(base + labels);
        for (size_t k = a; k < b; ++k) {
            const Hit& hp = hits_[k];
            if (flickers(static_cast<size_t>(hp.y) * w + hp.x)) continue;
            const int lb = cell_label[(hp.y / cell) * gw + hp.x / cell];
            Blob& bl = blobs[base + lb];
            bl.frame = f;
            ++bl.n;
            bl.rise += hp.rise;
            bl.sx += static_cast<double>(hp.x) * hp.rise;
            bl.sy += static_cast<double>(hp.y) * hp.rise;
            bl.x0 = std::min<int>(bl.x0, hp.x);
            bl.x1 = std::max<int>(bl.x1, hp.x);
            bl.y0 = std::min<int>(bl.y0, hp.y);
            bl.y1 = std::max<int>(bl.y1, hp.y);
            hit_blob[k] = static_cast<int>(base + lb);
        }
    }
    frame_blob_start[nf] = blobs.size();

    // Tracks: each blob joins the track whose predicted place is nearest, so
    // a meteor, a plane's strobes and a twinkling star stay apart.
    std::vector<Track> tracks;
    const int max_gap = std::max(3, static_cast<int>(std::lround(2.5 * s_.fps)));
    const double first_gate = std::max(4.0 * cell, 0.12 * w);
    std::vector<int> order;
    for (int f = 0; f < nf; ++f) {
        order.clear();
        for (size_t k = frame_blob_start[f]; k < frame_blob_start[f + 1]; ++k)
            if (blobs[k].n >= 2) order.push_back(static_cast<int>(k));
        std::sort(order.begin(), order.end(), [&](int x, int y) { return blobs[x].rise > blobs[y].rise; });
        for (int k : order) {
            Blob& bl = blobs[k];
            const double bx = bl.cx(), by = bl.cy();
            const double half = 0.5 * std::hypot(bl.x1 - bl.x0 + 1, bl.y1 - bl.y0 + 1);
            int best = -1;
            double best_d = 0;
            for (size_t t = 0; t < tracks.size(); ++t) {
                Track& tr = tracks[t];
                const int dt = f - tr.lf;
                if (dt <= 0 || dt > max_gap) continue;
                double px = tr.lx, py = tr.ly, gate = first_gate + half;
                if (tr.has_v) {
                    px += tr.vx * dt;
                    py += tr.vy * dt;
                    gate = 2.0 * cell + half + 0.5 * std::hypot(tr.vx, tr.vy) * dt;
                }
                const double d = std::hypot(bx - px, by - py);
                if (d <= gate && (best < 0 || d < best_d)) {
                    best = static_cast<int>(t);
                    best_d = d;
                }
            }
            if (best < 0) {
                tracks.emplace_back();
                best = static_cast<int>(tracks.size()) - 1;
            } else {
                // Velocity over the whole track once it spans three frames:
                // a strobe and its afterglow on the next frame say nothing
                // about where the plane goes.
                Track& tr = tracks[best];
                const Blob& b0 = blobs[tr.blobs.front()];
                const double span = f - b0.frame;
                if (span >= 3) {
                    tr.vx = (bx - b0.cx()) / span;
                    tr.vy = (by - b0.cy()) / span;
                    tr.has_v = true;
                }
            }
            Track& tr = tracks[best];
            tr.blobs.push_back(k);
            tr.lx = bx;
            tr.ly = by;
            tr.lf = f;
            tr.rise += bl.rise;
            bl.track = best;
        }
    }

    // The event is the track with the most light that moved; a track whose
    // centroids all stay within one cell of their mean flickers in place.
    auto spread = [&](const Track& tr) {
        double mx = 0, my = 0;
        for (int k : tr.blobs) {
            mx += blobs[k].cx();
            my += blobs[k].cy();
        }
        mx /= tr.blobs.size();
        my /= tr.blobs.size();
        double r = 0;
        for (int k : tr.blobs) r = std::max(r, std::hypot(blobs[k].cx() - mx, blobs[k].cy() - my));
        return r;
    };
    int primary = -1;
    bool primary_static = false;
    for (size_t t = 0; t < tracks.size(); ++t) {
        const bool st = tracks[t].blobs.size() >= 2 && spread(tracks[t]) < cell;
        const bool better = primary < 0 || (primary_static && !st) ||
                            (st == primary_static && tracks[t].rise > tracks[primary].rise);
        if (better) {
            primary = static_cast<int>(t);
            primary_static = st;
        }
    }
    {
        // How much of the picture saw anything rise during the clip, and how
        // many things moved on their own for a while.
        std::vector<uint8_t> lit(static_cast<size_t>(gw) * gh, 0);
        for (const Blob& bl : blobs)
            for (int cy = bl.y0 / cell; cy <= bl.y1 / cell; ++cy)
                for (int cx = bl.x0 / cell; cx <= bl.x1 / cell; ++cx) lit[static_cast<size_t>(cy) * gw + cx] = 1;
        m.spread = static_cast<double>(std::count(lit.begin(), lit.end(), uint8_t{1})) / lit.size();
        for (const Track& t : tracks)
            if (t.blobs.size() >= 5 && spread(t) >= cell) ++m.moving_tracks;
    }
    for (const FrameRow& r : out.rows) {
        if (r.changed > m.max_changed) {
            m.max_changed = r.changed;
            m.max_changed_frame = r.frame;
        }
        if (r.changed >= 0.02) ++m.wide_frames;
    }
    if (primary < 0) {
        out.verdict = Judge(m, s_);
        return out;
    }
    // A faint blob left alone before or after the event (a twinkle the
    // track picked up on its way in) is not part of it.
    {
        Track& t = tracks[primary];
        int64_t peak = 0;
        for (int k : t.blobs) peak = std::max(peak, blobs[k].rise);
        auto stray = [&](int k, int next) {
            return std::abs(blobs[next].frame - blobs[k].frame) > 2 && blobs[k].rise * 10 < peak;
        };
        while (t.blobs.size() >= 2 && stray(t.blobs.front(), t.blobs[1])) {
            blobs[t.blobs.front()].track = -1;
            t.blobs.erase(t.blobs.begin());
        }
        while (t.blobs.size() >= 2 && stray(t.blobs.back(), t.blobs[t.blobs.size() - 2])) {
            blobs[t.blobs.back()].track = -1;
            t.blobs.pop_back();
        }
    }
    const Track& tr = tracks[primary];
    m.found = true;
    m.first_frame = blobs[tr.blobs.front()].frame;
    m.last_frame = blobs[tr.blobs.back()].frame;
    m.frames_seen = static_cast<int>(tr.blobs.size());
    int64_t track_hits = 0;
    m.track_hits = 0;
    for (int k : tr.blobs) {
        const Blob& bl = blobs[k];
        FrameRow& r = out.rows[bl.frame];
        r.track_hits = bl.n;
        r.track_rise = bl.rise;
        r.track_cx = bl.cx();
        r.track_cy = bl.cy();
        r.track_x0 = bl.x0;
        r.track_y0 = bl.y0;
        r.track_x1 = bl.x1;
        r.track_y1 = bl.y1;
        track_hits += bl.n;
    }
    m.track_hits = track_hits;
    m.track_share = m.total_hits > 0 ? static_cast<double>(track_hits) / static_cast<double>(m.total_hits) : 0;

    // Line: principal axis of the centroids (weighted by size); with the
    // centroids nearly in one place, that of the pixels themselves.
    double sw = 0, mx = 0, my = 0;
    for (int k : tr.blobs) {
        sw += blobs[k].n;
        mx += blobs[k].n * blobs[k].cx();
        my += blobs[k].n * blobs[k].cy();
    }
    mx /= sw;
    my /= sw;
    auto axis = [](double sxx, double syy, double sxy, double* ux, double* uy) {
        const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
        *ux = std::cos(angle);
        *uy = std::sin(angle);
    };
    double ux = 1, uy = 0;
    const bool moved = spread(tr) >= 0.5 * cell;
    if (moved) {
        double sxx = 0, syy = 0, sxy = 0;
        for (int k : tr.blobs) {
            const double dx = blobs[k].cx() - mx, dy = blobs[k].cy() - my;
            sxx += blobs[k].n * dx * dx;
            syy += blobs[k].n * dy * dy;
            sxy += blobs[k].n * dx * dy;
        }
        axis(sxx, syy, sxy, &ux, &uy);
    } else {
        double sxx = 0, syy = 0, sxy = 0;
        for (size_t k = 0; k < hits_.size(); ++k) {
            if (hit_blob[k] < 0 || blobs[hit_blob[k]].track != primary) continue;
            const double dx = hits_[k].x - mx, dy = hits_[k].y - my;
            sxx += dx * dx;
            syy += dy * dy;
            sxy += dx * dy;
        }
        axis(sxx, syy, sxy, &ux, &uy);
    }
    // Direction of motion: along the axis the way the centroids go in time.
    double tmean = 0;
    for (int k : tr.blobs) tmean += blobs[k].frame;
    tmean /= tr.blobs.size();
    double cov = 0;
    for (int k : tr.blobs) cov += (blobs[k].frame - tmean) * ((blobs[k].cx() - mx) * ux + (blobs[k].cy() - my) * uy);
    if (cov < 0) {
        ux = -ux;
        uy = -uy;
    }
    m.dir_x = ux;
    m.dir_y = uy;
    double res = 0;
    for (int k : tr.blobs) {
        const double d = -(blobs[k].cx() - mx) * uy + (blobs[k].cy() - my) * ux;
        res += blobs[k].n * d * d;
    }
    m.residual = std::sqrt(res / sw);

    // Ends: the rearmost and foremost pixels of the track along the line;
    // speed: how fast the front of each frame's pixels advances.
    double smin = 1e30, smax = -1e30;
    std::vector<double> head(nf, -1e30);
    for (size_t k = 0; k < hits_.size(); ++k) {
        if (hit_blob[k] < 0 || blobs[hit_blob[k]].track != primary) continue;
        const double sp = (hits_[k].x - mx) * ux + (hits_[k].y - my) * uy;
        smin = std::min(smin, sp);
        smax = std::max(smax, sp);
        const int f = blobs[hit_blob[k]].frame;
        head[f] = std::max(head[f], sp);
    }
    std::vector<double> ts, vs;
    for (int k : tr.blobs) {
        ts.push_back(blobs[k].frame);
        vs.push_back(head[blobs[k].frame]);
    }
    m.speed_px_s = ts.size() >= 2 ? std::max(0.0, RobustSlope(ts, vs)) * s_.fps : 0;
    // The first and last frames of a meteor are often below the detect
    // level; the brightest value each pixel reached against the clip's first
    // frame still shows them. Follow the line out from both ends while it
    // stays lit by a third of the detect level, bridging two-pixel gaps.
    {
        const double lit = std::max(6.0, s_.dlev / 3.0);
        // Up to three frames' travel: the faint frames at either end.
        const double reach = std::max(3.0 * cell, 3.5 * m.speed_px_s / s_.fps);
        auto profile = [&](double sp) {
            int best = -255;
            for (int l = -2; l <= 2; ++l) {
                const int x = static_cast<int>(std::lround(mx + sp * ux - l * uy));
                const int y = static_cast<int>(std::lround(my + sp * uy + l * ux));
                if (x < 0 || y < 0 || x >= w || y >= h) continue;
                const size_t i = static_cast<size_t>(y) * w + x;
                if (excluded_[i]) continue;
                best = std::max(best, peak_[i] - first_[i]);
            }
            return best;
        };
        auto extend = [&](double from, double step) {
            double last_lit = from;
            int misses = 0;
            for (double sp = from + step; std::fabs(sp - from) <= reach; sp += step) {
                if (profile(sp) >= lit) {
                    last_lit = sp;
                    misses = 0;
                } else if (++misses > 2) {
                    break;
                }
            }
            // The streak's glow reaches past its end; the end is where the
            // light falls below a third of what it is just inside.
            int inside = 0;
            for (int i = 0; i <= 8; ++i) inside = std::max(inside, profile(last_lit - step * i));
            const double half = std::max(lit, 0.35 * inside);
            while (std::fabs(last_lit - from) > 0 && profile(last_lit) < half) last_lit -= step;
            return last_lit;
        };
        smin = extend(smin, -1.0);
        smax = extend(smax, 1.0);
    }
    m.start_x = mx + smin * ux;
    m.start_y = my + smin * uy;
    m.end_x = mx + smax * ux;
    m.end_y = my + smax * uy;
    m.length = smax - smin;
    if (s_.plate_scale_deg > 0) m.speed_deg_s = m.speed_px_s * s_.plate_scale_deg;
    m.duration_s = (m.last_frame - m.first_frame + 1) / s_.fps;

    // Light curve and its shape.
    m.light_curve.assign(m.last_frame - m.first_frame + 1, 0);
    for (int k : tr.blobs) m.light_curve[blobs[k].frame - m.first_frame] = blobs[k].rise;
    const std::vector<int64_t>& lc = m.light_curve;
    const int n = static_cast<int>(lc.size());
    const auto peak_it = std::max_element(lc.begin(), lc.end());
    m.peak_frame = m.first_frame + static_cast<int>(peak_it - lc.begin());
    m.peak_rise = *peak_it;
    std::vector<double> seen;
    for (int k : tr.blobs) seen.push_back(static_cast<double>(blobs[k].rise));
    double seen_mean = std::accumulate(seen.begin(), seen.end(), 0.0) / seen.size();
    {
        double var = 0;
        for (double v : seen) var += (v - seen_mean) * (v - seen_mean);
        m.steadiness = seen_mean > 0 ? std::sqrt(var / seen.size()) / seen_mean : 0;
    }
    if (n >= 3) {
        // Brightening and fading: the peak stands at least 2.5 times above
        // the light of both ends of the track (its first and last 15 %), and
        // the light varies at all (a steady dot with a gap is not a hump).
        const int edge = std::max(1, (n * 15 + 99) / 100);
        double head_mean = 0, tail_mean = 0;
        for (int i = 0; i < edge; ++i) {
            head_mean += static_cast<double>(lc[i]) / edge;
            tail_mean += static_cast<double>(lc[n - 1 - i]) / edge;
        }
        m.brightens_and_fades = static_cast<double>(m.peak_rise) >= 2.5 * std::max(head_mean, tail_mean) &&
                                m.steadiness >= 0.25 && peak_it != lc.begin() && peak_it != lc.end() - 1;
    }
    {
        // Blinks: runs of frames far brighter than the track's usual light.
        std::vector<double> all(lc.begin(), lc.end());
        const double thr = std::max(3.0 * Median(all), 0.3 * static_cast<double>(m.peak_rise));
        std::vector<double> centres;
        for (int i = 0; i < n;) {
            if (static_cast<double>(lc[i]) < thr || lc[i] == 0) {
                ++i;
                continue;
            }
            int j = i, top = i;
            while (j < n && static_cast<double>(lc[j]) >= thr && lc[j] > 0) {
                if (lc[j] > lc[top]) top = j;
                ++j;
            }
            centres.push_back(top);
            i = j;
        }
        m.blinks = static_cast<int>(centres.size());
        if (centres.size() >= 2) {
            std::vector<double> gaps;
            for (size_t i = 1; i < centres.size(); ++i) gaps.push_back(centres[i] - centres[i - 1]);
            const double gm = std::accumulate(gaps.begin(), gaps.end(), 0.0) / gaps.size();
            double gv = 0;
            for (double g : gaps) gv += (g - gm) * (g - gm);
            m.blink_hz = s_.fps / gm;
            m.regularity = std::max(0.0, 1.0 - std::sqrt(gv / gaps.size()) / gm);
        }
    }
    {
        const int third = std::max(1, m.frames_seen / 3);
        double a = 0, b = 0;
        for (int i = 0; i < third; ++i) {
            a += blobs[tr.blobs[i]].n;
            b += blobs[tr.blobs[tr.blobs.size() - 1 - i]].n;
        }
        m.area_growth = a > 0 ? b / a : 1;
    }
    out.verdict = Judge(m, s_);
    if (primary_static && out.verdict.kind != Kind::kFlash && out.verdict.kind != Kind::kCloud) {
        out.verdict = {Kind::kNoise, 0.7, "flickers in place"};
    }
    return out;
}

}  // namespace vlx::analysis

#include "vlx/skysim/generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace vlx::skysim {

namespace {

constexpr int kNoiseSize = 1 << 16;  // entries of the noise table (power of two)

// splitmix64 finaliser: a cheap, well-mixed hash for random access by
// (frame, row, star) without any sequential generator state.
inline uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
inline uint64_t Hash(uint64_t seed, uint64_t a, uint64_t b) { return Mix(seed ^ Mix(a ^ Mix(b + 0x632BE59BD9B4E019ull))); }

// Sequential generator for building the scene.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t Next() { return Mix(s_++ * 0xD1B54A32D192ED03ull); }
    double Uniform() { return (Next() >> 11) * (1.0 / 9007199254740992.0); }
    double Gauss() {
        const double u1 = std::max(Uniform(), 1e-300);
        const double u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
    }

private:
    uint64_t s_;
};

// Salts that give each random stream of a scene its own sequence.
constexpr uint64_t kSaltNoise = 0x6E6F697365ull;
constexpr uint64_t kSaltRows = 0x726F7773ull;
constexpr uint64_t kSaltStars = 0x7374617273ull;
constexpr uint64_t kSaltTwinkle = 0x7477696E6Bull;
constexpr uint64_t kSaltClouds = 0x636C6F7564ull;
constexpr uint64_t kSaltAudio = 0x617564696Full;

inline uint8_t AddSat(uint8_t a, int b) {
    const int v = a + b;
    return static_cast<uint8_t>(v > 255 ? 255 : v);
}

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Detect level the noise tracker settles at for a mean frame maximum of
// `noise` with its default settings (110 %, margin 10, floor 10).
int TrackedLevel(double noise) {
    const int n = static_cast<int>(noise + 0.5);
    int level = (n * 110 + 99) / 100;
    if (level - n < 10) level = n + 10;
    if (level > 254) level = 254;
    if (level < 10) level = 10;
    return level;
}

// Packs `n` luma samples into YUY2 (luma_first) or UYVY two-pixel groups
// with neutral chroma. A trailing odd pixel gets a whole group (luma
// repeated) when `whole_last`, else only its luma and chroma byte.
void PackPairs(const uint8_t* y, int n, uint8_t* dst, bool luma_first, bool whole_last) {
    const int yo = luma_first ? 0 : 1;
    const int co = luma_first ? 1 : 0;
    const int pairs = n / 2;
    // One 32-bit group per pair, assembled in byte order so that the loop
    // vectorises and the result is the same on any byte order.
    const int shift = 8 * yo;
    const uint32_t chroma = luma_first ? 0x80008000u : 0x00800080u;
    for (int i = 0; i < pairs; ++i) {
        const uint32_t g = chroma | (uint32_t{y[2 * i]} << shift) | (uint32_t{y[2 * i + 1]} << (shift + 16));
        const uint8_t bytes[4] = {static_cast<uint8_t>(g), static_cast<uint8_t>(g >> 8), static_cast<uint8_t>(g >> 16),
                                  static_cast<uint8_t>(g >> 24)};
        std::memcpy(dst + 4 * i, bytes, 4);
    }
    if (n & 1) {
        uint8_t* d = dst + 4 * pairs;
        d[yo] = y[n - 1];
        d[co] = 128;
        if (whole_last) {
            d[yo + 2] = y[n - 1];
            d[co + 2] = 128;
        }
    }
}

}  // namespace

struct Generator::Star {
    int x0, y0;        // top-left of the sprite within the frame (clipped)
    int w, h;          // sprite size after clipping
    uint32_t sprite;   // offset into sprites_, rows of w entries, luma * 16
    int twinkle_q8;    // brightness swing in 1/256, 0 for a steady star
    int cx, cy;        // pixel under the centre (for the clouds)
};

struct Generator::Bounds {
    int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;  // inclusive
    bool empty() const { return x1 < x0 || y1 < y0; }
    void Add(const Bounds& b) {
        x0 = std::min(x0, b.x0);
        y0 = std::min(y0, b.y0);
        x1 = std::max(x1, b.x1);
        y1 = std::max(y1, b.y1);
    }
};

Generator::Generator(Scene scene) : scene_(std::move(scene)) {
    if (std::string err = Validate(scene_); !err.empty()) throw std::invalid_argument(err);
    const size_t pixels = static_cast<size_t>(scene_.width) * scene_.height;
    luma_.assign(pixels, 0);
    scratch_.assign(pixels, 0);
    glow_.resize(scene_.height);
    for (int y = 0; y < scene_.height; ++y) {
        const double r = scene_.height > 1 ? static_cast<double>(y) / (scene_.height - 1) : 0.0;
        glow_[y] = static_cast<float>(scene_.horizon_glow * r * r);
    }
    BuildNoise();
    BuildStars();
    BuildClouds();
    EstimateLevels();
    BuildTruth();
    std::vector<uint8_t>().swap(scratch_);
}

Generator::~Generator() = default;

void Generator::BuildNoise() {
    // The table is followed by a copy of its first `width` entries so that a
    // row starting anywhere in it reads contiguously.
    Rng rng(scene_.seed ^ kSaltNoise);
    noise_.resize(kNoiseSize + scene_.width);
    for (int i = 0; i < kNoiseSize; ++i) {
        const double v = std::round(rng.Gauss() * scene_.noise_sigma);
        noise_[i] = static_cast<int8_t>(std::clamp(v, -127.0, 127.0));
    }
    for (int i = 0; i < scene_.width; ++i) noise_[kNoiseSize + i] = noise_[i % kNoiseSize];
}

void Generator::BuildStars() {
    Rng rng(scene_.seed ^ kSaltStars);
    const Scene& s = scene_;
    stars_.clear();
    sprites_.clear();
    stars_.reserve(s.star_count);
    const double span = s.star_peak_max - s.star_peak_min;
    for (int i = 0; i < s.star_count; ++i) {
        const double cx = rng.Uniform() * s.width - 0.5;
        const double cy = rng.Uniform() * s.height - 0.5;
        // Many faint stars, few bright ones.
        const double u = rng.Uniform();
        const double rel = u * u * u * u;
        const double peak = s.star_peak_min + span * rel;
        const double sigma = s.star_sigma * (1.0 + 0.5 * rel);
        const bool twinkles = rng.Uniform() < s.twinkle_fraction;
        const int r = static_cast<int>(std::ceil(3 * sigma));
        const int px = static_cast<int>(std::lround(cx));
        const int py = static_cast<int>(std::lround(cy));
        const int x0 = std::max(0, px - r), x1 = std::min(s.width - 1, px + r);
        const int y0 = std::max(0, py - r), y1 = std::min(s.height - 1, py + r);
        if (x1 < x0 || y1 < y0) continue;
        Star st;
        st.x0 = x0;
        st.y0 = y0;
        st.w = x1 - x0 + 1;
        st.h = y1 - y0 + 1;
        st.sprite = static_cast<uint32_t>(sprites_.size());
        st.twinkle_q8 = twinkles ? static_cast<int>(std::lround(s.twinkle * 256)) : 0;
        st.cx = std::clamp(px, 0, s.width - 1);
        st.cy = std::clamp(py, 0, s.height - 1);
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                const double v = peak * std::exp(-d2 / (2 * sigma * sigma));
                sprites_.push_back(static_cast<uint16_t>(std::lround(v * 16)));
            }
        }
        stars_.push_back(st);
    }
}

void Generator::BuildClouds() {
    const CloudSpec& c = scene_.clouds;
    if (!c.on) return;
    // A periodic value-noise texture (two octaves) thresholded by the cover;
    // its period exceeds the width so that the whole sky drifts through it.
    const int cell = static_cast<int>(std::lround(c.scale));
    const int cells_x = (scene_.width + cell - 1) / cell + 2;
    const int cells_y = (scene_.height + cell - 1) / cell + 2;
    cloud_period_ = cells_x * cell;
    Rng rng(scene_.seed ^ kSaltClouds);
    std::vector<double> lattice(static_cast<size_t>(cells_x) * 2 * (cells_y * 2 + 1));
    for (double& v : lattice) v = rng.Uniform();
    const int fine_x = cells_x * 2;
    auto value = [&](double fx, double fy, int period_cells, int octave) {
        // Smooth bilinear interpolation of the lattice, periodic in x.
        const int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
        double tx = fx - ix, ty = fy - iy;
        tx = tx * tx * (3 - 2 * tx);
        ty = ty * ty * (3 - 2 * ty);
        auto at = [&](int x, int y) {
            x = ((x % period_cells) + period_cells) % period_cells;
            return lattice[(static_cast<size_t>(y) * fine_x + x + octave * 7) % lattice.size()];
        };
        const double a = at(ix, iy) * (1 - tx) + at(ix + 1, iy) * tx;
        const double b = at(ix, iy + 1) * (1 - tx) + at(ix + 1, iy + 1) * tx;
        return a * (1 - ty) + b * ty;
    };
    const int row = cloud_period_ + scene_.width;
    cloud_.assign(static_cast<size_t>(row) * scene_.height, 0);
    for (int y = 0; y < scene_.height; ++y) {
        for (int x = 0; x < cloud_period_; ++x) {
            const double n = 0.7 * value(static_cast<double>(x) / cell, static_cast<double>(y) / cell, cells_x, 0) +
                             0.3 * value(2.0 * x / cell, 2.0 * y / cell, cells_x * 2, 1);
            // n is about uniform-ish in 0..1; the densest `cover` share glows.
            const double t = std::clamp((n - (1.0 - c.cover)) / std::max(c.cover, 1e-6), 0.0, 1.0);
            cloud_[static_cast<size_t>(y) * row + x] = static_cast<uint8_t>(std::lround(c.level * t * t * (3 - 2 * t)));
        }
        for (int x = 0; x < scene_.width; ++x)
            cloud_[static_cast<size_t>(y) * row + cloud_period_ + x] =
                cloud_[static_cast<size_t>(y) * row + (x % cloud_period_)];
    }
}

int Generator::RowBase(int frame, int y) const {
    const double t = scene_.frames > 1 ? std::clamp(static_cast<double>(frame) / (scene_.frames - 1), 0.0, 1.0) : 0.0;
    return static_cast<int>(std::lround(scene_.sky_level + scene_.drift * t + glow_[y]));
}

void Generator::RenderSky(int frame, uint8_t* plane, bool with_events) {
    const int w = scene_.width;
    const uint64_t rows_seed = scene_.seed ^ kSaltRows;
    const uint8_t* clouds = nullptr;
    int cloud_row = 0;
    if (!cloud_.empty()) {
        cloud_row = cloud_period_ + w;
        const int64_t shift = static_cast<int64_t>(std::floor(frame * scene_.clouds.speed / scene_.fps));
        const int off = static_cast<int>(((shift % cloud_period_) + cloud_period_) % cloud_period_);
        clouds = cloud_.data() + off;
    }
    for (int y = 0; y < scene_.height; ++y) {
        const int base = RowBase(frame, y);
        const int8_t* nz = noise_.data() + (Hash(rows_seed, static_cast<uint64_t>(frame), y) & (kNoiseSize - 1));
        uint8_t* out = plane + static_cast<size_t>(y) * w;
        if (clouds) {
            const uint8_t* cl = clouds + static_cast<size_t>(y) * cloud_row;
            for (int x = 0; x < w; ++x) out[x] = Clamp255(base + nz[x] + cl[x]);
        } else {
            for (int x = 0; x < w; ++x) out[x] = Clamp255(base + nz[x]);
        }
    }
    DrawStars(frame, plane);
    if (with_events) DrawEvents(frame, plane);
}

void Generator::DrawStars(int frame, uint8_t* plane) {
    const int w = scene_.width;
    const uint64_t tw_seed = scene_.seed ^ kSaltTwinkle;
    const uint8_t* clouds = nullptr;
    int cloud_row = 0;
    int dim_q8 = 0;
    int level = 1;
    if (!cloud_.empty()) {
        cloud_row = cloud_period_ + w;
        const int64_t shift = static_cast<int64_t>(std::floor(frame * scene_.clouds.speed / scene_.fps));
        clouds = cloud_.data() + ((shift % cloud_period_) + cloud_period_) % cloud_period_;
        dim_q8 = static_cast<int>(std::lround(scene_.clouds.dimming * 256));
        level = std::max(1, static_cast<int>(std::lround(scene_.clouds.level)));
    }
    for (size_t i = 0; i < stars_.size(); ++i) {
        const Star& st = stars_[i];
        int scale = 256;
        if (st.twinkle_q8) {
            const int r = static_cast<int>(Hash(tw_seed, static_cast<uint64_t>(frame), i) & 511) - 256;
            scale += (st.twinkle_q8 * r) >> 8;
        }
        if (clouds) {
            const int c = std::min<int>(level, clouds[static_cast<size_t>(st.cy) * cloud_row + st.cx]);
            scale = scale * (256 - dim_q8 * c / level) >> 8;
        }
        const uint16_t* sp = sprites_.data() + st.sprite;
        for (int y = 0; y < st.h; ++y) {
            uint8_t* out = plane + static_cast<size_t>(st.y0 + y) * w + st.x0;
            for (int x = 0; x < st.w; ++x) out[x] = AddSat(out[x], (sp[x] * scale) >> 12);
            sp += st.w;
        }
    }
}

void Generator::DrawEvents(int frame, uint8_t* plane) const {
    for (const MeteorSpec& m : scene_.meteors) DrawMeteor(m, frame, plane);
    for (const MoverSpec& m : scene_.movers) DrawMover(m, frame, plane);
    for (const FlashSpec& f : scene_.flashes) DrawFlash(f, frame, plane);
}

bool Generator::FlashBounds(const FlashSpec& f, int frame, Bounds* b) const {
    const int t = frame - f.start_frame;
    if (t < 0 || t >= f.duration_frames) return false;
    const double r = 3.5 * f.radius;
    b->x0 = std::max(0, static_cast<int>(std::floor(f.x - r)));
    b->y0 = std::max(0, static_cast<int>(std::floor(f.y - r)));
    b->x1 = std::min(scene_.width - 1, static_cast<int>(std::ceil(f.x + r)));
    b->y1 = std::min(scene_.height - 1, static_cast<int>(std::ceil(f.y + r)));
    return !b->empty();
}

void Generator::DrawFlash(const FlashSpec& f, int frame, uint8_t* plane) const {
    Bounds b;
    if (!FlashBounds(f, frame, &b)) return;
    const int t = frame - f.start_frame;
    const double level = f.level * (1.0 - static_cast<double>(t) / f.duration_frames);
    const double inv = 1.0 / (2 * f.radius * f.radius);
    for (int y = b.y0; y <= b.y1; ++y) {
        const double gy = level * std::exp(-(y - f.y) * (y - f.y) * inv);
        if (gy < 0.5) continue;
        uint8_t* row = plane + static_cast<size_t>(y) * scene_.width;
        for (int x = b.x0; x <= b.x1; ++x) {
            const double v = gy * std::exp(-(x - f.x) * (x - f.x) * inv);
            if (v >= 0.5) row[x] = AddSat(row[x], static_cast<int>(v + 0.5));
        }
    }
}

namespace {

double Envelope(const MeteorSpec& m, int t) {
    const double u = (t + 0.5) / m.duration_frames;
    if (m.rise > 0 && u < m.rise) return u / m.rise;
    if (m.fade > 0 && u > 1 - m.fade) return (1 - u) / m.fade;
    return 1.0;
}

struct Streak {
    double hx, hy;   // head
    double dx, dy;   // unit direction of motion
    double len;      // visible length behind the head
    double bright;   // luma at the head
};

Streak MeteorStreak(const MeteorSpec& m, int t) {
    const double a = m.angle_deg * std::numbers::pi / 180.0;
    Streak s;
    s.dx = std::cos(a);
    s.dy = std::sin(a);
    const double travelled = m.speed * (t + 1);
    s.hx = m.x + s.dx * travelled;
    s.hy = m.y + s.dy * travelled;
    s.len = std::min(m.trail_length, travelled);
    s.bright = m.peak * Envelope(m, t);
    return s;
}

}  // namespace

bool Generator::MeteorBounds(const MeteorSpec& m, int frame, Bounds* b) const {
    const int t = frame - m.start_frame;
    if (t < 0 || t >= m.duration_frames) return false;
    const Streak s = MeteorStreak(m, t);
    const double tx = s.hx - s.dx * s.len, ty = s.hy - s.dy * s.len;
    const double r = 3.5 * m.width + 1;
    b->x0 = std::max(0, static_cast<int>(std::floor(std::min(s.hx, tx) - r)));
    b->y0 = std::max(0, static_cast<int>(std::floor(std::min(s.hy, ty) - r)));
    b->x1 = std::min(scene_.width - 1, static_cast<int>(std::ceil(std::max(s.hx, tx) + r)));
    b->y1 = std::min(scene_.height - 1, static_cast<int>(std::ceil(std::max(s.hy, ty) + r)));
    return !b->empty();
}

void Generator::DrawMeteor(const MeteorSpec& m, int frame, uint8_t* plane) const {
    Bounds b;
    if (!MeteorBounds(m, frame, &b)) return;
    const Streak s = MeteorStreak(m, frame - m.start_frame);
    if (s.bright <= 0) return;
    const double inv2w2 = 1.0 / (2 * m.width * m.width);
    const double inv_trail = m.trail_length > 0 ? 1.0 / m.trail_length : 0.0;
    for (int y = b.y0; y <= b.y1; ++y) {
        uint8_t* row = plane + static_cast<size_t>(y) * scene_.width;
        for (int x = b.x0; x <= b.x1; ++x) {
            // Distance behind the head along the path, clamped to the
            // visible streak; the nearest streak point lights the pixel.
            const double px = x - s.hx, py = y - s.hy;
            const double along = std::clamp(-(px * s.dx + py * s.dy), 0.0, s.len);
            const double qx = px + s.dx * along, qy = py + s.dy * along;
            const double v = s.bright * (1 - along * inv_trail) * std::exp(-(qx * qx + qy * qy) * inv2w2);
            if (v >= 0.5) row[x] = AddSat(row[x], static_cast<int>(v + 0.5));
        }
    }
}

namespace {

struct MoverPose {
    double cx, cy, px, py;  // centre and unit vector across the heading
    bool strobe;
};

MoverPose Pose(const MoverSpec& m, int t, double fps) {
    const double a = m.angle_deg * std::numbers::pi / 180.0;
    const double d = m.speed * t / fps;
    MoverPose p;
    p.cx = m.x + std::cos(a) * d;
    p.cy = m.y + std::sin(a) * d;
    p.px = -std::sin(a);
    p.py = std::cos(a);
    const int period = std::max(1, static_cast<int>(std::lround(m.strobe_period_s * fps)));
    p.strobe = m.kind == EventKind::kPlane && m.strobe_frames > 0 && (t % period) < m.strobe_frames;
    return p;
}

}  // namespace

bool Generator::MoverBounds(const MoverSpec& m, int frame, Bounds* b) const {
    const int t = frame - m.start_frame;
    if (t < 0 || t >= m.duration_frames) return false;
    const MoverPose p = Pose(m, t, scene_.fps);
    const double r = 3.5 * m.sigma * 1.3 + m.light_span / 2 + 1;
    b->x0 = std::max(0, static_cast<int>(std::floor(p.cx - r)));
    b->y0 = std::max(0, static_cast<int>(std::floor(p.cy - r)));
    b->x1 = std::min(scene_.width - 1, static_cast<int>(std::ceil(p.cx + r)));
    b->y1 = std::min(scene_.height - 1, static_cast<int>(std::ceil(p.cy + r)));
    return !b->empty();
}

void Generator::DrawMover(const MoverSpec& m, int frame, uint8_t* plane) const {
    const int t = frame - m.start_frame;
    if (t < 0 || t >= m.duration_frames) return;
    const MoverPose p = Pose(m, t, scene_.fps);
    if (m.kind == EventKind::kSatellite) {
        DrawDot(p.cx, p.cy, m.sigma, m.brightness, plane);
        return;
    }
    const double h = m.light_span / 2;
    DrawDot(p.cx + p.px * h, p.cy + p.py * h, m.sigma, m.brightness, plane);
    DrawDot(p.cx - p.px * h, p.cy - p.py * h, m.sigma, m.brightness, plane);
    if (p.strobe) DrawDot(p.cx, p.cy, m.sigma * 1.3, m.strobe_brightness, plane);
}

void Generator::DrawDot(double cx, double cy, double sigma, double peak, uint8_t* plane) const {
    const int r = static_cast<int>(std::ceil(3.5 * sigma));
    const int x0 = std::max(0, static_cast<int>(std::floor(cx)) - r);
    const int x1 = std::min(scene_.width - 1, static_cast<int>(std::ceil(cx)) + r);
    const int y0 = std::max(0, static_cast<int>(std::floor(cy)) - r);
    const int y1 = std::min(scene_.height - 1, static_cast<int>(std::ceil(cy)) + r);
    const double inv = 1.0 / (2 * sigma * sigma);
    for (int y = y0; y <= y1; ++y) {
        uint8_t* row = plane + static_cast<size_t>(y) * scene_.width;
        for (int x = x0; x <= x1; ++x) {
            const double v = peak * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) * inv);
            if (v >= 0.5) row[x] = AddSat(row[x], static_cast<int>(v + 0.5));
        }
    }
}

void Generator::EstimateLevels() {
    const int given = scene_.detect.level;
    if (given > 0) {
        level_ = level_low_ = level_high_ = given;
        return;
    }
    // The noise tracker follows the largest frame-to-frame rise of the
    // whole picture; sample it on the quiet sky (noise, stars, clouds).
    const int diff = scene_.detect.diff;
    const int pairs = std::clamp(scene_.frames - diff, 1, 24);
    const size_t n = luma_.size();
    std::vector<int> maxima;
    double sum = 0;
    for (int i = 0; i < pairs; ++i) {
        const int f = diff + static_cast<int>(static_cast<int64_t>(i) * std::max(1, scene_.frames - diff) / pairs);
        RenderSky(f - diff, scratch_.data(), false);
        RenderSky(f, luma_.data(), false);
        int maxdiff = 0;
        for (size_t p = 0; p < n; ++p) maxdiff = std::max(maxdiff, luma_[p] - scratch_[p]);
        maxima.push_back(maxdiff);
        sum += maxdiff;
    }
    // The tracker is a slow weighted mean that rises more slowly than it
    // falls, so it stays well inside the spread of the frame maxima: take the
    // tenth and ninetieth percentiles as its bounds.
    std::sort(maxima.begin(), maxima.end());
    const int last = static_cast<int>(maxima.size()) - 1;
    level_low_ = TrackedLevel(maxima[last / 10]);
    level_high_ = TrackedLevel(maxima[last - last / 10]);
    level_ = std::clamp(TrackedLevel(sum / pairs), level_low_, level_high_);
}

void Generator::BuildTruth() {
    const Scene& s = scene_;
    const DetectModel& d = s.detect;
    // Margin for one pixel: three standard deviations of the difference of
    // two noisy samples.
    const int margin = static_cast<int>(std::ceil(3 * s.noise_sigma * std::numbers::sqrt2));
    const int thr_nominal = std::max(1, level_);
    const int thr_sure = level_high_ + margin;
    const int thr_possible = std::max(1, level_low_ - margin);
    const int need = std::max(1, d.frames);

    // Clip start on per-frame counts: `need` consecutive frames of at least
    // `size`, or one of at least `min_size` when that is set.
    auto triggers = [&](const std::vector<int>& counts, double factor) {
        const int size = std::max(1, static_cast<int>(std::ceil(d.size * factor)));
        const int min_size = d.min_size > 0 ? std::max(1, static_cast<int>(std::ceil(d.min_size * factor))) : 0;
        int consec = 0;
        for (int c : counts) {
            if (c >= size) {
                ++consec;
                if (consec >= need || (min_size > 0 && c >= min_size)) return true;
            } else {
                consec = 0;
            }
        }
        return false;
    };

    std::vector<uint8_t>& now = luma_;
    std::vector<uint8_t>& before = scratch_;
    std::fill(now.begin(), now.end(), 0);
    std::fill(before.begin(), before.end(), 0);

    auto evaluate = [&](TruthEvent& ev, auto draw, auto bounds, int first, int last) {
        std::vector<int> nominal, sure, possible;
        for (int f = first; f <= last; ++f) {
            Bounds b, bb;
            const bool has_now = bounds(f, &b);
            const bool has_before = bounds(f - d.diff, &bb);
            if (has_before) b.Add(bb);
            int c_nom = 0, c_sure = 0, c_pos = 0;
            if (has_now || has_before) {
                draw(f, now.data());
                draw(f - d.diff, before.data());
                for (int y = b.y0; y <= b.y1; ++y) {
                    const int base = RowBase(f, y);
                    const size_t row = static_cast<size_t>(y) * s.width;
                    for (int x = b.x0; x <= b.x1; ++x) {
                        const int rise = std::min(255, base + now[row + x]) - std::min(255, base + before[row + x]);
                        c_nom += rise >= thr_nominal;
                        c_sure += rise >= thr_sure;
                        c_pos += rise >= thr_possible;
                    }
                    std::fill_n(now.begin() + row + b.x0, b.x1 - b.x0 + 1, 0);
                    std::fill_n(before.begin() + row + b.x0, b.x1 - b.x0 + 1, 0);
                }
            }
            nominal.push_back(c_nom);
            sure.push_back(c_sure);
            possible.push_back(c_pos);
            if (c_nom >= d.size) {
                if (ev.detect_first < 0) ev.detect_first = f;
                ev.detect_last = f;
            }
            ev.max_hits = std::max(ev.max_hits, c_nom);
        }
        ev.expect_trigger = triggers(sure, 1.25);
        ev.marginal = !ev.expect_trigger && triggers(possible, 0.8);
    };

    truth_.clear();
    const int last_frame = s.frames - 1;
    for (size_t i = 0; i < s.meteors.size(); ++i) {
        const MeteorSpec& m = s.meteors[i];
        TruthEvent ev;
        ev.kind = EventKind::kMeteor;
        ev.index = static_cast<int>(i);
        ev.first_frame = m.start_frame;
        ev.last_frame = m.start_frame + m.duration_frames - 1;
        if (ev.first_frame > last_frame) continue;
        ev.last_frame = std::min(ev.last_frame, last_frame);
        ev.x0 = m.x;
        ev.y0 = m.y;
        const Streak last = MeteorStreak(m, ev.last_frame - m.start_frame);
        ev.x1 = last.hx;
        ev.y1 = last.hy;
        ev.speed = m.speed;
        double brightest = 0;
        for (int t = 0; t <= ev.last_frame - m.start_frame; ++t) brightest = std::max(brightest, m.peak * Envelope(m, t));
        ev.peak = brightest;
        ev.tone_sample = AudioSampleOfFrame(m.start_frame);
        evaluate(
            ev, [&](int f, uint8_t* p) { DrawMeteor(m, f, p); },
            [&](int f, Bounds* b) { return MeteorBounds(m, f, b); }, ev.first_frame, ev.last_frame);
        truth_.push_back(ev);
    }
    for (size_t i = 0; i < s.movers.size(); ++i) {
        const MoverSpec& m = s.movers[i];
        TruthEvent ev;
        ev.kind = m.kind;
        ev.index = static_cast<int>(i);
        ev.first_frame = m.start_frame;
        ev.last_frame = m.start_frame + m.duration_frames - 1;
        if (ev.first_frame > last_frame) continue;
        ev.last_frame = std::min(ev.last_frame, last_frame);
        const MoverPose p0 = Pose(m, 0, s.fps);
        const MoverPose p1 = Pose(m, ev.last_frame - m.start_frame, s.fps);
        ev.x0 = p0.cx;
        ev.y0 = p0.cy;
        ev.x1 = p1.cx;
        ev.y1 = p1.cy;
        ev.speed = m.speed / s.fps;
        ev.peak = m.kind == EventKind::kPlane && m.strobe_frames > 0 ? std::max(m.brightness, m.strobe_brightness)
                                                                     : m.brightness;
        evaluate(
            ev, [&](int f, uint8_t* p) { DrawMover(m, f, p); },
            [&](int f, Bounds* b) { return MoverBounds(m, f, b); }, ev.first_frame, ev.last_frame);
        truth_.push_back(ev);
    }
    for (size_t i = 0; i < s.flashes.size(); ++i) {
        const FlashSpec& fl = s.flashes[i];
        TruthEvent ev;
        ev.kind = EventKind::kFlash;
        ev.index = static_cast<int>(i);
        ev.first_frame = fl.start_frame;
        ev.last_frame = std::min(fl.start_frame + fl.duration_frames - 1, last_frame);
        if (ev.first_frame > last_frame) continue;
        ev.x0 = ev.x1 = fl.x;
        ev.y0 = ev.y1 = fl.y;
        ev.peak = fl.level;
        evaluate(
            ev, [&](int f, uint8_t* p) { DrawFlash(fl, f, p); },
            [&](int f, Bounds* b) { return FlashBounds(fl, f, b); }, ev.first_frame, ev.last_frame);
        truth_.push_back(ev);
    }
    std::stable_sort(truth_.begin(), truth_.end(),
                     [](const TruthEvent& a, const TruthEvent& b) { return a.first_frame < b.first_frame; });
}

int Generator::TriggeringEvents() const {
    return static_cast<int>(std::count_if(truth_.begin(), truth_.end(), [](const TruthEvent& e) { return e.expect_trigger; }));
}

int Generator::ExpectedClips(int tail) const {
    std::vector<std::pair<int, int>> spans;
    for (const TruthEvent& e : truth_)
        if (e.expect_trigger && e.detect_first >= 0) spans.emplace_back(e.detect_first, e.detect_last);
    std::sort(spans.begin(), spans.end());
    int clips = 0;
    int end = -1;
    for (const auto& [first, last] : spans) {
        if (clips == 0 || first > end + tail) {
            ++clips;
            end = last;
        } else {
            end = std::max(end, last);
        }
    }
    return clips;
}

size_t Generator::FrameBytes(FormatCode format, int width, int height) {
    if (width < 1 || height < 1) return 0;
    const size_t p = static_cast<size_t>(width) * height;
    switch (format) {
        case kFormatGray8: return p;
        case kFormatYUY2:
        case kFormatUYVY: return 2 * p;
        case kFormatPlanar420: return p + 2 * (static_cast<size_t>(width + 1) / 2) * (static_cast<size_t>(height + 1) / 2);
        default: return 0;
    }
}

const uint8_t* Generator::RenderLuma(int frame) {
    RenderSky(frame, luma_.data(), true);
    return luma_.data();
}

bool Generator::Render(int frame, FormatCode format, uint8_t* out) {
    if (FrameBytes(format) == 0) return false;
    RenderSky(frame, luma_.data(), true);
    const int w = width(), h = height();
    uint8_t* planes[3] = {out, out + static_cast<size_t>(w) * h,
                          out + static_cast<size_t>(w) * h + static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2)};
    const int strides[3] = {format == kFormatYUY2 || format == kFormatUYVY ? 2 * w : w, (w + 1) / 2, (w + 1) / 2};
    PackFrom(luma_.data(), format, planes, strides, true);
    return true;
}

bool Generator::RenderStrided(int frame, FormatCode format, uint8_t* const planes[3], const int strides[3]) {
    if (FrameBytes(format) == 0) return false;
    RenderSky(frame, luma_.data(), true);
    PackFrom(luma_.data(), format, planes, strides, false);
    return true;
}

void Generator::PackFrom(const uint8_t* luma, FormatCode format, uint8_t* const planes[3], const int strides[3],
                         bool packed) {
    const int w = width(), h = height();
    switch (format) {
        case kFormatGray8:
        case kFormatPlanar420:
            if (packed) {
                std::memcpy(planes[0], luma, static_cast<size_t>(w) * h);
            } else {
                for (int y = 0; y < h; ++y)
                    std::memcpy(planes[0] + static_cast<size_t>(y) * strides[0], luma + static_cast<size_t>(y) * w, w);
            }
            if (format == kFormatPlanar420) {
                const int cw = (w + 1) / 2, ch = (h + 1) / 2;
                for (int p = 1; p <= 2; ++p) {
                    if (packed)
                        std::memset(planes[p], 128, static_cast<size_t>(cw) * ch);
                    else
                        for (int y = 0; y < ch; ++y) std::memset(planes[p] + static_cast<size_t>(y) * strides[p], 128, cw);
                }
            }
            break;
        case kFormatYUY2:
        case kFormatUYVY: {
            const bool luma_first = format == kFormatYUY2;
            if (packed) {
                // The whole frame is one stream of pixels.
                PackPairs(luma, w * h, planes[0], luma_first, false);
            } else {
                for (int y = 0; y < h; ++y)
                    PackPairs(luma + static_cast<size_t>(y) * w, w, planes[0] + static_cast<size_t>(y) * strides[0],
                              luma_first, true);
            }
            break;
        }
        default: break;
    }
}

int64_t Generator::AudioSampleOfFrame(int frame) const {
    return static_cast<int64_t>(std::floor(frame * static_cast<double>(kAudioRate) / scene_.fps + 1e-6));
}

void Generator::RenderAudio(int64_t first_sample, int count, int16_t* out) const {
    const AudioSpec& a = scene_.audio;
    const uint64_t seed = scene_.seed ^ kSaltAudio;
    const int64_t burst = static_cast<int64_t>(std::lround(a.tone_ms * kAudioRate / 1000.0));
    const double ramp = std::max(1.0, kAudioRate * 0.005);  // 5 ms edges keep the burst click-free
    const double w = 2 * std::numbers::pi * a.tone_hz / kAudioRate;
    const uint64_t span = 2 * static_cast<uint64_t>(a.noise) + 1;
    for (int i = 0; i < count; ++i) {
        const int64_t s = first_sample + i;
        double tone = 0;
        for (const TruthEvent& e : truth_) {
            if (e.tone_sample < 0) continue;
            const int64_t rel = s - e.tone_sample;
            if (rel < 0 || rel >= burst) continue;
            const double env = std::min({1.0, (rel + 1) / ramp, (burst - rel) / ramp});
            tone += a.tone_amplitude * env * std::sin(w * rel);
        }
        for (int c = 0; c < kAudioChannels; ++c) {
            const int hiss = static_cast<int>(Mix(seed ^ (static_cast<uint64_t>(s) * 2 + c)) % span) - a.noise;
            out[static_cast<size_t>(i) * kAudioChannels + c] =
                static_cast<int16_t>(std::clamp(std::lround(tone + hiss), -32768l, 32767l));
        }
    }
}

}  // namespace vlx::skysim

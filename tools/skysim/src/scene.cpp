#include "vlx/skysim/scene.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>

namespace vlx::skysim {

const char* EventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::kMeteor: return "meteor";
        case EventKind::kPlane: return "plane";
        case EventKind::kSatellite: return "satellite";
        case EventKind::kFlash: return "flash";
    }
    return "";
}

namespace {

std::string Bad(const std::string& what, int index = -1) {
    std::ostringstream s;
    s << what;
    if (index >= 0) s << " (event " << index << ")";
    return s.str();
}

bool Finite(double v) { return std::isfinite(v); }

}  // namespace

std::string Validate(const Scene& s) {
    if (s.width < 1 || s.width > 8192 || s.height < 1 || s.height > 8192)
        return "width and height must be 1..8192";
    if (!Finite(s.fps) || s.fps < 0.01 || s.fps > 1000) return "fps must be 0.01..1000";
    if (s.frames < 1 || s.frames > 10000000) return "frames must be 1..10000000";
    if (!Finite(s.sky_level) || s.sky_level < 0 || s.sky_level > 255) return "sky level must be 0..255";
    if (!Finite(s.horizon_glow) || std::fabs(s.horizon_glow) > 255) return "horizon glow must be -255..255";
    if (!Finite(s.drift) || std::fabs(s.drift) > 255) return "drift must be -255..255";
    if (!Finite(s.noise_sigma) || s.noise_sigma < 0 || s.noise_sigma > 40) return "noise sigma must be 0..40";
    if (s.star_count < 0 || s.star_count > 1000000) return "star count must be 0..1000000";
    if (!Finite(s.star_peak_min) || !Finite(s.star_peak_max) || s.star_peak_min < 0 ||
        s.star_peak_max < s.star_peak_min || s.star_peak_max > 255)
        return "star peaks must satisfy 0 <= min <= max <= 255";
    if (!Finite(s.star_sigma) || s.star_sigma < 0.3 || s.star_sigma > 3) return "star sigma must be 0.3..3";
    if (!Finite(s.twinkle) || s.twinkle < 0 || s.twinkle > 1) return "twinkle must be 0..1";
    if (!Finite(s.twinkle_fraction) || s.twinkle_fraction < 0 || s.twinkle_fraction > 1)
        return "twinkle fraction must be 0..1";
    if (s.clouds.on) {
        const CloudSpec& c = s.clouds;
        if (!Finite(c.level) || c.level < 0 || c.level > 255) return "cloud level must be 0..255";
        if (!Finite(c.cover) || c.cover <= 0 || c.cover > 1) return "cloud cover must be above 0 and at most 1";
        if (!Finite(c.speed) || std::fabs(c.speed) > 10000) return "cloud speed must be -10000..10000";
        if (!Finite(c.scale) || c.scale < 4 || c.scale > 4096) return "cloud scale must be 4..4096";
        if (!Finite(c.dimming) || c.dimming < 0 || c.dimming > 1) return "cloud dimming must be 0..1";
    }
    for (size_t i = 0; i < s.meteors.size(); ++i) {
        const MeteorSpec& m = s.meteors[i];
        const int n = static_cast<int>(i);
        if (m.start_frame < 0 || m.duration_frames < 1 || m.duration_frames > 100000)
            return Bad("meteor start must be >= 0 and duration 1..100000", n);
        if (!Finite(m.x) || !Finite(m.y) || std::fabs(m.x) > 1e6 || std::fabs(m.y) > 1e6)
            return Bad("meteor position out of range", n);
        if (!Finite(m.angle_deg) || !Finite(m.speed) || m.speed < 0 || m.speed > 10000)
            return Bad("meteor speed must be 0..10000", n);
        if (!Finite(m.peak) || m.peak < 0 || m.peak > 255) return Bad("meteor peak must be 0..255", n);
        if (!Finite(m.trail_length) || m.trail_length < 0 || m.trail_length > 10000)
            return Bad("meteor trail length must be 0..10000", n);
        if (!Finite(m.width) || m.width < 0.3 || m.width > 20) return Bad("meteor width must be 0.3..20", n);
        if (!Finite(m.rise) || !Finite(m.fade) || m.rise < 0 || m.fade < 0 || m.rise + m.fade > 1)
            return Bad("meteor rise and fade must be >= 0 with a sum of at most 1", n);
    }
    for (size_t i = 0; i < s.movers.size(); ++i) {
        const MoverSpec& m = s.movers[i];
        const int n = static_cast<int>(i);
        if (m.kind != EventKind::kPlane && m.kind != EventKind::kSatellite)
            return Bad("a mover must be a plane or a satellite", n);
        if (m.start_frame < 0 || m.duration_frames < 1 || m.duration_frames > 10000000)
            return Bad("mover start must be >= 0 and duration 1..10000000", n);
        if (!Finite(m.x) || !Finite(m.y) || std::fabs(m.x) > 1e6 || std::fabs(m.y) > 1e6)
            return Bad("mover position out of range", n);
        if (!Finite(m.angle_deg) || !Finite(m.speed) || m.speed < 0 || m.speed > 10000)
            return Bad("mover speed must be 0..10000", n);
        if (!Finite(m.brightness) || m.brightness < 0 || m.brightness > 255 || !Finite(m.strobe_brightness) ||
            m.strobe_brightness < 0 || m.strobe_brightness > 255)
            return Bad("mover brightness must be 0..255", n);
        if (!Finite(m.strobe_period_s) || m.strobe_period_s <= 0 || m.strobe_period_s > 3600 || m.strobe_frames < 0)
            return Bad("strobe period must be above 0 and at most 3600 s, strobe frames >= 0", n);
        if (!Finite(m.light_span) || m.light_span < 0 || m.light_span > 100) return Bad("light span must be 0..100", n);
        if (!Finite(m.sigma) || m.sigma < 0.3 || m.sigma > 10) return Bad("mover sigma must be 0.3..10", n);
    }
    for (size_t i = 0; i < s.flashes.size(); ++i) {
        const FlashSpec& f = s.flashes[i];
        const int n = static_cast<int>(i);
        if (f.start_frame < 0 || f.duration_frames < 1 || f.duration_frames > 100000)
            return Bad("flash start must be >= 0 and duration 1..100000", n);
        if (!Finite(f.x) || !Finite(f.y) || std::fabs(f.x) > 1e6 || std::fabs(f.y) > 1e6)
            return Bad("flash position out of range", n);
        if (!Finite(f.radius) || f.radius < 1 || f.radius > 1e5) return Bad("flash radius must be 1..100000", n);
        if (!Finite(f.level) || f.level < 0 || f.level > 255) return Bad("flash level must be 0..255", n);
    }
    const DetectModel& d = s.detect;
    if (d.level < 0 || d.level > 255) return "detect level must be 0..255";
    if (d.size < 1) return "detect size must be at least 1";
    if (d.frames < 0 || d.frames > 150) return "detect frames must be 0..150";
    if (d.min_size < 0) return "detect min size must be >= 0";
    if (d.diff < 1 || d.diff > 5) return "detect diff must be 1..5";
    const AudioSpec& a = s.audio;
    if (a.noise < 0 || a.noise > 32767 || a.tone_amplitude < 0 || a.tone_amplitude > 32767)
        return "audio amplitudes must be 0..32767";
    if (!Finite(a.tone_hz) || a.tone_hz <= 0 || a.tone_hz > 20000 || !Finite(a.tone_ms) || a.tone_ms < 0 ||
        a.tone_ms > 10000)
        return "tone must be 0..20000 Hz and 0..10000 ms";
    return {};
}

namespace {

// Builds a preset at its own size and rate, with events placed in fractions
// of the picture and in seconds, then scaled to the requested picture.
struct Builder {
    Scene s;
    double k = 1;  // scale of pixel speeds and lengths

    int Frame(double seconds) const { return static_cast<int>(std::lround(seconds * s.fps)); }

    void Meteor(double t, double fx, double fy, double angle, double speed, double seconds, double peak,
                double trail, double width = 2.5) {
        MeteorSpec m;
        m.start_frame = Frame(t);
        m.duration_frames = std::max(1, static_cast<int>(std::lround(seconds * s.fps)));
        m.x = fx * s.width;
        m.y = fy * s.height;
        m.angle_deg = angle;
        // Speeds are given per frame at 29.97 frames per second.
        m.speed = speed * k * 29.97 / s.fps;
        m.peak = peak;
        m.trail_length = trail * k;
        m.width = width * std::sqrt(k);
        s.meteors.push_back(m);
    }

    void Mover(EventKind kind, double t0, double t1, double fx, double fy, double angle, double speed,
               double brightness) {
        MoverSpec m;
        m.kind = kind;
        m.start_frame = Frame(t0);
        m.duration_frames = std::max(1, Frame(t1) - m.start_frame);
        m.x = fx * s.width;
        m.y = fy * s.height;
        m.angle_deg = angle;
        m.speed = speed * k;
        m.brightness = brightness;
        m.sigma = 0.8 * std::sqrt(k);
        m.light_span = 4 * k;
        s.movers.push_back(m);
    }

    void Flash(double t, double fx, double fy, double radius_share, double level, int frames) {
        FlashSpec f;
        f.start_frame = Frame(t);
        f.duration_frames = frames;
        f.x = fx * s.width;
        f.y = fy * s.height;
        f.radius = radius_share * s.width;
        f.level = level;
        s.flashes.push_back(f);
    }
};

using Recipe = std::function<void(Builder&)>;

struct PresetDef {
    int width, height;
    double seconds;
    Recipe recipe;
};

const std::map<std::string, PresetDef, std::less<>>& Presets() {
    static const std::map<std::string, PresetDef, std::less<>> presets = {
        {"demo", {640, 480, 60, [](Builder& b) {
             b.s.star_count = 350;
             b.Meteor(6, 0.20, 0.18, 28, 24, 0.45, 230, 110);
             b.Meteor(19, 0.78, 0.22, 150, 20, 0.55, 220, 90);
             b.Meteor(33, 0.35, 0.62, -35, 26, 0.40, 235, 120);
             b.Meteor(48, 0.60, 0.12, 100, 22, 0.50, 225, 100);
             b.Mover(EventKind::kPlane, 2, 42, 0.05, 0.70, -8, 12, 70);
             b.Mover(EventKind::kSatellite, 24, 56, 0.90, 0.35, 195, 14, 45);
         }}},
        {"single-meteor", {320, 240, 8, [](Builder& b) {
             b.s.star_count = 120;
             b.Meteor(3, 0.25, 0.25, 30, 22, 0.45, 230, 100);
         }}},
        {"two-close", {320, 240, 8, [](Builder& b) {
             b.s.star_count = 120;
             b.Meteor(2.5, 0.20, 0.20, 25, 22, 0.40, 230, 100);
             b.Meteor(3.5, 0.75, 0.25, 150, 22, 0.40, 230, 100);
         }}},
        {"two-apart", {320, 240, 12, [](Builder& b) {
             b.s.star_count = 120;
             b.Meteor(2.5, 0.20, 0.20, 25, 22, 0.40, 230, 100);
             b.Meteor(8.5, 0.75, 0.25, 150, 22, 0.40, 230, 100);
         }}},
        {"plane", {320, 240, 10, [](Builder& b) {
             b.s.star_count = 120;
             b.Mover(EventKind::kPlane, 0.5, 9.5, 0.10, 0.55, -5, 15, 70);
         }}},
        {"satellite", {320, 240, 10, [](Builder& b) {
             b.s.star_count = 120;
             b.Mover(EventKind::kSatellite, 0.5, 9.5, 0.85, 0.30, 170, 18, 50);
         }}},
        {"twinkle", {320, 240, 30, [](Builder& b) {
             b.s.star_count = 250;
             b.s.twinkle = 0.35;
             b.s.twinkle_fraction = 1.0;
             b.s.star_peak_max = 200;
         }}},
        {"busy", {640, 480, 20, [](Builder& b) {
             b.s.star_count = 1000;
             b.s.clouds.on = true;
             b.s.drift = 12;
             b.Meteor(3, 0.15, 0.20, 20, 24, 0.45, 230, 110);
             b.Meteor(9, 0.80, 0.15, 140, 22, 0.50, 225, 100);
             b.Meteor(15, 0.40, 0.70, -30, 26, 0.40, 235, 120);
             b.Mover(EventKind::kPlane, 1, 19, 0.05, 0.50, -6, 14, 70);
             b.Mover(EventKind::kSatellite, 2, 18, 0.92, 0.30, 190, 16, 45);
         }}},
        {"flash", {320, 240, 6, [](Builder& b) {
             b.s.star_count = 150;
             b.Flash(3, 0.6, 0.3, 0.45, 70, 3);
         }}},
        {"clouds", {320, 240, 8, [](Builder& b) {
             b.s.star_count = 200;
             b.s.clouds.on = true;
             b.s.clouds.level = 220;
             b.s.clouds.cover = 0.5;
             b.s.clouds.speed = 150 * b.k;
             b.s.clouds.scale = 64 * b.k;
             b.s.detect.level = 24;
         }}},
    };
    return presets;
}

}  // namespace

const std::vector<std::string>& PresetNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& [name, def] : Presets()) v.push_back(name);
        return v;
    }();
    return names;
}

std::optional<Scene> Preset(std::string_view name, const PresetOptions& o) {
    const auto it = Presets().find(name);
    if (it == Presets().end()) return std::nullopt;
    const PresetDef& def = it->second;
    Builder b;
    b.s.width = o.width > 0 ? o.width : def.width;
    b.s.height = o.height > 0 ? o.height : def.height;
    b.s.fps = o.fps > 0 ? o.fps : 29.97;
    b.s.seed = o.seed != 0 ? o.seed : 1;
    const double seconds = o.seconds > 0 ? o.seconds : def.seconds;
    b.s.frames = std::max(1, static_cast<int>(std::lround(seconds * b.s.fps)));
    // Pixel speeds and sizes follow the width above 640; smaller pictures
    // keep them so that meteors still cover enough pixels to be seen.
    b.k = std::max(1.0, b.s.width / 640.0);
    def.recipe(b);
    const double area = static_cast<double>(b.s.width) * b.s.height / (640.0 * 480.0);
    b.s.star_count = static_cast<int>(std::lround(b.s.star_count * area));
    // Events that would start after the end are left out; those cut short
    // keep their truth computed on the frames that exist.
    std::erase_if(b.s.meteors, [&](const MeteorSpec& m) { return m.start_frame >= b.s.frames; });
    std::erase_if(b.s.movers, [&](const MoverSpec& m) { return m.start_frame >= b.s.frames; });
    std::erase_if(b.s.flashes, [&](const FlashSpec& f) { return f.start_frame >= b.s.frames; });
    return b.s;
}

}  // namespace vlx::skysim

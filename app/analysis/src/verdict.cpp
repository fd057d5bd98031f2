// The verdict: plain rules over the measures, strongest evidence first.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "vlx/analysis/track.h"

namespace vlx::analysis {
namespace {

// Speeds are judged as if the picture were 640 pixels wide, so a station
// with a larger sensor and the same lens gets the same verdicts.
constexpr double kRefWidth = 640;
// Meteors cross a typical all-sky or wide field in well under a second:
// five pixels a frame (150 px/s) or more is fast. Aircraft and satellites
// cover a few tens of pixels a second; below 100 px/s is slow.
constexpr double kFastPxS = 150;
constexpr double kSlowPxS = 100;
// A flash (lightning, a car's lights on the clouds) lights a large share of
// the picture at once: 8 % of the unmasked pixels rising on one frame, for no
// more than a quarter of a second.
constexpr double kFlashShare = 0.08;
constexpr double kFlashSeconds = 0.25;
// Moving clouds change a few percent of the picture on frame after frame:
// 2 % for at least 0.3 s, or most of the light outside any one track.
constexpr double kCloudSeconds = 0.3;
constexpr double kCloudSpread = 0.10;
constexpr int kCloudTracks = 4;
// Straight: the centroids stay within 2 pixels (at 640 wide) or 5 % of the
// track's length of one line.
constexpr double kStraightPx = 2.0;
constexpr double kStraightShare = 0.05;
// Strobes of aircraft blink at 0.5 to 2 Hz (a little margin each side for
// the few blinks a clip holds), with even intervals.
constexpr double kBlinkMinHz = 0.4;
constexpr double kBlinkMaxHz = 2.5;
constexpr double kBlinkRegularity = 0.7;
// A satellite shines steadily: the light varies by less than 60 % of its mean.
constexpr double kSteady = 0.6;

std::string Format(const char* fmt, double a, double b = 0, double c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

}  // namespace

Verdict Judge(const Measures& m, const AnalysisSetup& s) {
    const double fps = s.fps >= 0.01 ? s.fps : 29.97;
    const double k = std::max(1, s.width) / kRefWidth;
    const double speed = m.speed_px_s / k;  // at the reference width

    // Frame-wide change first: a flash or a cloud puts light everywhere, and
    // whatever track it leaves says nothing.
    if (m.max_changed >= kFlashShare) {
        const int flash_frames = m.wide_frames;
        if (flash_frames <= std::max(2.0, kFlashSeconds * fps)) {
            return {Kind::kFlash, std::min(1.0, 0.6 + m.max_changed),
                    Format("%.0f %% of the frame changed in one frame", 100 * m.max_changed)};
        }
    }
    const bool wide = m.wide_frames >= std::max(3.0, kCloudSeconds * fps);
    // Clouds light up patches all over the picture, or drag many separate
    // features along at once.
    const bool scattered = m.spread >= kCloudSpread || m.moving_tracks >= kCloudTracks;
    if (!m.found) {
        if (wide) return {Kind::kCloud, 0.6, Format("%.0f %% of the frame changed over %.1f s", 100 * m.max_changed, m.wide_frames / fps)};
        return {Kind::kNoise, 0.8, "nothing moved"};
    }
    // A few pixels on one or two frames is a twinkle or a hot pixel.
    if (m.frames_seen < 2 || (m.frames_seen < 3 && m.track_hits < 40 * k * k)) {
        if (wide || scattered) return {Kind::kCloud, 0.5, Format("%.0f %% of the picture changed", 100 * m.spread)};
        return {Kind::kNoise, 0.7,
                Format("%.0f pixels on %.0f frames", static_cast<double>(m.track_hits), m.frames_seen)};
    }

    const double straight_limit = std::max(kStraightPx * k, kStraightShare * m.length);
    const bool straight = m.frames_seen >= 2 && m.residual <= straight_limit;
    // A meteor burns without a break: seen on most frames of its span (a
    // plane whose lights are too faint shows only its strobes).
    const bool continuous = m.frames_seen >= 0.6 * (m.last_frame - m.first_frame + 1);
    const bool fast = speed >= kFastPxS;
    const double straightness = straight ? 1.0 - m.residual / straight_limit : 0;
    const std::string meteor_reason =
        Format("straight, %.0f px/s, %.1f s", m.speed_px_s, m.duration_s);

    // A meteor that is clearly one keeps its name even in a cloudy clip.
    if (straight && continuous && m.brightens_and_fades && fast && m.track_share >= 0.3 && m.duration_s <= 10) {
        return {Kind::kMeteor, std::min(1.0, 0.8 + 0.2 * straightness), meteor_reason};
    }
    if (wide || scattered) {
        if (wide)
            return {Kind::kCloud, 0.7, Format("%.0f %% of the frame changed over %.1f s", 100 * m.max_changed, m.wide_frames / fps)};
        return {Kind::kCloud, 0.6, Format("%.0f %% of the picture changed, %.0f things moved", 100 * m.spread, m.moving_tracks)};
    }
    // Two blinks alone could be two twinkles; they count when the lights
    // between them were seen too.
    const bool enough_blinks = m.blinks >= 3 || (m.blinks == 2 && m.frames_seen >= 6);
    const bool blinking = enough_blinks && m.blink_hz >= kBlinkMinHz && m.blink_hz <= kBlinkMaxHz &&
                          m.regularity >= kBlinkRegularity;
    if (blinking && !fast) {
        return {Kind::kAircraft, std::min(1.0, 0.6 + 0.4 * m.regularity),
                Format("blinks at %.1f Hz, %.0f px/s", m.blink_hz, m.speed_px_s)};
    }
    // Straight and brightening then fading: a meteor, however slow or short.
    if (straight && continuous && m.brightens_and_fades && m.duration_s <= 10) {
        return {Kind::kMeteor, 0.6 + 0.2 * straightness + (fast ? 0.2 : 0), meteor_reason};
    }
    if (straight && continuous && fast && m.duration_s <= 5) {
        return {Kind::kMeteor, 0.5 + 0.2 * straightness, meteor_reason};
    }
    if (straight && speed < kSlowPxS && m.steadiness < kSteady && m.duration_s >= 0.5) {
        return {Kind::kSatellite, 0.5 + 0.3 * straightness + 0.2 * (1 - m.steadiness / kSteady),
                Format("steady, straight, %.0f px/s, %.1f s", m.speed_px_s, m.duration_s)};
    }
    if (enough_blinks && !fast) {
        return {Kind::kAircraft, 0.4, Format("blinks, %.0f px/s", m.speed_px_s)};
    }
    return {Kind::kUnsure, 0.3,
            Format(straight ? "straight, %.0f px/s, %.1f s" : "not straight, %.0f px/s, %.1f s", m.speed_px_s,
                   m.duration_s)};
}

}  // namespace vlx::analysis

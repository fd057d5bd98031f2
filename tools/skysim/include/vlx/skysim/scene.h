// Configuration of a simulated night sky: picture, sensor, stars, clouds,
// the events that cross it, and the detector settings its ground truth is
// judged against.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlx::skysim {

enum class EventKind { kMeteor, kPlane, kSatellite, kFlash };

// "meteor", "plane", "satellite", "flash".
const char* EventKindName(EventKind kind);

// A fast streak. The head enters at (x, y) and moves `speed` pixels per frame
// in direction `angle_deg` (0 = +x, 90 = +y, i.e. down the picture). On frame
// t of its life (t = 0 .. duration_frames-1) the head is at (x, y) + dir *
// speed * (t + 1), and the streak reaches back from the head by the length
// travelled so far, at most `trail_length`. Brightness along the streak falls
// linearly from the head to zero at `trail_length`; across it the profile is
// Gaussian with sigma `width`.
struct MeteorSpec {
    int start_frame = 0;
    int duration_frames = 10;
    double x = 0, y = 0;
    double angle_deg = 0;
    double speed = 10;          // pixels per frame
    double peak = 200;          // luma above the sky at the head at full brightness
    double trail_length = 60;   // pixels
    double width = 2.0;         // Gaussian sigma across the streak, pixels
    // Envelope: brightness rises linearly over the first `rise` of the life,
    // falls linearly over the last `fade`, and stays at `peak` in between
    // (both 0: constant brightness with a sharp start and end).
    double rise = 0.3;
    double fade = 0.5;
};

// A slow mover. A plane shows two steady navigation lights `light_span`
// pixels apart across its heading and a strobe at its centre that flashes
// for `strobe_frames` frames every `strobe_period_s` seconds; a satellite is a
// single steady dot. Positions: (x, y) on its first frame, then `speed`
// pixels per second along `angle_deg`.
struct MoverSpec {
    EventKind kind = EventKind::kPlane;
    int start_frame = 0;
    int duration_frames = 300;
    double x = 0, y = 0;
    double angle_deg = 0;
    double speed = 10;              // pixels per second
    double brightness = 60;         // navigation lights / satellite dot, luma above the sky
    double strobe_brightness = 200; // plane only
    double strobe_period_s = 1.0;
    int strobe_frames = 2;
    double light_span = 4;
    double sigma = 0.8;             // Gaussian sigma of each light
};

// A lightning-like flash: a broad glow of `level` luma at its centre,
// falling off as a Gaussian of sigma `radius`, lit at once on its first
// frame and fading linearly over `duration_frames`.
struct FlashSpec {
    int start_frame = 0;
    int duration_frames = 3;
    double x = 0, y = 0;
    double radius = 200;  // pixels
    double level = 60;
};

// Moonlit clouds: a smooth random glow of up to `level` luma covering about
// `cover` of the sky, drifting sideways at `speed` pixels per second and
// dimming the stars behind it by up to `dimming` (0..1).
struct CloudSpec {
    bool on = false;
    double level = 10;
    double cover = 0.4;
    double speed = 8;
    double scale = 96;   // size of the cloud cells, pixels
    double dimming = 0.8;
};

// What the ground truth's expect_trigger is judged against: a frame is a
// detection frame when at least `size` pixels became brighter by `level` or
// more than `diff` frames before; a clip starts after `frames` consecutive
// detection frames, or at once on a frame with at least `min_size` hits when
// `min_size` is non-zero. `level` 0 asks for the level that the detector's
// noise tracking (110 %, margin 10, floor 10) would settle at on this sky.
// The defaults are the detector's default settings.
struct DetectModel {
    int level = 0;
    int size = 100;
    int frames = 2;
    int min_size = 100;
    int diff = 1;
};

struct AudioSpec {
    int noise = 150;           // peak amplitude of the background hiss
    int tone_amplitude = 12000;
    double tone_hz = 1000;
    double tone_ms = 200;
};

struct Scene {
    int width = 640;
    int height = 480;
    double fps = 29.97;
    int frames = 300;
    uint64_t seed = 1;

    double sky_level = 24;      // mean luma of the sky
    double horizon_glow = 10;   // extra luma at the bottom row, rising quadratically
    double drift = 0;           // change of the sky level from the first to the last frame
    double noise_sigma = 2.0;   // sensor noise, luma

    int star_count = 300;
    double star_peak_min = 12;  // peak luma of the faintest star above the sky
    double star_peak_max = 160;
    double star_sigma = 0.8;    // PSF sigma of a faint star, pixels
    double twinkle = 0.15;      // relative brightness swing of a twinkling star
    double twinkle_fraction = 0.6;  // share of stars that twinkle

    CloudSpec clouds;
    std::vector<MeteorSpec> meteors;
    std::vector<MoverSpec> movers;
    std::vector<FlashSpec> flashes;
    DetectModel detect;
    AudioSpec audio;
};

// Empty when the scene can be rendered, else what is wrong with it.
std::string Validate(const Scene& scene);

// Overrides for a preset; 0 keeps the preset's own value. Event positions
// and speeds scale with the picture size, event times with the frame rate.
struct PresetOptions {
    int width = 0;
    int height = 0;
    double fps = 0;
    double seconds = 0;
    uint64_t seed = 0;
};

// Built-in scenes:
//   "demo"          60 s at 640x480: four meteors well apart, a plane, a
//                   satellite, twinkling stars.
//   "single-meteor" one bright meteor in the middle of an 8 s clip.
//   "two-close"     two meteors 1 s apart (one clip with default head/tail).
//   "two-apart"     two meteors 6 s apart.
//   "plane"         a plane crossing slowly, nothing else.
//   "satellite"     a satellite crossing, nothing else.
//   "twinkle"       strongly twinkling stars and no events.
//   "busy"          dense stars, clouds, brightness drift, meteors, a plane
//                   and a satellite.
//   "flash"         a lightning-like flash lighting most of the sky.
//   "clouds"        bright moonlit clouds racing across (judged against the
//                   clear sky's level, as a detector meets them).
std::optional<Scene> Preset(std::string_view name, const PresetOptions& options = {});
const std::vector<std::string>& PresetNames();

}  // namespace vlx::skysim

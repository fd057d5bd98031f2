// Deterministic renderer of a simulated sky: any frame, in any of the four
// detector formats, with the ground truth of every event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vlx/guid.h"
#include "vlx/skysim/scene.h"

namespace vlx::skysim {

// One event as the detector should see it.
struct TruthEvent {
    EventKind kind = EventKind::kMeteor;
    int index = 0;            // position in Scene::meteors or Scene::movers
    int first_frame = 0;      // first and last frame it is drawn on
    int last_frame = 0;
    double peak = 0;          // brightest luma above the sky it reaches
    double x0 = 0, y0 = 0;    // path: where it enters (meteor: start of the
    double x1 = 0, y1 = 0;    // streak) and where its head is on the last frame
    double speed = 0;         // pixels per frame
    // Detection frames by the scene's DetectModel at its nominal level
    // (-1 when none), and the largest count of pixels that brightened by at
    // least the level on one frame.
    int detect_first = -1;
    int detect_last = -1;
    int max_hits = 0;
    // The event starts a clip even with the level raised and the counts
    // lowered by the noise margins (see Generator). `marginal`: it neither
    // surely triggers nor surely stays quiet; presets contain none.
    bool expect_trigger = false;
    bool marginal = false;
    int64_t tone_sample = -1; // meteors: first audio sample of its tone burst
};

// Rendering reuses one internal luma plane: use one Generator per thread.
class Generator {
public:
    static constexpr int kAudioRate = 48000;
    static constexpr int kAudioChannels = 2;

    // The scene must pass Validate(); a scene that does not throws
    // std::invalid_argument with its message. Builds the star sprites, noise
    // table, cloud texture and the ground truth; rendering allocates nothing.
    explicit Generator(Scene scene);
    ~Generator();
    Generator(const Generator&) = delete;
    Generator& operator=(const Generator&) = delete;

    const Scene& scene() const { return scene_; }
    int width() const { return scene_.width; }
    int height() const { return scene_.height; }
    int frames() const { return scene_.frames; }
    const std::vector<TruthEvent>& truth() const { return truth_; }
    // Detect levels the ground truth used: the nominal one, and the bounds
    // within which a detector with noise tracking is expected to settle.
    int detect_level() const { return level_; }
    int detect_level_low() const { return level_low_; }
    int detect_level_high() const { return level_high_; }
    // Number of events with expect_trigger.
    int TriggeringEvents() const;
    // Clips a detector with `tail` tail frames should write: triggering
    // events merge into one clip when the next one's first detection frame
    // comes no later than `tail` frames after the previous one's last.
    int ExpectedClips(int tail) const;

    // Bytes of one packed frame without padding: GRAY8 w*h; YUY2 and UYVY
    // 2*w*h, the w*h pixels in raster order forming a continuous stream of
    // two-pixel groups (with an odd width a group spans two rows; with an odd
    // pixel count the last group is half); I420 w*h luma then two chroma
    // planes of ceil(w/2)*ceil(h/2).
    static size_t FrameBytes(FormatCode format, int width, int height);
    size_t FrameBytes(FormatCode format) const { return FrameBytes(format, width(), height()); }

    // Renders frame `frame` (0 .. frames-1; others render as the empty sky
    // with noise) packed into `out`, which holds FrameBytes(format). Chroma
    // is neutral (128). Returns false for an unknown format.
    bool Render(int frame, FormatCode format, uint8_t* out);

    // The same picture into a frame with row strides (bytes) per plane, each
    // row starting on a new two-pixel group, as GStreamer lays out raw video.
    // planes/strides: [0] only for packed and gray formats, [0..2] for I420.
    bool RenderStrided(int frame, FormatCode format, uint8_t* const planes[3], const int strides[3]);

    // The luma plane of a frame (w*h bytes, valid until the next render).
    const uint8_t* RenderLuma(int frame);

    // Audio: interleaved stereo S16 at 48 kHz, low hiss with a tone burst
    // when each meteor appears. Frame f covers samples
    // [AudioSampleOfFrame(f), AudioSampleOfFrame(f + 1)).
    int64_t AudioSampleOfFrame(int frame) const;
    void RenderAudio(int64_t first_sample, int count, int16_t* out) const;

private:
    struct Star;
    struct Bounds;
    void BuildNoise();
    void BuildStars();
    void BuildClouds();
    void EstimateLevels();
    void BuildTruth();
    int RowBase(int frame, int y) const;
    void RenderSky(int frame, uint8_t* plane, bool with_events);
    void DrawStars(int frame, uint8_t* plane);
    void DrawEvents(int frame, uint8_t* plane) const;
    void DrawMeteor(const MeteorSpec& m, int frame, uint8_t* plane) const;
    void DrawMover(const MoverSpec& m, int frame, uint8_t* plane) const;
    void DrawDot(double cx, double cy, double sigma, double peak, uint8_t* plane) const;
    void DrawFlash(const FlashSpec& f, int frame, uint8_t* plane) const;
    bool FlashBounds(const FlashSpec& f, int frame, Bounds* b) const;
    bool MeteorBounds(const MeteorSpec& m, int frame, Bounds* b) const;
    bool MoverBounds(const MoverSpec& m, int frame, Bounds* b) const;
    void PackFrom(const uint8_t* luma, FormatCode format, uint8_t* const planes[3], const int strides[3], bool packed);

    Scene scene_;
    int level_ = 0;
    int level_low_ = 0;
    int level_high_ = 0;
    std::vector<TruthEvent> truth_;
    std::vector<int8_t> noise_;
    std::vector<Star> stars_;
    std::vector<uint16_t> sprites_;
    std::vector<uint8_t> cloud_;
    int cloud_period_ = 0;
    std::vector<float> glow_;
    std::vector<uint8_t> luma_;
    std::vector<uint8_t> scratch_;
};

// The ground truth as a JSON document: the scene (size, fps, frames, seed,
// format, video file name, audio track, detect model and levels) and one
// object per event in order of first frame.
std::string TruthJson(const Generator& gen, FormatCode format, const std::string& video_file, bool audio);

// Parses "YUY2", "UYVY", "I420", "GRAY8" (also "Y800"); kFormatNone otherwise.
FormatCode ParseFormat(std::string_view name);
// "YUY2", "UYVY", "I420", "GRAY8".
const char* FormatString(FormatCode format);

}  // namespace vlx::skysim

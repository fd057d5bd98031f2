// Event analysis of one clip: what moved, along which line, how fast, and
// what it most likely was. Plain C++ over luma frames; the decoding of clip
// files lives in clip_analysis.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vlx::analysis {

// How the clip's frames are to be judged: the detector's own view of them.
struct AnalysisSetup {
    int width = 0;
    int height = 0;
    double fps = 29.97;
    // A pixel counts when it rose by at least dlev... With dlev 0 the level
    // is the one the noise tracking (nt_ratio %, at least nt_delta above the
    // noise, at least nt_min) settles at on the clip's first frames, which
    // are then only used for that.
    int dlev = 20;
    int nt_ratio = 110, nt_delta = 10, nt_min = 10;
    int fs_diff = 1;    // ...against the frame this many frames earlier
    // One byte per pixel, row 0 first; a non-zero byte leaves the pixel out.
    // Empty, or of another size than the frames: no mask.
    std::vector<uint8_t> mask;
    // Rows of the time stamp (inclusive, from the top); first > last: none.
    int stamp_first_row = 1;
    int stamp_last_row = 0;
    // Leading pixels of row 0 that carry the machine-readable record line.
    int record_line_pixels = 0;
    // Degrees per pixel when the camera's plate scale is known; 0 unknown.
    double plate_scale_deg = 0;
};

// One frame of the clip.
struct FrameRow {
    int frame = 0;
    bool has_ref = false;    // the reference frame existed
    int hits = 0;            // pixels that rose by dlev or more (twinkling ones left out)
    int64_t rise = 0;        // their summed rise
    double changed = 0;      // hits as a share of the unmasked pixels
    double cx = 0, cy = 0;   // their centroid, weighted by rise
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1;  // their bounding box, inclusive
    // The event's own pixels on this frame (track_hits 0: not seen).
    int track_hits = 0;
    int64_t track_rise = 0;
    double track_cx = 0, track_cy = 0;
    int track_x0 = 0, track_y0 = 0, track_x1 = -1, track_y1 = -1;
};

enum class Kind { kMeteor, kAircraft, kSatellite, kFlash, kCloud, kNoise, kUnsure };
// "meteor", "aircraft", "satellite", "flash", "cloud", "noise", "unsure".
const char* KindName(Kind kind);

struct Measures {
    bool found = false;          // a track exists
    int first_frame = -1, last_frame = -1;
    int frames_seen = 0;
    double start_x = 0, start_y = 0, end_x = 0, end_y = 0;
    double dir_x = 0, dir_y = 0;  // unit direction of motion
    double residual = 0;          // RMS distance of the centroids from the fitted line, pixels
    double length = 0;            // start to end, pixels
    double speed_px_s = 0;
    double speed_deg_s = -1;      // -1: plate scale unknown
    double duration_s = 0;
    int peak_frame = -1;
    int64_t peak_rise = 0;
    std::vector<int64_t> light_curve;  // track rise per frame, first_frame..last_frame
    bool brightens_and_fades = false;
    double blink_hz = 0;          // 0: no periodic blink found
    int blinks = 0;               // flashes counted in the light curve
    double regularity = 0;        // 1: perfectly even blink intervals
    double steadiness = 0;        // coefficient of variation of the light curve
    double area_growth = 1;       // mean track size, last third over first third
    double max_changed = 0;       // largest share of the frame changed on one frame
    int max_changed_frame = -1;
    int wide_frames = 0;          // frames on which at least 2 % of the frame changed
    double track_share = 0;       // the track's share of all hit pixels of the clip
    int64_t track_hits = 0;       // hit pixels of the track over the clip
    double spread = 0;            // share of the picture where anything rose during the clip
    int moving_tracks = 0;        // things that moved on their own for 5 frames or more
    int64_t total_hits = 0;
};

struct Verdict {
    Kind kind = Kind::kUnsure;
    double score = 0;    // 0..1, how sure
    std::string reason;  // one line
};

struct Analysis {
    // What the clip was judged with (size and rate as decoded).
    int width = 0, height = 0;
    double fps = 0;
    int dlev = 0, fs_diff = 0;
    std::vector<FrameRow> rows;
    Measures measures;
    Verdict verdict;
};

// Feeds frames one by one and judges the clip at the end. Keeps copies of
// the last fs_diff frames and a sparse list of the pixels that rose.
class TrackAnalyser {
public:
    // False (with the reason) for a setup that cannot be analysed.
    bool Begin(const AnalysisSetup& setup, std::string* error);
    // One luma frame of width x height samples; `stride` bytes per row.
    void AddFrame(const uint8_t* luma, int stride);
    int frames() const { return frames_; }
    Analysis Finish();

private:
    struct Hit {
        uint16_t x, y;
        uint8_t rise;
    };
    AnalysisSetup s_;
    int frames_ = 0;
    size_t pixels_ = 0;
    int level_frames_ = 0;    // frames still to estimate the level on
    double level_sum_ = 0;
    int64_t unmasked_ = 0;
    std::vector<uint8_t> excluded_;       // 1: not examined
    std::vector<std::vector<uint8_t>> ring_;
    std::vector<uint8_t> first_, peak_;   // the first frame and the brightest value of each pixel
    std::vector<uint8_t> hit_frames_;     // frames on which each pixel rose (saturating)
    std::vector<uint16_t> first_hit_, last_hit_;
    std::vector<Hit> hits_;
    std::vector<size_t> frame_start_;     // first stored hit of each frame
    std::vector<int> frame_hits_;         // all hits of each frame, stored or not
    std::vector<bool> frame_has_ref_;
};

// The verdict from the measures (exposed for tests of the rules).
Verdict Judge(const Measures& m, const AnalysisSetup& s);

}  // namespace vlx::analysis

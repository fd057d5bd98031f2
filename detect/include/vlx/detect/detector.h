// The motion detector: frame differencing under the user's detect-area mask,
// with the noise tracker, the scintillation mask, the dark-object mask and
// the slow-object tracker. Works in place on the buffers of DetectParams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vlx/clock.h"
#include "vlx/detect/loops.h"
#include "vlx/detect_params.h"

namespace vlx::detect {

struct TrackedObject {
    enum State : int32_t { kFree = 0, kNew = 1, kTracked = 2, kSlow = 3 };
    int32_t state = kFree;
    int32_t id = 0;
    int32_t next = 0;  // free-list link (id), 0 ends the list
    int64_t last_sec = 0;
    int32_t last_ms = 0;
    double cx = 0, cy = 0;
    int64_t first_sec = 0;
    int32_t first_ms = 0;
    double x0c = 0, y0c = 0;
    int32_t age = 0;
    int32_t bx0 = 0, bx1 = 0, by0 = 0, by1 = 0;
    int64_t sum_x = 0, sum_y = 0, count = 0;
};

inline constexpr int kObjectRecords = 20;  // record 0 is never handed out

// One frame as the detector sees it. Frames are packed in the connected
// format; the detector finds luma itself.
struct DetectFrame {
    // The incoming frame. When copy is set, the detector copies its luma rows
    // (whole rows for packed formats: CopiedBytes()) into slot while it
    // reads them; the caller copies whatever lies beyond.
    uint8_t* preview = nullptr;
    bool copy = false;
    uint8_t* slot = nullptr;           // ring slot of the current frame
    const uint8_t* ref = nullptr;      // difference reference, null: none yet
    const uint8_t* head = nullptr;     // head reference
    WallTime now;                      // wall-clock time of the frame
    int32_t emitted = 0;               // frames the current clip delivered
};

struct DetectResult {
    int32_t maxdiff = 0;
    int32_t max_x = -1, max_y = -1;
    int32_t hits = 0;     // before warm-up
    int32_t cancel = 0;   // age of a slow object that cancels the clip, or 0
};

class Detector {
public:
    // Empties the object table, zeroes the AvrMap, clears mask bits 2..7,
    // resets the noise tracker and derives its weights from the frame rate.
    void Init(DetectParams* p, int32_t cx, int32_t cy, double fps);
    // Chooses the loops for the format code.
    void Connect(int32_t format);
    // Run-time border mask (with sm_on).
    void ApplyBorder();
    // Steps 2..9 of one frame: loops, objects, marks, noise, warm-up. Writes
    // max_level, hit_count (and dlev when tracking).
    DetectResult Process(const DetectFrame& f);
    // The scintillation mask from the AvrMap.
    void UpdateScintillation();
    // Clears the HitMap: all of it, or only the rows written since the last
    // clear (the rest is known to be zero already).
    void ClearHitMap(bool all);
    // Object boxes on the preview (sm_on, so_on and live_shown).
    void DrawBoxes(uint8_t* preview) const;

    // Bytes of the frame that Process copies when DetectFrame::copy is set.
    size_t CopiedBytes() const;

    double noise() const { return noise_; }
    int32_t max_obj() const { return max_obj_; }
    const TrackedObject& object(int id) const { return obj_[id]; }
    int32_t nt_div() const { return nt_div_; }
    int32_t nt_wrise() const { return nt_wrise_; }
    int32_t nt_wfall() const { return nt_wfall_; }
    int32_t nt_wmin() const { return nt_wmin_; }

    // Mask shape of a scintillation star, as row-major offsets from its
    // centre for a mask of the given width. Shapes 1..9.
    struct Shape {
        int32_t n = 0;
        int8_t dy[81] = {};
        int8_t dx[81] = {};
    };
    static const Shape& ShapeOf(int shape);

    // True when the loops run on the AVX2 build of the pixel loops.
    bool wide_loops() const { return wide_; }
    // Forces the baseline loops (tests compare both builds).
    void UseBaselineLoops();

private:
    template <int S, int O, bool BO>
    static void ObjectRow(void* self, const loops::Ctx& c, int32_t y, loops::Out& out);
    void SelectLoops(bool allow_wide);

    void BuildObjectMap();
    int32_t UpdateObjects(const DetectFrame& f, int64_t& hits);
    int TakeRecord();
    void FreeRecord(int id);
    void SetCentroidAndBox(TrackedObject& o, WallTime now);
    void MarkHit(int32_t x, int32_t y);
    void TouchHitRow(int32_t y) {
        hm_lo_ = y < hm_lo_ ? y : hm_lo_;
        hm_hi_ = y > hm_hi_ ? y : hm_hi_;
    }

    DetectParams* p_ = nullptr;
    int32_t w_ = 0, h_ = 0;
    int32_t format_ = 0, step_ = 1, off_ = 0;
    bool wide_ = false;
    loops::Table table_;
    loops::ObjectRowFn object_rows_[2] = {nullptr, nullptr};

    std::array<TrackedObject, kObjectRecords> obj_{};
    int32_t free_head_ = 0;
    int32_t max_obj_ = 0;

    int32_t hm_lo_ = 0, hm_hi_ = -1;  // HitMap rows written since the last clear

    double noise_ = 0;
    int32_t nt_div_ = 0, nt_wfall_ = 0, nt_wrise_ = 0, nt_wmin_ = 0;

    // Scratch rows of the scintillation pass, sized at Init.
    std::vector<uint32_t> colsum_;
    std::vector<uint8_t> star_;
};

}  // namespace vlx::detect

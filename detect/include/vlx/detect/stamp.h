// Time-stamp superimposition: the text line drawn into the luma of preview
// and clip frames, and the record line written into captured frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vlx/detect_params.h"

namespace vlx::detect {

// Calendar fields of a time in seconds since 1970, read as UTC.
struct CalendarTime {
    int32_t year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
CalendarTime CalendarFromSeconds(int64_t seconds);

// What one ring slot's frame is stamped with: the clock reading taken three
// frames before it arrived, and the detector's verdict on it.
struct FrameStamp {
    int32_t year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int32_t ms = 0;
    int32_t trigger = 0;    // TriggerKind of the frame
    int32_t hit_count = 0;
    int32_t over = 0;       // max_level >= dlev
    int32_t max_level = 0;
    int64_t seconds = 0;
};

enum class StampStyle { kPreview, kCapture };

// One frame buffer in the working format, as the superimposer writes it.
struct Canvas {
    uint8_t* data = nullptr;
    int32_t format = 0;  // FormatCode
    int32_t cx = 0;
    int32_t cy = 0;
};

struct Font {
    const uint8_t* table = nullptr;
    int32_t width = 0;
    int32_t height = 0;
};

// Clip progress the "%F" code and the recording mark need.
struct ClipProgress {
    int32_t emitted = 0;
    int32_t max_frames = 0;
};

// Longest expanded text; the buffer needs one byte more.
inline constexpr size_t kStampTextMax = 254;

// Expands si_format into out (NUL-terminated) and returns its length.
size_t ExpandStamp(const DetectParams& p, int32_t format, const FrameStamp& s, StampStyle style,
                   const ClipProgress& clip, char (&out)[kStampTextMax + 1]);

// Writes one luma sample: codes 1 and 4 at byte y*cx+x, 2 at 2*(y*cx+x),
// 3 at 2*(y*cx+x)+1. No bounds check: callers clip.
void Plot(const Canvas& c, int32_t x, int32_t y, uint8_t value);
// One glyph with its baseline (bottom row) at row y; skipped unless it fits
// completely inside the frame.
void Draw(const Canvas& c, const Font& f, int32_t x, int32_t y, int ch);
// Characters one after another, x advancing by the font width for every one.
void DrawText(const Canvas& c, const Font& f, int32_t x, int32_t y, const char* text);

// The whole stamp: expand and draw at x 0, baseline row cy - si_y0 - 1.
void Stamp(const Canvas& c, const DetectParams& p, const FrameStamp& s, StampStyle style,
           const ClipProgress& clip);

// The record line, a machine-readable copy of the stamp written as raw bytes
// over the first bytes of each captured clip frame (uncompressed AVI only, so
// that a reader finds it at byte 0 of every frame):
//
//   "VLXR YYYYMMDD hhmmss.mmmDU K HHHHHOLLL FFFFF" followed by one NUL
//
//   VLXR      magic
//   YYYYMMDD  date, hhmmss.mmm time of the frame (three frames before arrival)
//   D         '*' when the date is user-set (si_cdate), else ' '
//   U         'u' when the time base is UTC (si_utc), else ' '
//   K         trigger letter: ' ' none, V video, A audio, T timer, M manual
//   HHHHH     hit_count, capped at 99999
//   O         '+' when max_level reached dlev, else ' '
//   LLL       max_level
//   FFFFF     number of the frame in the clip, from 1
//
// 45 bytes including the NUL. Returns the bytes written (fewer when the frame
// is shorter; nothing is written past len).
inline constexpr size_t kRecordLineBytes = 45;
size_t WriteRecordLine(uint8_t* frame, size_t len, const DetectParams& p, const FrameStamp& s,
                       int32_t frame_number);

// Trigger letter of a trigger kind.
char TriggerLetter(int32_t kind);

}  // namespace vlx::detect

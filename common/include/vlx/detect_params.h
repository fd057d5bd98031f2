// The detection parameter block shared by the application and the vlx2f
// element. The application owns the block and every buffer it points to; the
// element keeps only the address handed to Init and reads the settings fields
// afresh on every frame, so a change made while streaming acts on the next
// frame. Field order and widths are fixed: both sides build from this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vlx/guid.h"

namespace vlx {

// Version numbers the element and the replay element report from Init.
inline constexpr int32_t kDetectVersion = 208;
inline constexpr int32_t kReplayVersion = 200;

// Trigger kinds of a frame or clip.
enum TriggerKind : int32_t {
    kTriggerNone = 0,
    kTriggerVideo = 1,
    kTriggerAudio = 2,
    kTriggerTimer = 3,
    kTriggerManual = 4,
};

// Clip results written before the clip-end message.
enum ClipResult : int32_t {
    kClipNone = 0,
    kClipNormal = 1,
    kClipTooLong = -1,
    kClipCancelled = -2,
};

struct DetectParams {
    int32_t rec_remain;       // filter: frames still to deliver for the clip
    int32_t hit_count;        // filter: hit pixels of the last frame (0 in warm-up)
    int32_t max_level;        // filter: largest luma difference of the last frame
    int32_t audio_peak;       // filter: largest |sample| of the last audio buffer
    int32_t warmup;           // app sets, filter counts down
    int32_t snap_ready;       // filter sets 1, app clears
    int32_t clip_result;      // filter: ClipResult of the last clip
    int32_t clip_started;     // filter sets 1, app clears
    int32_t drop_count;       // filter: clip frames the capture output refused
    int64_t clip_start_time;  // filter: capture time of the clip (t-3 of the trigger frame)
    int32_t clip_dlev;        // filter: dlev at the first delivered frame
    int32_t clip_frames;      // filter: frames delivered for the clip that just ended
    int32_t clip_trigger;     // filter: TriggerKind of the current clip
    int32_t timer_trig;       // app: the forced clip is a timer clip
    int32_t pixels;           // app: cx*cy rounded up to a multiple of 4
    int32_t frame_bytes;      // app: bytes of one shift-buffer slot
    int32_t shift_frames;     // app: fs_diff + dmin + fs_head + 15
    int32_t audio_buf_bytes;  // app: bytes of one audio slot
    int32_t audio_bufs;       // app: number of audio slots
    uint8_t* shift_buf;       // app: shift_frames * frame_bytes
    uint8_t* audio_shift_buf; // app: audio_bufs * audio_buf_bytes, null without audio
    uint8_t* mask_alloc;      // app: pixels + 2*cx bytes
    uint8_t* mask;            // app: mask_alloc + cx (a spare row on each side)
    uint8_t* hit_map;         // app: pixels bytes
    uint32_t* avr_map;        // app: pixels words, Q14 running mean luma
    uint8_t* snapshot;        // app: frame_bytes bytes
    uint8_t* obj_map;         // app: pixels bytes
    uint32_t notify_thread;   // app: thread id that receives the clip-end message, 0 none
    int32_t audio_48k;        // app: audio input must be 48000 Hz
    Guid subtype_req;         // app: subtype negotiated with the source
    Guid subtype;             // filter: subtype connected to the video input
    int32_t detect_on;        // app
    int32_t force_trig;       // app and filter (audio trigger)
    int32_t preview_off;      // app
    int32_t singlefilemode;   // IF.singlefilemode
    int32_t fileinmode;       // IF.fileinmode
    int32_t resize;           // IF.resize
    int32_t cxin;             // IF.cxin
    int32_t cyin;             // IF.cyin
    int32_t cx;               // IF.cx
    int32_t cy;               // IF.cy
    double fps;               // IF.fps, below 0.01 means unknown
    int32_t fs_head;          // IF.fs_head
    int32_t fs_tail;          // IF.fs_tail
    int32_t fs_diff;          // IF.fs_diff
    int32_t clip_count;       // filter (app zeroes): clips since the pipeline was built
    int32_t si_area;          // IF.si_area
    int32_t si_maskw;         // IF.si_maskw
    int32_t si_maskb;         // IF.si_maskb
    int32_t si_y0;            // IF.si_y0
    int32_t si_cdate;         // IF.si_cdate
    int32_t si_utc;           // IF.si_utc
    int64_t time_offset;      // app: seconds subtracted from the system clock
    int32_t si_on;            // IF.si_on
    const uint8_t* font_table;// app: glyph table of the chosen font size
    int32_t si_fontx;         // IF.si_fontx
    int32_t si_fonty;         // IF.si_fonty
    int32_t rec_line;         // app: write the record line into captured frames
    int32_t si_offset;        // IF.si_offset, ms
    int32_t dsize;            // IF.dsize
    int32_t dlev;             // IF.dlev (the filter writes it while nt_on)
    int32_t alev;             // IF.alev
    int32_t atrigger;         // IF.atrigger
    int32_t dmin;             // IF.dmin
    int32_t dminsize;         // IF.dminsize
    int32_t dmaxsec;          // IF.dmaxsec
    int32_t nt_on;            // IF.nt_on
    int32_t nt_ratio;         // IF.nt_ratio
    int32_t nt_delta;         // IF.nt_delta
    int32_t nt_min;           // IF.nt_min
    int32_t sm_on;            // IF.sm_on
    int32_t sm_level;         // IF.sm_level
    int32_t sm_size;          // IF.sm_size
    int32_t avr_keep;         // from AP.smspeed
    int32_t avr_gain;         // from AP.smspeed
    int32_t so_on;            // IF.so_on
    int32_t so_vel;           // IF.so_vel
    int32_t so_size;          // IF.so_size
    int32_t brightonly;       // IF.brightonly
    int32_t bolevel;          // IF.bolevel
    int32_t im_snap;          // IF.im_snap
    int32_t im_peak;          // IF.im_peak
    int32_t im_map;           // IF.im_map
    int32_t live_shown;       // app
    char lid[13];             // IF.lid
    char cid[4];              // IF.cid
    char cname[32];           // AP.cname
    char lname[32];           // AP.lname
    char si_format[256];      // IF.si_format
};

// The layout is part of the contract between the application and the element.
static_assert(offsetof(DetectParams, rec_remain) == 0);
static_assert(offsetof(DetectParams, drop_count) == 32);
static_assert(offsetof(DetectParams, clip_start_time) == 40);
static_assert(offsetof(DetectParams, clip_dlev) == 48);
static_assert(offsetof(DetectParams, audio_bufs) == 80);
static_assert(offsetof(DetectParams, shift_buf) == 88);
static_assert(offsetof(DetectParams, obj_map) == 144);
static_assert(offsetof(DetectParams, notify_thread) == 152);
static_assert(offsetof(DetectParams, audio_48k) == 156);
static_assert(offsetof(DetectParams, subtype_req) == 160);
static_assert(offsetof(DetectParams, subtype) == 176);
static_assert(offsetof(DetectParams, detect_on) == 192);
static_assert(offsetof(DetectParams, cy) == 228);
static_assert(offsetof(DetectParams, fps) == 232);
static_assert(offsetof(DetectParams, fs_head) == 240);
static_assert(offsetof(DetectParams, si_utc) == 276);
static_assert(offsetof(DetectParams, time_offset) == 280);
static_assert(offsetof(DetectParams, si_on) == 288);
static_assert(offsetof(DetectParams, font_table) == 296);
static_assert(offsetof(DetectParams, si_fontx) == 304);
static_assert(offsetof(DetectParams, live_shown) == 416);
static_assert(offsetof(DetectParams, lid) == 420);
static_assert(offsetof(DetectParams, cid) == 433);
static_assert(offsetof(DetectParams, cname) == 437);
static_assert(offsetof(DetectParams, lname) == 469);
static_assert(offsetof(DetectParams, si_format) == 501);
static_assert(sizeof(DetectParams) == 760);
static_assert(sizeof(Guid) == 16 && sizeof(double) == 8 && sizeof(int64_t) == 8);

// The 20-byte block published for other local programs: five little-endian
// signed 32-bit words. Readers take words 1..4 only while word 0 is non-zero
// and unchanged across the read.
struct IpcData {
    int32_t sequence;
    int32_t x;
    int32_t y;
    int32_t hits;
    int32_t level;
};
static_assert(sizeof(IpcData) == 20);

inline constexpr const char* kIpcDataName = "/VigiluxV2_IPC_DATA_00000200601";

// avr_keep / avr_gain pairs for AP.smspeed 1..6; avr_gain = 16384*(512-avr_keep).
inline constexpr int32_t kAvrKeep[6] = {511, 510, 509, 507, 503, 495};
inline constexpr int32_t kAvrGain[6] = {16384, 32768, 49152, 81920, 147456, 278528};

}  // namespace vlx

// A DetectParams block with every buffer sized the way the application
// sizes them, a Core over it and a hand-driven clock.
#pragma once

#include <algorithm>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "vlx/clock.h"
#include "vlx/detect/block_buffers.h"
#include "vlx/detect/core.h"
#include "vlx/detect/resize.h"
#include "vlx/detect_params.h"
#include "vlx/guid.h"

namespace vlx::test {

inline Guid SubtypeOf(int format) {
    switch (format) {
        case kFormatPlanar420: return kSubtypeI420;
        case kFormatYUY2: return kSubtypeYUY2;
        case kFormatUYVY: return kSubtypeUYVY;
        default: return kSubtypeY800;
    }
}

// Packs a luma image into a frame of the format, chroma from a fixed pattern
// so that chroma mistakes show.
inline std::vector<uint8_t> Pack(const std::vector<uint8_t>& luma, int format, int cx, int cy,
                                 uint8_t chroma = 128) {
    std::vector<uint8_t> f(detect::FrameBytes(format, cx, cy), chroma);
    const size_t n = static_cast<size_t>(cx) * cy;
    for (size_t i = 0; i < n; ++i) {
        switch (format) {
            case kFormatYUY2: f[2 * i] = luma[i]; break;
            case kFormatUYVY: f[2 * i + 1] = luma[i]; break;
            default: f[i] = luma[i]; break;
        }
    }
    return f;
}

inline uint8_t LumaAt(const uint8_t* frame, int format, int cx, int x, int y) {
    const size_t p = static_cast<size_t>(y) * cx + x;
    switch (format) {
        case kFormatYUY2: return frame[2 * p];
        case kFormatUYVY: return frame[2 * p + 1];
        default: return frame[p];
    }
}

struct RigConfig {
    int cx = 64, cy = 48;
    int cxin = 0, cyin = 0;  // 0: same as cx, cy
    int format = kFormatGray8;
    double fps = 30.0;
    int fs_head = 5, fs_tail = 7, fs_diff = 1, dmin = 1;
    bool audio = false;
};

class Rig {
public:
    explicit Rig(const RigConfig& c = {}) : cfg(c) {
        DetectParams& b = p;
        std::memset(&b, 0, sizeof b);
        b.cx = c.cx;
        b.cy = c.cy;
        b.cxin = c.cxin ? c.cxin : c.cx;
        b.cyin = c.cyin ? c.cyin : c.cy;
        b.fps = c.fps;
        b.fs_head = c.fs_head;
        b.fs_tail = c.fs_tail;
        b.fs_diff = c.fs_diff;
        b.dmin = c.dmin;
        b.dsize = 5;
        b.dlev = 20;
        b.detect_on = 1;
        b.singlefilemode = 1;
        b.avr_keep = kAvrKeep[0];
        b.avr_gain = kAvrGain[0];
        b.sm_level = 105;
        b.sm_size = 5;
        b.so_vel = 20;
        b.so_size = 10;
        b.nt_ratio = 110;
        b.nt_delta = 10;
        b.nt_min = 10;
        b.alev = 10000;
        buffers.Allocate(b, c.format == kFormatGray8, c.audio);
        const size_t px = static_cast<size_t>(b.pixels);
        shift = {b.shift_buf, static_cast<size_t>(b.shift_frames) * b.frame_bytes};
        if (c.audio) audio = {b.audio_shift_buf, static_cast<size_t>(b.audio_bufs) * b.audio_buf_bytes};
        mask_alloc = {b.mask_alloc, px + 2 * c.cx};
        hit = {b.hit_map, px};
        avr = {b.avr_map, px};
        snap = {b.snapshot, static_cast<size_t>(b.frame_bytes)};
        obj = {b.obj_map, px};
        std::strcpy(b.si_format, "%T");
    }

    // Init + connect; Run separately so that tests can change settings.
    void Start(bool run = true) {
        int32_t v = 0, r = 0;
        core.Init(&p, &v, &r);
        core.SetIpc(&ipc);
        core.ConnectVideo(SubtypeOf(cfg.format), 0);
        if (run) core.Run();
    }

    // One frame from a luma image; the clock advances by a frame period
    // afterwards.
    detect::VideoOutcome Feed(const std::vector<uint8_t>& luma) {
        last = Pack(luma, cfg.format, cfg.cxin ? cfg.cxin : cfg.cx, cfg.cyin ? cfg.cyin : cfg.cy);
        return FeedPacked(last);
    }
    detect::VideoOutcome FeedPacked(std::vector<uint8_t>& frame) {
        detect::VideoOutcome o = core.ProcessVideo(frame.data(), frame.size(), detect::SampleTimes{});
        clock.AdvanceMs(period_ms);
        ++frames;
        if (o.capture_slot >= 0) {
            ++delivered;
            delivered_slots.push_back(o.capture_slot);
            // Frame tag of the delivered frame: luma of pixels (0,0) and (1,0).
            const uint8_t* d = core.VideoSlot(o.capture_slot);
            delivered_frames.push_back(LumaAt(d, cfg.format, cfg.cx, 0, 0) |
                                       LumaAt(d, cfg.format, cfg.cx, 1, 0) << 8);
        }
        if (o.clip_ended) clips.push_back({o.clip_result, p.clip_frames, delivered - delivered_at_clip});
        if (o.clip_ended) delivered_at_clip = delivered;
        return o;
    }
    std::vector<uint8_t> Flat(uint8_t v) const {
        return std::vector<uint8_t>(static_cast<size_t>(cfg.cx) * cfg.cy, v);
    }

    struct Clip {
        int32_t result;
        int32_t frames;      // clip_frames
        int64_t delivered;   // frames actually handed to the capture output
    };

    RigConfig cfg;
    DetectParams p;
    BlockBuffers buffers;
    std::span<uint8_t> shift, audio, mask_alloc, hit, snap, obj;
    std::span<uint32_t> avr;
    ManualClock clock{WallTime{1709622489, 0}};  // 2024-03-05 07:08:09 UTC
    detect::Core core{&clock};
    IpcData ipc{};
    int period_ms = 33;
    int64_t frames = 0, delivered = 0, delivered_at_clip = 0;
    std::vector<int> delivered_slots;
    std::vector<int> delivered_frames;
    std::vector<Clip> clips;
    std::vector<uint8_t> last;
};

}  // namespace vlx::test

// A detection parameter block with every buffer allocated the way the
// application sizes them, for the element and benchmark tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "vlx/detect/block_buffers.h"
#include "vlx/detect_params.h"

namespace vlx::test {

struct BlockConfig {
    int cxin = 64;
    int cyin = 48;
    int cx = 64;
    int cy = 48;
    bool gray = true;  // GRAY8 frames (one byte per pixel); else two bytes
    double fps = 25.0;
    int fs_head = 3;
    int fs_tail = 4;
    int fs_diff = 1;
    int dmin = 2;
    bool audio = false;
};

class TestBlock {
public:
    explicit TestBlock(const BlockConfig& c) {
        DetectParams& p = dp;
        std::memset(&p, 0, sizeof p);
        p.cxin = c.cxin;
        p.cyin = c.cyin;
        p.cx = c.cx;
        p.cy = c.cy;
        p.resize = (c.cx != c.cxin || c.cy != c.cyin) ? 1 : 0;
        p.fps = c.fps;
        p.fs_head = c.fs_head;
        p.fs_tail = c.fs_tail;
        p.fs_diff = c.fs_diff;
        p.dmin = c.dmin;

        buffers_.Allocate(p, c.gray, c.audio);

        // A quiet sky detector: plain loop, no stamps, no warm-up.
        p.detect_on = 1;
        p.singlefilemode = 1;
        p.dlev = 40;
        p.dsize = 4;
        p.alev = 30000;
        p.avr_keep = kAvrKeep[0];
        p.avr_gain = kAvrGain[0];
        p.im_snap = 1;
        p.im_map = 1;
        p.sm_level = 150;
        p.sm_size = 3;
        p.so_vel = 10;
        p.so_size = 10;
        p.nt_ratio = 200;
        p.si_fontx = 5;
        p.si_fonty = 9;
        std::strcpy(p.lid, "TEST01");
        std::strcpy(p.cid, "A");
    }
    TestBlock(const TestBlock&) = delete;
    TestBlock& operator=(const TestBlock&) = delete;

    DetectParams dp;

private:
    BlockBuffers buffers_;
};

}  // namespace vlx::test

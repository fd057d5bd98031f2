// Pixel loops of the detector, compiled once per instruction set (baseline
// and, on x86-64, AVX2) and chosen once when the video format connects.
// Internal to the detector; public only so that Detector can hold a table.
#pragma once

#include <cstdint>

namespace vlx::detect::loops {

struct Out {
    int32_t maxdiff = 0, max_x = -1, max_y = -1;
    int64_t hits = 0;
    int32_t hm_lo = INT32_MAX, hm_hi = -1;  // HitMap rows written
    void Touch(int32_t y) {
        hm_lo = y < hm_lo ? y : hm_lo;
        hm_hi = y > hm_hi ? y : hm_hi;
    }
};

struct Ctx;
// Raster-order handling of one object-loop row that holds hit candidates.
using ObjectRowFn = void (*)(void* owner, const Ctx& c, int32_t y, Out& out);

struct Ctx {
    uint8_t* preview = nullptr;  // incoming frame: copy source, painted
    bool copy = false;
    uint8_t* slot = nullptr;
    const uint8_t* ref = nullptr;
    const uint8_t* head = nullptr;
    uint8_t* mask = nullptr;
    uint8_t* hit_map = nullptr;
    uint32_t* avr = nullptr;
    int32_t w = 0, h = 0;
    int32_t dlev = 0, bolevel = 0;
    uint32_t keep = 0, gain = 0;
    bool si_area = false;
    int32_t disp = -1;  // display value of scintillation-masked pixels, -1 none
    void* owner = nullptr;
    ObjectRowFn object_row[2] = {nullptr, nullptr};  // without, with the dark-object test
};

using Fn = void (*)(const Ctx&, Out&);

// Scintillation mask pass over rows 2..h-3 (the mask bits are cleared
// before).
struct ScintShape {
    int32_t n = 0;
    const int8_t* dy = nullptr;
    const int8_t* dx = nullptr;
};
struct ScintCtx {
    uint8_t* mask = nullptr;
    const uint32_t* avr = nullptr;
    int32_t w = 0, h = 0;
    int32_t level = 0;           // sm_level
    ScintShape shape[3];         // small, medium, large
    uint32_t* colsum = nullptr;  // w words of scratch
    uint8_t* star = nullptr;     // w bytes of scratch
};
using ScintFn = void (*)(const ScintCtx&);

struct Table {
    Fn plain = nullptr;
    Fn average = nullptr;
    Fn average_bo = nullptr;
    Fn object = nullptr;
    Fn object_bo = nullptr;
    ScintFn scint = nullptr;
};

Table BaselineTable(int32_t format);
#if defined(VLX_HAVE_AVX2_LOOPS)
Table Avx2Table(int32_t format);
#endif

}  // namespace vlx::detect::loops

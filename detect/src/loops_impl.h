// The pixel loops. Included by one file per instruction set inside its own
// namespace; everything here has internal linkage so that no AVX2 code can
// be picked for the baseline build by the linker. No standard-library
// templates are used for the same reason.
//
// Each row is copied into the ring slot with streaming stores and examined
// from the incoming frame, which the copy has just brought into the cache:
// the slot is not read again for this frame, so filling the cache with it
// (and reading it from memory first) would only cost bandwidth. The row reductions work on 16-bit lanes (GCC vector
// extensions; a difference needs nine bits) and carry no stores; rows without
// hits or masked pixels skip the passes that write.

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "vlx/detect/loops.h"

namespace {

using vlx::detect::loops::Ctx;
using vlx::detect::loops::Fn;
using vlx::detect::loops::Out;
using vlx::detect::loops::ScintCtx;
using vlx::detect::loops::ScintShape;
using vlx::detect::loops::Table;

// VLX_LOOP_LANES 16-bit lanes per vector: 8 for SSE2 (one register), 16 for
// AVX2.
#ifndef VLX_LOOP_LANES
#error "define VLX_LOOP_LANES before including loops_impl.h"
#endif
constexpr int kLanes = VLX_LOOP_LANES;
typedef int16_t V16 __attribute__((vector_size(2 * VLX_LOOP_LANES)));
typedef uint16_t U16 __attribute__((vector_size(2 * VLX_LOOP_LANES)));
typedef uint8_t U8 __attribute__((vector_size(VLX_LOOP_LANES)));

// Copies a row into the ring slot without pulling the slot into the cache.
// The caller ends the frame with RowCopyFence.
inline void CopyRow(uint8_t* dst, const uint8_t* src, size_t n) {
#if defined(__AVX2__)
    constexpr size_t kV = 32;
#elif defined(__SSE2__)
    constexpr size_t kV = 16;
#endif
#if defined(__SSE2__)
    const size_t head = (kV - (reinterpret_cast<uintptr_t>(dst) & (kV - 1))) & (kV - 1);
    if (n < head + kV) {
        std::memcpy(dst, src, n);
        return;
    }
    std::memcpy(dst, src, head);
    size_t i = head;
    for (; i + kV <= n; i += kV) {
#if defined(__AVX2__)
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
#else
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
#endif
    }
    std::memcpy(dst + i, src + i, n - i);
#else
    std::memcpy(dst, src, n);
#endif
}

// Orders the streaming stores before anything the frame's consumers see.
inline void RowCopyFence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

inline int Min(int a, int b) { return a < b ? a : b; }
inline int Max(int a, int b) { return a > b ? a : b; }

// kLanes luma samples of pixels x, x+1, ... of a row (row points at its
// first byte, not at the luma offset).
template <int S, int O>
inline V16 Luma16(const uint8_t* row, int32_t x) {
    if constexpr (S == 1) {
        U8 b;
        std::memcpy(&b, row + x, sizeof b);
        return __builtin_convertvector(b, V16);
    } else {
        U16 v;
        std::memcpy(&v, row + 2 * x, sizeof v);
        if constexpr (O == 0) v &= 0xFF;
        else v >>= 8;
        return (V16)v;
    }
}

inline V16 Mask16(const uint8_t* m, int32_t x) {
    U8 b;
    std::memcpy(&b, m + x, sizeof b);
    return __builtin_convertvector(b, V16);
}

struct RowStat {
    int rowmax = 0;  // largest difference of an unmasked pixel, at least 0
    int count = 0;   // unmasked pixels with difference >= dlev
    int any = 0;     // some pixel masked
};

// The reduction shared by the plain loop, the average loop and the object
// loop's pre-pass (all without the dark-object test).
template <int S, int O>
inline RowStat ReduceRow(const uint8_t* cur, const uint8_t* ref, const uint8_t* mrow, int32_t w, int dlev) {
    RowStat st;
    // Differences lie in -255..255: a level outside that range means "all"
    // or "none" and fits 16 bits once clamped.
    const int16_t lev = static_cast<int16_t>(Min(Max(dlev, -256), 256));
    V16 vmax = {}, vcount = {}, vany = {};
    const V16 zero = {};
    const V16 vlev = zero + lev;
    int32_t x = 0;
    for (; x + kLanes <= w; x += kLanes) {
        const V16 c = Luma16<S, O>(cur, x), r = Luma16<S, O>(ref, x), m = Mask16(mrow, x);
        const V16 d = c - r;
        const V16 ok = m == zero;  // -1 or 0
        const V16 de = d & ok;
        vmax = de > vmax ? de : vmax;
        vcount -= (d >= vlev) & ok;
        vany |= m;
    }
    for (int i = 0; i < kLanes; ++i) {
        st.rowmax = Max(st.rowmax, vmax[i]);
        st.count += vcount[i];
        st.any |= vany[i];
    }
    for (; x < w; ++x) {
        const int c = cur[x * S + O], r = ref[x * S + O], m = mrow[x];
        const int d = c - r;
        st.any |= m;
        if (m) continue;
        st.rowmax = Max(st.rowmax, d);
        st.count += d >= dlev;
    }
    return st;
}

// First unmasked pixel of the row whose difference equals rowmax.
template <int S, int O, typename Eligible>
inline void TakeRowMax(Out& out, int rowmax, int32_t y, const uint8_t* cur, const uint8_t* ref, int32_t w,
                       Eligible eligible) {
    if (rowmax <= out.maxdiff) return;
    for (int32_t x = 0; x < w; ++x) {
        if (eligible(x) && cur[x * S + O] - ref[x * S + O] == rowmax) {
            out.maxdiff = rowmax;
            out.max_x = x;
            out.max_y = y;
            return;
        }
    }
}

template <int S, int O>
inline void UpdateAvrRow(uint32_t* arow, const uint8_t* cur, int32_t w, uint32_t keep, uint32_t gain) {
    for (int32_t x = 0; x < w; ++x)
        arow[x] = (keep * arow[x] + gain * static_cast<uint32_t>(cur[x * S + O]) + 256u) >> 9;
}

// Masked pixels in the average and object loops: user-masked ones grey with
// si_area, scintillation-only ones in the display value.
template <int S, int O>
inline void PaintMaskedRow(uint8_t* prow, const uint8_t* mrow, int32_t w, bool si_area, int disp) {
    if (!si_area && disp < 0) return;
    const uint8_t dv = static_cast<uint8_t>(disp < 0 ? 0 : disp);
    const bool sm = disp >= 0;
    for (int32_t x = 0; x < w; ++x) {
        const uint8_t m = mrow[x];
        const uint8_t v = prow[x * S + O];
        const uint8_t user = si_area ? 128 : v;
        const uint8_t scint = sm ? dv : v;
        prow[x * S + O] = (m & 3) ? user : (m ? scint : v);
    }
}

template <int S, int O>
void PlainLoop(const Ctx& c, Out& out) {
    const int32_t w = c.w;
    const size_t rowb = static_cast<size_t>(w) * S;
    for (int32_t y = 0; y < c.h; ++y) {
        const size_t base = static_cast<size_t>(y) * w;
        if (c.copy) CopyRow(c.slot + base * S, c.preview + base * S, rowb);
        const uint8_t* cur = (c.copy ? c.preview : c.slot) + base * S;
        const uint8_t* ref = c.ref + base * S;
        uint8_t* mrow = c.mask + base;
        const RowStat st = ReduceRow<S, O>(cur, ref, mrow, w, c.dlev);
        TakeRowMax<S, O>(out, st.rowmax, y, cur, ref, w, [&](int32_t x) { return mrow[x] == 0; });
        if (st.count) {
            uint8_t* hrow = c.hit_map + base;
            for (int32_t x = 0; x < w; ++x) {
                const int cv = cur[x * S + O], rv = ref[x * S + O];
                const bool hit = (mrow[x] == 0) & (cv - rv >= c.dlev);
                const uint8_t hv = hrow[x];
                hrow[x] = (hit && cv > hv) ? static_cast<uint8_t>(cv) : hv;
            }
            out.hits += st.count;
            out.Touch(y);
        }
        if (st.any && c.si_area) {
            uint8_t* prow = c.preview + base * S;
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t m = mrow[x];
                mrow[x] = m & 7;
                prow[x * S + O] = m ? 128 : prow[x * S + O];
            }
        }
    }
    if (c.copy) RowCopyFence();
}

// The dark-object test: the pixel pair is not darker than twice the mean and
// the pixel is brighter than the head reference by more than bolevel.
template <int S, int O>
inline bool BrightEnough(const uint8_t* cur, const uint8_t* ref, const uint8_t* hd, const uint32_t* arow,
                         int32_t x, int bolevel) {
    const int cv = cur[x * S + O], rv = ref[x * S + O];
    return (static_cast<uint32_t>(cv + rv) >= (arow[x] >> 13)) & (cv > hd[x * S + O] + bolevel);
}

template <int S, int O, bool BO>
inline RowStat ReduceRowBo(const uint8_t* cur, const uint8_t* ref, const uint8_t* hd, const uint8_t* mrow,
                           const uint32_t* arow, int32_t w, int dlev, int bolevel, bool max_needs_bo) {
    if constexpr (!BO) {
        return ReduceRow<S, O>(cur, ref, mrow, w, dlev);
    } else {
        RowStat st;
        for (int32_t x = 0; x < w; ++x) {
            const int cv = cur[x * S + O], rv = ref[x * S + O], m = mrow[x];
            const int d = cv - rv;
            st.any |= m;
            const bool unmasked = m == 0;
            const bool ok = unmasked & BrightEnough<S, O>(cur, ref, hd, arow, x, bolevel);
            const int de = (max_needs_bo ? ok : unmasked) ? d : 0;
            st.rowmax = de > st.rowmax ? de : st.rowmax;
            st.count += ok & (d >= dlev);
        }
        return st;
    }
}

template <int S, int O, bool BO>
void AverageLoop(const Ctx& c, Out& out) {
    const int32_t w = c.w;
    const size_t rowb = static_cast<size_t>(w) * S;
    for (int32_t y = 0; y < c.h; ++y) {
        const size_t base = static_cast<size_t>(y) * w;
        if (c.copy) CopyRow(c.slot + base * S, c.preview + base * S, rowb);
        const uint8_t* cur = (c.copy ? c.preview : c.slot) + base * S;
        const uint8_t* ref = c.ref + base * S;
        const uint8_t* hd = c.head + base * S;
        uint8_t* mrow = c.mask + base;
        uint32_t* arow = c.avr + base;
        auto eligible = [&](int32_t x) {
            if constexpr (BO) return mrow[x] == 0 && BrightEnough<S, O>(cur, ref, hd, arow, x, c.bolevel);
            else return mrow[x] == 0;
        };
        const RowStat st = ReduceRowBo<S, O, BO>(cur, ref, hd, mrow, arow, w, c.dlev, c.bolevel, true);
        TakeRowMax<S, O>(out, st.rowmax, y, cur, ref, w, eligible);
        if (st.count) {
            uint8_t* hrow = c.hit_map + base;
            for (int32_t x = 0; x < w; ++x) {
                const int cv = cur[x * S + O];
                if (eligible(x) && cv - ref[x * S + O] >= c.dlev && cv > hrow[x]) hrow[x] = static_cast<uint8_t>(cv);
            }
            out.hits += st.count;
            out.Touch(y);
        }
        UpdateAvrRow<S, O>(arow, cur, w, c.keep, c.gain);
        if (st.any) PaintMaskedRow<S, O>(c.preview + base * S, mrow, w, c.si_area, c.disp);
    }
    if (c.copy) RowCopyFence();
}

template <int S, int O, bool BO>
void ObjectLoop(const Ctx& c, Out& out) {
    const int32_t w = c.w;
    const size_t rowb = static_cast<size_t>(w) * S;
    for (int32_t y = 0; y < c.h; ++y) {
        const size_t base = static_cast<size_t>(y) * w;
        if (c.copy) CopyRow(c.slot + base * S, c.preview + base * S, rowb);
        const uint8_t* cur = (c.copy ? c.preview : c.slot) + base * S;
        const uint8_t* ref = c.ref + base * S;
        const uint8_t* hd = c.head + base * S;
        uint8_t* mrow = c.mask + base;
        uint32_t* arow = c.avr + base;
        // Every unmasked pixel that is not a candidate updates the largest
        // difference, the dark ones included.
        const RowStat st = ReduceRowBo<S, O, BO>(cur, ref, hd, mrow, arow, w, c.dlev, c.bolevel, false);
        if (st.count) {
            c.object_row[BO ? 1 : 0](c.owner, c, y, out);
        } else {
            TakeRowMax<S, O>(out, st.rowmax, y, cur, ref, w, [&](int32_t x) { return mrow[x] == 0; });
        }
        UpdateAvrRow<S, O>(arow, cur, w, c.keep, c.gain);
        if (st.any) PaintMaskedRow<S, O>(c.preview + base * S, mrow, w, c.si_area, c.disp);
    }
    if (c.copy) RowCopyFence();
}

// Column sums over five rows move down one row at a time (add the entering
// row, subtract the leaving one); each 5 x 5 sum is the sum of five
// neighbouring column sums. A pre-test without division finds the stars of a
// row; the few candidates get the exact test.
void ScintRows(const ScintCtx& c) {
    const int32_t w = c.w, h = c.h;
    const uint32_t* avr = c.avr;
    uint32_t* cs = c.colsum;
    uint8_t* star = c.star;
    const int64_t level = c.level;
    const int64_t small_k = 2 * level - 99, large_k = 4 * level - 298;
    for (int32_t x = 0; x < w; ++x) {
        uint32_t s = 0;
        for (int32_t k = 0; k < 5; ++k) s += avr[static_cast<size_t>(k) * w + x];
        cs[x] = s;
    }
    for (int32_t y = 2; y <= h - 3; ++y) {
        if (y > 2) {
            const uint32_t* in = avr + static_cast<size_t>(y + 2) * w;
            const uint32_t* out = avr + static_cast<size_t>(y - 3) * w;
            for (int32_t x = 0; x < w; ++x) cs[x] += in[x] - out[x];
        }
        const uint32_t* row = avr + static_cast<size_t>(y) * w;
        uint8_t found = 0;
        for (int32_t x = 2; x <= w - 3; ++x) {
            const uint32_t cv = row[x];
            const uint32_t rest = cs[x - 2] + cs[x - 1] + cs[x] + cs[x + 1] + cs[x + 2] - cv;
            // cv >= rest/24 + 16384, without the division; past 178956970
            // the product would wrap and the test holds anyway.
            const uint8_t cand = (cv >= 16384u) & ((cv > 178956970u) | (rest < 24u * (cv - 16383u)));
            star[x] = cand;
            found |= cand;
        }
        if (!found) continue;
        for (int32_t x = 2; x <= w - 3; ++x) {
            // Stars are sparse: skip eight empty flags at a time.
            if (x + 8 <= w - 2) {
                uint64_t eight;
                std::memcpy(&eight, star + x, 8);
                if (!eight) {
                    x += 7;
                    continue;
                }
            }
            if (!star[x]) continue;
            const uint32_t cv = row[x];
            const uint32_t m = (cs[x - 2] + cs[x - 1] + cs[x] + cs[x + 1] + cs[x + 2] - cv) / 24u;
            if (cv < m + 16384u) continue;
            const int64_t r = 100 * static_cast<int64_t>(cv);
            const int64_t m64 = m;
            if (!(r > level * m64)) continue;
            const ScintShape& sh = c.shape[r <= small_k * m64 ? 0 : r > large_k * m64 ? 2 : 1];
            uint8_t* centre = c.mask + static_cast<size_t>(y) * w + x;
            for (int k = 0; k < sh.n; ++k) {
                const int32_t yy = y + sh.dy[k];
                if (yy < 0 || yy >= h) continue;
                // Row-major offsets: a shape past the left or right edge goes
                // on in the neighbouring row (the border, masked anyway) or
                // in the spare rows of the mask allocation.
                centre[static_cast<ptrdiff_t>(sh.dy[k]) * w + sh.dx[k]] |= 0xF8;
            }
        }
    }
}

template <int S, int O>
Table MakeTable() {
    Table t;
    t.plain = &PlainLoop<S, O>;
    t.average = &AverageLoop<S, O, false>;
    t.average_bo = &AverageLoop<S, O, true>;
    t.object = &ObjectLoop<S, O, false>;
    t.object_bo = &ObjectLoop<S, O, true>;
    t.scint = &ScintRows;
    return t;
}

Table TableFor(int32_t format) {
    switch (format) {
        case 2: return MakeTable<2, 0>();  // YUY2
        case 3: return MakeTable<2, 1>();  // UYVY
        default: return MakeTable<1, 0>();
    }
}

}  // namespace

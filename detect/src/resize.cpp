#include "vlx/detect/resize.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vlx/guid.h"

namespace vlx::detect {

size_t FrameBytes(int32_t format, int32_t cx, int32_t cy) {
    if (cx <= 0 || cy <= 0) return 0;
    const size_t p = static_cast<size_t>(cx) * static_cast<size_t>(cy);
    switch (format) {
        case kFormatPlanar420: return Planar420Layout(cx, cy).bytes;
        case kFormatYUY2:
        case kFormatUYVY: return p * 2;
        case kFormatGray8: return p;
        default: return 0;
    }
}

void ResizeAxis::Build(int32_t m, int32_t n) {
    src.assign(n, 0);
    weight.assign(n, 0);
    nearest.assign(n, 0);
    for (int32_t i = 0; i < n; ++i) {
        int32_t s;
        double e;
        if (i == n - 1) {
            s = m - 2;
            e = 1.0;
        } else {
            // The exact position (m-1)*i/(n-1) as a rational keeps the split
            // into index and fraction free of rounding.
            const int64_t num = static_cast<int64_t>(m - 1) * i;
            s = static_cast<int32_t>(num / (n - 1));
            e = static_cast<double>(num % (n - 1)) / (n - 1);
        }
        src[i] = s;
        weight[i] = static_cast<uint32_t>(std::lround(e * 65536.0));
        nearest[i] = weight[i] >= 32768 ? s + 1 : s;
    }
}

void Resizer::Configure(int32_t cxin, int32_t cyin, int32_t cx, int32_t cy) {
    cxin_ = cxin;
    cyin_ = cyin;
    cx_ = cx;
    cy_ = cy;
    x_ = {};
    y_ = {};
    active_ = cx > 0 && cy > 0 && cx <= cxin && cy <= cyin && (cx < cxin || cy < cyin);
    if (!active_) return;
    if (cx < cxin) x_.Build(cxin, cx);
    if (cy < cyin) y_.Build(cyin, cy);
    row_.assign(static_cast<size_t>(cxin) * 2, 0);
    col_luma_.assign(x_.empty() ? 0 : cx, 0);
    col_chroma_.assign(x_.empty() ? 0 : cx, 0);
    for (int32_t i = 0; i < static_cast<int32_t>(col_luma_.size()); ++i) {
        col_luma_[i] = 2 * x_.src[i];
        const int32_t pair_col = std::min((x_.nearest[i] & ~1) | (i & 1), cxin - 1);
        col_chroma_[i] = 2 * pair_col;
    }
}

// One output row: every byte interpolated between rows a and b with the weight
// of its lane (luma) or taken from the nearest row (chroma, weight 0 or 65536).
static void LerpRowPattern(uint8_t* dst, const uint8_t* a, const uint8_t* b, size_t n,
                           uint32_t w_even, uint32_t w_odd) {
    for (size_t k = 0; k + 1 < n; k += 2) {
        dst[k] = Lerp16(a[k], b[k], w_even);
        dst[k + 1] = Lerp16(a[k + 1], b[k + 1], w_odd);
    }
    if (n & 1) dst[n - 1] = Lerp16(a[n - 1], b[n - 1], w_even);
}

static void LerpRow(uint8_t* dst, const uint8_t* a, const uint8_t* b, size_t n, uint32_t w) {
    for (size_t k = 0; k < n; ++k) dst[k] = Lerp16(a[k], b[k], w);
}

// Luma plane (planar, gray) or whole packed rows. bpp is 1 or 2; luma_lo the
// byte of a packed pair that holds luma.
void Resizer::ScaleRows(uint8_t* frame, int32_t bpp, int32_t luma_lo) {
    const size_t in_row = static_cast<size_t>(cxin_) * bpp;
    const size_t out_row = static_cast<size_t>(cx_) * bpp;
    const bool rows = !y_.empty();
    const bool cols = !x_.empty();
    for (int32_t j = 0; j < cy_; ++j) {
        uint8_t* dst = frame + j * out_row;
        const uint8_t* r;
        if (rows) {
            const uint8_t* a = frame + static_cast<size_t>(y_.src[j]) * in_row;
            const uint8_t* b = a + in_row;
            const uint32_t w = y_.weight[j];
            // Output row j lies at or before source row y_.src[j], and the
            // same byte offset is read before it is written, so without a
            // column pass the row can be written in place.
            uint8_t* out = cols ? row_.data() : dst;
            if (bpp == 1) {
                LerpRow(out, a, b, in_row, w);
            } else {
                const uint32_t wc = y_.nearest[j] == y_.src[j] ? 0u : 65536u;
                LerpRowPattern(out, a, b, in_row, luma_lo == 0 ? w : wc, luma_lo == 0 ? wc : w);
            }
            if (!cols) continue;
            r = row_.data();
        } else {
            std::memcpy(row_.data(), frame + j * in_row, in_row);
            r = row_.data();
        }
        if (bpp == 1) {
            for (int32_t i = 0; i < cx_; ++i) {
                const int32_t s = x_.src[i];
                dst[i] = Lerp16(r[s], r[s + 1], x_.weight[i]);
            }
        } else {
            const int32_t co = 1 - luma_lo;
            for (int32_t i = 0; i < cx_; ++i) {
                const int32_t s = col_luma_[i] + luma_lo;
                dst[2 * i + luma_lo] = Lerp16(r[s], r[s + 2], x_.weight[i]);
                dst[2 * i + co] = r[col_chroma_[i] + co];
            }
        }
    }
}

void Resizer::ScalePlanarChroma(uint8_t* frame) {
    const Planar420 lin = Planar420Layout(cxin_, cyin_), lout = Planar420Layout(cx_, cy_);
    const int32_t cwin = static_cast<int32_t>(lin.cw), chin = static_cast<int32_t>(lin.ch);
    const int32_t cw = static_cast<int32_t>(lout.cw), ch = static_cast<int32_t>(lout.ch);
    if (cwin <= 0 || chin <= 0) return;
    for (int plane = 0; plane < 2; ++plane) {
        const uint8_t* in = frame + (plane ? lin.v : lin.u);
        uint8_t* out = frame + (plane ? lout.v : lout.u);
        // Writes never pass the reads still to come: output row jc comes from
        // source row >= jc, and the output plane starts no later than the
        // input plane.
        for (int32_t jc = 0; jc < ch; ++jc) {
            const int32_t rc = y_.empty() ? jc : std::min(y_.nearest[2 * jc] / 2, chin - 1);
            const uint8_t* src_row = in + static_cast<size_t>(rc) * cwin;
            uint8_t* dst_row = out + static_cast<size_t>(jc) * cw;
            for (int32_t ic = 0; ic < cw; ++ic) {
                const int32_t cc = x_.empty() ? ic : std::min(x_.nearest[2 * ic] / 2, cwin - 1);
                dst_row[ic] = src_row[cc];
            }
        }
    }
}

void Resizer::Apply(uint8_t* frame, int32_t format) {
    if (!active_) return;
    switch (format) {
        case kFormatPlanar420:
            ScaleRows(frame, 1, 0);
            ScalePlanarChroma(frame);
            break;
        case kFormatYUY2: ScaleRows(frame, 2, 0); break;
        case kFormatUYVY: ScaleRows(frame, 2, 1); break;
        case kFormatGray8: ScaleRows(frame, 1, 0); break;
        default: break;
    }
}

}  // namespace vlx::detect

// In-place downscaler for the detector's working size. Luma is interpolated
// linearly between the two nearest source samples; chroma is taken from the
// nearest source sample (planar: chroma index = luma index / 2; packed: the
// chroma byte of the same parity in the nearest source pair). Rows are scaled
// first, then columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vlx::detect {

// Bytes of one packed frame of the given format code at cx x cy.
size_t FrameBytes(int32_t format, int32_t cx, int32_t cy);

// The planar 4:2:0 frame as the media framework lays it out, without row
// padding: the luma plane, then two chroma planes of ceil(cx/2) x ceil(cy/2)
// samples, so that an odd last column or row has chroma of its own. For even
// sizes the chroma planes are cx*cy/4 bytes each.
struct Planar420 {
    size_t cw = 0, ch = 0;  // chroma plane width and height
    size_t u = 0, v = 0;    // offsets of the first and second chroma plane
    size_t bytes = 0;
};
inline Planar420 Planar420Layout(int32_t cx, int32_t cy) {
    Planar420 l;
    if (cx <= 0 || cy <= 0) return l;
    const size_t p = static_cast<size_t>(cx) * static_cast<size_t>(cy);
    l.cw = (static_cast<size_t>(cx) + 1) / 2;
    l.ch = (static_cast<size_t>(cy) + 1) / 2;
    l.u = p;
    l.v = p + l.cw * l.ch;
    l.bytes = l.v + l.cw * l.ch;
    return l;
}

// Interpolation table of one axis from m source samples to n < m outputs.
// Output i sits at p = (m-1)/(n-1)*i, between src[i] and src[i]+1, with the
// weight of the second sample quantised to 1/65536; the last output takes
// the last source sample.
struct ResizeAxis {
    std::vector<int32_t> src;
    std::vector<uint32_t> weight;   // 0..65536
    std::vector<int32_t> nearest;   // nearest source sample
    void Build(int32_t m, int32_t n);
    bool empty() const { return src.empty(); }
};

class Resizer {
public:
    // Builds the tables; an axis is scaled only when its output is smaller.
    // Allocates, so call it outside streaming.
    void Configure(int32_t cxin, int32_t cyin, int32_t cx, int32_t cy);
    // True when the frame must be scaled (cx < cxin or cy < cyin, neither
    // larger).
    bool active() const { return active_; }
    size_t InputBytes(int32_t format) const { return FrameBytes(format, cxin_, cyin_); }
    size_t OutputBytes(int32_t format) const { return FrameBytes(format, cx_, cy_); }
    // Scales a cxin x cyin frame into a cx x cy frame at the same address.
    // The buffer must hold InputBytes(format). Does nothing when inactive.
    void Apply(uint8_t* frame, int32_t format);

    const ResizeAxis& x_axis() const { return x_; }
    const ResizeAxis& y_axis() const { return y_; }

private:
    void ScaleRows(uint8_t* frame, int32_t bpp, int32_t luma_lo);
    void ScalePlanarChroma(uint8_t* frame);

    int32_t cxin_ = 0, cyin_ = 0, cx_ = 0, cy_ = 0;
    bool active_ = false;
    ResizeAxis x_, y_;
    std::vector<uint8_t> row_;           // one source row after the row pass
    std::vector<int32_t> col_luma_;      // packed: byte offsets of the luma pair
    std::vector<int32_t> col_chroma_;    // packed: byte offset of the chroma
};

// Linear interpolation with a Q16 weight, rounded to nearest.
inline uint8_t Lerp16(uint32_t a, uint32_t b, uint32_t w) {
    return static_cast<uint8_t>((a * (65536u - w) + b * w + 32768u) >> 16);
}

}  // namespace vlx::detect

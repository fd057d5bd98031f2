#include "vlx/detect/accumulate.h"

#include <cstddef>

#include "vlx/detect/resize.h"
#include "vlx/guid.h"

namespace vlx::detect {

namespace {

template <int S, int O>
void PeakPacked(uint8_t* snap, const uint8_t* fr, size_t n) {
    constexpr int C = 1 - O;  // chroma byte of the pair (packed only)
    for (size_t p = 0; p < n; ++p) {
        const uint8_t s = snap[S * p + O], c = fr[S * p + O];
        const bool rep = (s < c) & (s != 0);
        snap[S * p + O] = rep ? c : s;
        if constexpr (S == 2) snap[S * p + C] = rep ? fr[S * p + C] : snap[S * p + C];
    }
}

}  // namespace

void PeakHold(uint8_t* snap, const uint8_t* fr, int32_t format, int32_t cx, int32_t cy) {
    if (cx <= 0 || cy <= 0) return;
    const size_t n = static_cast<size_t>(cx) * static_cast<size_t>(cy);
    switch (format) {
        case kFormatYUY2: PeakPacked<2, 0>(snap, fr, n); break;
        case kFormatUYVY: PeakPacked<2, 1>(snap, fr, n); break;
        case kFormatGray8: PeakPacked<1, 0>(snap, fr, n); break;
        case kFormatPlanar420: {
            const Planar420 l = Planar420Layout(cx, cy);
            const size_t cw = l.cw;
            uint8_t* su = snap + l.u;
            uint8_t* sv = snap + l.v;
            const uint8_t* fu = fr + l.u;
            const uint8_t* fv = fr + l.v;
            for (int32_t y = 0; y < cy; ++y) {
                uint8_t* srow = snap + static_cast<size_t>(y) * cx;
                const uint8_t* frow = fr + static_cast<size_t>(y) * cx;
                const size_t crow = static_cast<size_t>(y / 2) * cw;
                for (int32_t x = 0; x < cx; ++x) {
                    const uint8_t s = srow[x], c = frow[x];
                    if (s < c && s != 0) {
                        srow[x] = c;
                        const size_t ci = crow + static_cast<size_t>(x / 2);
                        su[ci] = fu[ci];
                        sv[ci] = fv[ci];
                    }
                }
            }
            break;
        }
        default: break;
    }
}

}  // namespace vlx::detect

#include "field.h"

#include <cstring>

namespace vlx::replayfilter {

namespace {

// floor((a + b) / 2) without widening, so the loop vectorises.
inline void MeanRow(const uint8_t* __restrict a, const uint8_t* __restrict b, uint8_t* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((a[i] & b[i]) + ((a[i] ^ b[i]) >> 1));
}

}  // namespace

void RebuildField(uint8_t* data, int width, int height, ptrdiff_t stride, int field_select) {
    if (!data || width <= 0 || height <= 0) return;
    const size_t n = static_cast<size_t>(width) * 3;
    // r counts from the bottom row; r = 2.. with r + 1 < H for field 0,
    // r = 3.. with r < H - 2 for field 1.
    const int first = field_select ? 3 : 2;
    const int end = field_select ? height - 2 : height - 1;
    for (int r = first; r < end; r += 2) {
        const int t = height - 1 - r;  // the same row counted from the top
        uint8_t* row = data + static_cast<ptrdiff_t>(t) * stride;
        MeanRow(row - stride, row + stride, row, n);
    }
}

void CopyBottomUp(const uint8_t* src, int width, int height, ptrdiff_t stride, uint8_t* dst) {
    const size_t n = static_cast<size_t>(width) * 3;
    for (int t = 0; t < height; ++t) {
        std::memcpy(dst + static_cast<size_t>(height - 1 - t) * n, src + static_cast<ptrdiff_t>(t) * stride, n);
    }
}

int64_t FrameDuration100ns(int fps_n, int fps_d) {
    constexpr int64_t kDefault = 333667;
    constexpr int64_t kShortest = 100000;
    if (fps_n <= 0 || fps_d <= 0) return kDefault;
    // Rounded as frame rates are usually written: 30000/1001 gives 333,667.
    const int64_t d = (int64_t{10000000} * fps_d + fps_n / 2) / fps_n;
    return d < kShortest ? kDefault : d;
}

}  // namespace vlx::replayfilter

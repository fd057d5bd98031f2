// The per-frame work of the replay element, apart from GStreamer so that the
// benchmark and the tests can run it on plain memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlx::replayfilter {

// Rebuilds one field of a 3-byte-per-pixel frame in place. Rows are top-down,
// `stride` bytes apart (at least width * 3). The rows rebuilt are the picture
// lines a bottom-up frame rebuilds: counted from the bottom (r = height-1-t),
// field 0 replaces the even rows r = 2, 4, ... that have a row after them,
// field 1 the odd rows r = 3, 5, ... below height - 2. Each byte becomes the
// floor of the mean of the bytes above and below.
void RebuildField(uint8_t* data, int width, int height, ptrdiff_t stride, int field_select);

// Copies a top-down frame into `dst` bottom row first, rows width * 3 bytes
// apart (the application's picture layout).
void CopyBottomUp(const uint8_t* src, int width, int height, ptrdiff_t stride, uint8_t* dst);

// The frame duration in 100-ns units the element reports for a caps frame
// rate: 10,000,000 / rate, and 333,667 (29.97 frames per second) when the
// rate is unknown or the duration is below 10 ms.
int64_t FrameDuration100ns(int fps_n, int fps_d);

}  // namespace vlx::replayfilter

// Image accumulators that live outside the detector: the peak-hold merge of
// a clip frame into the SnapShot.
#pragma once

#include <cstdint>

namespace vlx::detect {

// Where the SnapShot luma s and the clip-frame luma c satisfy s < c and
// s != 0, the SnapShot pixel takes the clip frame's luma and chroma (planar:
// both chroma samples of the pixel's 2 x 2 block; packed: the pixel's chroma
// byte). A SnapShot luma of 0 (the black outline of the stamp) is kept.
void PeakHold(uint8_t* snapshot, const uint8_t* frame, int32_t format, int32_t cx, int32_t cy);

}  // namespace vlx::detect

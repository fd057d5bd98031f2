// The one owner of the parameter block's buffers: their sizes from the
// settings and their allocation. The live pipeline, the detection test rig,
// the element tests and the benchmarks all size and allocate through it, so
// they work on the same layout the station does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vlx/detect_params.h"

namespace vlx {

// Buffers of the parameter block, sized from the settings.
struct BlockSizes {
    int32_t pixels = 0;           // cx*cy rounded up to a multiple of 4
    int32_t frame_bytes = 0;      // one shift-buffer slot
    int32_t shift_frames = 0;
    int32_t audio_buf_bytes = 0;  // one audio slot: a frame period of 48 kHz 16-bit stereo, in 4 KiB steps
    int32_t audio_bufs = 0;
};
BlockSizes ComputeBlockSizes(const DetectParams& dp, bool gray8, bool has_audio);

class BlockBuffers {
public:
    // Which allocation failed, for the caller's message.
    enum Failed { kNone, kShift, kAudio, kMask, kHitMap, kAvrMap, kSnapshot, kObjMap };

    BlockBuffers() = default;
    ~BlockBuffers() { Free(); }
    BlockBuffers(const BlockBuffers&) = delete;
    BlockBuffers& operator=(const BlockBuffers&) = delete;

    // Writes the sizes into the block and allocates every buffer zeroed
    // (64-byte aligned for the vector loops), pointing the block's fields at
    // them. On a failure the buffers made so far stay until Release.
    Failed Allocate(DetectParams& dp, bool gray8, bool has_audio);
    // Clears the block's buffer fields and frees the buffers.
    void Release(DetectParams& dp);

private:
    struct Region {
        uint8_t* data = nullptr;
        size_t bytes = 0;     // mapped length; 0 for a heap allocation
    };
    static uint8_t* AllocZeroed(Region& r, size_t bytes);
    static void FreeRegion(Region& r);
    void Free();
    Region shift_, audio_, mask_, hit_, avr_, snap_, obj_;
};

}  // namespace vlx

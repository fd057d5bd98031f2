#include "vlx/detect/block_buffers.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <sys/mman.h>

namespace vlx {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

uint8_t* AllocZeroed(size_t bytes) {
    // Large buffers (the shift buffer of an HD camera is 200 MB) in huge
    // pages where the system offers them: a fiftieth of the page faults, and
    // the ring's slots stay in few TLB entries.
    const size_t align = bytes >= 2 * kHugePage ? kHugePage : 64;
    const size_t rounded = ((bytes ? bytes : 1) + align - 1) & ~(align - 1);
    void* p = std::aligned_alloc(align, rounded);
    if (!p) return nullptr;
#ifdef MADV_HUGEPAGE
    if (align == kHugePage) madvise(p, rounded, MADV_HUGEPAGE);
#endif
    std::memset(p, 0, rounded);
    return static_cast<uint8_t*>(p);
}

}  // namespace

BlockSizes ComputeBlockSizes(const DetectParams& dp, bool gray8, bool has_audio) {
    BlockSizes s;
    s.pixels = (dp.cx * dp.cy + 3) / 4 * 4;
    s.frame_bytes = gray8 ? s.pixels : 2 * s.pixels;
    s.shift_frames = dp.fs_diff + dp.dmin + dp.fs_head + 15;
    if (has_audio) {
        if (dp.fps >= 0.01) {
            s.audio_buf_bytes = static_cast<int32_t>((static_cast<int64_t>(192000.0 / dp.fps) + 4095) / 4096 * 4096);
            s.audio_bufs = 2 * s.shift_frames;
        } else {
            s.audio_buf_bytes = 98304;
            s.audio_bufs = s.shift_frames;
        }
    }
    return s;
}

BlockBuffers::Failed BlockBuffers::Allocate(DetectParams& dp, bool gray8, bool has_audio) {
    Release(dp);
    const BlockSizes s = ComputeBlockSizes(dp, gray8, has_audio);
    dp.pixels = s.pixels;
    dp.frame_bytes = s.frame_bytes;
    dp.shift_frames = s.shift_frames;
    dp.audio_buf_bytes = s.audio_buf_bytes;
    dp.audio_bufs = s.audio_bufs;
    const size_t pixels = static_cast<size_t>(s.pixels);

    if (!(shift_ = AllocZeroed(static_cast<size_t>(s.frame_bytes) * static_cast<size_t>(s.shift_frames)))) return kShift;
    dp.shift_buf = shift_;
    if (has_audio) {
        if (!(audio_ = AllocZeroed(static_cast<size_t>(s.audio_buf_bytes) * static_cast<size_t>(s.audio_bufs)))) {
            return kAudio;
        }
    }
    dp.audio_shift_buf = audio_;
    // A spare row on each side of the mask for the neighbourhood loops.
    if (!(mask_ = AllocZeroed(pixels + 2 * static_cast<size_t>(dp.cx)))) return kMask;
    dp.mask_alloc = mask_;
    dp.mask = mask_ + dp.cx;
    if (!(hit_ = AllocZeroed(pixels))) return kHitMap;
    dp.hit_map = hit_;
    if (!(avr_ = AllocZeroed(4 * pixels))) return kAvrMap;
    dp.avr_map = reinterpret_cast<uint32_t*>(avr_);
    if (!(snap_ = AllocZeroed(static_cast<size_t>(s.frame_bytes)))) return kSnapshot;
    dp.snapshot = snap_;
    if (!(obj_ = AllocZeroed(pixels))) return kObjMap;
    dp.obj_map = obj_;
    return kNone;
}

void BlockBuffers::Release(DetectParams& dp) {
    dp.obj_map = nullptr;
    dp.snapshot = nullptr;
    dp.avr_map = nullptr;
    dp.hit_map = nullptr;
    dp.mask = nullptr;
    dp.mask_alloc = nullptr;
    dp.audio_shift_buf = nullptr;
    dp.shift_buf = nullptr;
    Free();
}

void BlockBuffers::Free() {
    for (uint8_t** p : {&obj_, &snap_, &avr_, &hit_, &mask_, &audio_, &shift_}) {
        std::free(*p);
        *p = nullptr;
    }
}

}  // namespace vlx

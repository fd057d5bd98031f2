#include "vlx/detect/block_buffers.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <sys/mman.h>

namespace vlx {

// Large buffers (the shift buffer of an HD camera is 200 MB) are mapped and
// populated at once: the kernel hands out zeroed pages faster in one call
// than fault by fault, and the first pass of the ring then takes no page
// faults in the streaming thread.
// Huge pages are not asked for: with the usual "madvise" defrag setting they
// make the kernel compact memory on the spot, which cost up to 0.6 s of CPU
// per start against 0.1 s for small pages.
constexpr size_t kMapFrom = size_t{1} << 20;

uint8_t* BlockBuffers::AllocZeroed(Region& r, size_t bytes) {
    r = Region{};
    if (bytes >= kMapFrom) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        r.data = static_cast<uint8_t*>(p);
        r.bytes = bytes;
        return r.data;
    }
    r.data = static_cast<uint8_t*>(std::aligned_alloc(64, ((bytes ? bytes : 1) + 63) & ~size_t{63}));
    if (r.data) std::memset(r.data, 0, bytes);
    return r.data;
}

void BlockBuffers::FreeRegion(Region& r) {
    if (r.bytes) munmap(r.data, r.bytes);
    else std::free(r.data);
    r = Region{};
}

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

    if (!(AllocZeroed(shift_, static_cast<size_t>(s.frame_bytes) * static_cast<size_t>(s.shift_frames)))) return kShift;
    dp.shift_buf = shift_.data;
    if (has_audio) {
        if (!(AllocZeroed(audio_, static_cast<size_t>(s.audio_buf_bytes) * static_cast<size_t>(s.audio_bufs)))) {
            return kAudio;
        }
    }
    dp.audio_shift_buf = audio_.data;
    // A spare row on each side of the mask for the neighbourhood loops.
    if (!(AllocZeroed(mask_, pixels + 2 * static_cast<size_t>(dp.cx)))) return kMask;
    dp.mask_alloc = mask_.data;
    dp.mask = mask_.data + dp.cx;
    if (!(AllocZeroed(hit_, pixels))) return kHitMap;
    dp.hit_map = hit_.data;
    if (!(AllocZeroed(avr_, 4 * pixels))) return kAvrMap;
    dp.avr_map = reinterpret_cast<uint32_t*>(avr_.data);
    if (!(AllocZeroed(snap_, static_cast<size_t>(s.frame_bytes)))) return kSnapshot;
    dp.snapshot = snap_.data;
    if (!(AllocZeroed(obj_, pixels))) return kObjMap;
    dp.obj_map = obj_.data;
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
    for (Region* r : {&obj_, &snap_, &avr_, &hit_, &mask_, &audio_, &shift_}) FreeRegion(*r);
}

}  // namespace vlx

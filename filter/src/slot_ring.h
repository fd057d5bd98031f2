// GstBuffers over the slots of an application-owned ring (the shift buffer or
// the audio shift buffer), without copying and without ever freeing the
// application's memory.
//
// A slot's buffer is created once and reused for every pass of the ring while
// nobody downstream holds it. When the ring is about to overwrite a slot that
// downstream still holds (a sink keeping its last sample, a long queue, an
// application keeping pulled samples), Protect() moves the held memory onto a
// private copy first, so what downstream holds never changes under it. Readers
// that mapped the slot before the switch are waited for, for a bounded time.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vlx::filter {

struct SlotMemory;

class SlotRing {
public:
    // Reference counted: every memory handed downstream keeps the ring alive.
    static SlotRing* New();
    void Ref();
    void Unref();

    // A new ring of n slots. Held memories of the old ring are protected and
    // the buffers kept for reuse are dropped.
    void Reset(int slots);

    // The buffer over slot i (data of len bytes at ptr, slot_bytes capacity),
    // owned by the ring; writable by the caller until it refs it for pushing.
    // nullptr when i is out of range.
    GstBuffer* Wrap(int i, uint8_t* ptr, size_t slot_bytes, size_t len);

    // The ring is about to write slot i. Returns false when a reader that had
    // mapped the slot did not let go in time (the slot is overwritten anyway).
    bool Protect(int i);
    // Protect every slot and drop the reusable buffers (the application may
    // free or reshape its memory after this).
    void ProtectAll();

    // Slots currently held downstream (for tests and debug output).
    int Held() const;

    // Memory callbacks (used by the allocator).
    uint8_t* Map(SlotMemory* root, GstMapInfo* info);
    void Unmap(SlotMemory* root, GstMapInfo* info);
    GstMemory* Copy(SlotMemory* root, GstMemory* mem, gssize offset, gssize size);
    void Release(SlotMemory* root);

private:
    SlotRing();
    ~SlotRing();
    struct Slot {
        GstBuffer* buf = nullptr;  // our reference, reused while not held
        SlotMemory* mem = nullptr; // its memory
    };
    static bool IsHeld(const Slot& s);
    // Moves a held memory onto a private copy; returns false on reader timeout.
    bool Detach(SlotMemory* m);

    std::atomic<int> refs_{1};
    GstAllocator* allocator_ = nullptr;
    mutable std::mutex mu_;              // guards every SlotMemory's data/raw_maps
    std::condition_variable unmapped_;
    std::vector<Slot> slots_;            // touched only by the element (its lock)
};

}  // namespace vlx::filter

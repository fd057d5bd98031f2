#include "slot_ring.h"

#include <chrono>
#include <cstring>

GST_DEBUG_CATEGORY_EXTERN(gst_vlx2f_debug);
#define GST_CAT_DEFAULT gst_vlx2f_debug

namespace vlx::filter {

// How long Protect waits for a reader that mapped a slot before the switch.
constexpr auto kReaderWait = std::chrono::milliseconds(250);

// The root memory of a slot buffer, or a shared sub-range of one (parent set).
struct SlotMemory {
    GstMemory mem;
    SlotRing* ring;     // root only: reference held
    uint8_t* slot;      // root only: the application's slot
    uint8_t* data;      // root only: slot, or priv once detached
    uint8_t* priv;      // root only: private copy, owned
    int raw_maps;       // root only: maps that handed out the slot pointer
};

namespace {

SlotMemory* RootOf(GstMemory* mem) {
    return reinterpret_cast<SlotMemory*>(mem->parent ? mem->parent : mem);
}

}  // namespace
}  // namespace vlx::filter

// The allocator type: it only hands out memories through SlotRing::Wrap; its
// callbacks forward to the ring that owns the slot.
typedef struct {
    GstAllocator parent;
} VlxSlotAllocator;
typedef struct {
    GstAllocatorClass parent_class;
} VlxSlotAllocatorClass;

GType vlx_slot_allocator_get_type(void);
G_DEFINE_TYPE(VlxSlotAllocator, vlx_slot_allocator, GST_TYPE_ALLOCATOR)

using vlx::filter::RootOf;
using vlx::filter::SlotMemory;

static gpointer slot_mem_map_full(GstMemory* mem, GstMapInfo* info, gsize) {
    SlotMemory* root = RootOf(mem);
    return root->ring->Map(root, info);
}

static void slot_mem_unmap_full(GstMemory* mem, GstMapInfo* info) {
    SlotMemory* root = RootOf(mem);
    root->ring->Unmap(root, info);
}

static GstMemory* slot_mem_copy(GstMemory* mem, gssize offset, gssize size) {
    SlotMemory* root = RootOf(mem);
    return root->ring->Copy(root, mem, offset, size);
}

static GstMemory* slot_mem_share(GstMemory* mem, gssize offset, gssize size) {
    GstMemory* parent = mem->parent ? mem->parent : mem;
    if (size == -1) size = static_cast<gssize>(mem->size) - offset;
    auto* sub = g_new0(SlotMemory, 1);
    gst_memory_init(&sub->mem,
                    static_cast<GstMemoryFlags>(GST_MINI_OBJECT_FLAGS(parent) | GST_MINI_OBJECT_FLAG_LOCK_READONLY),
                    mem->allocator, parent, mem->maxsize, mem->align, mem->offset + offset, size);
    return &sub->mem;
}

static gboolean slot_mem_is_span(GstMemory*, GstMemory*, gsize*) { return FALSE; }

static GstMemory* slot_alloc(GstAllocator*, gsize, GstAllocationParams*) { return nullptr; }

static void slot_free(GstAllocator*, GstMemory* mem) {
    auto* m = reinterpret_cast<SlotMemory*>(mem);
    if (!mem->parent) m->ring->Release(m);
    g_free(m);
}

static void vlx_slot_allocator_class_init(VlxSlotAllocatorClass* klass) {
    GstAllocatorClass* ac = GST_ALLOCATOR_CLASS(klass);
    ac->alloc = slot_alloc;
    ac->free = slot_free;
}

static void vlx_slot_allocator_init(VlxSlotAllocator* self) {
    GstAllocator* a = GST_ALLOCATOR_CAST(self);
    a->mem_type = "VlxSlotMemory";
    a->mem_map_full = slot_mem_map_full;
    a->mem_unmap_full = slot_mem_unmap_full;
    a->mem_copy = slot_mem_copy;
    a->mem_share = slot_mem_share;
    a->mem_is_span = slot_mem_is_span;
    GST_OBJECT_FLAG_SET(self, GST_ALLOCATOR_FLAG_CUSTOM_ALLOC);
}

namespace vlx::filter {

SlotRing* SlotRing::New() { return new SlotRing(); }

SlotRing::SlotRing() {
    allocator_ = GST_ALLOCATOR_CAST(g_object_new(vlx_slot_allocator_get_type(), nullptr));
    gst_object_ref_sink(allocator_);
}

SlotRing::~SlotRing() { gst_object_unref(allocator_); }

void SlotRing::Ref() { refs_.fetch_add(1, std::memory_order_relaxed); }

void SlotRing::Unref() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool SlotRing::IsHeld(const Slot& s) {
    return s.buf && (GST_MINI_OBJECT_REFCOUNT_VALUE(s.buf) > 1 ||
                     GST_MINI_OBJECT_REFCOUNT_VALUE(&s.mem->mem) > 1);
}

void SlotRing::Reset(int slots) {
    ProtectAll();
    slots_.assign(slots > 0 ? static_cast<size_t>(slots) : 0, Slot{});
}

GstBuffer* SlotRing::Wrap(int i, uint8_t* ptr, size_t slot_bytes, size_t len) {
    if (i < 0 || static_cast<size_t>(i) >= slots_.size() || !ptr || len > slot_bytes) return nullptr;
    Slot& s = slots_[i];
    if (s.buf && (IsHeld(s) || s.mem->slot != ptr || s.mem->mem.maxsize != slot_bytes)) {
        // Still out from an earlier pass (the ring wrote it unprotected) or the
        // ring moved: never hand the same buffer out twice.
        if (IsHeld(s)) GST_WARNING("ring slot %d was still held when delivered again", i);
        Protect(i);
        if (s.buf) {
            gst_buffer_unref(s.buf);
            s = Slot{};
        }
    }
    if (!s.buf) {
        auto* m = g_new0(SlotMemory, 1);
        // Downstream gets it read-only: writers must copy, so the ring is
        // never written from outside.
        gst_memory_init(&m->mem, GST_MEMORY_FLAG_READONLY, allocator_, nullptr, slot_bytes, 0, 0, slot_bytes);
        m->ring = this;
        Ref();
        m->slot = ptr;
        m->data = ptr;
        s.mem = m;
        s.buf = gst_buffer_new();
        gst_buffer_append_memory(s.buf, &m->mem);
    }
    if (gst_buffer_get_size(s.buf) != len) gst_buffer_set_size(s.buf, static_cast<gssize>(len));
    GST_BUFFER_FLAGS(s.buf) = 0;
    return s.buf;
}

bool SlotRing::Protect(int i) {
    if (i < 0 || static_cast<size_t>(i) >= slots_.size()) return true;
    Slot& s = slots_[i];
    if (!IsHeld(s)) return true;
    bool in_time = Detach(s.mem);
    // Our reference goes; the holders keep the detached memory alive.
    GstBuffer* b = s.buf;
    s = Slot{};
    gst_buffer_unref(b);
    return in_time;
}

void SlotRing::ProtectAll() {
    for (size_t i = 0; i < slots_.size(); ++i) {
        Protect(static_cast<int>(i));
        if (slots_[i].buf) {
            gst_buffer_unref(slots_[i].buf);
            slots_[i] = Slot{};
        }
    }
}

int SlotRing::Held() const {
    int n = 0;
    for (const Slot& s : slots_) n += IsHeld(s) ? 1 : 0;
    return n;
}

bool SlotRing::Detach(SlotMemory* m) {
    // Copy outside the lock would race with a concurrent Copy(); the copy is
    // one frame and happens only when downstream holds a slot too long.
    auto* priv = static_cast<uint8_t*>(g_malloc(m->mem.maxsize));
    std::unique_lock<std::mutex> lock(mu_);
    if (m->data != m->slot) {
        g_free(priv);
        return true;
    }
    std::memcpy(priv, m->slot, m->mem.maxsize);
    m->priv = priv;
    m->data = priv;
    GST_DEBUG("ring slot %p held downstream: moved to a private copy", m->slot);
    return unmapped_.wait_for(lock, kReaderWait, [m] { return m->raw_maps == 0; });
}

uint8_t* SlotRing::Map(SlotMemory* root, GstMapInfo* info) {
    std::lock_guard<std::mutex> lock(mu_);
    uint8_t* p = root->data;
    if (p == root->slot) {
        ++root->raw_maps;
        info->user_data[0] = GINT_TO_POINTER(1);
    } else {
        info->user_data[0] = nullptr;
    }
    return p;
}

void SlotRing::Unmap(SlotMemory* root, GstMapInfo* info) {
    if (!info->user_data[0]) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        --root->raw_maps;
    }
    unmapped_.notify_all();
}

GstMemory* SlotRing::Copy(SlotMemory* root, GstMemory* mem, gssize offset, gssize size) {
    if (size == -1) size = static_cast<gssize>(mem->size) > offset ? static_cast<gssize>(mem->size) - offset : 0;
    GstMemory* copy = gst_allocator_alloc(nullptr, static_cast<gsize>(size), nullptr);
    if (!copy) return nullptr;
    GstMapInfo out;
    if (!gst_memory_map(copy, &out, GST_MAP_WRITE)) {
        gst_memory_unref(copy);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        std::memcpy(out.data, root->data + mem->offset + offset, static_cast<size_t>(size));
    }
    gst_memory_unmap(copy, &out);
    return copy;
}

void SlotRing::Release(SlotMemory* root) {
    g_free(root->priv);
    root->priv = nullptr;
    Unref();
}

}  // namespace vlx::filter

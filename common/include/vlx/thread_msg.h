// Per-thread ordered message queues with posting by thread id.
//
// This takes the place of the platform thread messages between the live
// thread, the replay thread and the detection element. It lives in a small
// shared library so that the application and a GStreamer plugin loaded into
// the same process see one registry.
#pragma once

#include <cstdint>

namespace vlx {

using ThreadId = uint32_t;  // 0 is never a valid id

struct ThreadMessage {
    uint32_t message = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
};

// Posts a message to the queue of thread id. Returns false (and does nothing)
// for id 0 or an id whose queue has ended. Safe from any thread.
bool PostThreadMessage(ThreadId id, uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);

// Owns the calling thread's queue for its lifetime. Ids are never reused, so a
// message posted to a thread that has ended is dropped rather than delivered to
// a newcomer.
class ThreadQueue {
public:
    ThreadQueue();
    ~ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    ThreadId id() const { return id_; }

    // Blocks until a message arrives.
    ThreadMessage Get();
    // Waits at most timeout_ms (0 polls); false when nothing arrived.
    bool Get(ThreadMessage* out, int timeout_ms);
    // Number of messages waiting.
    int Pending() const;

private:
    ThreadId id_;
};

}  // namespace vlx

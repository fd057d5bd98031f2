#include "vlx/thread_msg.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace vlx {
namespace {

struct Queue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<ThreadMessage> items;
};

struct Registry {
    std::mutex mu;
    ThreadId next_id = 1;
    std::unordered_map<ThreadId, std::shared_ptr<Queue>> queues;

    std::shared_ptr<Queue> Find(ThreadId id) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = queues.find(id);
        return it == queues.end() ? nullptr : it->second;
    }
};

Registry& TheRegistry() {
    // Never destroyed: element threads may post while the process exits.
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

bool PostThreadMessage(ThreadId id, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (id == 0) return false;
    std::shared_ptr<Queue> q = TheRegistry().Find(id);
    if (!q) return false;
    {
        std::lock_guard<std::mutex> lock(q->mu);
        q->items.push_back(ThreadMessage{message, wparam, lparam});
    }
    q->cv.notify_one();
    return true;
}

ThreadQueue::ThreadQueue() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    id_ = r.next_id++;
    if (r.next_id == 0) r.next_id = 1;
    r.queues.emplace(id_, std::make_shared<Queue>());
}

ThreadQueue::~ThreadQueue() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.queues.erase(id_);
}

ThreadMessage ThreadQueue::Get() {
    ThreadMessage m;
    while (!Get(&m, -1)) {
    }
    return m;
}

bool ThreadQueue::Get(ThreadMessage* out, int timeout_ms) {
    std::shared_ptr<Queue> q = TheRegistry().Find(id_);
    if (!q) return false;
    std::unique_lock<std::mutex> lock(q->mu);
    if (timeout_ms < 0) {
        q->cv.wait(lock, [&] { return !q->items.empty(); });
    } else if (!q->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                               [&] { return !q->items.empty(); })) {
        return false;
    }
    *out = q->items.front();
    q->items.pop_front();
    return true;
}

int ThreadQueue::Pending() const {
    std::shared_ptr<Queue> q = TheRegistry().Find(id_);
    if (!q) return 0;
    std::lock_guard<std::mutex> lock(q->mu);
    return static_cast<int>(q->items.size());
}

}  // namespace vlx

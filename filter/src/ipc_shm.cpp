#include "ipc_shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

namespace vlx::filter {
namespace {

struct Mapping {
    std::string name;
    IpcData* data = nullptr;
    int users = 0;
};

// The named object is process-wide by nature, so its bookkeeping is too.
std::mutex& Mu() {
    static std::mutex mu;
    return mu;
}
std::map<std::string, Mapping>& Mappings() {
    static auto* m = new std::map<std::string, Mapping>;
    return *m;
}

}  // namespace

IpcData* AcquireIpc(const std::string& name) {
    std::lock_guard<std::mutex> lock(Mu());
    Mapping& m = Mappings()[name];
    if (m.data) {
        ++m.users;
        return m.data;
    }
    int fd = shm_open(name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0) {
        Mappings().erase(name);
        return nullptr;
    }
    void* p = MAP_FAILED;
    if (ftruncate(fd, sizeof(IpcData)) == 0) {
        p = mmap(nullptr, sizeof(IpcData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (p == MAP_FAILED) {
        Mappings().erase(name);
        return nullptr;
    }
    m.name = name;
    m.data = static_cast<IpcData*>(p);
    m.users = 1;
    return m.data;
}

void ReleaseIpc(IpcData* ipc) {
    if (!ipc) return;
    std::lock_guard<std::mutex> lock(Mu());
    for (auto it = Mappings().begin(); it != Mappings().end(); ++it) {
        if (it->second.data != ipc) continue;
        if (--it->second.users > 0) return;
        // Readers that keep the mapping see "being written" from now on.
        std::atomic_ref<int32_t>(ipc->sequence).store(0, std::memory_order_release);
        munmap(ipc, sizeof(IpcData));
        shm_unlink(it->second.name.c_str());
        Mappings().erase(it);
        return;
    }
}

}  // namespace vlx::filter

#include "file_util.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace vlx::clips_detail {

size_t WriteAll(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (w == 0) break;
        done += static_cast<size_t>(w);
    }
    return done;
}

bool AtomicFile::Open(const std::string& final_path) {
    Abort();
    static std::atomic<unsigned> counter{0};
    size_t slash = final_path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : final_path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
    for (int attempt = 0; attempt < 16; ++attempt) {
        char tail[64];
        std::snprintf(tail, sizeof tail, ".%ld.%u.tmp", static_cast<long>(::getpid()), counter.fetch_add(1));
        std::string temp = dir + "." + name + tail;
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            temp_path_ = temp;
            final_path_ = final_path;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

size_t AtomicFile::Write(const void* data, size_t n) { return fd_ < 0 ? 0 : WriteAll(fd_, data, n); }

bool AtomicFile::Commit() {
    if (fd_ < 0) return false;
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 || ::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
        ::unlink(temp_path_.c_str());
        temp_path_.clear();
        return false;
    }
    temp_path_.clear();
    return true;
}

void AtomicFile::Abort() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
        temp_path_.clear();
    }
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string FieldText(const char* field, size_t cap) { return std::string(field, ::strnlen(field, cap)); }

}  // namespace vlx::clips_detail

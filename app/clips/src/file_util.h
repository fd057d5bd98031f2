// Small file helpers shared by the writers of this library.
#pragma once

#include <cstddef>
#include <string>

namespace vlx::clips_detail {

// Writes a file under a hidden temporary name in the same folder and renames
// it over the final name on Commit, so that a reader (the clip list, an FTP
// upload, the replay page) never sees a half-written file. The temporary name
// begins with "." so that neither the free-space guard nor the clip list takes
// it for a clip. Anything not committed is removed.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { Abort(); }

    bool Open(const std::string& final_path);
    // Writes all of n bytes; returns the number actually written.
    size_t Write(const void* data, size_t n);
    bool Commit();
    void Abort();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string final_path_;
    std::string temp_path_;
};

// Writes all of n bytes to fd, retrying after interruptions; returns the
// number written.
size_t WriteAll(int fd, const void* data, size_t n);

// "folder/name".
std::string JoinPath(const std::string& folder, const std::string& name);

// A fixed-size text field as a string, stopping at the NUL or at cap bytes.
std::string FieldText(const char* field, size_t cap);

}  // namespace vlx::clips_detail

// Small helpers shared by the test programs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace vlx::test {

// A fresh directory removed at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vlxtest-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A private XDG_DATA_HOME, and so a private trash, for a whole test program:
// define one at namespace scope, since GLib reads the variable once, before
// anything touches GLib. Removed at exit.
class PrivateDataHome {
public:
    PrivateDataHome() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vlxtest-xdg-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        setenv("XDG_DATA_HOME", tmpl.c_str(), 1);
        path_ = tmpl;
    }
    ~PrivateDataHome() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string trash() const { return path_ + "/Trash"; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline std::string ReadFileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const void* data, size_t n) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

// A shell command's exit status (-1 when it did not exit) and its output,
// standard error included.
struct ShellResult {
    int status = -1;
    std::string out;
};

inline ShellResult Shell(const std::string& cmd) {
    ShellResult r;
    std::FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

inline std::string BuildDir() {
    const char* d = std::getenv("VLX_BUILD_DIR");
    return d ? d : ".";
}

inline std::string SourceDir() {
    const char* d = std::getenv("VLX_SOURCE_DIR");
    return d ? d : ".";
}

// Debian's interpreter, which sees the python3-* packages the tests use.
inline const char* SystemPython() { return "/usr/bin/python3"; }

}  // namespace vlx::test

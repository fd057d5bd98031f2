// Real servers on loopback for the notification tests: Python servers run as
// child processes, and a listener that accepts connections and never answers.
#pragma once

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

extern char** environ;

namespace vlx::test {

inline pid_t SpawnPython(const std::vector<std::string>& args) {
    std::vector<std::string> all{SystemPython()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, SystemPython(), nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + all[1]);
    }
    return pid;
}

// Runs a Python script to its end; returns its exit status.
inline int RunPython(const std::vector<std::string>& args) {
    pid_t pid = SpawnPython(args);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string TestScript(const std::string& name) {
    return std::string(VLX_NOTIFY_TEST_DIR) + "/" + name;
}

// A Python server started with a port file as its first argument; it writes
// the port it listens on there. Stopped (and reaped) on destruction.
class PythonServer {
public:
    PythonServer(const std::string& script, const std::string& port_file, std::vector<std::string> args) {
        args.insert(args.begin(), port_file);
        args.insert(args.begin(), TestScript(script));
        pid_ = SpawnPython(args);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!std::filesystem::exists(port_file)) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error(script + " ended before listening");
            }
            if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error(script + " never listened");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        port_ = std::stoi(ReadFileText(port_file));
    }
    ~PythonServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    PythonServer(const PythonServer&) = delete;
    PythonServer& operator=(const PythonServer&) = delete;
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// Listens on a loopback port and never accepts: the kernel completes the
// handshake, then nothing is ever said.
class SilentListener {
public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(a.sin_port);
    }
    ~SilentListener() { close(fd_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port with nothing listening on it.
inline int ClosedPort() {
    SilentListener l;
    return l.port();
}

}  // namespace vlx::test

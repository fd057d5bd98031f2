// A private D-Bus session bus for one test: a real dbus-daemon started on a
// socket of its own and stopped at the end.
#pragma once

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace vlx::test {

class PrivateBus {
public:
    PrivateBus() {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::FILE* f = fdopen(out[0], "r");
        char line[512] = {};
        if (!f || !std::fgets(line, sizeof line, f)) throw std::runtime_error("dbus-daemon gave no address");
        std::fclose(f);
        address_ = line;
        while (!address_.empty() && (address_.back() == '\n' || address_.back() == '\r')) address_.pop_back();
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace vlx::test

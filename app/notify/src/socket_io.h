// A blocking-style TCP client in which every wait has a deadline, for the
// mail dialogue: a server that accepts and then says nothing must not hold
// the live thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include <sys/socket.h>

namespace vlx::notify {

enum class NetStatus {
    kOk,
    kTimeout,  // the peer said nothing (or took nothing) within the limit
    kClosed,   // the peer closed the connection
    kError,    // any other socket failure
    kCancelled,  // the cancel flag was raised while waiting
};

// "host", "host:port", "[v6]:port" or "[v6]". port is -1 when none is given
// or the given one is not a number in 1..65535 (then it stays in host).
struct HostPort {
    std::string host;
    int port = -1;
};
HostPort SplitHostPort(const char* text);

// The port of a TCP service in the services database, `fallback` when the
// database has no entry.
int ServicePort(const char* service, int fallback);

// The first IPv4 address of `host` (the first address of any family when it
// has no IPv4 one) with `port`. False when the name does not resolve.
bool ResolveHost(const std::string& host, int port, sockaddr_storage* addr, socklen_t* addr_len);

class TcpConnection {
public:
    TcpConnection() = default;
    ~TcpConnection() { Close(); }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Every wait also ends (kCancelled) within 100 ms of *cancel turning
    // true, so a stopping station does not sit out a silent server.
    void SetCancel(const std::atomic<bool>* cancel) { cancel_ = cancel; }

    // Creates the socket; false when the system refuses one.
    bool Open(int family);
    NetStatus Connect(const sockaddr* addr, socklen_t addr_len, int timeout_ms);
    // Sends every byte; times out when the peer takes nothing for timeout_ms.
    NetStatus SendAll(const void* data, size_t n, int timeout_ms);
    NetStatus SendAll(const std::string& text, int timeout_ms) {
        return SendAll(text.data(), text.size(), timeout_ms);
    }
    // One line without its CR LF (or bare LF). The whole line must arrive
    // within timeout_ms. Overlong lines are cut at 4096 bytes.
    NetStatus ReadLine(std::string* line, int timeout_ms);
    void Close();

private:
    NetStatus Wait(short events, int timeout_ms);

    int fd_ = -1;
    const std::atomic<bool>* cancel_ = nullptr;
    std::string pending_;  // received bytes after the last line handed out
};

}  // namespace vlx::notify

#include "socket_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace vlx::notify {

namespace {

constexpr size_t kMaxLine = 4096;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

constexpr int kCancelPollMs = 100;

bool ParsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    *port = value;
    return true;
}

}  // namespace

HostPort SplitHostPort(const char* text) {
    HostPort hp;
    std::string s = text ? text : "";
    if (!s.empty() && s.front() == '[') {
        size_t close = s.find(']');
        if (close != std::string::npos) {
            std::string rest = s.substr(close + 1);
            int port = -1;
            if (rest.empty() || (rest.front() == ':' && ParsePort(rest.substr(1), &port))) {
                hp.host = s.substr(1, close - 1);
                hp.port = port;
                return hp;
            }
        }
        hp.host = s;
        return hp;
    }
    size_t colon = s.find(':');
    // More than one colon is a bare IPv6 address, which carries no port.
    if (colon != std::string::npos && s.find(':', colon + 1) == std::string::npos) {
        int port = -1;
        if (ParsePort(s.substr(colon + 1), &port)) {
            hp.host = s.substr(0, colon);
            hp.port = port;
            return hp;
        }
    }
    hp.host = s;
    return hp;
}

int ServicePort(const char* service, int fallback) {
    servent result{};
    servent* found = nullptr;
    char buf[1024];
    if (getservbyname_r(service, "tcp", &result, buf, sizeof buf, &found) == 0 && found) {
        return ntohs(static_cast<uint16_t>(found->s_port));
    }
    return fallback;
}

bool ResolveHost(const std::string& host, int port, sockaddr_storage* addr, socklen_t* addr_len) {
    if (host.empty()) return false;
    const int families[] = {AF_INET, AF_UNSPEC};
    for (int family : families) {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) continue;
        std::memcpy(addr, list->ai_addr, list->ai_addrlen);
        *addr_len = list->ai_addrlen;
        freeaddrinfo(list);
        if (addr->ss_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(addr)->sin_port = htons(static_cast<uint16_t>(port));
        } else if (addr->ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(addr)->sin6_port = htons(static_cast<uint16_t>(port));
        } else {
            return false;
        }
        return true;
    }
    return false;
}

// Waits for `events`; kOk when ready, kTimeout, kCancelled or kError.
NetStatus TcpConnection::Wait(short events, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd p{fd_, events, 0};
    for (;;) {
        if (cancel_ && cancel_->load()) return NetStatus::kCancelled;
        int left = RemainingMs(deadline);
        int slice = cancel_ ? std::min(left, kCancelPollMs) : left;
        int r = poll(&p, 1, slice);
        if (r > 0) return NetStatus::kOk;
        if (r == 0) {
            if (left <= slice) return NetStatus::kTimeout;
            continue;
        }
        if (errno != EINTR) return NetStatus::kError;
    }
}

bool TcpConnection::Open(int family) {
    Close();
    fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd_ >= 0;
}

NetStatus TcpConnection::Connect(const sockaddr* addr, socklen_t addr_len, int timeout_ms) {
    if (fd_ < 0) return NetStatus::kError;
    if (connect(fd_, addr, addr_len) == 0) return NetStatus::kOk;
    if (errno != EINPROGRESS && errno != EINTR) return NetStatus::kError;
    NetStatus st = Wait(POLLOUT, timeout_ms);
    if (st != NetStatus::kOk) return st;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return NetStatus::kError;
    return NetStatus::kOk;
}

NetStatus TcpConnection::SendAll(const void* data, size_t n, int timeout_ms) {
    if (fd_ < 0) return NetStatus::kError;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL);
        if (sent > 0) {
            p += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            NetStatus st = Wait(POLLOUT, timeout_ms);
            if (st != NetStatus::kOk) return st;
            continue;
        }
        return (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) ? NetStatus::kClosed : NetStatus::kError;
    }
    return NetStatus::kOk;
}

NetStatus TcpConnection::ReadLine(std::string* line, int timeout_ms) {
    if (fd_ < 0) return NetStatus::kError;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos || pending_.size() >= kMaxLine) {
            size_t end = nl != std::string::npos ? nl : kMaxLine;
            line->assign(pending_, 0, end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            pending_.erase(0, nl != std::string::npos ? nl + 1 : kMaxLine);
            return NetStatus::kOk;
        }
        char buf[1024];
        ssize_t got = recv(fd_, buf, sizeof buf, 0);
        if (got > 0) {
            pending_.append(buf, static_cast<size_t>(got));
            continue;
        }
        if (got == 0) return NetStatus::kClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return errno == ECONNRESET ? NetStatus::kClosed : NetStatus::kError;
        }
        NetStatus st = Wait(POLLIN, RemainingMs(deadline));
        if (st != NetStatus::kOk) return st;
    }
}

void TcpConnection::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
}

}  // namespace vlx::notify

#pragma once

// A one-connection TCP server on a loopback address for the control session
// tests. It accepts one client, runs the test's script on the connection in
// its own thread, and gives up by itself when no client comes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace vantu::testing {

// A listening-or-bound socket on 127.0.0.1 or ::1 with an ephemeral port.
inline int boundLoopbackSocket(int family, uint16_t& port) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int rc;
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

// A port on which nothing listens for as long as this object lives: the
// socket is bound (so no one else gets the port) but never listens, so
// connections to it are refused at once.
class RefusedPort {
public:
    explicit RefusedPort(int family = AF_INET) : fd_(boundLoopbackSocket(family, port_)) {}
    ~RefusedPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    RefusedPort(const RefusedPort&) = delete;
    RefusedPort& operator=(const RefusedPort&) = delete;
    bool valid() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }

private:
    uint16_t port_ = 0;
    int fd_;
};

inline bool sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads up to and including the first line feed, waiting at most `timeoutMs`.
inline std::string readLine(int fd, int timeoutMs = 3000) {
    std::string line;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char c;
    while (std::chrono::steady_clock::now() < giveUp) {
        pollfd record{fd, POLLIN, 0};
        if (::poll(&record, 1, 50) <= 0) continue;
        if (::recv(fd, &c, 1, 0) != 1) break;
        line.push_back(c);
        if (c == '\n') break;
    }
    return line;
}

// Waits until the client closes its end (true) or the time runs out (false),
// discarding whatever it sends meanwhile.
inline bool waitForPeerClose(int fd, int timeoutMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < giveUp) {
        pollfd record{fd, POLLIN, 0};
        if (::poll(&record, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
    return false;
}

// Keeps the connection open without reading from it until `release` is set
// or the time runs out, so that the client's writes fill the socket buffers.
inline void holdWithoutReading(const std::atomic<bool>& release, int timeoutMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!release.load() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Closes with a reset instead of an orderly shutdown.
inline void resetAndClose(int fd) {
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd);
}

class LoopbackServer {
public:
    // The script runs on the accepted connection; it returns true when it has
    // closed (or reset) the descriptor itself.
    using Script = std::function<bool(int fd)>;

    explicit LoopbackServer(Script script, int family = AF_INET, int acceptWithinMs = 5000)
        : script_(std::move(script)) {
        listener_ = boundLoopbackSocket(family, port_);
        if (listener_ < 0 || ::listen(listener_, 4) != 0) throw std::runtime_error("loopback listener failed");
        thread_ = std::thread([this, acceptWithinMs] { run(acceptWithinMs); });
    }
    ~LoopbackServer() {
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    uint16_t port() const { return port_; }
    bool accepted() const { return accepted_.load(); }
    // True once the server has closed its end of the connection.
    bool closed() const { return closed_.load(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    void run(int acceptWithinMs) {
        pollfd record{listener_, POLLIN, 0};
        if (::poll(&record, 1, acceptWithinMs) <= 0) return;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        accepted_ = true;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const bool closedByScript = script_(fd);
        closed_ = true;
        if (!closedByScript) ::close(fd);
    }

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> accepted_{false};
    std::atomic<bool> closed_{false};
    std::thread thread_;
};

// Whether this machine can listen on ::1.
inline bool ipv6LoopbackAvailable() {
    uint16_t port = 0;
    const int fd = boundLoopbackSocket(AF_INET6, port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace vantu::testing

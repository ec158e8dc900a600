#pragma once

// Loopback helpers for the control session tests: a one-connection server
// that runs the test's script in its own thread and gives up by itself when
// no client comes within five seconds.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "VantuPacketTunnel/VantuError.h"

namespace vantu::testing {

// The message of the VantuError that f throws, or "" when it succeeds.
template <class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}


// A TCP socket bound to an ephemeral port of 127.0.0.1 (or ::1). Without a
// backlog it never listens, so connections to the port are refused for as long
// as it lives.
inline int loopbackSocket(uint16_t& port, int backlog = -1, int family = AF_INET) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    sockaddr_in6 address{};  // also holds a sockaddr_in, whose port is at the same offset
    address.sin6_family = static_cast<sa_family_t>(family);
    if (family == AF_INET6) address.sin6_addr = in6addr_loopback;
    if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (backlog >= 0 && ::listen(fd, backlog) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("loopback socket failed");
    }
    port = ntohs(address.sin6_port);
    return fd;
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

inline void sendAll(int fd, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Up to and including the first line feed.
inline std::string readLine(int fd) {
    std::string line;
    pollfd record{fd, POLLIN, 0};
    char c;
    while ((line.empty() || line.back() != '\n') && ::poll(&record, 1, 3000) > 0 && ::recv(fd, &c, 1, 0) == 1) {
        line.push_back(c);
    }
    return line;
}

// Discards input until the client closes (true) or three seconds pass (false).
inline bool waitForPeerClose(int fd) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    char buffer[4096];
    pollfd record{fd, POLLIN, 0};
    while (std::chrono::steady_clock::now() < giveUp) {
        if (::poll(&record, 1, 50) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
}

class LoopbackServer {
public:
    // The script runs on the accepted connection, which is closed after it.
    explicit LoopbackServer(std::function<void(int)> script)
        : listener_{loopbackSocket(port_, 4)}, thread_([this, script = std::move(script)] {
              pollfd record{listener_.fd, POLLIN, 0};
              if (::poll(&record, 1, 5000) <= 0) return;
              Fd connection{::accept(listener_.fd, nullptr, nullptr)};
              if (connection.fd >= 0) script(connection.fd);
          }) {}
    ~LoopbackServer() { join(); }
    uint16_t port() const { return port_; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    uint16_t port_ = 0;
    Fd listener_;
    std::thread thread_;
};

}  // namespace vantu::testing

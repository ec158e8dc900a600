#pragma once

// Loopback helpers for the tests of the control session, the server and the
// tunnel: sockets, a one-connection server that runs the test's script in its
// own thread and gives up by itself when no client comes within five seconds,
// and IPv4 packets written from the RFCs rather than shared with the server,
// so that a checksum bug on either side shows.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "base/Bytes.h"
#include "base/VantuError.h"

namespace vantu::testing {

// The message of the error of type E (a VantuError unless told) that f
// throws, or "" when it succeeds.
template <class E = VantuError, class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const E& error) {
        return error.what();
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

inline void sendAll(int fd, std::string_view data) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}
inline void sendAll(int fd, const Bytes& data) { sendAll(fd, {reinterpret_cast<const char*>(data.data()), data.size()}); }

inline void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    const timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A TCP or UDP socket connected to 127.0.0.1:port, from `source` when given
// (any 127.x.y.z is local); reads give up after `timeout`.
inline int connectLoopback(uint16_t port, int type = SOCK_STREAM, const char* source = nullptr,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (source) {
        ::inet_pton(AF_INET, source, &address.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    }
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    setReceiveTimeout(fd, timeout);
    return fd;
}

// Everything the peer sends until it closes the connection (or a read times out).
inline std::string readUntilClose(int fd) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, static_cast<size_t>(n));
    return out;
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

// Still open, nothing received: the peer keeps the connection and said nothing.
inline bool heldOpen(int fd) {
    char probe;
    return ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == -1 && errno == EAGAIN;
}

// A steady clock that a test moves forward at will, for the deadlines of
// services that run on real sockets.
struct VirtualClock {
    std::atomic<int64_t> aheadMs{0};
    std::chrono::steady_clock::time_point now() const {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(aheadMs.load());
    }
    std::function<std::chrono::steady_clock::time_point()> function() {
        return [this] { return now(); };
    }
    void advance(std::chrono::milliseconds by) { aheadMs += by.count(); }
};

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

// ---------------------------------------------------------------- IPv4 packets

// The ones' complement sum of data[0, length), starting from `sum`, folded.
inline uint16_t onesSum(const uint8_t* data, size_t length, uint32_t sum = 0) {
    for (size_t i = 0; i < length; ++i) sum += i % 2 == 0 ? uint32_t(data[i]) << 8 : data[i];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

inline uint32_t udpPseudoHeaderSum(const Bytes& p) { return onesSum(&p[12], 8, 17 + uint32_t(p.size() - 20)); }

inline bool checksumsValid(const Bytes& p) {
    return p.size() >= 28 && onesSum(p.data(), 20) == 0xffff &&
           onesSum(&p[20], p.size() - 20, p[9] == 17 ? udpPseudoHeaderSum(p) : 0) == 0xffff;
}

inline void put16(Bytes& b, size_t at, size_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// An IPv4 packet, 20-byte header and don't fragment, around `message`; for
// ICMP and UDP its checksum field (zero here) is filled in too.
inline Bytes ipv4Message(uint8_t protocol, uint32_t source, uint32_t destination, const Bytes& message) {
    Bytes p{0x45, 0, 0, 0, 0x12, 0x34, 0x40, 0, 61, protocol, 0, 0};
    appendBE(p, source);
    appendBE(p, destination);
    put16(p, 2, 20 + message.size());
    put16(p, 10, ~onesSum(p.data(), 20) & 0xffff);
    p.insert(p.end(), message.begin(), message.end());
    if (protocol != 1 && protocol != 17) return p;
    const uint16_t sum = ~onesSum(&p[20], message.size(), protocol == 17 ? udpPseudoHeaderSum(p) : 0) & 0xffff;
    put16(p, protocol == 17 ? 26 : 22, protocol == 17 && sum == 0 ? 0xffff : sum);
    return p;
}

inline Bytes icmpEchoRequest(uint32_t source, uint32_t destination, uint16_t id, uint16_t seq, const Bytes& payload) {
    Bytes icmp{8, 0, 0, 0, uint8_t(id >> 8), uint8_t(id), uint8_t(seq >> 8), uint8_t(seq)};
    icmp.insert(icmp.end(), payload.begin(), payload.end());
    return ipv4Message(1, source, destination, icmp);
}

inline Bytes udpDatagram(uint32_t source, uint32_t destination, uint16_t sport, uint16_t dport, const Bytes& payload) {
    Bytes udp(8);
    put16(udp, 0, sport);
    put16(udp, 2, dport);
    put16(udp, 4, 8 + payload.size());
    udp.insert(udp.end(), payload.begin(), payload.end());
    return ipv4Message(17, source, destination, udp);
}

// The echo the network owes `request`: same length and protocol, addresses
// swapped, both checksums valid; for ICMP an echo reply with the request's
// identifier, sequence and data, for UDP the ports swapped and the payload.
inline void expectEchoReply(const Bytes& reply, const Bytes& request) {
    ASSERT_EQ(reply.size(), request.size());
    ASSERT_GE(reply.size(), 28u);
    EXPECT_TRUE(checksumsValid(reply));
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), Bytes(request.begin(), request.begin() + 4));
    EXPECT_EQ(reply[9], request[9]);
    EXPECT_EQ(readBE32(&reply[12]), readBE32(&request[16]));
    EXPECT_EQ(readBE32(&reply[16]), readBE32(&request[12]));
    if (request[9] == 1) EXPECT_EQ(readBE16(&reply[20]), 0) << "echo reply type and code";
    else EXPECT_EQ(readBE32(&reply[20]), uint32_t(readBE16(&request[22])) << 16 | readBE16(&request[20])) << "ports";
    const auto from = request[9] == 1 ? 24 : 28;
    EXPECT_EQ(Bytes(reply.begin() + from, reply.end()), Bytes(request.begin() + from, request.end()))
        << "identifier, sequence and data, or the UDP payload";
}

}  // namespace vantu::testing

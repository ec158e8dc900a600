// The control socket layer against real loopback servers: connection over
// an address list, the deadline rules, the write and the response read loop.

#include <fcntl.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "VantuPacketTunnel/VantuError.h"
#include "control/VantuControl.h"
#include "tests/control_test_server.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;
using VantuControl::ControlResponse;

namespace {

// Error text of a call expected to fail with VantuError ("" when it did not throw).
template <class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}

// A stand-in for the response codec: the bytes are complete when their braces
// balance. Incomplete or stray bytes are reported with the count seen, so a
// test can tell which bytes the final decode was given.
ControlResponse braceDecoder(const Bytes& bytes) {
    const auto blank = [](uint8_t b) { return b == ' ' || b == '\n'; };
    size_t begin = 0, end = bytes.size();
    while (begin < end && blank(bytes[begin])) ++begin;
    while (end > begin && blank(bytes[end - 1])) --end;
    int depth = 0;
    bool balanced = begin < end && bytes[begin] == '{';
    for (size_t i = begin; balanced && i < end; ++i) {
        if (bytes[i] == '{') ++depth;
        if (bytes[i] == '}' && --depth < 0) balanced = false;
    }
    if (!balanced || depth != 0) {
        throw VantuError("test decoder: no document in " + std::to_string(bytes.size()) + " bytes");
    }
    ControlResponse response;
    response.status = std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end));
    return response;
}

int connectTo(uint16_t port, Instant deadline) {
    return VantuControl::connectControlSocket("127.0.0.1", port, deadline);
}

// One exchange as the codec runs it, with the test decoder.
ControlResponse exchange(uint16_t port, const std::string& requestLine, Instant deadline) {
    const int fd = connectTo(port, deadline);
    try {
        VantuControl::writeControlPayload(Bytes(requestLine.begin(), requestLine.end()), fd, deadline);
        ControlResponse response = VantuControl::readControlResponse(fd, deadline, braceDecoder);
        ::close(fd);
        return response;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

sockaddr_in ipv4Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

TEST(ControlTransport, RemainingMillisecondsRoundsUpAndClamps) {
    const Instant now = Clock::now();
    using std::chrono::microseconds;
    using std::chrono::nanoseconds;
    EXPECT_EQ(VantuControl::remainingMilliseconds(now - 1s, now), 0);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now, now), 0);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + microseconds(400), now), 1);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + nanoseconds(1), now), 1);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + 1ms, now), 1);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + microseconds(1001), now), 2);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + 4s, now), 4000);
    // The clamp is INT32_MAX milliseconds, a little under 25 days.
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + std::chrono::hours(24 * 10), now), 864000000);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + 2147483647ms, now), 2147483647);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + 2147483648ms, now), 2147483647);
    EXPECT_EQ(VantuControl::remainingMilliseconds(now + std::chrono::hours(24 * 30), now), 2147483647);
    // Extreme instants must neither overflow nor wrap into a long wait.
    EXPECT_EQ(VantuControl::remainingMilliseconds(kDistantPast, now), 0);
    EXPECT_EQ(VantuControl::remainingMilliseconds(Instant::max(), now), 2147483647);

    // Against the real clock.
    EXPECT_EQ(VantuControl::remainingMilliseconds(Clock::now() - 1ms), 0);
    EXPECT_EQ(VantuControl::remainingMilliseconds(Clock::now() + std::chrono::hours(24 * 30)), 2147483647);
    const int32_t fourSeconds = VantuControl::remainingMilliseconds(Clock::now() + 4s);
    EXPECT_GT(fourSeconds, 3000);
    EXPECT_LE(fourSeconds, 4000);
}

TEST(ControlTransport, PosixMessageAndNonBlockingSetup) {
    EXPECT_EQ(VantuControl::posixMessage(ECONNREFUSED), "Connection refused");
    EXPECT_EQ(VantuControl::posixMessage(ETIMEDOUT), "Connection timed out");

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    VantuControl::setNonBlocking(fd);
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    ::close(fd);

    EXPECT_EQ(failureOf([] { VantuControl::setNonBlocking(-1); }),
              "control socket setup failed: Bad file descriptor");
}

TEST(ControlTransport, ConnectFailuresCarryTheLastAttempt) {
    RefusedPort refused;
    ASSERT_TRUE(refused.valid());

    // The low-level connect reports the refusal itself.
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        VantuControl::setNonBlocking(fd);
        const sockaddr_in address = ipv4Loopback(refused.port());
        EXPECT_EQ(failureOf([&] {
                      VantuControl::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                            Clock::now() + 2s);
                  }),
                  "control connect failed: Connection refused");
        ::close(fd);
    }

    // Over the address list the per-address message is carried into the final one.
    EXPECT_EQ(failureOf([&] { connectTo(refused.port(), Clock::now() + 2s); }),
              "control connect failed: control connect failed: Connection refused");

    // A deadline that has already passed leaves no time to try any address.
    LoopbackServer unused([](int) { return false; }, AF_INET, 200);
    EXPECT_EQ(failureOf([&] { connectTo(unused.port(), Clock::now() - 1ms); }),
              "control connect failed: no address");
    EXPECT_EQ(failureOf([] { VantuControl::connectFirst(nullptr, Clock::now() + 1s); }),
              "control connect failed: no address");
    unused.join();
    EXPECT_FALSE(unused.accepted());
}

TEST(ControlTransport, RefusedAddressFallsThroughToTheNextOne) {
    // The machine's resolver may not give both families for one name, so the
    // resolver's list is built here: a refused address first, then a listener.
    const bool v6 = ipv6LoopbackAvailable();
    RefusedPort refused(v6 ? AF_INET6 : AF_INET);
    ASSERT_TRUE(refused.valid());
    LoopbackServer server([](int fd) {
        waitForPeerClose(fd, 3000);
        return false;
    });

    sockaddr_in6 first6{};
    first6.sin6_family = AF_INET6;
    first6.sin6_addr = in6addr_loopback;
    first6.sin6_port = htons(refused.port());
    sockaddr_in first4 = ipv4Loopback(refused.port());
    sockaddr_in second = ipv4Loopback(server.port());

    addrinfo secondEntry{};
    secondEntry.ai_family = AF_INET;
    secondEntry.ai_socktype = SOCK_STREAM;
    secondEntry.ai_protocol = IPPROTO_TCP;
    secondEntry.ai_addr = reinterpret_cast<sockaddr*>(&second);
    secondEntry.ai_addrlen = sizeof second;
    addrinfo firstEntry = secondEntry;
    firstEntry.ai_family = v6 ? AF_INET6 : AF_INET;
    firstEntry.ai_addr = v6 ? reinterpret_cast<sockaddr*>(&first6) : reinterpret_cast<sockaddr*>(&first4);
    firstEntry.ai_addrlen = v6 ? sizeof first6 : sizeof first4;
    firstEntry.ai_next = &secondEntry;

    const int fd = VantuControl::connectFirst(&firstEntry, Clock::now() + 2s);
    ASSERT_GE(fd, 0);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ASSERT_EQ(::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(ntohs(peer.sin_port), server.port());
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    ::close(fd);
    server.join();
    EXPECT_TRUE(server.accepted());

    // Both failures in a row: the last one's text is reported.
    secondEntry.ai_addr = reinterpret_cast<sockaddr*>(&first4);
    EXPECT_EQ(failureOf([&] { VantuControl::connectFirst(&firstEntry, Clock::now() + 2s); }),
              "control connect failed: control connect failed: Connection refused");
}

TEST(ControlTransport, ResolvesNamesAndReportsResolverFailures) {
    LoopbackServer server([](int fd) {
        waitForPeerClose(fd, 3000);
        return false;
    });
    const int fd = VantuControl::connectControlSocket("localhost", server.port(), Clock::now() + 2s);
    ASSERT_GE(fd, 0);
    ::close(fd);
    server.join();
    EXPECT_TRUE(server.accepted());

    if (ipv6LoopbackAvailable()) {
        LoopbackServer server6(
            [](int fd6) {
                waitForPeerClose(fd6, 3000);
                return false;
            },
            AF_INET6);
        const int fd6 = VantuControl::connectControlSocket("::1", server6.port(), Clock::now() + 2s);
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        ASSERT_EQ(::getpeername(fd6, reinterpret_cast<sockaddr*>(&peer), &length), 0);
        EXPECT_EQ(peer.ss_family, AF_INET6);
        ::close(fd6);
    }

    // Name resolution runs in a fresh, empty network namespace so that the
    // query cannot leave this machine.
    std::string message;
    bool isolated = false;
    std::thread resolver([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        isolated = true;
        message = failureOf([] {
            VantuControl::connectControlSocket("control.vantu-test.invalid", 443, Clock::now() + 2s);
        });
    });
    resolver.join();
    if (!isolated) GTEST_SKIP() << "cannot create a network namespace here";
    // Which code an isolated resolver returns depends on the C library; the
    // text after the prefix must be the resolver's own text for one of them.
    bool resolverText = false;
    for (int code : {EAI_AGAIN, EAI_NONAME, EAI_FAIL, EAI_NODATA, EAI_ADDRFAMILY, EAI_SYSTEM}) {
        resolverText = resolverText || message == std::string("control DNS failed: ") + ::gai_strerror(code);
    }
    EXPECT_TRUE(resolverText) << message;
}

TEST(ControlTransport, PendingConnectionTimesOutAtTheDeadline) {
    // A listener whose accept queue is full drops further connection
    // requests, so they stay pending without any reply.
    uint16_t port = 0;
    const int listener = boundLoopbackSocket(AF_INET, port);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    const int filler = connectTo(port, Clock::now() + 2s);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf([&] { connectTo(port, Clock::now() + 200ms); }),
              "control connect failed: control connect timed out");
    // The attempt ends at the deadline, not at the system's own connect timeout.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    VantuControl::setNonBlocking(fd);
    const sockaddr_in address = ipv4Loopback(port);
    EXPECT_EQ(failureOf([&] {
                  VantuControl::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                        Clock::now() + 100ms);
              }),
              "control connect timed out");
    ::close(fd);
    ::close(filler);
    ::close(listener);
}

TEST(ControlTransport, CompleteResponseEndsTheExchangeWithoutWaitingForClose) {
    std::string requestSeen;
    bool clientClosedFirst = false;
    LoopbackServer server([&](int fd) {
        requestSeen = readLine(fd);
        sendAll(fd, "{\"status\":\"ok\"}\n");
        // Hold the connection far longer than a correct client needs; a
        // client that waits for the server to close would close second.
        clientClosedFirst = waitForPeerClose(fd, 3000);
        return false;
    });
    const ControlResponse response = exchange(server.port(), "{\"action\":\"open\"}\n", Clock::now() + 30s);
    server.join();
    EXPECT_EQ(response.status, "{\"status\":\"ok\"}");
    EXPECT_EQ(requestSeen, "{\"action\":\"open\"}\n");
    EXPECT_TRUE(clientClosedFirst);
}

TEST(ControlTransport, SegmentedResponseCompletesWithTheLastSegment) {
    // The first segment ends in "}" but is incomplete, so it must not end the read.
    const std::vector<std::string> segments = {"{\"routing\":{}", ", \"tunnel_ip\":", "\"10.0.0.2\"}"};
    bool clientClosedFirst = false;
    LoopbackServer server([&](int fd) {
        readLine(fd);
        for (const auto& segment : segments) {
            sendAll(fd, segment);
            std::this_thread::sleep_for(50ms);
        }
        clientClosedFirst = waitForPeerClose(fd, 3000);
        return false;
    });
    const ControlResponse response = exchange(server.port(), "x\n", Clock::now() + 30s);
    server.join();
    EXPECT_EQ(response.status, segments[0] + segments[1] + segments[2]);
    EXPECT_TRUE(clientClosedFirst);
}

TEST(ControlTransport, SilenceIncompleteBytesAndGarbage) {
    // Nothing at all before the deadline.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            waitForPeerClose(fd, 3000);
            return false;
        });
        EXPECT_EQ(failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 300ms); }),
                  "control request timed out");
    }
    // Bytes that never complete, then the deadline: the decoder's error, not a timeout.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            sendAll(fd, "{\"status\":");
            waitForPeerClose(fd, 3000);
            return false;
        });
        EXPECT_EQ(failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 300ms); }),
                  "test decoder: no document in 10 bytes");
    }
    // Garbage and then end of stream: the decoder's error over all the bytes, at once.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            sendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
            return false;
        });
        EXPECT_EQ(failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 30s); }),
                  "test decoder: no document in 28 bytes");
    }
    // Closed without a byte.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            return false;
        });
        EXPECT_EQ(failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 30s); }),
                  "control request timed out");
    }
}

TEST(ControlTransport, ResponseSizeIsCapped) {
    const size_t cap = VantuControl::maxResponseBytes;
    ASSERT_EQ(cap, 1048576u);

    // Exactly at the cap, completing with its last byte: accepted.
    {
        const std::string document = "{\"status\":\"ok\"}";
        const std::string atCap = std::string(cap - document.size(), ' ') + document;
        LoopbackServer server([&](int fd) {
            readLine(fd);
            sendAll(fd, atCap);
            waitForPeerClose(fd, 3000);
            return false;
        });
        const ControlResponse response = exchange(server.port(), "x\n", Clock::now() + 10s);
        EXPECT_EQ(response.status, atCap);
    }
    // One byte more, with no end in sight: refused, before the stream ends.
    {
        std::atomic<bool> clientGaveUp{false};
        LoopbackServer server([&](int fd) {
            readLine(fd);
            sendAll(fd, std::string(cap + 1, ' '));
            clientGaveUp = waitForPeerClose(fd, 3000);
            return false;
        });
        EXPECT_EQ(failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 10s); }),
                  "control response too large");
        server.join();
        EXPECT_TRUE(clientGaveUp.load());
    }
    // An endless stream of bytes that each look like a possible end.
    {
        LoopbackServer server([&](int fd) {
            readLine(fd);
            const std::string chunk(8192, '}');
            for (size_t sent = 0; sent <= 2 * cap && sendAll(fd, chunk); sent += chunk.size()) {
            }
            return false;
        });
        EXPECT_EQ(failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 10s); }),
                  "control response too large");
    }
}

TEST(ControlTransport, WriteFailuresAndTimeouts) {
    // An empty payload needs no socket at all.
    EXPECT_EQ(failureOf([] { VantuControl::writeControlPayload({}, -1, Clock::now() + 1s); }), "");

    // A server that never reads: the socket buffers fill and the deadline passes.
    {
        std::atomic<bool> release{false};
        LoopbackServer server([&](int) {
            holdWithoutReading(release, 5000);
            return false;
        });
        const int fd = connectTo(server.port(), Clock::now() + 2s);
        const Bytes huge(64u << 20, 'x');
        EXPECT_EQ(failureOf([&] { VantuControl::writeControlPayload(huge, fd, Clock::now() + 300ms); }),
                  "control write timed out");
        release = true;
        ::close(fd);
    }
    // A deadline already past writes nothing.
    {
        LoopbackServer server([](int fd) {
            waitForPeerClose(fd, 3000);
            return false;
        });
        const int fd = connectTo(server.port(), Clock::now() + 2s);
        EXPECT_EQ(failureOf([&] { VantuControl::writeControlPayload(Bytes(10, 'x'), fd, Clock::now() - 1ms); }),
                  "control write timed out");
        ::close(fd);
    }
    // A peer that reset the connection: an error, never a SIGPIPE.
    {
        LoopbackServer server([](int fd) {
            resetAndClose(fd);
            return true;
        });
        const int fd = connectTo(server.port(), Clock::now() + 2s);
        server.join();
        std::this_thread::sleep_for(50ms);
        // The first send may report the reset; later ones meet a broken pipe,
        // which would raise SIGPIPE were it not suppressed.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::string message =
                failureOf([&] { VantuControl::writeControlPayload(Bytes(1 << 20, 'x'), fd, Clock::now() + 2s); });
            EXPECT_TRUE(message == "control write failed: Connection reset by peer" ||
                        message == "control write failed: Broken pipe")
                << message;
        }
        ::close(fd);
    }
}

TEST(ControlTransport, ResetWhileReadingIsASocketError) {
    LoopbackServer server([](int fd) {
        readLine(fd);
        resetAndClose(fd);
        return true;
    });
    const std::string message = failureOf([&] { exchange(server.port(), "x\n", Clock::now() + 2s); });
    EXPECT_TRUE(message == "control read failed: socket error" ||
                message == "control read failed: Connection reset by peer")
        << message;
}

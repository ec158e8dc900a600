// The control socket layer against loopback servers: connecting over an
// address list, the deadline rules and the response read loop.

#include <fcntl.h>
#include <netdb.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/VantuError.h"
#include "control/VantuControl.h"
#include "tests/loopback_test_support.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

namespace {

int connectTo(uint16_t port, Instant deadline) {
    return VantuControl::connectControlSocket("127.0.0.1", port, deadline);
}

}  // namespace

TEST(ControlTransport, RemainingMillisecondsRoundsUpAndClamps) {
    const Instant now = Clock::now();
    const std::pair<Instant, int32_t> cases[] = {
        {kDistantPast, 0}, {now - 1s, 0}, {now, 0}, {now + 1ns, 1}, {now + 1ms, 1}, {now + 1001us, 2}, {now + 4s, 4000},
        {now + 2147483647ms, 2147483647}, {now + 2147483648ms, 2147483647}, {Instant::max(), 2147483647},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(VantuControl::remainingMilliseconds(cases[i].first, now), cases[i].second) << "case " << i;
    }
    const int32_t fourSeconds = VantuControl::remainingMilliseconds(Clock::now() + 4s);
    EXPECT_GT(fourSeconds, 3000);
    EXPECT_LE(fourSeconds, 4000);
}

TEST(ControlTransport, ConnectTriesEachAddressInTurn) {
    uint16_t refusedPort = 0;
    const Fd refused{loopbackSocket(refusedPort)};
    EXPECT_EQ(failureOf([&] { connectTo(refusedPort, Clock::now() + 2s); }),
              "control connect failed: control connect failed: Connection refused");
    // With no time left no address is tried, so the refusal is never seen.
    EXPECT_EQ(failureOf([&] { connectTo(refusedPort, Clock::now() - 1ms); }), "control connect failed: no address");
    EXPECT_EQ(failureOf([] { VantuControl::setNonBlocking(-1); }), "control socket setup failed: Bad file descriptor");

    // A resolver list whose first address refuses and whose second listens.
    LoopbackServer server([](int fd) { waitForPeerClose(fd); });
    sockaddr_in addresses[2] = {};
    addrinfo entries[2] = {};
    for (int i = 0; i < 2; ++i) {
        addresses[i].sin_family = AF_INET;
        addresses[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addresses[i].sin_port = htons(i == 0 ? refusedPort : server.port());
        entries[i].ai_family = AF_INET;
        entries[i].ai_socktype = SOCK_STREAM;
        entries[i].ai_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
        entries[i].ai_addrlen = sizeof addresses[i];
    }
    entries[0].ai_next = &entries[1];
    const Fd connected{VantuControl::connectFirst(entries, Clock::now() + 2s)};
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ASSERT_EQ(::getpeername(connected.fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(ntohs(peer.sin_port), server.port());
    EXPECT_NE(::fcntl(connected.fd, F_GETFL) & O_NONBLOCK, 0);

    // The resolver is asked for both address families.
    uint16_t port6 = 0;
    int fd6 = -1;
    try {
        fd6 = loopbackSocket(port6, -1, AF_INET6);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const Fd refused6{fd6};
    EXPECT_EQ(failureOf([&] { VantuControl::connectControlSocket("::1", port6, Clock::now() + 2s); }),
              "control connect failed: control connect failed: Connection refused");
}

TEST(ControlTransport, DeadlineEndsAPendingConnectAndAStalledWrite) {
    // A listener whose accept queue is full leaves further connection requests
    // unanswered; the queued connection is never read, so writes to it stall.
    uint16_t port = 0;
    const Fd listener{loopbackSocket(port, 0)};
    const Fd queued{connectTo(port, Clock::now() + 2s)};
    EXPECT_EQ(failureOf([&] { connectTo(port, Clock::now() + 200ms); }),
              "control connect failed: control connect timed out");
    EXPECT_EQ(failureOf([&] {
                  VantuControl::writeControlPayload(Bytes(64u << 20, 'x'), queued.fd, Clock::now() + 300ms);
              }),
              "control write timed out");
}

TEST(ControlTransport, WritingToAResetPeerFailsWithoutSIGPIPE) {
    LoopbackServer server([](int fd) {
        // Reset only once the client's connect has surely completed.
        char byte = 0;
        (void)::recv(fd, &byte, 1, 0);
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    const Fd client{connectTo(server.port(), Clock::now() + 2s)};
    ASSERT_EQ(::send(client.fd, "x", 1, MSG_NOSIGNAL), 1);
    server.join();
    std::this_thread::sleep_for(50ms);
    // The first send may report the reset; later ones meet a broken pipe,
    // which would end this process with SIGPIPE were it not suppressed.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::string message = failureOf(
            [&] { VantuControl::writeControlPayload(Bytes(1 << 20, 'x'), client.fd, Clock::now() + 2s); });
        EXPECT_TRUE(message == "control write failed: Connection reset by peer" ||
                    message == "control write failed: Broken pipe")
            << message;
    }
}

TEST(ControlTransport, ResolvesNamesAndReportsResolverFailures) {
    LoopbackServer server([](int fd) { waitForPeerClose(fd); });
    const Fd local{VantuControl::connectControlSocket("localhost", server.port(), Clock::now() + 2s)};
    EXPECT_GE(local.fd, 0);

    // Resolution runs in a fresh, empty network namespace so that the query
    // cannot leave this machine.
    std::string message;
    bool isolated = false;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        isolated = true;
        message = failureOf(
            [] { VantuControl::connectControlSocket("control.vantu-test.invalid", 443, Clock::now() + 2s); });
    }).join();
    if (!isolated) GTEST_SKIP() << "cannot create a network namespace here";
    // Which code an isolated resolver returns depends on the C library.
    bool resolverText = false;
    for (int code : {EAI_AGAIN, EAI_NONAME, EAI_FAIL, EAI_NODATA, EAI_ADDRFAMILY, EAI_SYSTEM}) {
        resolverText = resolverText || message == std::string("control DNS failed: ") + ::gai_strerror(code);
    }
    EXPECT_TRUE(resolverText) << message;
}

TEST(ControlTransport, ResponseReadEndsOnDocumentDeadlineEndOfStreamOrSize) {
    const size_t cap = VantuControl::maxResponseBytes;
    ASSERT_EQ(cap, 1048576u);
    const std::string ok = R"({"status":"ok","message":"hi"})";
    struct Case {
        const char* what;
        std::vector<std::string> segments;  // sent 50 ms apart
        bool holdOpen;                      // keep the connection until the client closes
        std::chrono::milliseconds deadline;
        std::string expected;  // "status message", or the error text's beginning
        bool reset = false;    // end with a reset instead of an orderly close
    };
    const Case cases[] = {
        // A request returns whatever status the server sends.
        {"complete", {R"({"status":"busy","message":"try later"})" "\r\n"}, true, 30s, "busy try later"},
        // The first segment ends in "}" but does not decode yet.
        {"segmented", {R"({"status":"ok","routing":{})", R"(,"message":)", R"("hi"})"}, true, 30s, "ok hi"},
        {"at the cap", {std::string(cap - ok.size(), ' ') + ok}, true, 30s, "ok hi"},
        {"over the cap", {std::string(cap + 1, ' ')}, true, 30s, "control response too large"},
        {"silent", {}, true, 300ms, "control request timed out"},
        {"closed without a byte", {}, false, 30s, "control request timed out"},
        // Bytes in hand at the deadline or at end of stream: their decoding error.
        {"incomplete", {R"({"status":)"}, true, 300ms, "invalid control response: "},
        {"garbage, then close", {"HTTP/1.1 400 Bad Request\r\n\r\n"}, false, 30s, "invalid control response: "},
        {"reset", {}, false, 30s, "control read failed: ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool clientClosedFirst = false;
        LoopbackServer server([&](int fd) {
            readLine(fd);
            for (const auto& segment : c.segments) {
                sendAll(fd, segment);
                std::this_thread::sleep_for(50ms);
            }
            if (c.holdOpen) clientClosedFirst = waitForPeerClose(fd);
            const linger reset{1, 0};
            if (c.reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        });
        VantuConfig config;
        config.host = "127.0.0.1";
        config.controlPort = server.port();
        std::string outcome;
        try {
            const auto response = VantuControl::request(config, "open", std::nullopt, Clock::now() + c.deadline);
            outcome = response.status + " " + response.message.value_or("");
        } catch (const VantuError& error) {
            outcome = error.message();
        }
        server.join();
        EXPECT_EQ(outcome.substr(0, c.expected.size()), c.expected) << outcome;
        // A client that waited for the server to close would close second.
        EXPECT_TRUE(clientClosedFirst || !c.holdOpen);
    }
}

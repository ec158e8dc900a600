// The server's TCP data service over loopback: units pass the same checks as
// on UDP (replays and unknown sessions get nothing), pongs come back framed,
// a length outside 1..the longest unit closes the connection at once, and
// connections without an authenticated unit are held under caps and a
// deadline (in virtual time) while authenticated ones belong to their session.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "base/Bytes.h"
#include "datachannel/crypto/VantuSession.h"
#include "server/VantuServer.h"
#include "tests/loopback_test_support.h"

using vantu::Bytes;
using vantu::VantuSession;
using namespace vantu::server;
using namespace vantu::testing;
using namespace std::chrono_literals;

namespace {

int connectTo(uint16_t port, const char* from = nullptr) { return connectLoopback(port, SOCK_STREAM, from, 1s); }

Bytes lengthPrefix(uint32_t length) {
    return {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)};
}

Bytes framed(const Bytes& unit) {
    // Sized up front: appending to an empty vector trips a false GCC 12
    // -Wstringop-overread.
    Bytes out(4 + unit.size());
    const Bytes prefix = lengthPrefix(static_cast<uint32_t>(unit.size()));
    std::copy(prefix.begin(), prefix.end(), out.begin());
    std::copy(unit.begin(), unit.end(), out.begin() + 4);
    return out;
}

// One framed unit from the server, opened; nullopt when none came within
// the receive timeout; an empty frame when the server closed the stream.
std::optional<Bytes> readUnit(int fd, const VantuSession& session) {
    Bytes buffer;
    uint8_t chunk[4096];
    for (;;) {
        if (buffer.size() >= 4) {
            const uint32_t length = vantu::readBE32(buffer.data());
            if (buffer.size() >= 4 + length) return session.decrypt(Bytes(buffer.begin() + 4, buffer.begin() + 4 + length));
        }
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0) return Bytes{};
        if (n < 0) return std::nullopt;
        buffer.insert(buffer.end(), chunk, chunk + n);
    }
}

const Bytes kPing{0x01, 'p', 'i', 'n', 'g'};
const Bytes kPong{0x81, 'p', 'o', 'n', 'g'};

struct TcpServer {
    VirtualClock clock;
    VantuServer server;
    explicit TcpServer(ServerConfig config) : server(withTCP(std::move(config)), nullptr, {}, clock.function()) {
        server.start();
    }
    static ServerConfig withTCP(ServerConfig config) {
        config.secrets = {"s3cret"};
        config.transport = "tcp";
        return config;
    }
    VantuSession client(const std::string& device) {
        const SessionGrant grant = server.sessions().open(device);
        return VantuSession(grant.session->id, grant.key, server.config().cipher, formatIPv4(grant.session->tunnelIP),
                            1420, server.dataPort(), "tcp", {}, std::nullopt);
    }
    const ServerStats& stats() const { return server.stats(); }
};

}  // namespace

TEST(StreamDataService, AnswersPingsChecksUnitsAndClosesOnBrokenFraming) {
    TcpServer t{ServerConfig{}};
    VantuSession client = t.client("device");
    const Fd fd{connectTo(t.server.dataPort())};
    // The prefix and the unit in two writes: the server reassembles them.
    const Bytes whole = framed(client.encrypt(kPing));
    sendAll(fd.fd, Bytes(whole.begin(), whole.begin() + 3));
    std::this_thread::sleep_for(50ms);
    sendAll(fd.fd, Bytes(whole.begin() + 3, whole.end()));
    EXPECT_EQ(readUnit(fd.fd, client), kPong);
    EXPECT_EQ(t.stats().pingsAnswered.load(), 1u);

    // A replayed unit and one of an unknown session get no answer.
    sendAll(fd.fd, whole);
    VantuSession stranger(client.sessionID ^ 1, client.cipher.key(), "aes-128-gcm", "10.7.0.9", 1420, 1, "tcp", {},
                          std::nullopt);
    sendAll(fd.fd, framed(stranger.encrypt(kPing)));
    EXPECT_EQ(readUnit(fd.fd, client), std::nullopt);
    EXPECT_EQ(t.stats().unitsReplayed.load(), 1u);
    EXPECT_EQ(t.stats().unitsUnknownSession.load(), 1u);

    // The longest unit a client can send (MTU 1420 in a data frame, nonce
    // and tag) is waited for; a byte more, 1 MiB or 0 closes at once,
    // before anything of the unit has to be kept.
    const uint32_t longest = 1420 + 1 + 12 + 16;
    for (const uint32_t length : {longest + 1, 1048576u, 0u}) {
        const Fd other{connectTo(t.server.dataPort())};
        sendAll(other.fd, lengthPrefix(length));
        EXPECT_EQ(readUnit(other.fd, client), Bytes{}) << "connection not closed for length " << length;
    }
    EXPECT_EQ(t.stats().streamFramesInvalid.load(), 3u);
    const Fd patient{connectTo(t.server.dataPort())};
    Bytes almost = lengthPrefix(longest);
    almost.resize(4 + longest - 1, 0xaa);
    sendAll(patient.fd, almost);
    EXPECT_EQ(readUnit(patient.fd, client), std::nullopt);
    EXPECT_EQ(t.stats().streamFramesInvalid.load(), 3u);

    // The first connection still works.
    sendAll(fd.fd, framed(client.encrypt(kPing)));
    EXPECT_EQ(readUnit(fd.fd, client), kPong);
}

// Until a connection has authenticated: at most 2 from one address, 3 in
// all (the oldest makes room), 5 s each in virtual time. Afterwards it is
// its session's, which keeps one.
TEST(StreamDataService, HoldsUnauthenticatedConnectionsUnderCapsAndADeadline) {
    ServerConfig config;
    config.maxStreamPending = 3;
    config.maxStreamPendingPerPeer = 2;
    TcpServer t{config};
    const uint16_t port = t.server.dataPort();

    Fd a1{connectTo(port, "127.0.0.2")}, a2{connectTo(port, "127.0.0.2")};
    Fd refused{connectTo(port, "127.0.0.2")};
    EXPECT_TRUE(waitForPeerClose(refused.fd)) << "a third connection from one address was kept";
    EXPECT_TRUE(heldOpen(a1.fd) && heldOpen(a2.fd));
    Fd b1{connectTo(port, "127.0.0.3")};
    Fd b2{connectTo(port, "127.0.0.3")};  // the fourth in all: the oldest (a1) makes room
    EXPECT_TRUE(waitForPeerClose(a1.fd));
    EXPECT_TRUE(heldOpen(a2.fd) && heldOpen(b1.fd) && heldOpen(b2.fd));
    EXPECT_EQ(t.stats().streamRefused.load(), 1u);
    EXPECT_EQ(t.stats().streamEvicted.load(), 1u);

    // An authenticated connection leaves the gate and has no deadline; the
    // silent ones are closed once their 5 s are up, not before.
    VantuSession client = t.client("device");
    Fd proven{connectTo(port, "127.0.0.4")};  // a2 makes room
    sendAll(proven.fd, framed(client.encrypt(kPing)));
    EXPECT_EQ(readUnit(proven.fd, client), kPong);
    EXPECT_TRUE(waitForPeerClose(a2.fd));
    t.clock.advance(4s);
    std::this_thread::sleep_for(3 * GateSweep::kInterval);
    EXPECT_TRUE(heldOpen(b1.fd) && heldOpen(b2.fd));
    t.clock.advance(1100ms);
    EXPECT_TRUE(waitForPeerClose(b1.fd) && waitForPeerClose(b2.fd));
    EXPECT_EQ(t.stats().streamTimeouts.load(), 2u);
    t.clock.advance(60s);
    sendAll(proven.fd, framed(client.encrypt(kPing)));
    EXPECT_EQ(readUnit(proven.fd, client), kPong);

    // A newer connection of the session takes over; a unit of another
    // session on it closes it; then the session ends and its address is free.
    Fd newer{connectTo(port)};
    sendAll(newer.fd, framed(client.encrypt(kPing)));
    EXPECT_EQ(readUnit(newer.fd, client), kPong);
    EXPECT_TRUE(waitForPeerClose(proven.fd));
    EXPECT_EQ(t.stats().streamReplaced.load(), 1u);
    ASSERT_NE(t.server.sessions().find(client.sessionID), nullptr);
    VantuSession other = t.client("other");
    sendAll(newer.fd, framed(other.encrypt(kPing)));
    EXPECT_EQ(readUnit(newer.fd, client), Bytes{});
    EXPECT_EQ(t.stats().streamForeignUnits.load(), 1u);
    for (int i = 0; i < 100 && t.server.sessions().find(client.sessionID); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(t.server.sessions().find(client.sessionID), nullptr);
    EXPECT_NE(t.server.sessions().find(other.sessionID), nullptr);
}

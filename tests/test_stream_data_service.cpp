// The server's TCP data service over loopback: units pass the same checks as
// on UDP (replays and unknown sessions get nothing), pongs come back framed,
// and a length outside 1..1 MiB closes the connection.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "VantuPacketTunnel/Bytes.h"
#include "datachannel/crypto/VantuSession.h"
#include "server/VantuServer.h"
#include "tests/loopback_test_support.h"

using vantu::Bytes;
using vantu::VantuSession;
using namespace vantu::server;
using namespace vantu::testing;
using namespace std::chrono_literals;

namespace {

int connectTo(uint16_t port) { return connectLoopback(port, SOCK_STREAM, nullptr, 1s); }

Bytes framed(const Bytes& unit) {
    // Sized up front: appending to an empty vector trips a false GCC 12
    // -Wstringop-overread.
    Bytes out(4 + unit.size());
    for (int i = 0; i < 4; ++i) out[size_t(i)] = static_cast<uint8_t>(unit.size() >> (24 - 8 * i));
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

TEST(StreamDataService, AnswersPingsChecksUnitsAndClosesOnBrokenFraming) {
    ServerConfig config;
    config.secrets = {"s3cret"};
    config.transport = "tcp";
    VantuServer server(config);
    server.start();
    const SessionGrant grant = server.sessions().open("device");
    VantuSession client(grant.session->id, grant.key, config.cipher, formatIPv4(grant.session->tunnelIP), 1420,
                        server.dataPort(), "tcp", {}, std::nullopt);
    const Bytes ping{0x01, 'p', 'i', 'n', 'g'};

    const Fd fd{connectTo(server.dataPort())};
    const Bytes unit = client.encrypt(ping);
    // The prefix and the unit in two writes: the server reassembles them.
    const Bytes whole = framed(unit);
    sendAll(fd.fd, Bytes(whole.begin(), whole.begin() + 3));
    std::this_thread::sleep_for(50ms);
    sendAll(fd.fd, Bytes(whole.begin() + 3, whole.end()));
    EXPECT_EQ(readUnit(fd.fd, client), (Bytes{0x81, 'p', 'o', 'n', 'g'}));
    EXPECT_EQ(server.stats().pingsAnswered.load(), 1u);

    // A replayed unit and one of an unknown session get no answer.
    sendAll(fd.fd, whole);
    VantuSession stranger(grant.session->id ^ 1, grant.key, config.cipher, "10.7.0.9", 1420, 1, "tcp", {}, std::nullopt);
    sendAll(fd.fd, framed(stranger.encrypt(ping)));
    EXPECT_EQ(readUnit(fd.fd, client), std::nullopt);
    EXPECT_EQ(server.stats().unitsReplayed.load(), 1u);
    EXPECT_EQ(server.stats().unitsUnknownSession.load(), 1u);
    EXPECT_EQ(server.stats().pingsAnswered.load(), 1u);

    // Exactly 1 MiB is a length the server waits for; one more byte breaks the framing.
    for (const uint32_t length : {1048577u, 0u}) {
        const Fd other{connectTo(server.dataPort())};
        sendAll(other.fd, Bytes{uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)});
        EXPECT_EQ(readUnit(other.fd, client), Bytes{}) << "connection not closed for length " << length;
    }
    EXPECT_EQ(server.stats().streamFramesInvalid.load(), 2u);
    const Fd patient{connectTo(server.dataPort())};
    sendAll(patient.fd, Bytes{0x00, 0x10, 0x00, 0x00, 0xaa});
    EXPECT_EQ(readUnit(patient.fd, client), std::nullopt);
    EXPECT_EQ(server.stats().streamFramesInvalid.load(), 2u);

    // The first connection still works.
    sendAll(fd.fd, framed(client.encrypt(ping)));
    EXPECT_EQ(readUnit(fd.fd, client), (Bytes{0x81, 'p', 'o', 'n', 'g'}));
    server.stop();
}

}  // namespace

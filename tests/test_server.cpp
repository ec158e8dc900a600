// The reference server over real loopback sockets: control exchanges, the
// encrypted data service, replay protection and the echo sink. Client
// sessions are opened with the tunnel's own control client.

#include <algorithm>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VantuPacketTunnel/Bytes.h"
#include "VantuPacketTunnel/VantuError.h"
#include "VantuPacketTunnel/config/VantuConfig.h"
#include "control/VantuControl.h"
#include "datachannel/crypto/VantuSession.h"
#include "VantuPacketTunnel/Utf8.h"
#include "server/EchoResponder.h"
#include "server/VantuServer.h"

#include <asio/post.hpp>

using nlohmann::json;
using vantu::Bytes;
using vantu::VantuSession;
using namespace vantu::server;
using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------- sockets

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

struct Fd {
    int fd;
    Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    ~Fd() { ::close(fd); }
};

// A TCP or UDP socket connected to 127.0.0.1:port, reads giving up after 5 s.
int connectLoopback(int type, uint16_t port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    setReceiveTimeout(fd, 5s);
    return fd;
}

void sendAll(int fd, const std::string& data) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        sent += static_cast<size_t>(n);
    }
}

// Everything the server sends until it closes the connection (or 5 s pass).
std::string readUntilClose(int fd) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, static_cast<size_t>(n));
    return out;
}

json ask(uint16_t port, const std::string& request) {
    Fd fd = connectLoopback(SOCK_STREAM, port);
    sendAll(fd.fd, request);
    const std::string text = readUntilClose(fd.fd);
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << text;
    return json::parse(text);
}

std::string openRequest(const std::string& device, const std::string& secret = "s3cret") {
    return json{{"action", "open"}, {"secret", secret}, {"device_id", device}, {"client_version", "test"}}.dump();
}

json open(uint16_t port, const std::string& device) { return ask(port, openRequest(device) + "\n"); }

uint32_t sessionID(const json& response) {
    return static_cast<uint32_t>(std::stoul(response.at("session_id").get<std::string>(), nullptr, 16));
}

// A UDP socket connected to the server's data port.
struct UdpClient {
    Fd fd;
    explicit UdpClient(uint16_t serverPort) : fd(connectLoopback(SOCK_DGRAM, serverPort)) {}
    void send(const Bytes& unit) const {
        ASSERT_EQ(::send(fd.fd, unit.data(), unit.size(), 0), static_cast<ssize_t>(unit.size()));
    }
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = 3s) const {
        setReceiveTimeout(fd.fd, timeout);
        Bytes buffer(65536);
        const ssize_t n = ::recv(fd.fd, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
};

// ---------------------------------------------------------------- packets

// The ones' complement sum of data[from, to), written here from the
// definition rather than shared with the server, so that a checksum bug on
// either side shows.
uint32_t sum16(const Bytes& data, size_t from, size_t to, uint32_t sum = 0) {
    for (size_t i = from; i < to; ++i) sum += (i - from) % 2 == 0 ? uint32_t(data[i]) << 8 : data[i];
    while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

uint32_t udpPseudoHeaderSum(const Bytes& p) { return sum16(p, 12, 20, 17 + static_cast<uint32_t>(p.size() - 20)); }

bool checksumsValid(const Bytes& p) {
    return p.size() >= 28 && sum16(p, 0, 20) == 0xffff &&
           sum16(p, 20, p.size(), p[9] == 17 ? udpPseudoHeaderSum(p) : 0) == 0xffff;
}

void put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

uint32_t ipOf(const std::string& text) { return parseIPv4(text).value_or(0); }

// An IPv4 packet with a 20-byte header around an ICMP or UDP message whose
// checksum field is zero; both checksums are filled in.
Bytes ipv4Packet(const std::string& src, const std::string& dst, uint8_t protocol, const Bytes& message,
                 const std::string& payload) {
    Bytes p{0x45, 0, 0, 0, 0, 0, 0x40 /* don't fragment */, 0, 17, protocol, 0, 0};
    vantu::appendBE(p, ipOf(src));
    vantu::appendBE(p, ipOf(dst));
    put16(p, 2, static_cast<uint32_t>(20 + message.size() + payload.size()));
    put16(p, 10, ~sum16(p, 0, 20));
    p.insert(p.end(), message.begin(), message.end());
    p.insert(p.end(), payload.begin(), payload.end());
    const uint32_t sum = ~sum16(p, 20, p.size(), protocol == 17 ? udpPseudoHeaderSum(p) : 0) & 0xffff;
    put16(p, protocol == 17 ? 26 : 22, protocol == 17 && sum == 0 ? 0xffff : sum);
    return p;
}

Bytes icmpEchoRequest(const std::string& src, const std::string& dst, const std::string& payload) {
    return ipv4Packet(src, dst, 1, {8, 0, 0, 0, 0x12, 0x34, 0, 7}, payload);
}

Bytes udpDatagram(const std::string& src, const std::string& dst, uint16_t sport, uint16_t dport,
                  const std::string& payload) {
    const auto length = static_cast<uint8_t>(8 + payload.size());
    return ipv4Packet(src, dst, 17, {uint8_t(sport >> 8), uint8_t(sport), uint8_t(dport >> 8), uint8_t(dport), 0,
                                     length, 0, 0}, payload);
}

Bytes frame(uint8_t type, const Bytes& payload) {
    Bytes f(1 + payload.size());
    f[0] = type;
    std::copy(payload.begin(), payload.end(), f.begin() + 1);
    return f;
}

const Bytes kPing = {0x01, 'p', 'i', 'n', 'g'};

// ---------------------------------------------------------------- fixture

ServerConfig testConfig() {
    ServerConfig c;
    c.controlAddress = "127.0.0.1";
    c.dataAddress = "127.0.0.1";
    c.secrets = {"s3cret", "second-secret"};
    c.tunnelSubnet = "10.7.0.0/24";
    c.tunnelMTU = 1400;
    c.dnsServers = {"10.7.0.1"};
    c.routing = json::parse(R"({"direct_ips": ["198.51.100.0/24"], "client_route_learning_enabled": true})");
    c.controlTimeout = 2s;
    return c;
}

struct Running {
    explicit Running(ServerConfig config = testConfig(), std::shared_ptr<PacketSink> customSink = nullptr)
        : echo(customSink ? nullptr : std::make_shared<EchoResponder>()),
          server(std::move(config), customSink ? customSink : echo) {
        server.start();
    }
    std::shared_ptr<EchoResponder> echo;
    VantuServer server;
};

// A session opened the way the tunnel opens it.
std::shared_ptr<VantuSession> openSession(const VantuServer& server, const std::string& device) {
    vantu::VantuConfig config;
    config.host = "127.0.0.1";
    config.controlPort = server.controlPort();
    config.secret = "s3cret";
    config.deviceID = device;
    config.clientVersion = "test";
    return vantu::VantuControl::open(config, [](const std::string&) {});
}

// The server's unit opened with the client's key, with its nonce fields.
struct ServerUnit {
    uint32_t sessionID, seq, direction;
    Bytes frame;
};

ServerUnit receiveUnit(const VantuSession& session, const UdpClient& udp) {
    const auto unit = udp.receive();
    if (!unit || unit->size() < 28) {
        ADD_FAILURE() << "no unit from the server";
        return {};
    }
    return {vantu::readBE32(&(*unit)[0]), vantu::readBE32(&(*unit)[4]), vantu::readBE32(&(*unit)[8]),
            session.decrypt(*unit)};
}

// Sends a ping and returns the server sequence number of the pong.
uint32_t pingPong(VantuSession& session, const UdpClient& udp) {
    udp.send(session.encrypt(kPing));
    const ServerUnit pong = receiveUnit(session, udp);
    EXPECT_EQ(pong.frame, (Bytes{0x81, 'p', 'o', 'n', 'g'}));
    return pong.seq;
}

}  // namespace

// ---------------------------------------------------------------- control

TEST(VantuServerControl, GrantsSessionsAndRejectsBadRequestsWithoutStopping) {
    Running r;
    const uint16_t port = r.server.controlPort();
    const std::vector<std::pair<std::string, std::string>> rejected{
        {openRequest("dev-a", "not-the-secret") + "\n", "invalid secret"},
        {"{\"action\": \"open\", \n", "malformed request: not valid JSON"},
        {"[1,2,3]\n", "malformed request: expected a JSON object"},
        {"{\"secret\":\"s3cret\"}\n", "malformed request: action must be a string"},
        {"{\"action\":\"close\",\"secret\":\"s3cret\"}\n", "unknown action \"close\""},
        {"{\"action\":\"open\",\"secret\":42}\n", "malformed request: secret must be a string"},
        // Answered even while the client is still sending.
        {"{\"action\":\"open\",\"pad\":\"" + std::string(70000, 'x') + "\"}\n", "request too long"}};
    for (const auto& [request, message] : rejected) {
        const json response = ask(port, request);
        EXPECT_EQ(response, (json{{"status", "error"}, {"message", message}}));
    }
    EXPECT_EQ(ask(port, "{\"action\":\"open\",\"secret\":\"s3cret\",\"device_id\":7}\n")["status"], "error");
    EXPECT_EQ(r.server.sessions().size(), 0u);
    EXPECT_EQ(r.server.stats().controlRejected, 1u);
    EXPECT_EQ(r.server.stats().controlErrors, 7u);

    json granted = open(port, "dev-a");
    const std::string id = granted["session_id"];
    EXPECT_EQ(id.size(), 8u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(r.server.sessions().find(sessionID(granted)), nullptr);
    EXPECT_EQ(vantu::VantuControl::decodeBase64(granted["session_key"]).value_or(Bytes{}).size(), 16u);
    granted.erase("session_id");
    granted.erase("session_key");
    json expected = json::parse(R"({"status": "ok", "cipher": "aes-128-gcm", "transport": "udp",
        "tunnel_ip": "10.7.0.2", "tunnel_mtu": 1400, "routing": {"direct_ips": ["198.51.100.0/24"],
        "client_route_learning_enabled": true, "dns_servers": ["10.7.0.1"]}})");
    expected["data_port"] = r.server.dataPort();
    EXPECT_EQ(granted, expected);

    // The second secret works too; a client that half-closes without ending its line is answered.
    Fd fd = connectLoopback(SOCK_STREAM, port);
    sendAll(fd.fd, openRequest("dev-b", "second-secret"));
    ::shutdown(fd.fd, SHUT_WR);
    const json halfClosed = json::parse(readUntilClose(fd.fd));
    EXPECT_EQ(halfClosed["status"], "ok");
    EXPECT_EQ(halfClosed["tunnel_ip"], "10.7.0.3");
    EXPECT_EQ(r.server.stats().sessionsOpened, 2u);
}

TEST(VantuServerControl, SilentClientsAreDroppedWhileOthersAreServed) {
    ServerConfig config = testConfig();
    config.controlTimeout = 1500ms;
    Running r(config);
    const uint16_t port = r.server.controlPort();
    const auto start = std::chrono::steady_clock::now();
    Fd silent = connectLoopback(SOCK_STREAM, port);
    Fd unfinished = connectLoopback(SOCK_STREAM, port);
    sendAll(unfinished.fd, "{\"action\":\"open\",\"secret\"");

    EXPECT_EQ(open(port, "dev-busy")["status"], "ok");
    char probe;
    EXPECT_EQ(::recv(silent.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN) << "the silent client was closed before its time";
    EXPECT_EQ(readUntilClose(silent.fd), "");
    EXPECT_EQ(readUntilClose(unfinished.fd), "");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LT(elapsed, 4500ms);
    EXPECT_EQ(r.server.stats().controlTimeouts, 2u);
}

TEST(VantuServerControl, ConcurrentOpensGetDistinctSessionsAndStableAddresses) {
    constexpr int kClients = 50;
    ServerConfig config = testConfig();
    config.maxControlConnectionsPerPeer = kClients;  // all of them come from 127.0.0.1 at once
    Running r(config);
    auto openAll = [&] {
        std::vector<json> responses(kClients);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i)
            threads.emplace_back([&, i] { responses[i] = open(r.server.controlPort(), "device-" + std::to_string(i)); });
        for (auto& t : threads) t.join();
        return responses;
    };
    const auto first = openAll();
    const auto second = openAll();  // every device again: same address, new session, old one gone
    std::set<std::string> ids, keys, addresses;
    for (int i = 0; i < kClients; ++i) {
        ASSERT_EQ(first[i]["status"], "ok") << first[i].dump();
        ASSERT_EQ(second[i]["status"], "ok") << second[i].dump();
        EXPECT_EQ(second[i]["tunnel_ip"], first[i]["tunnel_ip"]) << "device-" << i;
        EXPECT_EQ(r.server.sessions().find(sessionID(first[i])), nullptr);
        const std::string address = first[i]["tunnel_ip"];
        addresses.insert(address);
        EXPECT_TRUE(ipOf(address) >= ipOf("10.7.0.2") && ipOf(address) <= ipOf("10.7.0.51")) << address;
        for (const auto* response : {&first[i], &second[i]}) {
            ids.insert((*response)["session_id"].get<std::string>());
            keys.insert((*response)["session_key"].get<std::string>());
        }
    }
    EXPECT_EQ(ids.size(), size_t(2 * kClients));
    EXPECT_EQ(keys.size(), size_t(2 * kClients));
    EXPECT_EQ(addresses.size(), size_t(kClients));
    EXPECT_EQ(r.server.sessions().size(), size_t(kClients));
}

// ---------------------------------------------------------------- data

TEST(VantuServerData, PingGetsSealedPongWithServerDirectionAndRisingSequence) {
    for (const std::string cipher : {"aes-128-gcm", "chacha20-poly1305"}) {
        SCOPED_TRACE(cipher);
        ServerConfig config = testConfig();
        config.cipher = cipher;
        Running r(config);
        auto session = openSession(r.server, "dev-ping");
        EXPECT_EQ(session->cipher.key().size(), cipher == "aes-128-gcm" ? 16u : 32u);
        UdpClient udp(r.server.dataPort());
        udp.send(session->encrypt(kPing));
        const ServerUnit pong = receiveUnit(*session, udp);
        EXPECT_EQ(pong.sessionID, session->sessionID);
        EXPECT_EQ(pong.seq, 1u);
        EXPECT_EQ(pong.direction, 0x53324300u);  // "S2C\0"
        EXPECT_EQ(pong.frame, (Bytes{0x81, 'p', 'o', 'n', 'g'}));
        EXPECT_EQ(pingPong(*session, udp), 2u);

        // After a path change the replies follow the client's new endpoint.
        UdpClient moved(r.server.dataPort());
        EXPECT_EQ(pingPong(*session, moved), 3u);
        EXPECT_FALSE(udp.receive(200ms)) << "a reply went to the old endpoint";
        auto serverSide = r.server.sessions().find(session->sessionID);
        ASSERT_NE(serverSide, nullptr);
        EXPECT_EQ(serverSide->counters().endpointChanges, 1u);

        // The last sequence number is used once; then the session falls silent rather than wrap.
        serverSide->setNextSendSeqForTesting(0xffffffff);
        EXPECT_EQ(pingPong(*session, moved), 0xffffffffu);
        moved.send(session->encrypt(kPing));
        EXPECT_FALSE(moved.receive(300ms));
        EXPECT_EQ(r.server.stats().sendFailures, 1u);
    }
}

TEST(VantuServerData, ReplayedUnitsAreRefusedAndLateOnesInTheWindowAccepted) {
    Running r;
    auto session = openSession(r.server, "dev-replay");
    UdpClient udp(r.server.dataPort());
    const Bytes first = session->encrypt(kPing);
    udp.send(first);
    ASSERT_TRUE(udp.receive());
    udp.send(first);
    EXPECT_EQ(pingPong(*session, udp), 2u) << "the replay was answered";
    session->seq = 100;
    EXPECT_EQ(pingPong(*session, udp), 3u);
    session->seq = 50;  // behind, inside the window, never seen
    const Bytes late = session->encrypt(kPing);
    udp.send(late);
    ASSERT_TRUE(udp.receive());
    udp.send(late);
    session->seq = 101;
    EXPECT_EQ(pingPong(*session, udp), 5u);
    EXPECT_EQ(r.server.stats().unitsReplayed, 2u);
}

TEST(VantuServerData, ForgedStrayAndReflectedUnitsGetNoAnswer) {
    Running r;
    auto session = openSession(r.server, "dev-forged");
    UdpClient udp(r.server.dataPort());
    session->seq = 10;
    Bytes badTag = session->encrypt(kPing);
    badTag.back() ^= 0x01;
    Bytes badCiphertext = session->encrypt(kPing);
    badCiphertext[13] ^= 0x80;
    Bytes strayID = session->encrypt(kPing);
    strayID[0] ^= 0xff;
    ASSERT_EQ(r.server.sessions().find(vantu::readBE32(strayID.data())), nullptr);
    // Sealed with the right key but the server's own direction, as a reflected server unit would be.
    const auto nonce = vantu::makeNonce(session->sessionID, 11, kServerDirection);
    Bytes reflected(nonce.begin(), nonce.end());
    session->cipher.sealInto(kPing.data(), kPing.size(), nonce.data(), reflected);
    for (const Bytes& unit : {badTag, badCiphertext, strayID, Bytes(27, 0x00), reflected}) udp.send(unit);

    session->seq = 10;  // a bad tag must not use up its sequence number
    EXPECT_EQ(pingPong(*session, udp), 1u) << "only the real ping is answered";
    const ServerStats& stats = r.server.stats();
    EXPECT_EQ(stats.unitsAuthFailed, 2u);
    EXPECT_EQ(stats.unitsUnknownSession, 1u);
    EXPECT_EQ(stats.unitsTooShort, 1u);
    EXPECT_EQ(stats.unitsWrongDirection, 1u);
    EXPECT_EQ(stats.unitsAccepted, 1u);
}

TEST(VantuServerData, IcmpAndUdpEchoRepliesCarryValidChecksums) {
    Running r;
    auto session = openSession(r.server, "dev-echo");
    UdpClient udp(r.server.dataPort());
    const std::string self = session->tunnelIP;
    auto echoOf = [&](const Bytes& packet) {
        EXPECT_TRUE(checksumsValid(packet)) << "the test's own packet";
        udp.send(session->encrypt(frame(0x02, packet)));
        const ServerUnit unit = receiveUnit(*session, udp);
        EXPECT_EQ(unit.direction, kServerDirection);
        EXPECT_EQ(unit.frame.empty() ? 0 : unit.frame[0], 0x82);
        return unit.frame.empty() ? Bytes{} : Bytes(unit.frame.begin() + 1, unit.frame.end());
    };

    const Bytes request = icmpEchoRequest(self, "192.0.2.10", "odd-length payload!");
    const Bytes reply = echoOf(request);
    ASSERT_EQ(reply.size(), request.size());
    EXPECT_TRUE(checksumsValid(reply));
    EXPECT_EQ(vantu::readBE32(&reply[12]), ipOf("192.0.2.10"));
    EXPECT_EQ(vantu::readBE32(&reply[16]), ipOf(self));
    EXPECT_EQ(reply[9], 1);
    EXPECT_EQ(vantu::readBE16(&reply[20]), 0) << "echo reply type and code";
    EXPECT_EQ(Bytes(reply.begin() + 24, reply.end()), Bytes(request.begin() + 24, request.end()))
        << "identifier, sequence and payload";

    for (const std::string payload : {"hello through the tunnel", "odd", ""}) {
        SCOPED_TRACE(payload);
        const Bytes datagram = udpDatagram(self, "198.51.100.7", 40000, 7, payload);
        const Bytes packet = echoOf(datagram);
        ASSERT_EQ(packet.size(), datagram.size());
        EXPECT_TRUE(checksumsValid(packet));
        EXPECT_EQ(vantu::readBE32(&packet[12]), ipOf("198.51.100.7"));
        EXPECT_EQ(vantu::readBE32(&packet[16]), ipOf(self));
        EXPECT_EQ(vantu::readBE32(&packet[20]), (7u << 16) | 40000u) << "ports swapped";
        EXPECT_EQ(std::string(packet.begin() + 28, packet.end()), payload);
    }
    EXPECT_EQ(r.echo->echoedICMP(), 1u);
    EXPECT_EQ(r.echo->echoedUDP(), 3u);

    // A packet whose source is not the session's tunnel address never reaches the sink.
    udp.send(session->encrypt(frame(0x02, icmpEchoRequest("10.7.0.99", "192.0.2.10", "x"))));
    EXPECT_EQ(pingPong(*session, udp), 5u);
    EXPECT_EQ(r.server.stats().packetsRejected, 1u);
    EXPECT_EQ(r.server.stats().packetsDelivered, 4u);
}

namespace {

// A sink that keeps what it gets and lets the test send as the network would.
struct RecordingSink : PacketSink {
    void deliver(const Bytes& packet) override {
        std::lock_guard lock(mutex);
        delivered.push_back(packet);
    }
    std::mutex mutex;
    std::vector<Bytes> delivered;
};

}  // namespace

TEST(VantuServerData, SinkSendsFromItsOwnThreadToTheOwnerOfTheDestination) {
    auto sink = std::make_shared<RecordingSink>();
    Running r(testConfig(), sink);
    auto a = openSession(r.server, "dev-a");
    auto b = openSession(r.server, "dev-b");
    UdpClient udpA(r.server.dataPort()), udpB(r.server.dataPort());

    // Nothing can reach a client before its endpoint is known.
    const Bytes toB = udpDatagram("192.0.2.1", b->tunnelIP, 53, 5353, "for b");
    std::thread([&] { sink->sendToClients(toB); }).join();
    EXPECT_EQ(pingPong(*a, udpA), 1u);
    EXPECT_EQ(pingPong(*b, udpB), 1u);
    EXPECT_EQ(r.server.stats().packetsWithoutSession, 1u);
    std::thread([&] {
        sink->sendToClients(toB);
        sink->sendToClients(udpDatagram("192.0.2.1", "10.7.0.200", 53, 5353, "nobody"));
    }).join();
    const ServerUnit opened = receiveUnit(*b, udpB);
    EXPECT_EQ(opened.seq, 2u);
    EXPECT_EQ(opened.frame, frame(0x82, toB));
    EXPECT_FALSE(udpA.receive(200ms));

    const Bytes fromA = udpDatagram(a->tunnelIP, "192.0.2.1", 1000, 53, "query");
    udpA.send(a->encrypt(frame(0x02, fromA)));
    EXPECT_EQ(pingPong(*a, udpA), 2u);
    std::lock_guard lock(sink->mutex);
    EXPECT_EQ(sink->delivered, std::vector<Bytes>{fromA});
}

TEST(VantuServer, StopsCleanlyAndReleasesItsPorts) {
    uint16_t control = 0, data = 0;
    {
        ServerConfig patient = testConfig();
        patient.controlTimeout = 30s;
        Running r(patient);
        control = r.server.controlPort();
        data = r.server.dataPort();
        Fd lingering = connectLoopback(SOCK_STREAM, control);
        const auto start = std::chrono::steady_clock::now();
        r.server.stop();
        EXPECT_EQ(readUntilClose(lingering.fd), "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "stop() left the connection open";
        r.server.stop();
    }
    ServerConfig config = testConfig();
    config.controlPort = control;
    config.dataPort = data;
    Running again(config);
    EXPECT_EQ(again.server.dataPort(), data);
    EXPECT_EQ(open(control, "dev-again")["status"], "ok");
}

// ---------------------------------------------------------------- hostile peers

namespace {

// A TCP socket from `source` (any 127.x.y.z is local) to 127.0.0.1:port.
int connectFrom(const std::string& source, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0) << std::strerror(errno);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
    setReceiveTimeout(fd, 5s);
    return fd;
}

// The server closed the connection without a word.
bool closedWithoutAnswer(int fd) { return readUntilClose(fd).empty(); }

// Still open, nothing received: accepted and waiting for a request.
bool heldOpen(int fd) {
    char probe;
    return ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == -1 && errno == EAGAIN;
}

}  // namespace

// A peer cannot hold every control connection: beyond 256 in total or 16
// from one address a new connection is closed at once, and a place freed
// is usable again.
TEST(VantuServerControl, CapsConnectionsInTotalAndPerAddress) {
    ServerConfig config = testConfig();
    config.controlTimeout = 30s;  // nobody is dropped for silence during the test
    Running r(config);
    const uint16_t port = r.server.controlPort();
    ASSERT_EQ(config.maxControlConnections, 256u);
    ASSERT_EQ(config.maxControlConnectionsPerPeer, 16u);

    std::vector<std::unique_ptr<Fd>> held;
    const auto source = [](int n) { return "127.0.0." + std::to_string(n); };
    for (int peer = 1; peer <= 16; ++peer)
        for (int i = 0; i < 16; ++i) held.push_back(std::make_unique<Fd>(connectFrom(source(peer), port)));

    Fd overTotal = connectFrom(source(17), port);
    EXPECT_TRUE(closedWithoutAnswer(overTotal.fd)) << "a 257th connection was accepted";
    EXPECT_EQ(r.server.stats().controlRefused, 1u);
    EXPECT_EQ(r.server.stats().controlConnections, 256u);
    for (const auto& fd : held) ASSERT_TRUE(heldOpen(fd->fd));

    // Sixteen places free up (the last address's); another address is served again.
    held.resize(15 * 16);
    json answer;
    for (int attempt = 0; attempt < 50 && answer.is_null(); ++attempt) {
        Fd fd = connectFrom(source(17), port);
        sendAll(fd.fd, openRequest("dev-17") + "\n");
        const std::string text = readUntilClose(fd.fd);
        if (!text.empty()) answer = json::parse(text);
        else std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(answer["status"], "ok") << answer.dump();

    // Below the total, an address that already has sixteen still gets none.
    const uint64_t refused = r.server.stats().controlRefused;
    Fd overPeer = connectFrom(source(1), port);
    EXPECT_TRUE(closedWithoutAnswer(overPeer.fd)) << "a 17th connection from one address was accepted";
    EXPECT_EQ(r.server.stats().controlRefused, refused + 1);
    for (const auto& fd : held) EXPECT_TRUE(heldOpen(fd->fd));
}

// Out of descriptors, accept() fails while the connection waits in the
// backlog: the service pauses between attempts instead of spinning, and
// serves the connection once descriptors are back.
TEST(VantuServerControl, BacksOffWhenAcceptFailsForWantOfDescriptors) {
    asio::io_context io;
    const ServerConfig config = testConfig();
    SessionTable sessions(config.subnet(), config.cipher);
    ServerStats stats;
    std::vector<std::string> lines;
    ControlService service(io, config, sessions, stats, [&](const std::string& line) { lines.push_back(line); });
    service.start(4242);
    // The event loop makes its own descriptors on its first run; they must
    // exist before the limit bites, or it is the loop that fails, not accept.
    io.run_for(20ms);
    Fd client = connectLoopback(SOCK_STREAM, service.port());
    sendAll(client.fd, openRequest("dev-emfile") + "\n");

    rlimit normal{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &normal), 0);
    const int lowestFree = ::dup(0);  // the descriptor accept() would get
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = normal;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    io.run_for(1s);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &normal), 0);

    // About ten attempts in a second at 100 ms apart; a spinning loop makes thousands.
    EXPECT_GE(stats.controlAcceptFailures, 5u);
    EXPECT_LE(stats.controlAcceptFailures, 15u);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("accept failed") != std::string::npos; }),
              1);

    std::thread network([&] { io.run_for(3s); });
    const std::string text = readUntilClose(client.fd);
    asio::post(io, [&] { service.stop(); });
    network.join();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(json::parse(text)["status"], "ok");
}

// The unknown action is quoted back cut to 64 bytes; the cut must not split
// a character, or the answer cannot be serialised at all.
TEST(VantuServerControl, UnknownActionIsQuotedBackAsWholeCharacters) {
    Running r;
    std::string fourByte;
    for (int i = 0; i < 20; ++i) fourByte += "\xF0\x9F\x98\x80";
    std::string threeByte = "ab";
    for (int i = 0; i < 30; ++i) threeByte += "\xE2\x82\xAC";
    std::string twoByte = "a";
    for (int i = 0; i < 40; ++i) twoByte += "\xC3\xA9";
    // action -> what the message quotes before "..."
    const std::vector<std::pair<std::string, size_t>> cases{
        {twoByte, 63}, {threeByte, 62}, {fourByte, 64}, {std::string(70, 'x'), 64}};
    for (const auto& [action, kept] : cases) {
        const json response = ask(r.server.controlPort(), json{{"action", action}, {"secret", "s3cret"}}.dump() + "\n");
        ASSERT_EQ(response["status"], "error") << action;
        const std::string message = response["message"];
        EXPECT_TRUE(vantu::isValidUTF8(message));
        EXPECT_EQ(message, "unknown action \"" + action.substr(0, kept) + "...\"");
    }
    EXPECT_EQ(r.server.stats().controlErrors, cases.size());
}

// Packets for clients that the sink hands over faster than the network
// thread sends them wait in a bounded queue; the rest are dropped and
// counted, and the queue takes packets again once it drained.
TEST(VantuServer, QueueTowardsClientsIsBoundedAndCountsDrops) {
    auto sink = std::make_shared<EchoResponder>();
    VantuServer server(testConfig(), sink);
    // Not started yet: nothing takes packets off the queue.
    const Bytes small = icmpEchoRequest("10.7.0.1", "10.7.0.77", "x");
    const size_t offered = VantuServer::kMaxQueuedToClients + 476;
    for (size_t i = 0; i < offered; ++i) sink->sendToClients(small);
    EXPECT_EQ(server.stats().packetsToClientsDropped, 476u);

    server.start();
    for (int i = 0; i < 300 && server.stats().packetsWithoutSession < VantuServer::kMaxQueuedToClients; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server.stats().packetsWithoutSession, VantuServer::kMaxQueuedToClients);
    server.stop();

    // The byte bound holds for big packets before the count bound does.
    VantuServer bytes(testConfig(), std::make_shared<EchoResponder>());
    const Bytes big = icmpEchoRequest("10.7.0.1", "10.7.0.77", std::string(60000, 'b'));
    for (int i = 0; i < 100; ++i) bytes.sink().sendToClients(big);
    EXPECT_EQ(bytes.stats().packetsToClientsDropped,
              100u - VantuServer::kMaxQueuedBytesToClients / big.size());
}

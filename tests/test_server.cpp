// The reference server over real loopback sockets: control exchanges, the
// encrypted data service, replay protection and the echo sink. Client
// sessions are opened with the tunnel's own control client.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VantuPacketTunnel/config/VantuConfig.h"
#include "control/VantuControl.h"
#include "datachannel/crypto/VantuSession.h"
#include "server/EchoResponder.h"
#include "server/VantuServer.h"
#include "tests/loopback_test_support.h"

#include <asio/post.hpp>

using nlohmann::json;
using vantu::Bytes;
using vantu::bytesOf;
using vantu::VantuSession;
using namespace vantu::server;
using namespace vantu::testing;
using namespace std::chrono_literals;

namespace {

json ask(uint16_t port, const std::string& request) {
    Fd fd{connectLoopback(port)};
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
    explicit UdpClient(uint16_t serverPort) : fd{connectLoopback(serverPort, SOCK_DGRAM)} {}
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

uint32_t ipOf(const std::string& text) { return parseIPv4(text).value_or(0); }

Bytes frame(uint8_t type, const Bytes& payload) {
    Bytes f{type};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

const Bytes kPing = {0x01, 'p', 'i', 'n', 'g'};

// ---------------------------------------------------------------- fixture

// A sink that keeps what it gets and lets the test send as the network would.
struct RecordingSink : PacketSink {
    void deliver(const Bytes& packet) override {
        std::lock_guard lock(mutex);
        delivered.push_back(packet);
    }
    std::mutex mutex;
    std::vector<Bytes> delivered;
};

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
    explicit Running(ServerConfig config = testConfig(), std::shared_ptr<PacketSink> customSink = nullptr,
                     ServerClock clock = {})
        : echo(customSink ? nullptr : std::make_shared<EchoResponder>()),
          server(std::move(config), customSink ? customSink : echo, {}, std::move(clock)) {
        server.start();
    }
    std::shared_ptr<EchoResponder> echo;
    VantuServer server;
};

// A control service on an io_context that the test runs itself, keeping
// its log lines.
struct Standalone {
    explicit Standalone(ServerClock clock = {})
        : service(io, config, sessions, stats, [this](const std::string& line) { lines.push_back(line); },
                  std::move(clock)) {}
    asio::io_context io;
    const ServerConfig config = testConfig();
    SessionTable sessions{config.subnet(), config.cipher};
    ServerStats stats;
    std::vector<std::string> lines;
    ControlService service;
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
    std::vector<std::pair<std::string, std::string>> rejected{
        {openRequest("dev-a", "not-the-secret") + "\n", "invalid secret"},
        {"{\"action\": \"open\", \n", "malformed request: not valid JSON"},
        {"[1,2,3]\n", "malformed request: expected a JSON object"},
        {"{\"secret\":\"s3cret\"}\n", "malformed request: action must be a string"},
        {"{\"action\":\"close\",\"secret\":\"s3cret\"}\n", "unknown action \"close\""},
        {"{\"action\":\"open\",\"secret\":42}\n", "malformed request: secret must be a string"},
        // Answered even while the client is still sending.
        {"{\"action\":\"open\",\"pad\":\"" + std::string(70000, 'x') + "\"}\n", "request too long"}};
    // An unknown action is quoted back cut to 64 bytes; a cut inside a
    // character would leave an answer that cannot be serialised at all.
    const auto times = [](const std::string& text, int n) { std::string out; while (n--) out += text; return out; };
    for (const auto& [action, kept] : {std::pair{"a" + times("\xC3\xA9", 40), 63}, {"ab" + times("\xE2\x82\xAC", 30), 62},
                                       {times("\xF0\x9F\x98\x80", 20), 64}, {std::string(70, 'x'), 64}}) {
        rejected.emplace_back(json{{"action", action}, {"secret", "s3cret"}}.dump() + "\n",
                              "unknown action \"" + action.substr(0, kept) + "...\"");
    }
    for (const auto& [request, message] : rejected) {
        EXPECT_EQ(ask(port, request), (json{{"status", "error"}, {"message", message}}));
    }
    EXPECT_EQ(ask(port, "{\"action\":\"open\",\"secret\":\"s3cret\",\"device_id\":7}\n")["status"], "error");
    EXPECT_EQ(r.server.sessions().size(), 0u);
    EXPECT_EQ(r.server.stats().controlRejected, 1u);
    EXPECT_EQ(r.server.stats().controlErrors, 11u);

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
    Fd fd{connectLoopback(port)};
    sendAll(fd.fd, openRequest("dev-b", "second-secret"));
    ::shutdown(fd.fd, SHUT_WR);
    const json halfClosed = json::parse(readUntilClose(fd.fd));
    EXPECT_EQ(halfClosed["status"], "ok");
    EXPECT_EQ(halfClosed["tunnel_ip"], "10.7.0.3");
    EXPECT_EQ(r.server.stats().sessionsOpened, 2u);
}

// The request deadline (2 s here) in virtual time.
TEST(VantuServerControl, SilentClientsAreDroppedWhileOthersAreServed) {
    VirtualClock clock;
    Running r(testConfig(), nullptr, clock.function());
    const uint16_t port = r.server.controlPort();
    Fd silent{connectLoopback(port)};
    Fd unfinished{connectLoopback(port)};
    sendAll(unfinished.fd, "{\"action\":\"open\",\"secret\"");

    EXPECT_EQ(open(port, "dev-busy")["status"], "ok");
    clock.advance(1s);
    std::this_thread::sleep_for(3 * GateSweep::kInterval);
    EXPECT_TRUE(heldOpen(silent.fd) && heldOpen(unfinished.fd)) << "closed before their time";
    clock.advance(1s);
    EXPECT_TRUE(waitForPeerClose(silent.fd) && waitForPeerClose(unfinished.fd));
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
        EXPECT_TRUE(serverSide->sendingExhausted());
        EXPECT_EQ(serverSide->counters().unitsSent, 4u);
    }
}

TEST(VantuServerData, ReplayedForgedStrayAndReflectedUnitsGetNoAnswer) {
    Running r;
    auto session = openSession(r.server, "dev-checks");
    UdpClient udp(r.server.dataPort());
    // A replay is refused; a late unit inside the window is taken once.
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

    session->seq = 110;
    Bytes badTag = session->encrypt(kPing);
    badTag.back() ^= 0x01;
    Bytes badCiphertext = session->encrypt(kPing);
    badCiphertext[13] ^= 0x80;
    Bytes strayID = session->encrypt(kPing);
    strayID[0] ^= 0xff;
    ASSERT_EQ(r.server.sessions().find(vantu::readBE32(strayID.data())), nullptr);
    // Sealed with the right key but the server's own direction, as a reflected server unit would be.
    const auto nonce = vantu::makeNonce(session->sessionID, 111, kServerDirection);
    Bytes reflected(nonce.begin(), nonce.end());
    session->cipher.sealInto(kPing.data(), kPing.size(), nonce.data(), reflected);
    for (const Bytes& unit : {badTag, badCiphertext, strayID, Bytes(27, 0x00), reflected}) udp.send(unit);

    session->seq = 110;  // a bad tag must not use up its sequence number
    EXPECT_EQ(pingPong(*session, udp), 6u) << "only the real ping is answered";
    const ServerStats& stats = r.server.stats();
    EXPECT_EQ(stats.unitsAuthFailed, 2u);
    EXPECT_EQ(stats.unitsUnknownSession, 1u);
    EXPECT_EQ(stats.unitsTooShort, 1u);
    EXPECT_EQ(stats.unitsWrongDirection, 1u);
    EXPECT_EQ(stats.unitsAccepted, 6u);
}

TEST(VantuServerData, IcmpAndUdpEchoRepliesCarryValidChecksums) {
    Running r;
    auto session = openSession(r.server, "dev-echo");
    UdpClient udp(r.server.dataPort());
    const uint32_t self = ipOf(session->tunnelIP);
    std::vector<Bytes> requests{icmpEchoRequest(self, ipOf("192.0.2.10"), 0x1234, 7, bytesOf("odd-length payload!"))};
    for (const std::string payload : {"hello through the tunnel", "odd", ""})
        requests.push_back(udpDatagram(self, ipOf("198.51.100.7"), 40000, 7, bytesOf(payload)));
    for (const Bytes& request : requests) {
        SCOPED_TRACE(::testing::PrintToString(request));
        ASSERT_TRUE(checksumsValid(request)) << "the test's own packet";
        udp.send(session->encrypt(frame(0x02, request)));
        const ServerUnit unit = receiveUnit(*session, udp);
        EXPECT_EQ(unit.direction, kServerDirection);
        ASSERT_FALSE(unit.frame.empty());
        EXPECT_EQ(unit.frame[0], 0x82);
        expectEchoReply(Bytes(unit.frame.begin() + 1, unit.frame.end()), request);
    }
    EXPECT_EQ(r.echo->echoedICMP(), 1u);
    EXPECT_EQ(r.echo->echoedUDP(), 3u);

    // A packet whose source is not the session's tunnel address never reaches the sink.
    udp.send(session->encrypt(frame(0x02, icmpEchoRequest(ipOf("10.7.0.99"), ipOf("192.0.2.10"), 1, 1, {'x'}))));
    EXPECT_EQ(pingPong(*session, udp), 5u);
    EXPECT_EQ(r.server.stats().packetsRejected, 1u);
    EXPECT_EQ(r.server.stats().packetsDelivered, 4u);
}

TEST(VantuServerData, SinkSendsFromItsOwnThreadToTheOwnerOfTheDestination) {
    auto sink = std::make_shared<RecordingSink>();
    Running r(testConfig(), sink);
    auto a = openSession(r.server, "dev-a");
    auto b = openSession(r.server, "dev-b");
    UdpClient udpA(r.server.dataPort()), udpB(r.server.dataPort());

    // Nothing can reach a client before its endpoint is known.
    const Bytes toB = udpDatagram(ipOf("192.0.2.1"), ipOf(b->tunnelIP), 53, 5353, bytesOf("for b"));
    std::thread([&] { sink->sendToClients(toB); }).join();
    EXPECT_EQ(pingPong(*a, udpA), 1u);
    EXPECT_EQ(pingPong(*b, udpB), 1u);
    EXPECT_EQ(r.server.stats().packetsWithoutSession, 1u);
    std::thread([&] {
        sink->sendToClients(toB);
        sink->sendToClients(udpDatagram(ipOf("192.0.2.1"), ipOf("10.7.0.200"), 53, 5353, bytesOf("nobody")));
    }).join();
    const ServerUnit opened = receiveUnit(*b, udpB);
    EXPECT_EQ(opened.seq, 2u);
    EXPECT_EQ(opened.frame, frame(0x82, toB));
    EXPECT_FALSE(udpA.receive(200ms));

    const Bytes fromA = udpDatagram(ipOf(a->tunnelIP), ipOf("192.0.2.1"), 1000, 53, bytesOf("query"));
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
        Fd lingering{connectLoopback(control)};
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

// Full (6 open, at most 2 from one address): a newcomer displaces the oldest
// connection without a whole request, so a real client gets in while an idle
// flood holds every place; only when none is left does the oldest answered
// one (waiting for its client to close) make room. One over its address's
// cap is refused.
TEST(VantuServerControl, NewcomersDisplaceTheOldestIdleConnectionWhenFull) {
    ServerConfig config = testConfig();
    config.controlTimeout = 30s;  // nobody is dropped for silence during the test
    config.maxControlConnections = 6;
    config.maxControlConnectionsPerPeer = 2;
    Running r(config);
    const uint16_t port = r.server.controlPort();
    const auto from = [port](int peer) {
        return std::make_unique<Fd>(connectLoopback(port, SOCK_STREAM, ("127.0.0." + std::to_string(peer)).c_str()));
    };
    std::vector<std::unique_ptr<Fd>> idle;
    for (int peer = 1; peer <= 3; ++peer)
        for (int i = 0; i < 2; ++i) idle.push_back(from(peer));
    const auto overCap = from(3);
    EXPECT_TRUE(waitForPeerClose(overCap->fd)) << "a third connection from one address was kept";
    EXPECT_EQ(r.server.stats().controlRefused, 1u);

    // Answered clients keep their connections open: the idle ones go first.
    std::vector<std::unique_ptr<Fd>> answered;
    for (int peer = 4; peer <= 10; ++peer) {
        answered.push_back(from(peer));
        sendAll(answered.back()->fd, openRequest("dev-" + std::to_string(peer)) + "\n");
        const std::string line = readLine(answered.back()->fd);
        ASSERT_FALSE(line.empty()) << "client " << peer << " got no answer";
        EXPECT_EQ(json::parse(line)["status"], "ok");
        if (peer == 10) break;
        EXPECT_TRUE(waitForPeerClose(idle[size_t(peer - 4)]->fd)) << "idle connection " << peer - 4 << " kept";
        for (size_t later = size_t(peer - 3); later < idle.size(); ++later) EXPECT_TRUE(heldOpen(idle[later]->fd));
    }
    EXPECT_EQ(r.server.stats().controlEvicted, 7u);
    EXPECT_EQ(r.server.stats().controlRefused, 1u);
}

// Failed secrets in virtual time: an address has five tries, then waits, and
// twice as long each time it runs dry; meanwhile it is refused unchecked
// (a right secret too), while another address is never slowed. The log
// stays short and says how much it left out.
TEST(VantuServerControl, FailedSecretsCostTheirAddressAndNobodyElse) {
    const auto start = std::chrono::steady_clock::time_point{} + 1h;
    auto now = start;
    Standalone control([&] { return now; });
    const ServerStats& stats = control.stats;
    const std::vector<std::string>& lines = control.lines;
    const auto ask = [&](std::chrono::milliseconds at, const std::string& address, const std::string& secret) {
        now = start + at;
        const json answer = control.service.handleRequest(openRequest("dev", secret), address + ":40000", address);
        return answer["status"] == "ok" ? std::string("ok") : answer["message"].get<std::string>();
    };
    const std::string bad = "invalid secret";
    const auto wait = [](int s) { return "too many failed secrets; try again in " + std::to_string(s) + " s"; };
    const std::string a = "192.0.2.1", b = "192.0.2.2";
    const std::vector<std::tuple<std::chrono::milliseconds, std::string, std::string, std::string>> steps{
        {0ms, a, "wrong", bad}, {0ms, a, "wrong", bad}, {0ms, a, "wrong", bad}, {0ms, a, "wrong", bad},
        {0ms, a, "wrong", bad}, {0ms, a, "s3cret", wait(1)}, {0ms, b, "s3cret", "ok"},
        // The refill starts when the first second is over: one try per 2 s.
        {1500ms, a, "wrong", wait(2)}, {3000ms, a, "wrong", bad}, {4900ms, a, "s3cret", wait(1)},
        {7000ms, a, "wrong", bad}, {7000ms, a, "wrong", wait(4)},
        // A right secret once it may try again clears the address.
        {13000ms, a, "s3cret", "ok"}, {13000ms, a, "wrong", bad}};
    for (const auto& [at, address, secret, expected] : steps) {
        EXPECT_EQ(ask(at, address, secret), expected) << "at " << at.count() << " ms from " << address;
    }
    EXPECT_EQ(stats.controlRejected, 8u);
    EXPECT_EQ(stats.controlThrottled, 4u);
    std::vector<std::string> secretLines;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(secretLines),
                 [](const std::string& l) { return l.find("secret") != std::string::npos; });
    ASSERT_EQ(secretLines.size(), 6u);
    EXPECT_NE(secretLines.back().find("(6 more like it not logged)"), std::string::npos) << secretLines.back();

    // A guesser that tries every 10 ms gets ten secrets checked in a minute.
    size_t checked = 0;
    for (std::chrono::milliseconds at = 20s; at < 80s; at += 10ms) checked += ask(at, "198.51.100.9", "wrong") == bad;
    EXPECT_EQ(checked, 10u);
}

// Out of descriptors, accept() fails while the connection waits in the
// backlog: the service pauses between attempts instead of spinning, and
// serves the connection once descriptors are back.
TEST(VantuServerControl, BacksOffWhenAcceptFailsForWantOfDescriptors) {
    Standalone control;
    ControlService& service = control.service;
    asio::io_context& io = control.io;
    service.start(4242);
    // The event loop makes its own descriptors on its first run; they must
    // exist before the limit bites, or it is the loop that fails, not accept.
    io.run_for(20ms);
    Fd client{connectLoopback(service.port())};
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
    EXPECT_GE(control.stats.controlAcceptFailures, 5u);
    EXPECT_LE(control.stats.controlAcceptFailures, 15u);
    EXPECT_EQ(std::count_if(control.lines.begin(), control.lines.end(),
                            [](const std::string& l) { return l.find("accept failed") != std::string::npos; }),
              1);

    std::thread network([&] { io.run_for(3s); });
    const std::string text = readUntilClose(client.fd);
    asio::post(io, [&] { service.stop(); });
    network.join();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(json::parse(text)["status"], "ok");
}

// Packets for clients that the sink hands over faster than the network
// thread sends them wait in a bounded queue; the rest are dropped and
// counted, and the queue takes packets again once it drained.
TEST(VantuServer, QueueTowardsClientsIsBoundedAndCountsDrops) {
    auto sink = std::make_shared<EchoResponder>();
    VantuServer server(testConfig(), sink);
    // Not started yet: nothing takes packets off the queue.
    const Bytes small = icmpEchoRequest(ipOf("10.7.0.1"), ipOf("10.7.0.77"), 1, 1, {'x'});
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
    const Bytes big = icmpEchoRequest(ipOf("10.7.0.1"), ipOf("10.7.0.77"), 1, 1, Bytes(60000, 'b'));
    for (int i = 0; i < 100; ++i) bytes.sink().sendToClients(big);
    EXPECT_EQ(bytes.stats().packetsToClientsDropped,
              100u - VantuServer::kMaxQueuedBytesToClients / big.size());
}

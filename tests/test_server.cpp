// The reference server over real loopback sockets: control exchanges, the
// encrypted data service, replay protection and the echo sink.

#include <algorithm>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
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
#include "server/EchoResponder.h"
#include "server/VantuServer.h"

using nlohmann::json;
using vantu::Bytes;
using vantu::VantuSession;
using namespace vantu::server;
using namespace std::chrono_literals;

namespace {

// ---------------------------------------------------------------- sockets

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Fd connectControl(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    const auto address = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "connect to control port failed: " << std::strerror(errno);
    }
    setReceiveTimeout(fd.get(), 5s);
    return fd;
}

void sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ADD_FAILURE() << "send failed: " << std::strerror(errno);
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

// Everything the server sends until it closes the connection (or 5 s pass).
std::string readUntilClose(int fd) {
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// One control exchange: the raw response text.
std::string exchange(uint16_t port, const std::string& request) {
    Fd fd = connectControl(port);
    sendAll(fd.get(), request);
    return readUntilClose(fd.get());
}

json exchangeJSON(uint16_t port, const std::string& request) {
    const std::string text = exchange(port, request);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << text;
    return json::parse(text);
}

json openRequest(const std::string& secret, const std::string& device) {
    return json{{"action", "open"}, {"secret", secret}, {"device_id", device}, {"client_version", "test"}};
}

json open(uint16_t port, const std::string& device, const std::string& secret = "s3cret") {
    return exchangeJSON(port, openRequest(secret, device).dump() + "\n");
}

Bytes base64Decode(const std::string& text) {
    Bytes out(text.size());
    const int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    size_t length = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding bytes as zeros.
    if (!text.empty() && text.back() == '=') --length;
    if (text.size() > 1 && text[text.size() - 2] == '=') --length;
    out.resize(length);
    return out;
}

// The client side of a granted session, built the way the tunnel does.
std::unique_ptr<VantuSession> clientSession(const json& response) {
    return std::make_unique<VantuSession>(
        static_cast<uint32_t>(std::stoul(response.at("session_id").get<std::string>(), nullptr, 16)),
        base64Decode(response.at("session_key")), response.at("cipher").get<std::string>(),
        response.at("tunnel_ip").get<std::string>(), response.at("tunnel_mtu").get<int64_t>(),
        response.at("data_port").get<uint16_t>(), response.at("transport").get<std::string>(),
        std::vector<std::string>{}, std::nullopt);
}

class UdpClient {
public:
    explicit UdpClient(uint16_t serverPort) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)), server_(loopback(serverPort)) {
        const auto local = loopback(0);
        ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }

    void send(const Bytes& unit) const {
        const ssize_t n = ::sendto(fd_.get(), unit.data(), unit.size(), 0, reinterpret_cast<const sockaddr*>(&server_),
                                   sizeof server_);
        ASSERT_EQ(n, static_cast<ssize_t>(unit.size()));
    }

    std::optional<Bytes> receive(std::chrono::milliseconds timeout = 3s) const {
        setReceiveTimeout(fd_.get(), timeout);
        Bytes buffer(65536);
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

private:
    Fd fd_;
    sockaddr_in server_;
};

// ---------------------------------------------------------------- packets

// Written here from the definition rather than shared with the server, so
// that a checksum bug on either side shows.
uint16_t onesComplementSum(const Bytes& data, size_t offset, size_t length, uint32_t start = 0) {
    uint32_t sum = start;
    for (size_t i = 0; i < length; ++i) {
        sum += (i % 2 == 0) ? uint32_t(data[offset + i]) << 8 : data[offset + i];
    }
    while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

bool ipv4HeaderValid(const Bytes& packet) {
    const size_t ihl = size_t(packet[0] & 0x0f) * 4;
    return onesComplementSum(packet, 0, ihl) == 0xffff;
}

bool udpChecksumValid(const Bytes& packet) {
    const size_t ihl = size_t(packet[0] & 0x0f) * 4;
    const size_t udpLength = packet.size() - ihl;
    uint32_t pseudo = onesComplementSum(packet, 12, 8);
    pseudo += 17 + static_cast<uint32_t>(udpLength);
    return onesComplementSum(packet, ihl, udpLength, pseudo) == 0xffff;
}

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

uint32_t ipOf(const std::string& text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return ntohl(a.s_addr);
}

Bytes ipv4Header(uint32_t src, uint32_t dst, uint8_t protocol, size_t payloadLength) {
    Bytes p(20, 0);
    p[0] = 0x45;
    put16(p, 2, static_cast<uint16_t>(20 + payloadLength));
    put16(p, 4, 0x4242);
    p[6] = 0x40;  // don't fragment
    p[8] = 17;
    p[9] = protocol;
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    put16(p, 10, static_cast<uint16_t>(~onesComplementSum(p, 0, 20)));
    return p;
}

Bytes icmpEchoRequest(uint32_t src, uint32_t dst, uint16_t id, uint16_t seq, const std::string& payload) {
    Bytes icmp = {8, 0, 0, 0, 0, 0, 0, 0};
    put16(icmp, 4, id);
    put16(icmp, 6, seq);
    icmp.insert(icmp.end(), payload.begin(), payload.end());
    put16(icmp, 2, static_cast<uint16_t>(~onesComplementSum(icmp, 0, icmp.size())));
    Bytes packet = ipv4Header(src, dst, 1, icmp.size());
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

Bytes udpDatagram(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport, const std::string& payload) {
    Bytes packet = ipv4Header(src, dst, 17, 8 + payload.size());
    Bytes udp(8, 0);
    put16(udp, 0, sport);
    put16(udp, 2, dport);
    put16(udp, 4, static_cast<uint16_t>(8 + payload.size()));
    udp.insert(udp.end(), payload.begin(), payload.end());
    packet.insert(packet.end(), udp.begin(), udp.end());
    uint32_t pseudo = onesComplementSum(packet, 12, 8) + 17 + static_cast<uint32_t>(udp.size());
    uint16_t sum = static_cast<uint16_t>(~onesComplementSum(packet, 20, udp.size(), pseudo));
    put16(packet, 26, sum == 0 ? 0xffff : sum);
    return packet;
}

Bytes frame(uint8_t type, const Bytes& payload = {}) {
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

// The server's unit opened with the client's key, with its nonce fields.
struct ServerUnit {
    uint32_t sessionID;
    uint32_t seq;
    uint32_t direction;
    Bytes frame;
};

ServerUnit openServerUnit(const VantuSession& session, const Bytes& unit) {
    EXPECT_GE(unit.size(), 28u);
    return ServerUnit{vantu::readBE32(&unit[0]), vantu::readBE32(&unit[4]), vantu::readBE32(&unit[8]),
                      session.decrypt(unit)};
}

// Sends a ping and returns the server sequence number of the pong.
uint32_t pingPong(VantuSession& session, const UdpClient& udp) {
    udp.send(session.encrypt(kPing));
    const auto reply = udp.receive();
    if (!reply) {
        ADD_FAILURE() << "no pong";
        return 0;
    }
    const ServerUnit pong = openServerUnit(session, *reply);
    EXPECT_EQ(pong.frame, (Bytes{0x81, 'p', 'o', 'n', 'g'}));
    return pong.seq;
}

}  // namespace

// ---------------------------------------------------------------- control

TEST(VantuServerControl, GrantsSessionsAndRejectsBadRequestsWithoutStopping) {
    Running r;
    const uint16_t port = r.server.controlPort();

    const json wrongSecret = open(port, "dev-a", "not-the-secret");
    EXPECT_EQ(wrongSecret["status"], "error");
    EXPECT_EQ(wrongSecret["message"], "invalid secret");
    EXPECT_EQ(r.server.sessions().size(), 0u);

    const json notJSON = exchangeJSON(port, "{\"action\": \"open\", \n");
    EXPECT_EQ(notJSON["status"], "error");
    EXPECT_EQ(notJSON["message"], "malformed request: not valid JSON");

    EXPECT_EQ(exchangeJSON(port, "[1,2,3]\n")["message"], "malformed request: expected a JSON object");
    EXPECT_EQ(exchangeJSON(port, "{\"secret\":\"s3cret\"}\n")["message"], "malformed request: action must be a string");
    EXPECT_EQ(exchangeJSON(port, "{\"action\":\"close\",\"secret\":\"s3cret\"}\n")["message"],
              "unknown action \"close\"");
    EXPECT_EQ(exchangeJSON(port, "{\"action\":\"open\",\"secret\":42}\n")["message"],
              "malformed request: secret must be a string");
    const json numericDevice = exchangeJSON(port, "{\"action\":\"open\",\"secret\":\"s3cret\",\"device_id\":7}\n");
    EXPECT_EQ(numericDevice["status"], "error");

    // A line beyond the limit is refused with an answer, even while the
    // client is still sending.
    const json tooLong = exchangeJSON(port, "{\"action\":\"open\",\"pad\":\"" + std::string(70000, 'x') + "\"}\n");
    EXPECT_EQ(tooLong["status"], "error");
    EXPECT_EQ(tooLong["message"], "request too long");
    EXPECT_EQ(r.server.sessions().size(), 0u);
    EXPECT_EQ(r.server.stats().controlRejected, 1u);
    EXPECT_EQ(r.server.stats().controlErrors, 7u);

    // The service still grants sessions, with every parameter the client needs.
    const json granted = open(port, "dev-a");
    ASSERT_EQ(granted["status"], "ok") << granted.dump();
    const std::string id = granted["session_id"];
    EXPECT_EQ(id.size(), 8u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(base64Decode(granted["session_key"]).size(), 16u);
    EXPECT_EQ(granted["cipher"], "aes-128-gcm");
    EXPECT_EQ(granted["transport"], "udp");
    EXPECT_EQ(granted["data_port"], r.server.dataPort());
    EXPECT_EQ(granted["tunnel_ip"], "10.7.0.2");
    EXPECT_EQ(granted["tunnel_mtu"], 1400);
    EXPECT_EQ(granted["routing"]["direct_ips"], json::array({"198.51.100.0/24"}));
    EXPECT_EQ(granted["routing"]["dns_servers"], json::array({"10.7.0.1"}));
    EXPECT_NE(r.server.sessions().find(static_cast<uint32_t>(std::stoul(id, nullptr, 16))), nullptr);

    // The second accepted secret works as well; a client that half-closes
    // without ending its line is still answered.
    Fd fd = connectControl(port);
    sendAll(fd.get(), openRequest("second-secret", "dev-b").dump());
    ::shutdown(fd.get(), SHUT_WR);
    const json halfClosed = json::parse(readUntilClose(fd.get()));
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
    Fd silent = connectControl(port);
    Fd unfinished = connectControl(port);
    sendAll(unfinished.get(), "{\"action\":\"open\",\"secret\"");

    // Served while both are still connected.
    const json granted = open(port, "dev-busy");
    EXPECT_EQ(granted["status"], "ok");
    char probe;
    EXPECT_EQ(::recv(silent.get(), &probe, 1, MSG_PEEK | MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN) << "the silent client was closed before its time";

    // Then each is closed with nothing sent.
    EXPECT_EQ(readUntilClose(silent.get()), "");
    EXPECT_EQ(readUntilClose(unfinished.get()), "");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LT(elapsed, 4500ms);
    EXPECT_EQ(r.server.stats().controlTimeouts, 2u);
    EXPECT_EQ(r.server.stats().sessionsOpened, 1u);
}

TEST(VantuServerControl, ConcurrentOpensGetDistinctSessionsAndStableAddresses) {
    Running r;
    const uint16_t port = r.server.controlPort();
    constexpr int kClients = 50;

    auto openAll = [&] {
        std::vector<json> responses(kClients);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i) {
            threads.emplace_back([&, i] { responses[i] = open(port, "device-" + std::to_string(i)); });
        }
        for (auto& t : threads) t.join();
        return responses;
    };

    const auto first = openAll();
    std::set<std::string> ids, keys, addresses;
    for (const auto& response : first) {
        ASSERT_EQ(response["status"], "ok") << response.dump();
        ids.insert(response["session_id"].get<std::string>());
        keys.insert(response["session_key"].get<std::string>());
        const std::string ip = response["tunnel_ip"];
        addresses.insert(ip);
        const uint32_t host = ipOf(ip);
        EXPECT_GE(host, ipOf("10.7.0.2"));
        EXPECT_LE(host, ipOf("10.7.0.51"));
    }
    EXPECT_EQ(ids.size(), size_t(kClients));
    EXPECT_EQ(keys.size(), size_t(kClients));
    EXPECT_EQ(addresses.size(), size_t(kClients));

    // Opening again gives every device its address back under a new session
    // and replaces the old one.
    const auto second = openAll();
    for (int i = 0; i < kClients; ++i) {
        ASSERT_EQ(second[i]["status"], "ok");
        EXPECT_EQ(second[i]["tunnel_ip"], first[i]["tunnel_ip"]) << "device-" << i;
        EXPECT_EQ(ids.count(second[i]["session_id"].get<std::string>()), 0u);
        EXPECT_EQ(keys.count(second[i]["session_key"].get<std::string>()), 0u);
        const auto oldID = static_cast<uint32_t>(std::stoul(first[i]["session_id"].get<std::string>(), nullptr, 16));
        EXPECT_EQ(r.server.sessions().find(oldID), nullptr);
    }
    EXPECT_EQ(r.server.sessions().size(), size_t(kClients));
}

// ---------------------------------------------------------------- data

TEST(VantuServerData, PingGetsSealedPongWithServerDirectionAndRisingSequence) {
    for (const std::string cipher : {"aes-128-gcm", "chacha20-poly1305"}) {
        SCOPED_TRACE(cipher);
        ServerConfig config = testConfig();
        config.cipher = cipher;
        Running r(config);
        const json granted = open(r.server.controlPort(), "dev-ping");
        ASSERT_EQ(granted["status"], "ok");
        EXPECT_EQ(granted["cipher"], cipher);
        EXPECT_EQ(base64Decode(granted["session_key"]).size(), cipher == "aes-128-gcm" ? 16u : 32u);
        auto session = clientSession(granted);
        UdpClient udp(r.server.dataPort());

        udp.send(session->encrypt(kPing));
        const auto reply = udp.receive();
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->size(), 5u + 28u);
        const ServerUnit pong = openServerUnit(*session, *reply);
        EXPECT_EQ(pong.sessionID, session->sessionID);
        EXPECT_EQ(pong.seq, 1u);
        EXPECT_EQ(Bytes(reply->begin() + 8, reply->begin() + 12), (Bytes{0x53, 0x32, 0x43, 0x00}));
        EXPECT_EQ(pong.frame, (Bytes{0x81, 'p', 'o', 'n', 'g'}));

        if (cipher == "aes-128-gcm") {
            // Pin the wire layout with a second, independent AEAD implementation.
            const Bytes key = base64Decode(granted["session_key"]);
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            Bytes plain(5);
            int n = 0, tail = 0;
            ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key.data(), reply->data()), 1);
            ASSERT_EQ(EVP_DecryptUpdate(ctx, plain.data(), &n, reply->data() + 12, 5), 1);
            ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<uint8_t*>(reply->data() + 17)), 1);
            EXPECT_EQ(EVP_DecryptFinal_ex(ctx, plain.data() + n, &tail), 1);
            EVP_CIPHER_CTX_free(ctx);
            EXPECT_EQ(plain, (Bytes{0x81, 'p', 'o', 'n', 'g'}));
        }

        EXPECT_EQ(pingPong(*session, udp), 2u);

        // After a path change the replies follow the client's new endpoint.
        UdpClient moved(r.server.dataPort());
        EXPECT_EQ(pingPong(*session, moved), 3u);
        EXPECT_FALSE(udp.receive(200ms)) << "a reply went to the old endpoint";
        const auto serverSession = r.server.sessions().find(session->sessionID);
        ASSERT_NE(serverSession, nullptr);
        EXPECT_EQ(serverSession->counters().endpointChanges, 1u);
        EXPECT_EQ(r.server.stats().pingsAnswered, 3u);
    }
}

TEST(VantuServerData, ReplayedAndTooOldUnitsAreRefused) {
    Running r;
    auto session = clientSession(open(r.server.controlPort(), "dev-replay"));
    UdpClient udp(r.server.dataPort());

    const Bytes first = session->encrypt(kPing);
    udp.send(first);
    ASSERT_TRUE(udp.receive());
    udp.send(first);
    // Had the replay been answered, this pong would carry server sequence 3.
    EXPECT_EQ(pingPong(*session, udp), 2u);

    // Ahead, then behind but inside the window and never seen: both accepted.
    session->seq = 100;
    EXPECT_EQ(pingPong(*session, udp), 3u);
    session->seq = 50;
    const Bytes late = session->encrypt(kPing);
    udp.send(late);
    ASSERT_TRUE(udp.receive());
    udp.send(late);

    // A jump leaves older numbers behind the window.
    session->seq = 5000;
    EXPECT_EQ(pingPong(*session, udp), 5u);
    session->seq = 5000 - ReplayWindow::kWindow;
    udp.send(session->encrypt(kPing));
    session->seq = 5000 - ReplayWindow::kWindow + 1;
    EXPECT_EQ(pingPong(*session, udp), 6u);

    EXPECT_EQ(r.server.stats().unitsReplayed, 3u);
    EXPECT_EQ(r.server.stats().pingsAnswered, 6u);
}

TEST(VantuServerData, ForgedStrayAndReflectedUnitsGetNoAnswer) {
    Running r;
    auto session = clientSession(open(r.server.controlPort(), "dev-forged"));
    UdpClient udp(r.server.dataPort());

    // A bad tag on sequence 10 must not use up sequence 10.
    session->seq = 10;
    Bytes badTag = session->encrypt(kPing);
    badTag.back() ^= 0x01;
    udp.send(badTag);
    Bytes badCiphertext = session->encrypt(kPing);
    badCiphertext[13] ^= 0x80;
    udp.send(badCiphertext);

    Bytes strayID = session->encrypt(kPing);
    const uint32_t unknown = session->sessionID ^ 0xffffffff;
    ASSERT_EQ(r.server.sessions().find(unknown), nullptr);
    for (int i = 0; i < 4; ++i) strayID[i] = static_cast<uint8_t>(unknown >> (24 - 8 * i));
    udp.send(strayID);

    udp.send(Bytes(27, 0x00));

    // A unit sealed with the right key but the server's own direction, as a
    // reflected server unit would be.
    const auto nonce = vantu::makeNonce(session->sessionID, 11, kServerDirection);
    Bytes reflected(nonce.begin(), nonce.end());
    session->cipher.sealInto(kPing.data(), kPing.size(), nonce.data(), reflected);
    udp.send(reflected);

    session->seq = 10;
    EXPECT_EQ(pingPong(*session, udp), 1u);

    const ServerStats& stats = r.server.stats();
    EXPECT_EQ(stats.unitsAuthFailed, 2u);
    EXPECT_EQ(stats.unitsUnknownSession, 1u);
    EXPECT_EQ(stats.unitsTooShort, 1u);
    EXPECT_EQ(stats.unitsWrongDirection, 1u);
    EXPECT_EQ(stats.unitsAccepted, 1u);
    EXPECT_EQ(r.server.sessions().find(session->sessionID)->counters().unitsAuthFailed, 2u);
}

TEST(VantuServerData, IcmpEchoRequestComesBackAsValidReply) {
    Running r;
    const json granted = open(r.server.controlPort(), "dev-icmp");
    auto session = clientSession(granted);
    UdpClient udp(r.server.dataPort());
    const uint32_t self = ipOf(granted["tunnel_ip"]);
    const uint32_t remote = ipOf("192.0.2.10");

    const Bytes request = icmpEchoRequest(self, remote, 0x1234, 7, "odd-length payload!");
    ASSERT_TRUE(ipv4HeaderValid(request));
    const Bytes unit = session->encrypt(frame(0x02, request));
    udp.send(unit);
    const auto reply = udp.receive();
    ASSERT_TRUE(reply);
    const ServerUnit opened = openServerUnit(*session, *reply);
    EXPECT_EQ(opened.seq, 1u);
    EXPECT_EQ(opened.direction, kServerDirection);
    ASSERT_EQ(opened.frame[0], 0x82);
    const Bytes packet(opened.frame.begin() + 1, opened.frame.end());
    ASSERT_EQ(packet.size(), request.size());

    EXPECT_TRUE(ipv4HeaderValid(packet));
    EXPECT_EQ(vantu::readBE32(&packet[12]), remote);
    EXPECT_EQ(vantu::readBE32(&packet[16]), self);
    EXPECT_EQ(packet[9], 1);
    EXPECT_EQ(packet[20], 0) << "echo reply type";
    EXPECT_EQ(packet[21], 0);
    EXPECT_EQ(onesComplementSum(packet, 20, packet.size() - 20), 0xffff) << "ICMP checksum";
    EXPECT_EQ(Bytes(packet.begin() + 24, packet.end()), Bytes(request.begin() + 24, request.end()))
        << "identifier, sequence and payload";

    // The same unit again is not delivered a second time.
    udp.send(unit);
    EXPECT_EQ(pingPong(*session, udp), 2u);
    EXPECT_EQ(r.echo->echoedICMP(), 1u);

    // A packet whose source is not the session's tunnel address never
    // reaches the sink.
    udp.send(session->encrypt(frame(0x02, icmpEchoRequest(ipOf("10.7.0.99"), remote, 1, 1, "x"))));
    EXPECT_EQ(pingPong(*session, udp), 3u);
    EXPECT_EQ(r.server.stats().packetsRejected, 1u);
    EXPECT_EQ(r.server.stats().packetsDelivered, 1u);
}

TEST(VantuServerData, UdpDatagramIsEchoedWithSwappedPortsAndValidChecksum) {
    Running r;
    const json granted = open(r.server.controlPort(), "dev-udp");
    auto session = clientSession(granted);
    UdpClient udp(r.server.dataPort());
    const uint32_t self = ipOf(granted["tunnel_ip"]);
    const uint32_t remote = ipOf("198.51.100.7");

    for (const std::string payload : {"hello through the tunnel", "odd", ""}) {
        SCOPED_TRACE(payload);
        const Bytes datagram = udpDatagram(self, remote, 40000, 7, payload);
        ASSERT_TRUE(udpChecksumValid(datagram));
        udp.send(session->encrypt(frame(0x02, datagram)));
        const auto reply = udp.receive();
        ASSERT_TRUE(reply);
        const ServerUnit opened = openServerUnit(*session, *reply);
        ASSERT_EQ(opened.frame[0], 0x82);
        const Bytes packet(opened.frame.begin() + 1, opened.frame.end());
        ASSERT_EQ(packet.size(), datagram.size());
        EXPECT_TRUE(ipv4HeaderValid(packet));
        EXPECT_TRUE(udpChecksumValid(packet));
        EXPECT_EQ(vantu::readBE32(&packet[12]), remote);
        EXPECT_EQ(vantu::readBE32(&packet[16]), self);
        EXPECT_EQ(vantu::readBE16(&packet[20]), 7);
        EXPECT_EQ(vantu::readBE16(&packet[22]), 40000);
        EXPECT_EQ(std::string(packet.begin() + 28, packet.end()), payload);
    }
    EXPECT_EQ(r.echo->echoedUDP(), 3u);
}

namespace {

// A sink that keeps what it gets and lets the test send as the network would.
class RecordingSink : public PacketSink {
public:
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
    const json grantedA = open(r.server.controlPort(), "dev-a");
    const json grantedB = open(r.server.controlPort(), "dev-b");
    auto a = clientSession(grantedA);
    auto b = clientSession(grantedB);
    UdpClient udpA(r.server.dataPort());
    UdpClient udpB(r.server.dataPort());

    // Nothing can be sent to a client before its endpoint is known.
    const Bytes toB = udpDatagram(ipOf("192.0.2.1"), ipOf(grantedB["tunnel_ip"]), 53, 5353, "for b");
    std::thread([&] { sink->sendToClients(toB); }).join();
    EXPECT_EQ(pingPong(*a, udpA), 1u);
    EXPECT_EQ(pingPong(*b, udpB), 1u);
    EXPECT_EQ(r.server.stats().packetsWithoutSession, 1u);

    std::thread([&] {
        sink->sendToClients(toB);
        sink->sendToClients(udpDatagram(ipOf("192.0.2.1"), ipOf("10.7.0.200"), 53, 5353, "nobody"));
    }).join();
    const auto reply = udpB.receive();
    ASSERT_TRUE(reply);
    const ServerUnit opened = openServerUnit(*b, *reply);
    EXPECT_EQ(opened.seq, 2u);
    EXPECT_EQ(opened.frame, frame(0x82, toB));
    EXPECT_FALSE(udpA.receive(200ms));

    const Bytes fromA = udpDatagram(ipOf(grantedA["tunnel_ip"]), ipOf("192.0.2.1"), 1000, 53, "query");
    udpA.send(a->encrypt(frame(0x02, fromA)));
    EXPECT_EQ(pingPong(*a, udpA), 2u);
    std::lock_guard lock(sink->mutex);
    ASSERT_EQ(sink->delivered.size(), 1u);
    EXPECT_EQ(sink->delivered[0], fromA);
}

TEST(VantuServerData, ReplacedSessionIsDeadAndSequenceExhaustionStopsSending) {
    Running r;
    auto old = clientSession(open(r.server.controlPort(), "dev-same"));
    UdpClient udp(r.server.dataPort());
    EXPECT_EQ(pingPong(*old, udp), 1u);

    const json again = open(r.server.controlPort(), "dev-same");
    EXPECT_EQ(again["tunnel_ip"], "10.7.0.2");
    auto fresh = clientSession(again);
    udp.send(old->encrypt(kPing));
    EXPECT_EQ(pingPong(*fresh, udp), 1u);
    EXPECT_EQ(r.server.stats().unitsUnknownSession, 1u);

    // The last sequence number is used once; after it the session is silent
    // rather than wrapping to a nonce it already used.
    auto serverSide = r.server.sessions().find(fresh->sessionID);
    ASSERT_NE(serverSide, nullptr);
    serverSide->setNextSendSeqForTesting(0xffffffff);
    EXPECT_EQ(pingPong(*fresh, udp), 0xffffffffu);
    udp.send(fresh->encrypt(kPing));
    EXPECT_FALSE(udp.receive(300ms));
    EXPECT_TRUE(serverSide->sendingExhausted());
    EXPECT_EQ(r.server.stats().sendFailures, 1u);
}

TEST(VantuServer, TheTunnelsOwnControlClientOpensASessionThatCarriesTraffic) {
    Running r;
    vantu::VantuConfig config;
    config.host = "127.0.0.1";
    config.controlPort = r.server.controlPort();
    config.secret = "s3cret";
    config.deviceID = "interop-device";
    config.clientVersion = "interop";
    config.clientDirectCoreEnabled = true;
    std::vector<std::string> logged;
    const auto session = vantu::VantuControl::open(config, [&](const std::string& line) { logged.push_back(line); });
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->tunnelIP, "10.7.0.2");
    EXPECT_EQ(session->mtu, 1400);
    EXPECT_EQ(session->dataPort, r.server.dataPort());
    EXPECT_EQ(session->transport, "udp");
    EXPECT_EQ(session->dnsServers, std::vector<std::string>{"10.7.0.1"});
    ASSERT_TRUE(session->routingPolicy);
    EXPECT_EQ(session->routingPolicy->directIPRoutes(), std::vector<std::string>{"198.51.100.0/24"});
    EXPECT_NE(r.server.sessions().find(session->sessionID), nullptr);

    UdpClient udp(r.server.dataPort());
    EXPECT_EQ(pingPong(*session, udp), 1u);

    config.secret = "wrong";
    try {
        (void)vantu::VantuControl::open(config, [](const std::string&) {});
        ADD_FAILURE() << "a wrong secret opened a session";
    } catch (const vantu::VantuError& e) {
        EXPECT_EQ(e.message(), "invalid secret");
    }
}

TEST(VantuServer, StopsCleanlyAndReleasesItsPorts) {
    uint16_t control = 0, data = 0;
    {
        ServerConfig patient = testConfig();
        patient.controlTimeout = 30s;
        Running r(patient);
        control = r.server.controlPort();
        data = r.server.dataPort();
        Fd lingering = connectControl(control);  // still open when the server stops
        const auto start = std::chrono::steady_clock::now();
        r.server.stop();
        EXPECT_EQ(readUntilClose(lingering.get()), "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "the connection was not closed by stop()";
        r.server.stop();
    }
    // Both ports can be bound again at once.
    ServerConfig config = testConfig();
    config.controlPort = control;
    config.dataPort = data;
    Running again(config);
    EXPECT_EQ(again.server.controlPort(), control);
    EXPECT_EQ(again.server.dataPort(), data);
    EXPECT_EQ(open(control, "dev-again")["status"], "ok");
}

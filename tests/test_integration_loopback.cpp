// The provider on the real Linux work queue and marked UDP sockets, against the
// reference server in the same process, over 127.0.0.1 only. Packets injected
// into an in-memory packet flow travel sealed to the server, whose echo
// responder answers them, and come back out of the flow decrypted.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/MarkedSockets.h"
#include "platform/sim/SimPlatform.h"
#include "server/EchoResponder.h"
#include "server/VantuServer.h"
#include "tests/provider_test_support.h"

using namespace vantu;
namespace srv = vantu::server;
using namespace std::chrono_literals;

namespace {

constexpr const char* kDevice = "loopback-device";
constexpr int64_t kGrantedMTU = 1380;  // not the client's or server's default, so it must come from the grant
constexpr uint32_t kFarAddress = 0xC6336402;  // 198.51.100.2: answered by the echo responder, never routed

// One lock and condition for everything the queue thread hands to the test thread.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    template <typename Pred>
    bool waitFor(Pred done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
};

class LoopbackHost final : public TunnelHost {
public:
    LoopbackHost(AsioWorkQueue& queue, Shared& shared) : queue_(queue), shared_(shared) {}
    nlohmann::json configuration;
    std::vector<TunnelNetworkSettings> applied;  // guarded by shared.mutex
    std::vector<TunnelError> cancellations;
    int udpSessionsCreated = 0;

    std::optional<ProtocolConfiguration> protocolConfiguration() const override {
        return ProtocolConfiguration{true, configuration};
    }
    void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings> settings, ErrorCompletion completion) override {
        std::lock_guard lock(shared_.mutex);
        if (settings) applied.push_back(*settings);
        queue_.submit([completion = std::move(completion)] { completion(std::nullopt); });
    }
    void cancelTunnelWithError(const TunnelError& error) override {
        std::lock_guard lock(shared_.mutex);
        cancellations.push_back(error);
    }
    std::shared_ptr<UDPSession> createUDPSession(const std::string& host, const std::string& port) override {
        std::lock_guard lock(shared_.mutex);
        ++udpSessionsCreated;
        return MarkedUDPSession::create(queue_, host, port, /*mark*/ 0);
    }
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string& host, const std::string& port) override {
        return MarkedTCPConnection::create(queue_, host, port, /*mark*/ 0);
    }
    std::optional<NetworkPath> defaultPath() const override {
        return NetworkPath{PathStatus::satisfied, false, false, "lo"};
    }

private:
    AsioWorkQueue& queue_;
    Shared& shared_;
};

// Batches injected by the test reach the provider's read loop through the
// queue, one batch per read, in order; written packets are recorded.
class MemoryPacketFlow final : public PacketFlow {
public:
    MemoryPacketFlow(AsioWorkQueue& queue, Shared& shared) : queue_(queue), shared_(shared) {}
    std::vector<Bytes> written;  // guarded by shared.mutex

    void readPackets(ReadCompletion completion) override {
        std::lock_guard lock(shared_.mutex);
        reader_ = std::move(completion);
        deliverLocked();
    }
    void writePackets(const std::vector<Bytes>& packets, const std::vector<int>& protocols) override {
        std::lock_guard lock(shared_.mutex);
        EXPECT_EQ(protocols.size(), packets.size());
        written.insert(written.end(), packets.begin(), packets.end());
        shared_.changed.notify_all();
    }
    void inject(std::vector<Bytes> batch) {
        std::lock_guard lock(shared_.mutex);
        pending_.push_back(std::move(batch));
        deliverLocked();
    }

private:
    void deliverLocked() {
        if (!reader_ || pending_.empty()) return;
        auto batch = std::move(pending_.front());
        pending_.erase(pending_.begin());
        queue_.submit([reader = std::exchange(reader_, nullptr), batch = std::move(batch)]() mutable {
            std::vector<int> protocols(batch.size(), 2);
            reader(std::move(batch), std::move(protocols));
        });
    }
    AsioWorkQueue& queue_;
    Shared& shared_;
    ReadCompletion reader_;
    std::vector<std::vector<Bytes>> pending_;
};

// ---------------------------------------------------------------- packets, written from the RFCs

uint16_t checksum(const uint8_t* data, size_t length, uint32_t sum = 0) {
    for (size_t i = 0; i < length; ++i) sum += (i % 2 == 0) ? uint32_t(data[i]) << 8 : data[i];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

// Big-endian, `width` bytes of `v` at `at`.
void put(Bytes& b, size_t at, uint32_t v, int width = 2) {
    for (int i = width - 1; i >= 0; --i, v >>= 8) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v);
}

uint32_t pseudoHeaderSum(const Bytes& ip, size_t l4Length) {
    uint32_t sum = 0;
    for (size_t i = 12; i < 20; i += 2) sum += readBE16(&ip[i]);
    return sum + 17 + static_cast<uint32_t>(l4Length);
}

Bytes ipv4(uint8_t protocol, uint32_t source, uint32_t destination, const Bytes& l4) {
    Bytes p(20);
    p[0] = 0x45;
    put(p, 2, static_cast<uint16_t>(20 + l4.size()));
    put(p, 4, 0x1234);
    put(p, 6, 0x4000);  // don't fragment
    p[8] = 61;
    p[9] = protocol;
    put(p, 12, source, 4);
    put(p, 16, destination, 4);
    put(p, 10, checksum(p.data(), 20));
    p.insert(p.end(), l4.begin(), l4.end());
    return p;
}

Bytes payloadOf(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

Bytes echoRequest(uint32_t source, uint16_t id, uint16_t seq, const Bytes& payload) {
    Bytes icmp(8);
    icmp[0] = 8;
    put(icmp, 4, id);
    put(icmp, 6, seq);
    icmp.insert(icmp.end(), payload.begin(), payload.end());
    put(icmp, 2, checksum(icmp.data(), icmp.size()));
    return ipv4(1, source, kFarAddress, icmp);
}

Bytes udpDatagram(uint32_t source, uint16_t sport, uint16_t dport, const Bytes& payload) {
    Bytes udp(8);
    put(udp, 0, sport);
    put(udp, 2, dport);
    put(udp, 4, static_cast<uint16_t>(8 + payload.size()));
    udp.insert(udp.end(), payload.begin(), payload.end());
    Bytes packet = ipv4(17, source, kFarAddress, udp);
    put(packet, 26, checksum(&packet[20], udp.size(), pseudoHeaderSum(packet, udp.size())));
    return packet;
}

// The reply the network owes `request`: addresses swapped, valid header checksum.
void expectReplyHeader(const Bytes& reply, const Bytes& request) {
    ASSERT_GE(reply.size(), 28u);
    EXPECT_EQ(reply[0], 0x45);
    EXPECT_EQ(readBE16(&reply[2]), reply.size());
    EXPECT_EQ(reply[9], request[9]);
    EXPECT_EQ(readBE32(&reply[12]), readBE32(&request[16]));
    EXPECT_EQ(readBE32(&reply[16]), readBE32(&request[12]));
    EXPECT_EQ(checksum(reply.data(), 20), 0) << "IPv4 header checksum";
}

// The echo responder behind a gate: while the gate is closed, the server's
// network thread waits in deliver() and reads nothing more from its sockets,
// as a server that cannot keep up would.
class GatedEcho final : public srv::EchoResponder {
public:
    void deliver(const Bytes& packet) override {
        {
            std::unique_lock lock(mutex_);
            opened_.wait(lock, [&] { return open_; });
        }
        srv::EchoResponder::deliver(packet);
    }
    void setOpen(bool open) {
        std::lock_guard lock(mutex_);
        open_ = open;
        opened_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = true;
};

// ---------------------------------------------------------------- fixture

class LoopbackTunnel : public ::testing::TestWithParam<std::string> {
protected:
    struct StartOutcome {
        bool done = false;
        std::optional<TunnelError> error;
        std::vector<std::string> events;  // as they stood when the completion ran
    };

    LoopbackTunnel() : server(serverConfig(GetParam()), echo) {
        server.start();
        host.configuration = {{"server", "127.0.0.1:" + std::to_string(server.controlPort())},
                              {"secretKey", "s3cret"},
                              {"deviceID", kDevice}};
        queue.startThread();
    }

    ~LoopbackTunnel() override {
        stop();
        queue.stopAndJoin();
        server.stop();
    }

    // "cipher" or "cipher+tcp" (the server grants the TCP data channel).
    static srv::ServerConfig serverConfig(const std::string& param) {
        srv::ServerConfig c;
        const auto plus = param.find('+');
        c.cipher = param.substr(0, plus);
        if (plus != std::string::npos) c.transport = param.substr(plus + 1);
        c.secrets = {"s3cret"};
        c.tunnelSubnet = "10.7.0.0/24";
        c.tunnelMTU = kGrantedMTU;
        c.controlTimeout = 2s;
        return c;
    }

    StartOutcome start() {
        auto outcome = std::make_shared<StartOutcome>();
        provider->startTunnel([this, outcome](std::optional<TunnelError> error) {
            std::lock_guard lock(shared.mutex);
            outcome->error = error;
            outcome->events = vantu::testing::eventMessages(*provider);
            outcome->done = true;
            shared.changed.notify_all();
        });
        // Bounded by the provider's own deadlines (control 4 s, handshake 8 s).
        EXPECT_TRUE(shared.waitFor([&] { return outcome->done; }, 10s)) << "start never completed";
        std::lock_guard lock(shared.mutex);
        return *outcome;
    }

    // Stops the tunnel; true once the completion ran, with the channel released.
    bool stop() {
        // Shared with the completion, which may outlive a wait that timed out.
        auto state = std::make_shared<std::pair<bool, bool>>(false, false);  // done, released
        provider->stopTunnel(1, [this, state] {
            std::lock_guard lock(shared.mutex);
            state->second = !provider->udpSession && !provider->session && provider->dataFD < 0;
            state->first = true;
            shared.changed.notify_all();
        });
        const bool finished = shared.waitFor([&] { return state->first; }, 3s);
        std::lock_guard lock(shared.mutex);
        return finished && state->second;
    }

    uint32_t tunnelAddress() { return server.sessions().addressOf(kDevice).value_or(0); }

    // Injects the batches one after another and waits for `count` packets more.
    std::vector<Bytes> roundTrip(const std::vector<std::vector<Bytes>>& batches, size_t count) {
        const size_t before = [&] { std::lock_guard lock(shared.mutex); return flow.written.size(); }();
        for (const auto& batch : batches) flow.inject(batch);
        EXPECT_TRUE(shared.waitFor([&] { return flow.written.size() >= before + count; }, 3s))
            << "replies missing";
        std::lock_guard lock(shared.mutex);
        return {flow.written.begin() + static_cast<std::ptrdiff_t>(before), flow.written.end()};
    }

    Shared shared;
    std::shared_ptr<GatedEcho> echo = std::make_shared<GatedEcho>();
    srv::VantuServer server;
    AsioWorkQueue queue;
    MemoryPacketFlow flow{queue, shared};
    LoopbackHost host{queue, shared};
    sim::MemoryDefaultsStore defaults;
    sim::CapturingLog log;
    std::shared_ptr<PacketTunnelProvider> provider =
        PacketTunnelProvider::create(Platform{queue, flow, host, defaults, log});
};

TEST_P(LoopbackTunnel, StartOpensControlVerifiesDataChannelAndAppliesGrantedSettings) {
    const StartOutcome outcome = start();
    ASSERT_FALSE(outcome.error.has_value()) << outcome.error->description();

    const std::string control = "127.0.0.1:" + std::to_string(server.controlPort());
    const std::string tunnelIP = srv::formatIPv4(tunnelAddress());
    EXPECT_TRUE(srv::parseTunnelSubnet("10.7.0.0/24").contains(tunnelAddress())) << tunnelIP;
    ASSERT_EQ(outcome.events.size(), 7u) << ::testing::PrintToString(outcome.events);
    EXPECT_EQ(outcome.events[0], "startTunnel");
    EXPECT_EQ(outcome.events[1].rfind("config server=" + control + " ", 0), 0u) << outcome.events[1];
    EXPECT_EQ(outcome.events[2], "opening control session to " + control);
    EXPECT_EQ(outcome.events[3], "control session opened tunnelIP=" + tunnelIP + " dataPort=" +
                                     std::to_string(server.dataPort()) + " mtu=" + std::to_string(kGrantedMTU) +
                                     " transport=udp");
    EXPECT_EQ(outcome.events[4], "server address resolved to 127.0.0.1");
    EXPECT_EQ(outcome.events[5], "UDP data channel verified");
    EXPECT_EQ(outcome.events[6], "network settings applied");

    std::lock_guard lock(shared.mutex);
    ASSERT_EQ(host.applied.size(), 1u);
    const TunnelNetworkSettings& settings = host.applied[0];
    EXPECT_EQ(settings.ipv4Addresses, std::vector<std::string>{tunnelIP});
    EXPECT_EQ(settings.mtu, kGrantedMTU);
    EXPECT_EQ(settings.tunnelRemoteAddress, "127.0.0.1");
    EXPECT_EQ(settings.excludedRoutes, (std::vector<IPv4Route>{{"127.0.0.1", "255.255.255.255"}}));
    EXPECT_TRUE(host.cancellations.empty());
    EXPECT_GE(server.stats().pingsAnswered.load(), 1u);  // the handshake went through the server
}

TEST_P(LoopbackTunnel, EchoRequestsAndUdpDatagramsComeBackAsValidReplies) {
    ASSERT_FALSE(start().error.has_value());
    const uint32_t self = tunnelAddress();

    // Three requests in one batch (one of odd length, one filling the MTU),
    // then two batches of one.
    const std::vector<size_t> sizes = {56, 1, static_cast<size_t>(kGrantedMTU) - 28, 333, 0};
    std::vector<Bytes> requests;
    for (uint16_t seq = 0; seq < sizes.size(); ++seq) {
        requests.push_back(echoRequest(self, 0x4242, seq, payloadOf(sizes[seq], static_cast<uint8_t>(seq))));
    }
    const auto replies = roundTrip({{requests[0], requests[1], requests[2]}, {requests[3]}, {requests[4]}}, 5);
    ASSERT_EQ(replies.size(), 5u);
    std::vector<bool> seen(sizes.size(), false);
    for (const Bytes& reply : replies) {
        ASSERT_GE(reply.size(), 28u);
        const uint16_t seq = readBE16(&reply[26]);
        ASSERT_LT(seq, sizes.size());
        SCOPED_TRACE("seq " + std::to_string(seq));
        EXPECT_FALSE(seen[seq]) << "duplicate reply";
        seen[seq] = true;
        const Bytes& request = requests[seq];
        expectReplyHeader(reply, request);
        ASSERT_EQ(reply.size(), request.size());
        EXPECT_EQ(reply[20], 0) << "echo reply type";
        EXPECT_EQ(reply[21], 0);
        EXPECT_EQ(readBE16(&reply[24]), 0x4242);
        EXPECT_EQ(Bytes(reply.begin() + 28, reply.end()), Bytes(request.begin() + 28, request.end()));
        EXPECT_EQ(checksum(&reply[20], reply.size() - 20), 0) << "ICMP checksum";
    }
    EXPECT_EQ(echo->echoedICMP(), 5u);

    const Bytes datagram = udpDatagram(self, 40000, 7, bytesOf("hello over the tunnel!"));
    const auto echoed = roundTrip({{datagram}}, 1);
    ASSERT_EQ(echoed.size(), 1u);
    const Bytes& reply = echoed[0];
    expectReplyHeader(reply, datagram);
    ASSERT_EQ(reply.size(), datagram.size());
    EXPECT_EQ(readBE16(&reply[20]), 7);
    EXPECT_EQ(readBE16(&reply[22]), 40000);
    EXPECT_EQ(Bytes(reply.begin() + 28, reply.end()), bytesOf("hello over the tunnel!"));
    EXPECT_EQ(checksum(&reply[20], reply.size() - 20, pseudoHeaderSum(reply, reply.size() - 20)), 0)
        << "UDP checksum";
    EXPECT_EQ(echo->echoedUDP(), 1u);
}

TEST_P(LoopbackTunnel, StopEndsTrafficAndTheNextStartWorksAgain) {
    ASSERT_FALSE(start().error.has_value());
    const uint32_t first = tunnelAddress();
    ASSERT_EQ(roundTrip({{echoRequest(first, 1, 1, payloadOf(32, 1))}}, 1).size(), 1u);

    ASSERT_TRUE(stop()) << "stop did not complete or left the channel open";
    const uint64_t received = server.stats().datagramsReceived.load();
    // The read loop still hands over packets, but nothing may leave any more.
    flow.inject({echoRequest(first, 1, 2, payloadOf(32, 2))});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.stats().datagramsReceived.load(), received);
    EXPECT_EQ(echo->echoedICMP(), 1u);
    {
        std::lock_guard lock(shared.mutex);
        EXPECT_EQ(flow.written.size(), 1u);
        EXPECT_TRUE(host.cancellations.empty());
    }

    // A stop leaves the provider ready for the next start, with a fresh session.
    ASSERT_FALSE(start().error.has_value());
    EXPECT_EQ(server.stats().sessionsOpened.load(), 2u);
    const auto replies = roundTrip({{echoRequest(tunnelAddress(), 1, 3, payloadOf(32, 3))}}, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(readBE16(&replies[0][26]), 3);
}

TEST_P(LoopbackTunnel, WrongSecretFailsTheStartWithTheServersMessage) {
    host.configuration["secretKey"] = "not-the-secret";
    const StartOutcome outcome = start();
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(*outcome.error, TunnelError::fromVantu("invalid secret"));
    ASSERT_FALSE(outcome.events.empty());
    EXPECT_EQ(outcome.events.back(), "startTunnel failed: invalid secret");
    EXPECT_EQ(server.stats().controlRejected.load(), 1u);
    EXPECT_EQ(server.stats().datagramsReceived.load(), 0u);
    std::lock_guard lock(shared.mutex);
    EXPECT_EQ(host.udpSessionsCreated, 0);
    EXPECT_TRUE(host.applied.empty());
}

// The same tunnel on the TCP data channel.
class LoopbackTCPTunnel : public LoopbackTunnel {
protected:
    // A failed assertion must not leave the server's thread waiting at the
    // gate, or stopping the server would wait forever.
    ~LoopbackTCPTunnel() override { echo->setOpen(true); }

    // Runs on the queue thread and hands the result back.
    template <typename F>
    auto onQueue(F f) {
        using R = decltype(f());
        auto result = std::make_shared<std::optional<R>>();
        queue.submit([this, f, result] {
            std::lock_guard lock(shared.mutex);
            *result = f();
            shared.changed.notify_all();
        });
        EXPECT_TRUE(shared.waitFor([&] { return result->has_value(); }, 5s));
        std::lock_guard lock(shared.mutex);
        return result->value_or(R{});
    }
};

TEST_P(LoopbackTCPTunnel, CarriesTrafficAndReportsBackPressureFromASlowServer) {
    const StartOutcome outcome = start();
    ASSERT_FALSE(outcome.error.has_value()) << outcome.error->description();
    ASSERT_GE(outcome.events.size(), 2u);
    EXPECT_EQ(outcome.events[outcome.events.size() - 2], "TCP data channel verified");
    EXPECT_GE(server.stats().streamConnections.load(), 1u);
    const uint32_t self = tunnelAddress();
    const auto replies = roundTrip({{echoRequest(self, 7, 1, payloadOf(1200, 1)), echoRequest(self, 7, 2, payloadOf(3, 2))}}, 2);
    ASSERT_EQ(replies.size(), 2u);
    for (const Bytes& reply : replies) EXPECT_EQ(reply[20], 0) << "echo reply";

    // The server stops reading; the client keeps sending until its kernel
    // buffers and then its own write buffer are full.
    echo->setOpen(false);
    const uint64_t deliveredBefore = server.stats().packetsDelivered.load();
    // TCP segments: the echo responder ignores them, so nothing comes back.
    const Bytes segment = ipv4(6, self, kFarAddress, payloadOf(1360, 9));
    const size_t total = 20000;  // about 27 MB, well past 8 MiB and the socket buffers
    for (size_t sent = 0; sent < total; sent += 100) flow.inject(std::vector<Bytes>(100, segment));
    const auto overflowsOnceQueued = [&] {
        return onQueue([this] { return provider->tcpSendAttempts > 0 ? provider->tcpSendBufferOverflows : int64_t{0}; });
    };
    int64_t overflows = 0;
    for (int i = 0; i < 100 && (overflows = overflowsOnceQueued()) == 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_GT(overflows, 0) << "the write buffer never reached its bound";
    const auto pending = onQueue([this] {
        return static_cast<int64_t>(provider->tcpWriteBuffer.size()) - provider->tcpWriteOffset;
    });
    EXPECT_LE(pending, PacketTunnelProvider::maxTCPWriteBufferBytes);
    // The kernel keeps opening the server socket's window a little as data
    // arrives, even unread, so the buffer may drain by a few segments.
    EXPECT_GT(pending, PacketTunnelProvider::maxTCPWriteBufferBytes - 256 * 1024);

    // The server catches up. Every segment is either delivered or counted
    // as refused by the full buffer; none is lost without a trace, and the
    // channel stays up.
    echo->setOpen(true);
    const auto accounted = [&] {
        const int64_t refused = onQueue([this] { return provider->tcpSendBufferOverflows; });
        return server.stats().packetsDelivered.load() - deliveredBefore + static_cast<uint64_t>(refused);
    };
    for (int i = 0; i < 400 && accounted() < total; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(accounted(), total);
    const auto events = onQueue([this] { return vantu::testing::eventMessages(*provider); });
    // One event per episode, not one per refused frame: the window growth
    // above can end an episode and start another, but thousands of refused
    // frames leave only a few events.
    const auto overflowEvents = std::count(events.begin(), events.end(), "TCP send failed: TCP send buffer overflow");
    EXPECT_GE(overflowEvents, 1);
    EXPECT_LE(overflowEvents, 5);
    EXPECT_GT(onQueue([this] { return provider->tcpSendBufferOverflows; }), 1000);
    EXPECT_NE(onQueue([this] { return provider->tcpDiagnostics(); }).find(" bufferOverflows="), std::string::npos);
    {
        std::lock_guard lock(shared.mutex);
        EXPECT_TRUE(host.cancellations.empty());
    }
    const auto after = roundTrip({{echoRequest(self, 7, 3, payloadOf(64, 3))}}, 1);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(readBE16(&after[0][26]), 3);
}

INSTANTIATE_TEST_SUITE_P(Stream, LoopbackTCPTunnel, ::testing::Values("aes-128-gcm+tcp"),
                         [](const ::testing::TestParamInfo<std::string>&) { return std::string("Aes128GcmTcp"); });

INSTANTIATE_TEST_SUITE_P(Ciphers, LoopbackTunnel, ::testing::Values("aes-128-gcm", "chacha20-poly1305"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param == "aes-128-gcm" ? std::string("Aes128Gcm")
                                                                : std::string("ChaCha20Poly1305");
                         });

}  // namespace

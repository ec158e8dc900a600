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
#include "tests/loopback_test_support.h"
#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;
namespace srv = vantu::server;
using namespace std::chrono_literals;

namespace {

constexpr const char* kDevice = "loopback-device";
constexpr int64_t kGrantedMTU = 1380;  // not the client's or server's default, so it must come from the grant
constexpr uint32_t kFarAddress = 0xC6336402;  // 198.51.100.2: answered by the echo responder, never routed

// One lock and condition for everything the queue thread hands to the test
// thread. The host and the packet flow live on the queue thread; the test reads
// them through onQueue() or after a completion that took the lock.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    template <typename Pred>
    bool waitFor(Pred done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
};

// The simulated host's bookkeeping around real sockets (mark 0).
class LoopbackHost final : public sim::SimTunnelHost {
public:
    explicit LoopbackHost(AsioWorkQueue& queue) : SimTunnelHost(queue), queue_(queue) {
        path = NetworkPath{PathStatus::satisfied, false, false, "lo"};
    }
    int udpSessionsCreated = 0;
    std::shared_ptr<UDPSession> createUDPSession(const std::string& host, const std::string& port) override {
        ++udpSessionsCreated;
        return MarkedUDPSession::create(queue_, host, port, /*mark*/ 0);
    }
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string& host, const std::string& port) override {
        return MarkedTCPConnection::create(queue_, host, port, /*mark*/ 0);
    }

private:
    AsioWorkQueue& queue_;
};

Bytes payloadOf(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

Bytes echoRequest(uint32_t source, uint16_t id, uint16_t seq, const Bytes& payload) {
    return icmpEchoRequest(source, kFarAddress, id, seq, payload);
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
        host.protocol = ProtocolConfiguration{
            true, nlohmann::json{{"server", "127.0.0.1:" + std::to_string(server.controlPort())},
                                 {"secretKey", "s3cret"}, {"deviceID", kDevice}}};
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
            state->second = !provider->dataChannel.udpSession && !provider->session && provider->dataChannel.dataFD < 0;
            state->first = true;
            shared.changed.notify_all();
        });
        const bool finished = shared.waitFor([&] { return state->first; }, 3s);
        std::lock_guard lock(shared.mutex);
        return finished && state->second;
    }

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

    uint32_t tunnelAddress() { return server.sessions().addressOf(kDevice).value_or(0); }

    // Hands a batch to the provider's read loop, as the system would.
    void inject(std::vector<Bytes> batch) {
        queue.submit([this, batch = std::move(batch)]() mutable { flow.inject(std::move(batch)); });
    }

    // Injects the batches one after another and waits for `count` packets more.
    std::vector<Bytes> roundTrip(const std::vector<std::vector<Bytes>>& batches, size_t count) {
        const size_t before = onQueue([this] { return flow.written.size(); });
        for (const auto& batch : batches) inject(batch);
        for (int i = 0; i < 300 && onQueue([this] { return flow.written.size(); }) < before + count; ++i)
            std::this_thread::sleep_for(10ms);
        return onQueue([this, before] {
            EXPECT_EQ(flow.writtenProtocols, std::vector<int>(flow.written.size(), AF_INET));
            return std::vector<Bytes>(flow.written.begin() + static_cast<std::ptrdiff_t>(before), flow.written.end());
        });
    }

    Shared shared;
    std::shared_ptr<GatedEcho> echo = std::make_shared<GatedEcho>();
    srv::VantuServer server;
    AsioWorkQueue queue;
    sim::SimPacketFlow flow{queue};
    LoopbackHost host{queue};
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
    EXPECT_EQ(outcome.events,
              (std::vector<std::string>{
                  "startTunnel", "config server=" + control + " serverRouting=true directCoreUDP=false "
                                 "directCoreTCP=false dns=",
                  "opening control session to " + control,
                  "control session opened tunnelIP=" + tunnelIP + " dataPort=" + std::to_string(server.dataPort()) +
                      " mtu=" + std::to_string(kGrantedMTU) + " transport=udp",
                  "server address resolved to 127.0.0.1", "UDP data channel verified", "network settings applied"}));

    EXPECT_EQ(onQueue([this] { return host.cancellations.size(); }), 0u);
    std::lock_guard lock(shared.mutex);
    ASSERT_EQ(host.appliedSettings.size(), 1u);
    ASSERT_TRUE(host.appliedSettings[0].has_value());
    const TunnelNetworkSettings& settings = *host.appliedSettings[0];
    EXPECT_EQ(settings.ipv4Addresses, std::vector<std::string>{tunnelIP});
    EXPECT_EQ(settings.mtu, kGrantedMTU);
    EXPECT_EQ(settings.tunnelRemoteAddress, "127.0.0.1");
    EXPECT_EQ(settings.excludedRoutes, (std::vector<IPv4Route>{{"127.0.0.1", "255.255.255.255"}}));
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
        expectEchoReply(reply, requests[seq]);
    }
    EXPECT_EQ(echo->echoedICMP(), 5u);

    const Bytes datagram = udpDatagram(self, kFarAddress, 40000, 7, bytesOf("hello over the tunnel"));
    const auto echoed = roundTrip({{datagram}}, 1);
    ASSERT_EQ(echoed.size(), 1u);
    expectEchoReply(echoed[0], datagram);
    EXPECT_EQ(echo->echoedUDP(), 1u);
}

TEST_P(LoopbackTunnel, StopEndsTrafficAndTheNextStartWorksAgain) {
    ASSERT_FALSE(start().error.has_value());
    const uint32_t first = tunnelAddress();
    ASSERT_EQ(roundTrip({{echoRequest(first, 1, 1, payloadOf(32, 1))}}, 1).size(), 1u);

    ASSERT_TRUE(stop()) << "stop did not complete or left the channel open";
    const uint64_t received = server.stats().datagramsReceived.load();
    // The read loop still hands over packets, but nothing may leave any more.
    inject({echoRequest(first, 1, 2, payloadOf(32, 2))});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.stats().datagramsReceived.load(), received);
    EXPECT_EQ(echo->echoedICMP(), 1u);
    EXPECT_EQ(onQueue([this] { return flow.written.size(); }), 1u);
    EXPECT_EQ(onQueue([this] { return host.cancellations.size(); }), 0u);

    // A stop leaves the provider ready for the next start, with a fresh session.
    ASSERT_FALSE(start().error.has_value());
    EXPECT_EQ(server.stats().sessionsOpened.load(), 2u);
    const auto replies = roundTrip({{echoRequest(tunnelAddress(), 1, 3, payloadOf(32, 3))}}, 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(readBE16(&replies[0][26]), 3);
}

TEST_P(LoopbackTunnel, WrongSecretFailsTheStartWithTheServersMessage) {
    (*host.protocol->providerConfiguration)["secretKey"] = "not-the-secret";
    const StartOutcome outcome = start();
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(*outcome.error, TunnelError::fromVantu("invalid secret"));
    ASSERT_FALSE(outcome.events.empty());
    EXPECT_EQ(outcome.events.back(), "startTunnel failed: invalid secret");
    EXPECT_EQ(server.stats().controlRejected.load(), 1u);
    EXPECT_EQ(server.stats().datagramsReceived.load(), 0u);
    std::lock_guard lock(shared.mutex);
    EXPECT_EQ(host.udpSessionsCreated, 0);
    EXPECT_TRUE(host.appliedSettings.empty());
}

// The same tunnel on the TCP data channel.
class LoopbackTCPTunnel : public LoopbackTunnel {
protected:
    // A failed assertion must not leave the server's thread waiting at the
    // gate, or stopping the server would wait forever.
    ~LoopbackTCPTunnel() override { echo->setOpen(true); }
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
    const Bytes segment = ipv4Message(6, self, kFarAddress, payloadOf(1360, 9));
    const size_t total = 20000;  // about 27 MB, well past 8 MiB and the socket buffers
    for (size_t sent = 0; sent < total; sent += 100) inject(std::vector<Bytes>(100, segment));
    const auto overflowsOnceQueued = [&] {
        return onQueue([this] { return provider->dataChannel.tcpSendAttempts > 0 ? provider->dataChannel.tcpSendBufferOverflows : int64_t{0}; });
    };
    int64_t overflows = 0;
    for (int i = 0; i < 100 && (overflows = overflowsOnceQueued()) == 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_GT(overflows, 0) << "the write buffer never reached its bound";
    const auto pending = onQueue([this] {
        return static_cast<int64_t>(provider->dataChannel.tcpWriteBuffer.size()) - provider->dataChannel.tcpWriteOffset;
    });
    EXPECT_LE(pending, DataChannelState::maxTCPWriteBufferBytes);
    // The kernel keeps opening the server socket's window a little as data
    // arrives, even unread, so the buffer may drain by a few segments.
    EXPECT_GT(pending, DataChannelState::maxTCPWriteBufferBytes - 256 * 1024);

    // The server catches up. Every segment is either delivered or counted
    // as refused by the full buffer; none is lost without a trace, and the
    // channel stays up.
    echo->setOpen(true);
    const auto accounted = [&] {
        const int64_t refused = onQueue([this] { return provider->dataChannel.tcpSendBufferOverflows; });
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
    // How many frames are refused depends on how fast the server's kernel
    // drains meanwhile (a sanitizer build injects more slowly); what holds
    // is that each event stands for many refusals.
    EXPECT_GT(onQueue([this] { return provider->dataChannel.tcpSendBufferOverflows; }), 50 * overflowEvents);
    EXPECT_NE(onQueue([this] { return provider->tcpDiagnostics(); }).find(" bufferOverflows="), std::string::npos);
    EXPECT_EQ(onQueue([this] { return host.cancellations.size(); }), 0u);
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

// The packet read loop and the direct-core gate in front of the tunnel.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::array<uint8_t, 4> kDirect = {203, 0, 113, 5};
const std::array<uint8_t, 4> kElsewhere = {198, 51, 100, 99};

// A packet flow that notes, at each read request, how many datagrams the
// client had written by then, and lets the test hand over batches itself.
class RecordingFlow : public PacketFlow {
public:
    explicit RecordingFlow(std::function<size_t()> sentSoFar) : sentSoFar_(std::move(sentSoFar)) {}
    void readPackets(ReadCompletion completion) override {
        sentAtRequest.push_back(sentSoFar_());
        pending_ = std::move(completion);
    }
    void writePackets(const std::vector<Bytes>&, const std::vector<int>&) override {}
    void deliver(std::vector<Bytes> batch) {
        ASSERT_TRUE(pending_);
        std::exchange(pending_, nullptr)(std::move(batch), {});
    }
    std::vector<size_t> sentAtRequest;

private:
    std::function<size_t()> sentSoFar_;
    ReadCompletion pending_;
};

TEST(ReadLoop, BatchesAreSentInOrderWithoutNonIPv4Packets) {
    ProviderHarness h;
    h.verifyChannel();
    const Bytes a = ipv4Packet(40, 17, kElsewhere, 443, 0x0a);
    const Bytes b = ipv4Packet(52, 6, kElsewhere, 80, 0x0b);
    const Bytes c = ipv4Packet(28, 17, kDirect, 123, 0x0c);
    Bytes v6(40, 0);
    v6[0] = 0x60;

    h.provider->readPackets();
    EXPECT_EQ(h.sim.packetFlow.readRequests, 1);
    h.sim.packetFlow.inject({a, Bytes{}, v6, b});
    h.sim.packetFlow.inject({c});
    h.run();
    EXPECT_EQ(h.sentFrames(*h.udp()), (std::vector<Bytes>{kPingFrame, dataFrame(a), dataFrame(b), dataFrame(c)}));
    EXPECT_EQ(h.sim.packetFlow.readRequests, 3);
    EXPECT_TRUE(h.sim.packetFlow.readPending());
}

TEST(ReadLoop, NextReadIsRequestedOnlyAfterTheWholeBatch) {
    ProviderHarness h;
    h.verifyChannel();
    RecordingFlow flow([&h] { return h.udp()->writes.size(); });
    auto provider = PacketTunnelProvider::create(Platform{h.sim.queue, flow, h.sim.host, h.sim.defaults, h.sim.log});
    provider->session = h.session;
    provider->dataChannel.udpSession = h.provider->dataChannel.udpSession;

    provider->readPackets();
    flow.deliver({ipv4Packet(40, 17, kElsewhere, 1), ipv4Packet(40, 17, kElsewhere, 2), Bytes{0x60},
                  ipv4Packet(40, 17, kElsewhere, 3)});
    flow.deliver({ipv4Packet(40, 17, kElsewhere, 4)});
    // One handshake ping, then three and one data frames.
    EXPECT_EQ(flow.sentAtRequest, (std::vector<size_t>{1, 4, 5}));

    // A batch that arrives after the provider is gone ends the loop.
    provider.reset();
    flow.deliver({ipv4Packet(40, 17, kElsewhere, 5)});
    EXPECT_EQ(flow.sentAtRequest.size(), 3u);
    EXPECT_EQ(h.udp()->writes.size(), 5u);
}

// A TCP segment (data offset 5) with the given flags.
Bytes tcpSegment(const std::array<uint8_t, 4>& to, uint16_t port, uint8_t flags = 0x02) {
    Bytes p = ipv4Packet(40, 6, to, port);
    p[32] = 0x50;
    p[33] = flags;
    return p;
}

TEST(ReadLoop, DirectFlowsAreRelayedWithAnActivityPingAtMostEveryTenSeconds) {
    ProviderHarness h;
    h.provider->session = h.session;
    h.provider->directCore.udpEnabled = true;
    h.provider->learnedRoutes.routes = {"203.0.113.0/24"};
    sim::SimUDPSession* data = nullptr;  // the data channel's session, once there is one
    const auto pingsAfter = [&](const Bytes& packet, bool relayed) {
        EXPECT_EQ(h.provider->handleDirectCorePacket(packet), relayed);
        return data ? h.pings(*data) : 0;
    };
    const Bytes direct = ipv4Packet(40, 17, kDirect, 443);
    EXPECT_EQ(pingsAfter(direct, true), 0u);  // relayed, but no ping before the handshake

    h.verifyChannel();
    data = h.udp();
    h.provider->keepalive.source->cancel();  // only activity pings are counted here
    EXPECT_EQ(pingsAfter(direct, true), 2u);
    EXPECT_EQ(h.provider->directCore.lastActivityKeepaliveAt, h.sim.queue.now());
    h.provider->readPackets();
    h.at(9.9);
    h.sim.packetFlow.inject({direct, direct});
    h.run();
    EXPECT_EQ(h.pings(*data), 2u);
    h.at(10.0);
    h.sim.packetFlow.inject({direct});
    h.run();
    EXPECT_EQ(h.pings(*data), 3u);
    for (const Bytes& frame : h.sentFrames(*data)) EXPECT_NE(frame, dataFrame(direct)) << "a direct packet in the tunnel";
    EXPECT_EQ(h.provider->directCore.udpPacketsIntercepted, 5);

    // Due again at 20 s, but none of these is a relayable direct flow: DNS,
    // not direct, TCP with TCP relaying off, a fragment, a truncated header.
    h.at(25.0);
    Bytes fragment = direct;
    fragment[6] = 0x20;
    for (const Bytes& p : {ipv4Packet(40, 17, kDirect, 53), ipv4Packet(40, 17, kElsewhere, 443),
                           tcpSegment(kDirect, 443), fragment, Bytes{0x45, 0, 0, 20}}) {
        EXPECT_EQ(pingsAfter(p, false), 3u);
    }
    // TCP relaying on, but switched off for this session; then on.
    h.provider->directCore.tcpEnabled = true;
    h.provider->directCore.tcpDisabledForSession = true;
    EXPECT_EQ(pingsAfter(tcpSegment(kDirect, 443), false), 3u);
    h.provider->directCore.tcpDisabledForSession = false;
    EXPECT_EQ(pingsAfter(tcpSegment(kDirect, 443), true), 4u);
    EXPECT_EQ(pingsAfter(tcpSegment(kDirect, 53), false), 4u);

    // Only TCP on: direct UDP goes into the tunnel; and no pings during a recovery.
    h.at(40.0);
    h.provider->directCore.udpEnabled = false;
    EXPECT_EQ(pingsAfter(direct, false), 4u);
    h.provider->directCore.udpEnabled = true;
    h.provider->recovery.inProgress = true;
    EXPECT_EQ(pingsAfter(direct, true), 4u);
}

TEST(ReadLoop, RouteSetJoinsLearnedRoutesAndGlobalPolicyRanges) {
    ProviderHarness h;
    RoutingPolicy policy;
    policy.direct_ips = std::vector<std::string>{"8.8.8.77/24", "192.168.0.0/16", "0.0.0.0/0",    "100.64.0.0/10",
                                                 "224.0.0.0/4", "9.9.9.9",        "not an address"};
    h.provider->session = makeSession("udp", policy);
    h.provider->learnedRoutes.routes = {"203.0.113.7"};
    EXPECT_EQ(h.provider->currentCoreDirectRoutes(), (std::set<std::string>{"203.0.113.7", "8.8.8.0/24", "9.9.9.9"}));

    // A global address with prefix 0 becomes the whole address space.
    policy.direct_ips = std::vector<std::string>{"8.8.8.8/0"};
    h.session = makeSession("udp", policy);
    h.provider->learnedRoutes.routes.clear();
    h.provider->directCore.udpEnabled = true;
    h.verifyChannel();
    sim::SimUDPSession* data = h.udp();
    EXPECT_EQ(h.provider->currentCoreDirectRoutes(), std::set<std::string>{"0.0.0.0/0"});
    EXPECT_TRUE(h.provider->handleDirectCorePacket(ipv4Packet(40, 17, kElsewhere, 443)));
    EXPECT_EQ(h.pings(*data), 2u);

    // The gate's compiled routes follow the learned set and the session.
    policy.direct_ips = std::vector<std::string>{"9.9.9.0/24"};
    h.provider->session = makeSession("udp", policy);
    EXPECT_FALSE(h.provider->handleDirectCorePacket(ipv4Packet(40, 17, kElsewhere, 443)));
    EXPECT_TRUE(h.provider->handleDirectCorePacket(ipv4Packet(40, 17, {9, 9, 9, 1}, 443)));
    h.provider->learnedRoutes.routes.insert("198.51.100.0/24");
    EXPECT_TRUE(h.provider->handleDirectCorePacket(ipv4Packet(40, 17, kElsewhere, 443)));
}

}  // namespace
}  // namespace vantu::testing

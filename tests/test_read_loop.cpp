// The packet read loop and the direct-core gate in front of the tunnel.

#include <algorithm>
#include <gtest/gtest.h>

#include "tests/DataChannelHarness.h"

namespace vantu::testing {
namespace {

const uint8_t kDirect[4] = {203, 0, 113, 5};
const uint8_t kElsewhere[4] = {198, 51, 100, 99};
const Bytes kPing{0x01, 'p', 'i', 'n', 'g'};

Bytes dataFrame(const Bytes& packet) {
    Bytes frame(1 + packet.size());
    frame[0] = 0x02;
    std::copy(packet.begin(), packet.end(), frame.begin() + 1);
    return frame;
}

// A packet flow that notes, at each read request, how many datagrams the
// client had written by then, and lets the test hand over batches itself.
class RecordingFlow : public PacketFlow {
public:
    explicit RecordingFlow(const std::function<size_t()>& sentSoFar) : sentSoFar_(sentSoFar) {}
    void readPackets(ReadCompletion completion) override {
        sentAtRequest.push_back(sentSoFar_());
        pending_ = std::move(completion);
    }
    void writePackets(const std::vector<Bytes>&, const std::vector<int>&) override {}
    void deliver(std::vector<Bytes> batch) {
        ASSERT_TRUE(pending_);
        ReadCompletion completion = std::move(pending_);
        pending_ = nullptr;
        completion(std::move(batch), std::vector<int>(2, 2));
    }
    std::vector<size_t> sentAtRequest;

private:
    std::function<size_t()> sentSoFar_;
    ReadCompletion pending_;
};

TEST(ReadLoop, BatchesAreHandledInOrderAndFiltered) {
    Harness h;
    h.verify();
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

    const std::vector<Bytes> frames = h.sentFrames(h.udp());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], kPing);  // the handshake
    EXPECT_EQ(frames[1], dataFrame(a));
    EXPECT_EQ(frames[2], dataFrame(b));
    EXPECT_EQ(frames[3], dataFrame(c));
    EXPECT_EQ(h.sim.packetFlow.readRequests, 3);
    EXPECT_TRUE(h.sim.packetFlow.readPending());
}

TEST(ReadLoop, NextReadIsRequestedOnlyAfterTheWholeBatch) {
    Harness h;
    h.verify();
    auto flow = std::make_unique<RecordingFlow>([&h] { return h.udp().writes.size(); });
    auto provider = PacketTunnelProvider::create(Platform{h.sim.queue, *flow, h.sim.host, h.sim.defaults, h.sim.log});
    provider->session = h.session;
    provider->udpSession = h.provider->udpSession;

    provider->readPackets();
    flow->deliver({ipv4Packet(40, 17, kElsewhere, 1), ipv4Packet(40, 17, kElsewhere, 2), Bytes{0x60},
                   ipv4Packet(40, 17, kElsewhere, 3)});
    flow->deliver({ipv4Packet(40, 17, kElsewhere, 4)});
    // One handshake ping, then three and one data frames.
    EXPECT_EQ(flow->sentAtRequest, (std::vector<size_t>{1, 4, 5}));

    // A batch that arrives after the provider is gone ends the loop.
    const std::weak_ptr<PacketTunnelProvider> weak = provider;
    provider.reset();
    ASSERT_TRUE(weak.expired());
    flow->deliver({ipv4Packet(40, 17, kElsewhere, 5)});
    EXPECT_EQ(flow->sentAtRequest.size(), 3u);
    EXPECT_EQ(h.udp().writes.size(), 5u);
}

TEST(ReadLoop, DirectGateSendsActivityPingsForDirectFlows) {
    Harness h;
    h.provider->clientDirectCoreEnabled = true;
    h.provider->dynamicDirectRoutes = {"203.0.113.0/24"};

    // Before the handshake no activity ping is sent.
    EXPECT_FALSE(h.provider->handleDirectCorePacket(ipv4Packet(40, 17, kDirect, 443)));
    EXPECT_TRUE(isDistantPast(h.provider->lastDirectActivityKeepaliveAt));

    h.verify();
    // Only activity pings are of interest here; the channel keepalive's own
    // probes would add pings at 10, 20, ... s.
    h.provider->keepaliveSource->cancel();
    h.provider->readPackets();
    const Bytes direct = ipv4Packet(40, 17, kDirect, 443);
    // Nothing can relay yet, so even a direct packet continues into the tunnel.
    EXPECT_FALSE(h.provider->handleDirectCorePacket(direct));
    EXPECT_EQ(h.pingCount(h.udp()), 2u);
    EXPECT_EQ(h.provider->lastDirectActivityKeepaliveAt, h.now());

    h.at(9.9);
    h.sim.packetFlow.inject({direct, direct});
    h.run();
    EXPECT_EQ(h.pingCount(h.udp()), 2u);
    EXPECT_EQ(h.sentFrames(h.udp()).back(), dataFrame(direct));

    h.at(10.0);
    h.sim.packetFlow.inject({direct});
    h.run();
    EXPECT_EQ(h.pingCount(h.udp()), 3u);

    // Due again at 20 s, but none of these is a relayable direct flow.
    h.at(25.0);
    const Bytes fragment = [] {
        Bytes p = ipv4Packet(40, 17, kDirect, 443);
        p[6] = 0x20;  // more fragments
        return p;
    }();
    h.sim.packetFlow.inject({ipv4Packet(40, 17, kDirect, 53), ipv4Packet(40, 17, kElsewhere, 443),
                             ipv4Packet(60, 6, kDirect, 443), fragment, Bytes{0x45, 0, 0, 20}});
    h.run();
    EXPECT_EQ(h.pingCount(h.udp()), 3u);

    // TCP relaying on, but switched off for this session.
    h.provider->clientDirectTCPEnabled = true;
    h.provider->directTCPDisabledForSession = true;
    EXPECT_FALSE(h.provider->handleDirectCorePacket(ipv4Packet(60, 6, kDirect, 443)));
    EXPECT_EQ(h.pingCount(h.udp()), 3u);
    h.provider->directTCPDisabledForSession = false;
    EXPECT_FALSE(h.provider->handleDirectCorePacket(ipv4Packet(60, 6, kDirect, 443)));
    EXPECT_EQ(h.pingCount(h.udp()), 4u);

    // Only TCP on: direct UDP no longer counts as direct activity.
    h.at(40.0);
    h.provider->clientDirectCoreEnabled = false;
    EXPECT_FALSE(h.provider->handleDirectCorePacket(direct));
    EXPECT_EQ(h.pingCount(h.udp()), 4u);

    // No pings during a recovery either.
    h.provider->clientDirectCoreEnabled = true;
    h.provider->dataRecoveryInProgress = true;
    EXPECT_FALSE(h.provider->handleDirectCorePacket(direct));
    EXPECT_EQ(h.pingCount(h.udp()), 4u);
}

TEST(ReadLoop, RouteSetJoinsLearnedRoutesAndGlobalPolicyRanges) {
    Harness h;
    RoutingPolicy policy;
    policy.direct_ips = std::vector<std::string>{"8.8.8.77/24", "192.168.0.0/16", "0.0.0.0/0",    "100.64.0.0/10",
                                                 "224.0.0.0/4", "9.9.9.9",        "not an address"};
    h.session = std::make_shared<VantuSession>(0x01020304u, testKey(), "aes-128-gcm", "10.7.0.2", 1420, 51820, "udp",
                                               std::vector<std::string>{}, policy);
    h.provider->session = h.session;
    h.provider->dynamicDirectRoutes = {"203.0.113.7"};
    EXPECT_EQ(h.provider->currentCoreDirectRoutes(),
              (std::set<std::string>{"203.0.113.7", "8.8.8.0/24", "9.9.9.9"}));

    // A global address with prefix 0 becomes the whole address space.
    RoutingPolicy everything;
    everything.direct_ips = std::vector<std::string>{"8.8.8.8/0"};
    h.session = std::make_shared<VantuSession>(0x01020304u, testKey(), "aes-128-gcm", "10.7.0.2", 1420, 51820, "udp",
                                               std::vector<std::string>{}, everything);
    h.provider->session = h.session;
    h.provider->dynamicDirectRoutes.clear();
    EXPECT_EQ(h.provider->currentCoreDirectRoutes(), std::set<std::string>{"0.0.0.0/0"});
    h.provider->clientDirectCoreEnabled = true;
    h.verify();
    EXPECT_EQ(h.pingCount(h.udp()), 1u);
    EXPECT_FALSE(h.provider->handleDirectCorePacket(ipv4Packet(40, 17, kElsewhere, 443)));
    EXPECT_EQ(h.pingCount(h.udp()), 2u);
}

}  // namespace
}  // namespace vantu::testing

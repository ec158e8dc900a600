// The keepalive of a verified channel: probes, the silence limit, and the
// default-path checks.

#include <gtest/gtest.h>

#include "tests/DataChannelHarness.h"

namespace vantu::testing {
namespace {

const std::string kSatisfied = "status=satisfied expensive=false constrained=false";

// Handshake pings at 0, 1, 2 s; the pong at 2.5 s starts the keepalive.
void verifyAt2_5(Harness& h) {
    h.start();
    h.at(2.5);
    h.pong();
    ASSERT_EQ(h.completions.size(), 1u);
    ASSERT_FALSE(h.completions[0].has_value());
    ASSERT_EQ(h.pingCount(h.udp()), 3u);
}

TEST(Keepalive, SilentServerTimesOutAtTheFourthProbe) {
    Harness h;
    verifyAt2_5(h);
    EXPECT_TRUE(h.logged("VantuPacketTunnel: keepalive started"));
    EXPECT_EQ(h.provider->lastDataFrameReceivedAt, h.now());
    EXPECT_TRUE(isDistantPast(h.provider->lastKeepaliveProbeAt));
    EXPECT_EQ(h.provider->lastDefaultPathSummary, kSatisfied);

    h.at(12.499);
    EXPECT_EQ(h.pingCount(h.udp()), 3u);  // no probe at once
    h.at(12.5);
    EXPECT_EQ(h.pingCount(h.udp()), 4u);
    EXPECT_EQ(h.provider->lastKeepaliveProbeAt, h.now());
    h.at(22.5);
    EXPECT_EQ(h.pingCount(h.udp()), 5u);
    h.at(32.5);
    EXPECT_EQ(h.pingCount(h.udp()), 6u);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    EXPECT_EQ(h.provider->keepaliveTimeouts, 0);

    h.at(42.5);
    EXPECT_EQ(h.pingCount(*h.sim.host.udpSessions[0]), 6u);
    EXPECT_EQ(h.provider->keepaliveTimeouts, 1);
    EXPECT_EQ(h.provider->lastTunnelFailure, "keepalive timed out: no server frame for 40s");
    EXPECT_TRUE(h.recorded("data channel failed: keepalive timed out: no server frame for 40s"));
    ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
    EXPECT_EQ(h.provider->keepaliveSource, nullptr);
    h.at(100.0);
    EXPECT_EQ(h.provider->keepaliveTimeouts, 1);
    EXPECT_EQ(h.sim.host.cancellations.size(), 1u);
}

TEST(Keepalive, SilenceIsMeasuredFromTheLastFrameInWholeSeconds) {
    Harness h;
    h.verify();
    h.at(0.4);
    h.deliverFrames({Bytes{0x82, 0x45}});  // any frame counts as a sign of life
    h.at(30.0);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    h.at(40.0);
    EXPECT_EQ(h.provider->lastTunnelFailure, "keepalive timed out: no server frame for 39s");
}

TEST(Keepalive, ServerAnsweringEveryPingKeepsTheChannelUp) {
    Harness h;
    h.verify();
    size_t seen = h.udp().writes.size();  // the handshake ping was answered already
    size_t pongs = 0;
    for (int second = 1; second <= 600; ++second) {
        h.at(second);
        std::vector<Bytes> frames = h.sentFrames(h.udp());
        for (; seen < frames.size(); ++seen) {
            if (frames[seen] == Bytes{0x01, 'p', 'i', 'n', 'g'}) {
                h.pong();
                ++pongs;
            }
        }
    }
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    EXPECT_EQ(h.provider->keepaliveTimeouts, 0);
    EXPECT_TRUE(h.provider->handshakeCompleted);
    EXPECT_NE(h.provider->udpSession, nullptr);
    EXPECT_EQ(pongs, 60u);  // one probe every 10 s, none at once
    EXPECT_EQ(h.provider->lastKeepaliveProbeAt, h.now());
}

TEST(Keepalive, PathChangeFailsTheChannelAtTheNextProbe) {
    {
        Harness h;
        h.verify();
        h.at(5.0);
        h.sim.host.path = NetworkPath{PathStatus::satisfied, true, false, "wlan0 192.0.2.1 192.0.2.77"};
        h.at(6.0);
        h.deliverFrames({Bytes{0x82, 0x45}});
        h.at(9.0);
        h.deliverFrames({Bytes{0x82, 0x45}});
        EXPECT_TRUE(h.sim.host.cancellations.empty());
        h.at(10.0);
        const std::string message =
            "network path changed: " + kSatisfied + " -> status=satisfied expensive=true constrained=false";
        EXPECT_EQ(h.provider->lastTunnelFailure, message);
        ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
        EXPECT_EQ(h.sim.host.cancellations[0], TunnelError::fromVantu(message));
        EXPECT_EQ(h.provider->lastDefaultPathSummary, "status=satisfied expensive=true constrained=false");
        EXPECT_EQ(h.provider->lastDefaultPath, h.sim.host.path);
        EXPECT_EQ(h.provider->keepaliveTimeouts, 0);
    }
    // Only the identity changed, and no summary was kept: the old side reads as unknown.
    {
        Harness h;
        h.verify();
        h.provider->lastDefaultPathSummary.clear();
        h.sim.host.path->identity = "eth1 198.51.100.1 198.51.100.50";
        h.at(10.0);
        EXPECT_EQ(h.provider->lastTunnelFailure, "network path changed: status=unknown path=nil -> " + kSatisfied);
    }
}

TEST(Keepalive, UnavailableAndMissingPaths) {
    // A path that is present but unsatisfied ends the tunnel, once.
    {
        Harness h;
        h.verify();
        h.at(15.0);
        h.sim.host.path->status = PathStatus::unsatisfied;
        h.at(20.0);
        const std::string reason =
            "network unavailable during keepalive: status=unsatisfied expensive=false constrained=false";
        EXPECT_EQ(h.provider->keepaliveTimeouts, 1);
        EXPECT_TRUE(h.provider->isTerminatingTunnel);
        EXPECT_EQ(h.provider->lastTunnelFailure, reason);
        ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
        EXPECT_EQ(h.sim.host.cancellations[0], TunnelError::fromVantu(reason));
        h.at(60.0);
        EXPECT_EQ(h.provider->keepaliveTimeouts, 1);
        EXPECT_EQ(h.sim.host.cancellations.size(), 1u);
    }
    // No path information at all is not a lost network: probes go on.
    {
        Harness h;
        h.verify();
        const std::optional<NetworkPath> original = h.sim.host.path;
        h.sim.host.path.reset();
        h.at(30.0);
        EXPECT_EQ(h.pingCount(h.udp()), 4u);
        EXPECT_TRUE(h.sim.host.cancellations.empty());
        EXPECT_EQ(h.provider->lastDefaultPath, original);
        EXPECT_EQ(h.provider->lastDefaultPathSummary, kSatisfied);
    }
}

TEST(Keepalive, ProbesPauseDuringRecovery) {
    Harness h;
    h.verify();
    h.provider->dataRecoveryInProgress = true;
    h.at(60.0);
    EXPECT_EQ(h.pingCount(h.udp()), 1u);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    EXPECT_EQ(h.provider->keepaliveTimeouts, 0);
    h.provider->dataRecoveryInProgress = false;
    h.at(70.0);
    EXPECT_EQ(h.provider->lastTunnelFailure, "keepalive timed out: no server frame for 70s");
}

TEST(Keepalive, DefaultPathSummaryAndAvailability) {
    Harness h;
    h.sim.host.path.reset();
    EXPECT_EQ(h.provider->defaultPathSummary(), "status=unknown path=nil");
    EXPECT_FALSE(h.provider->isDefaultPathUnavailable());

    const struct {
        PathStatus status;
        bool expensive, constrained;
        std::string summary;
        bool unavailable;
    } cases[] = {
        {PathStatus::satisfied, false, false, kSatisfied, false},
        {PathStatus::satisfied, true, true, "status=satisfied expensive=true constrained=true", false},
        {PathStatus::unsatisfied, false, true, "status=unsatisfied expensive=false constrained=true", true},
        {PathStatus::satisfiable, false, false, "status=satisfiable expensive=false constrained=false", true},
        {PathStatus::invalid, true, false, "status=invalid expensive=true constrained=false", true},
    };
    for (const auto& c : cases) {
        h.sim.host.path = NetworkPath{c.status, c.expensive, c.constrained, "eth0"};
        EXPECT_EQ(h.provider->defaultPathSummary(), c.summary);
        EXPECT_EQ(h.provider->isDefaultPathUnavailable(), c.unavailable) << c.summary;
    }
}

}  // namespace
}  // namespace vantu::testing

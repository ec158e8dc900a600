// The keepalive of a verified channel: probes, the silence limit, and the
// default-path checks.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::string kSatisfied = "status=satisfied expensive=false constrained=false";

TEST(Keepalive, SilentServerTimesOutAtTheFourthProbe) {
    ProviderHarness h;
    h.startChannel();
    h.at(2.5);
    h.provider->keepalive.lastProbeAt = h.sim.queue.now();  // left from an earlier channel
    h.pong();
    ASSERT_EQ(h.completions.size(), 1u);
    ASSERT_EQ(h.pings(), 3u);  // the handshake's, at 0, 1, 2 s
    EXPECT_TRUE(h.logged("VantuPacketTunnel: keepalive started"));
    EXPECT_EQ(h.provider->keepalive.lastDataFrameReceivedAt, h.sim.queue.now());
    EXPECT_TRUE(isDistantPast(h.provider->keepalive.lastProbeAt));
    EXPECT_EQ(h.provider->keepalive.lastDefaultPathSummary, kSatisfied);

    h.at(12.499);
    EXPECT_EQ(h.pings(), 3u);
    for (size_t probe = 1; probe <= 3; ++probe) {
        h.at(2.5 + 10.0 * static_cast<double>(probe));
        EXPECT_EQ(h.pings(), 3u + probe);
        EXPECT_EQ(h.provider->keepalive.lastProbeAt, h.sim.queue.now());
    }
    EXPECT_TRUE(h.sim.host.cancellations.empty());

    h.at(42.5);
    EXPECT_EQ(h.pings(), 6u);
    EXPECT_EQ(h.provider->keepalive.timeouts, 1);
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "keepalive timed out: no server frame for 40s");
    EXPECT_TRUE(h.recorded("data channel failed: keepalive timed out: no server frame for 40s"));
    ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
    EXPECT_EQ(h.provider->keepalive.source, nullptr);
    h.at(100.0);
    EXPECT_EQ(h.provider->keepalive.timeouts, 1);
    EXPECT_EQ(h.sim.host.cancellations.size(), 1u);
}

// A session whose sequence numbers are used up must never seal again. The
// first send that cannot seal fails the channel at once, with one event;
// what the read loop or the keepalive tries to send after that is dropped
// without another event (each one would be a write to the store).
TEST(Keepalive, ExhaustedSequenceFailsTheChannelOnceAndLaterSendsAreDropped) {
    ProviderHarness h;
    h.verifyChannel();
    const size_t sent = h.udp()->writes.size();
    h.provider->session->seq = 0;  // 0xFFFFFFFF and then 0 are the last two
    h.provider->sendPingFrame();   // sealed with 0
    h.provider->sendPingFrame();   // would be 1 again
    h.run();
    EXPECT_EQ(h.udp()->writes.size(), sent + 1);
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "UDP send failed: session sequence exhausted");
    EXPECT_EQ(h.sim.host.cancellations,
              std::vector<TunnelError>{TunnelError::fromVantu("UDP send failed: session sequence exhausted")});
    EXPECT_EQ(h.provider->keepalive.source, nullptr);
    const size_t events = h.provider->diagnostics.events.size();
    const int storeWrites = h.sim.defaults.writes;
    EXPECT_EQ(eventMessages(*h.provider).back(), "data channel failed: UDP send failed: session sequence exhausted");

    // The platform has not stopped the tunnel yet: packets keep coming.
    for (int i = 0; i < 50; ++i) h.provider->sendFrame(kClientData, ipv4Packet(60, 17, {192, 0, 2, 9}, 53));
    h.provider->sendPingFrame();
    h.at(60.0);
    EXPECT_EQ(h.provider->diagnostics.events.size(), events);
    EXPECT_EQ(h.sim.defaults.writes, storeWrites);
    EXPECT_EQ(h.sim.host.cancellations.size(), 1u);
    EXPECT_EQ(h.provider->keepalive.timeouts, 0);
    const auto messages = eventMessages(*h.provider);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.find("session sequence exhausted") != m.npos; }),
              1);
}

TEST(Keepalive, ProbesPauseDuringRecoveryAndSilenceCountsWholeSecondsFromTheLastFrame) {
    ProviderHarness h;
    h.verifyChannel();
    h.at(0.4);
    h.deliverFrames({Bytes{kServerData, 0x45}});  // any frame is a sign of life
    h.provider->recovery.inProgress = true;
    h.at(60.0);
    EXPECT_EQ(h.pings(), 1u);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    h.provider->recovery.inProgress = false;
    h.at(70.0);
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "keepalive timed out: no server frame for 69s");
}

TEST(Keepalive, PathChangeFailsTheChannelAtTheNextProbe) {
    ProviderHarness h;
    h.verifyChannel();
    h.at(5.0);
    h.sim.host.path = NetworkPath{PathStatus::satisfied, true, false, "wlan0 192.0.2.1 192.0.2.77"};
    h.at(9.0);
    h.deliverFrames({Bytes{kServerData, 0x45}});  // traffic still flowing does not matter
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    h.at(10.0);
    const std::string expensive = "status=satisfied expensive=true constrained=false";
    const std::string message = "network path changed: " + kSatisfied + " -> " + expensive;
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, message);
    EXPECT_EQ(h.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu(message)});
    EXPECT_EQ(h.provider->keepalive.lastDefaultPathSummary, expensive);
    EXPECT_EQ(h.provider->keepalive.lastDefaultPath, h.sim.host.path);
    EXPECT_EQ(h.provider->keepalive.timeouts, 0);

    // Only the identity changed, and no summary was kept: the old side reads as unknown.
    ProviderHarness moved;
    moved.verifyChannel();
    moved.provider->keepalive.lastDefaultPathSummary.clear();
    moved.sim.host.path->identity = "eth1 198.51.100.1 198.51.100.50";
    moved.at(10.0);
    EXPECT_EQ(moved.provider->lifecycle.lastTunnelFailure, "network path changed: status=unknown path=nil -> " + kSatisfied);
}

TEST(Keepalive, UnsatisfiedPathTerminatesOnceAndAMissingPathIsNoLoss) {
    ProviderHarness h;
    h.verifyChannel();
    h.at(15.0);
    h.sim.host.path->status = PathStatus::unsatisfied;
    h.at(20.0);
    const std::string reason =
        "network unavailable during keepalive: status=unsatisfied expensive=false constrained=false";
    EXPECT_EQ(h.provider->keepalive.timeouts, 1);
    EXPECT_TRUE(h.provider->lifecycle.isTerminatingTunnel);
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, reason);
    EXPECT_EQ(h.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu(reason)});
    h.at(60.0);
    EXPECT_EQ(h.provider->keepalive.timeouts, 1);
    EXPECT_EQ(h.sim.host.cancellations.size(), 1u);

    ProviderHarness pathless;
    pathless.verifyChannel();
    const std::optional<NetworkPath> original = pathless.sim.host.path;
    pathless.sim.host.path.reset();
    pathless.at(30.0);
    EXPECT_EQ(pathless.pings(), 4u);
    EXPECT_TRUE(pathless.sim.host.cancellations.empty());
    EXPECT_EQ(pathless.provider->keepalive.lastDefaultPath, original);
    EXPECT_EQ(pathless.provider->keepalive.lastDefaultPathSummary, kSatisfied);
}

TEST(Keepalive, DefaultPathSummaryAndAvailability) {
    ProviderHarness h;
    const std::pair<PathStatus, std::string> cases[] = {
        {PathStatus::satisfied, "status=satisfied expensive=false constrained=true"},
        {PathStatus::satisfiable, "status=satisfiable expensive=false constrained=true"},
        {PathStatus::invalid, "status=invalid expensive=false constrained=true"},
    };
    for (const auto& [status, summary] : cases) {
        h.sim.host.path = NetworkPath{status, false, true, "eth0"};
        EXPECT_EQ(h.provider->defaultPathSummary(), summary);
        EXPECT_EQ(h.provider->isDefaultPathUnavailable(), status != PathStatus::satisfied) << summary;
    }
}

}  // namespace
}  // namespace vantu::testing

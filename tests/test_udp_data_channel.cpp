// The UDP data channel: readiness polling, handshake pings and timeout,
// the end of a channel, and stale work of closed channels.

#include <gtest/gtest.h>

#include "tests/DataChannelHarness.h"

namespace vantu::testing {
namespace {

const std::string kNoTraffic = " sendCompletions=0 sendFailures=0 receivedDatagrams=0";

TEST(UDPDataChannel, ReadySessionPingsEverySecondUntilThePong) {
    Harness h;
    h.start();
    // Before any queued work ran: readiness was seen and the first ping left.
    ASSERT_EQ(h.sim.host.udpSessions.size(), 1u);
    EXPECT_EQ(h.udp().host, kServerHost);
    EXPECT_EQ(h.udp().port, "51820");
    EXPECT_EQ(h.udp().maxDatagrams, 32u);
    EXPECT_TRUE(h.udp().hasReadHandler());
    EXPECT_EQ(h.pingCount(h.udp()), 1u);
    EXPECT_EQ(h.provider->lastUDPSessionState, "3");
    EXPECT_TRUE(h.provider->udpReadySeen);
    EXPECT_TRUE(h.logged("VantuPacketTunnel: UDP session ready 198.51.100.20:51820"));
    EXPECT_EQ(h.provider->dataChannelGeneration, 1);

    h.at(0.999);
    EXPECT_EQ(h.pingCount(h.udp()), 1u);
    h.at(1.0);
    EXPECT_EQ(h.pingCount(h.udp()), 2u);
    h.at(2.0);
    EXPECT_EQ(h.pingCount(h.udp()), 3u);

    h.at(2.5);
    h.pong();
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_FALSE(h.completions[0].has_value());
    EXPECT_NE(h.provider->keepaliveSource, nullptr);
    EXPECT_FALSE(h.provider->handshakeCompletion.has_value());

    // No more handshake pings, and the 8-second timeout finds a finished handshake.
    h.at(9.5);
    EXPECT_EQ(h.pingCount(h.udp()), 3u);
    EXPECT_EQ(h.completions.size(), 1u);
    EXPECT_FALSE(h.logged("handshake timeout"));
}

TEST(UDPDataChannel, SessionThatBecomesReadyLater) {
    Harness h("udp", UDPSessionState::preparing);
    h.start();
    EXPECT_EQ(h.provider->lastUDPSessionState, "2");
    EXPECT_FALSE(h.provider->udpReadySeen);
    h.at(0.25);
    EXPECT_EQ(h.udp().writes.size(), 0u);
    h.udp().setState(UDPSessionState::ready);
    h.at(0.299);
    EXPECT_EQ(h.udp().writes.size(), 0u);
    // The poll at 0.3 s sees it ready and pings at once, then every second.
    h.at(0.3);
    EXPECT_EQ(h.pingCount(h.udp()), 1u);
    EXPECT_EQ(h.provider->lastUDPSessionState, "3");
    h.at(1.3);
    EXPECT_EQ(h.pingCount(h.udp()), 2u);
    h.at(2.3);
    EXPECT_EQ(h.pingCount(h.udp()), 3u);
    h.pong();
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_FALSE(h.completions[0].has_value());
}

TEST(UDPDataChannel, SessionStuckPreparingFailsAtTheReadinessDeadline) {
    Harness h("udp", UDPSessionState::waiting);
    h.start();
    h.at(3.95);
    EXPECT_TRUE(h.completions.empty());
    EXPECT_EQ(h.provider->lastUDPSessionState, "1");
    h.udp().setState(UDPSessionState::preparing);
    h.at(4.0);
    ASSERT_EQ(h.completions.size(), 1u);
    ASSERT_TRUE(h.completions[0].has_value());
    EXPECT_EQ(h.completions[0]->description(),
              "UDP session did not become ready; udpState=2 ready=false sendAttempts=0" + kNoTraffic);
    EXPECT_EQ(h.provider->udpSession, nullptr);
    EXPECT_TRUE(h.sim.host.udpSessions[0]->cancelled);
    EXPECT_EQ(h.provider->dataChannelGeneration, 2);  // start, then close
    // Nothing of this channel runs any more, the 8-second timer included.
    h.at(14.0);
    EXPECT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.sim.host.udpSessions[0]->writes.size(), 0u);
    EXPECT_FALSE(h.logged("handshake timeout"));
}

TEST(UDPDataChannel, SessionStatesThatFailAtOnce) {
    const struct {
        UDPSessionState state;
        std::string message;
    } cases[] = {
        {UDPSessionState::invalid, "UDP session invalid before handshake; udpState=0"},
        {UDPSessionState::failed, "UDP session failed before handshake; udpState=4"},
        {UDPSessionState::cancelled, "UDP session cancelled before handshake; udpState=5"},
        {static_cast<UDPSessionState>(9), "UDP session entered unknown state; udpState=9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Harness h("udp", c.state);
        h.start();
        ASSERT_EQ(h.completions.size(), 1u);
        ASSERT_TRUE(h.completions[0].has_value());
        EXPECT_EQ(h.completions[0]->description(), c.message + " ready=false sendAttempts=0" + kNoTraffic);
        EXPECT_TRUE(h.provider->handshakeCompleted);
        EXPECT_EQ(h.provider->udpSession, nullptr);
        EXPECT_TRUE(h.sim.host.cancellations.empty());
        h.advance(9.0);
        EXPECT_EQ(h.completions.size(), 1u);
    }
}

TEST(UDPDataChannel, HandshakeTimesOutAfterEightSeconds) {
    Harness h;
    h.start();
    h.at(7.999);
    EXPECT_TRUE(h.completions.empty());
    EXPECT_EQ(h.pingCount(h.udp()), 8u);  // at 0, 1, ..., 7 s
    h.at(8.0);
    ASSERT_EQ(h.completions.size(), 1u);
    ASSERT_TRUE(h.completions[0].has_value());
    EXPECT_EQ(h.completions[0]->description(),
              "Vantu encrypted UDP handshake timed out; udpState=3 ready=true sendAttempts=8 "
              "sendCompletions=8 sendFailures=0 receivedDatagrams=0");
    EXPECT_TRUE(h.logged("VantuPacketTunnel: handshake timeout waiting for encrypted pong"));
    // The timeout won the tie with the ping due at the same instant.
    EXPECT_EQ(h.pingCount(*h.sim.host.udpSessions[0]), 8u);
    EXPECT_EQ(h.provider->udpSession, nullptr);

    // A late pong on the old session changes nothing.
    h.at(8.5);
    h.pong();
    EXPECT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.provider->keepaliveSource, nullptr);
    EXPECT_FALSE(h.logged("encrypted pong received"));
    EXPECT_EQ(h.provider->udpDatagramsReceived, 0);
}

TEST(UDPDataChannel, ClosedChannelLeavesNoWorkBehind) {
    Harness h;
    h.start();
    h.at(0.5);
    sim::SimUDPSession& first = h.udp();
    h.provider->closeDataChannel();
    EXPECT_TRUE(first.cancelled);

    std::vector<std::optional<TunnelError>> second;
    h.provider->startDataChannel(kServerHost, h.session,
                                 [&second](std::optional<TunnelError> e) { second.push_back(std::move(e)); });
    ASSERT_EQ(h.sim.host.udpSessions.size(), 2u);
    sim::SimUDPSession& next = h.udp();
    EXPECT_EQ(h.provider->dataChannelGeneration, 3);
    EXPECT_EQ(h.pingCount(next), 1u);  // at 0.5 s

    // The old channel's pings (1 s, 2 s ...) and its timeout (8 s) stay silent.
    h.at(1.5);
    EXPECT_EQ(h.pingCount(first), 1u);
    EXPECT_EQ(h.pingCount(next), 2u);  // at 1.5 s
    h.at(8.1);
    EXPECT_EQ(h.pingCount(first), 1u);
    EXPECT_TRUE(second.empty());
    EXPECT_FALSE(h.logged("handshake timeout"));
    // The old start's completion was replaced and never hears back.
    EXPECT_TRUE(h.completions.empty());
    h.at(8.499);
    EXPECT_TRUE(second.empty());
    h.at(8.5);  // the new channel's own timeout
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].has_value());
    EXPECT_TRUE(h.completions.empty());
}

TEST(UDPDataChannel, PollOfAReplacedSessionDoesNothing) {
    Harness h("udp", UDPSessionState::preparing);
    h.start();
    h.at(0.2);
    // Same generation, but the provider's session is another object now.
    auto other = std::make_shared<sim::SimUDPSession>(h.sim.queue, "192.0.2.1", "9");
    h.provider->udpSession = other;
    h.udp().setState(UDPSessionState::ready);
    h.at(4.2);
    EXPECT_EQ(h.udp().writes.size(), 0u);
    EXPECT_TRUE(h.completions.empty());
    EXPECT_EQ(h.provider->lastUDPSessionState, "2");
    // The generation still matches, so the handshake timeout does apply.
    h.at(8.0);
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_NE(h.completions[0]->description().find("Vantu encrypted UDP handshake timed out; "), std::string::npos);
}

TEST(UDPDataChannel, StartRefusals) {
    // An unsatisfied default path: nothing starts at all.
    {
        Harness h;
        h.sim.host.path = NetworkPath{PathStatus::unsatisfied, true, false, "wlan0"};
        h.start();
        ASSERT_EQ(h.completions.size(), 1u);
        ASSERT_TRUE(h.completions[0].has_value());
        EXPECT_EQ(*h.completions[0],
                  TunnelError::fromVantu("network unavailable before data channel start: "
                                         "status=unsatisfied expensive=true constrained=false"));
        EXPECT_EQ(h.provider->dataChannelGeneration, 0);
        EXPECT_TRUE(h.sim.host.udpSessions.empty());
        EXPECT_FALSE(h.provider->handshakeCompletion.has_value());
    }
    // The stream transport is refused plainly instead of pretending to work.
    {
        Harness h("tcp");
        h.provider->udpSendAttempts = 7;
        h.provider->tcpSendFailures = 2;
        h.start();
        ASSERT_EQ(h.completions.size(), 1u);
        ASSERT_TRUE(h.completions[0].has_value());
        EXPECT_EQ(*h.completions[0], TunnelError::fromVantu("TCP data channel is not supported yet"));
        EXPECT_EQ(h.provider->udpSendAttempts, 0);  // diagnostics of both transports were reset
        EXPECT_EQ(h.provider->tcpSendFailures, 0);
        EXPECT_TRUE(h.sim.host.udpSessions.empty());
        EXPECT_EQ(h.provider->keepaliveSource, nullptr);
        EXPECT_EQ(h.provider->dataChannelGeneration, 2);
    }
}

TEST(UDPDataChannel, ReceivePathAndFailures) {
    // A receive error before the handshake only fails the handshake.
    {
        Harness h;
        h.start();
        h.udp().deliverError("connection refused");
        h.run();
        ASSERT_EQ(h.completions.size(), 1u);
        EXPECT_EQ(*h.completions[0], TunnelError::fromVantu("connection refused"));
        EXPECT_TRUE(h.logged("VantuPacketTunnel: UDP receive failed: connection refused"));
        EXPECT_TRUE(h.recorded("data channel failed: connection refused"));
        EXPECT_TRUE(h.sim.host.cancellations.empty());
        EXPECT_FALSE(h.provider->isTerminatingTunnel);
    }
    // After the handshake it ends the tunnel (recovery is not available, so a
    // configured UDP channel ends the same way).
    {
        Harness h;
        h.provider->activeConfig = VantuConfig{};
        h.verify();
        h.udp().deliverError("connection refused");
        h.run();
        ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
        EXPECT_EQ(h.sim.host.cancellations[0], TunnelError::fromVantu("connection refused"));
        EXPECT_EQ(h.provider->lastTunnelFailure, "connection refused");
        EXPECT_EQ(h.provider->udpSession, nullptr);
        EXPECT_EQ(h.provider->keepaliveSource, nullptr);
    }
    // With the default path gone, a failure terminates the tunnel instead.
    {
        Harness h;
        h.verify();
        h.sim.host.path = NetworkPath{PathStatus::unsatisfied, false, false, "eth0"};
        h.provider->failDataChannel("keepalive timed out: no server frame for 40s");
        const std::string reason =
            "network unavailable after data channel failure: keepalive timed out: no server frame for 40s; "
            "status=unsatisfied expensive=false constrained=false";
        EXPECT_TRUE(h.provider->isTerminatingTunnel);
        EXPECT_EQ(h.provider->lastTunnelFailure, reason);
        EXPECT_TRUE(h.recorded("terminating tunnel: " + reason));
        ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
        EXPECT_EQ(h.sim.host.cancellations[0], TunnelError::fromVantu(reason));
    }
    // A batch: empty datagrams are skipped, the rest are counted and handled in order.
    {
        Harness h;
        h.start();
        const Bytes packet{0x45, 0, 0, 20, 1, 2, 3, 4, 64, 17, 0, 0, 10, 7, 0, 9, 10, 7, 0, 2};
        Bytes data{0x82};
        data.insert(data.end(), packet.begin(), packet.end());
        h.udp().deliver({Bytes{}, h.serverUnit(Bytes{0x81}), Bytes{}, h.serverUnit(data)});
        h.run();
        EXPECT_EQ(h.provider->udpDatagramsReceived, 2);
        ASSERT_EQ(h.completions.size(), 1u);
        EXPECT_FALSE(h.completions[0].has_value());
        EXPECT_EQ(h.sim.packetFlow.written, std::vector<Bytes>{packet});
    }
}

}  // namespace
}  // namespace vantu::testing

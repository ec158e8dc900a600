// The UDP data channel: readiness polling, handshake pings and timeout,
// the end of a channel, and stale work of closed channels.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::string kNoTraffic = " sendCompletions=0 sendFailures=0 receivedDatagrams=0";

TEST(UDPDataChannel, PingsFromReadinessEverySecondUntilThePong) {
    // Ready at once, or only at the third 0.1 s readiness poll.
    for (const double readyAt : {0.0, 0.3}) {
        SCOPED_TRACE(readyAt);
        ProviderHarness h(readyAt == 0 ? UDPSessionState::ready : UDPSessionState::preparing);
        h.startChannel();
        ASSERT_EQ(h.sim.host.udpSessions.size(), 1u);
        EXPECT_EQ(h.udp()->host, kServerHost);
        EXPECT_EQ(h.udp()->port, "5555");
        EXPECT_EQ(h.udp()->maxDatagrams, 32u);
        EXPECT_EQ(h.provider->dataChannel.lastUDPSessionState, readyAt == 0 ? "3" : "2");
        h.at(0.25);
        h.udp()->setState(UDPSessionState::ready);
        h.at(readyAt - 0.001);
        EXPECT_EQ(h.pings(), readyAt == 0 ? 1u : 0u);
        for (const double t : {0.0, 0.999, 1.0, 1.999, 2.0}) {
            h.at(readyAt + t);
            EXPECT_EQ(h.pings(), 1 + static_cast<size_t>(t)) << t;
        }
        EXPECT_TRUE(h.provider->dataChannel.udpReadySeen);
        EXPECT_TRUE(h.logged("VantuPacketTunnel: UDP session ready 198.51.100.20:5555"));

        h.at(readyAt + 2.5);
        h.pong();
        ASSERT_EQ(h.completions.size(), 1u);
        EXPECT_FALSE(h.completions[0].has_value());
        EXPECT_NE(h.provider->keepalive.source, nullptr);
        // No more handshake pings, and the 8-second timeout finds a finished handshake.
        h.at(9.5);
        EXPECT_EQ(h.pings(), 3u);
        EXPECT_EQ(h.completions.size(), 1u);
        EXPECT_FALSE(h.logged("handshake timeout"));
    }
}

TEST(UDPDataChannel, SessionStuckPreparingFailsAtTheReadinessDeadline) {
    ProviderHarness h(UDPSessionState::waiting);
    h.startChannel();
    h.at(3.95);
    EXPECT_TRUE(h.completions.empty());
    EXPECT_EQ(h.provider->dataChannel.lastUDPSessionState, "1");
    h.udp()->setState(UDPSessionState::preparing);
    h.at(4.0);
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.completions[0],
              TunnelError::fromVantu("UDP session did not become ready; udpState=2 ready=false sendAttempts=0" +
                                     kNoTraffic));
    EXPECT_EQ(h.provider->dataChannel.udpSession, nullptr);
    EXPECT_TRUE(h.udp()->cancelled);
    EXPECT_EQ(h.provider->dataChannel.dataChannelGeneration, 2);
    // Nothing of this channel runs any more, the 8-second timer included.
    h.at(14.0);
    EXPECT_EQ(h.completions.size(), 1u);
    EXPECT_TRUE(h.udp()->writes.empty());
    EXPECT_FALSE(h.logged("handshake timeout"));
}

TEST(UDPDataChannel, SessionStatesThatFailAtOnce) {
    const std::pair<UDPSessionState, std::string> cases[] = {
        {UDPSessionState::invalid, "UDP session invalid before handshake; udpState=0"},
        {UDPSessionState::failed, "UDP session failed before handshake; udpState=4"},
        {UDPSessionState::cancelled, "UDP session cancelled before handshake; udpState=5"},
        {static_cast<UDPSessionState>(9), "UDP session entered unknown state; udpState=9"},
    };
    for (const auto& [state, message] : cases) {
        ProviderHarness h(state);
        h.startChannel();
        ASSERT_EQ(h.completions.size(), 1u) << message;
        EXPECT_EQ(h.completions[0], TunnelError::fromVantu(message + " ready=false sendAttempts=0" + kNoTraffic));
        EXPECT_EQ(h.provider->dataChannel.udpSession, nullptr);
        EXPECT_TRUE(h.sim.host.cancellations.empty());
        h.advance(9.0);
        EXPECT_EQ(h.completions.size(), 1u);
    }
}

TEST(UDPDataChannel, HandshakeTimeoutEndsTheStartOnceAndALatePongChangesNothing) {
    ProviderHarness h;
    auto result = h.start();
    h.at(7.999);
    EXPECT_EQ(result->calls, 0);
    EXPECT_EQ(h.pings(), 8u);  // at 0, 1, ..., 7 s
    h.at(8.0);
    ASSERT_EQ(result->calls, 1);
    const std::string error = "Vantu encrypted UDP handshake timed out; udpState=3 ready=true sendAttempts=8 "
                              "sendCompletions=8 sendFailures=0 receivedDatagrams=0";
    EXPECT_EQ(result->error, TunnelError::fromVantu(error));
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "data channel handshake failed: " + error);
    EXPECT_EQ(eventMessages(*h.provider).back(), h.provider->lifecycle.lastTunnelFailure);
    EXPECT_TRUE(h.logged("VantuPacketTunnel: handshake timeout waiting for encrypted pong"));
    // The timeout won the tie with the ping due at the same instant.
    EXPECT_EQ(h.pings(), 8u);
    EXPECT_EQ(h.provider->dataChannel.udpSession, nullptr);
    // Session and configuration stay for whoever handles the failure.
    EXPECT_TRUE(h.provider->session);
    EXPECT_TRUE(h.provider->activeConfig.has_value());

    // A pong and an error that were already on their way when the session was cancelled.
    h.at(8.5);
    h.udp()->cancelled = false;
    h.pong();
    h.udp()->deliverError("connection refused");
    h.advance(60.0);
    EXPECT_EQ(result->calls, 1);
    EXPECT_TRUE(h.sim.host.appliedSettings.empty());
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    EXPECT_EQ(h.provider->keepalive.source, nullptr);
    EXPECT_FALSE(h.logged("encrypted pong received"));
    EXPECT_FALSE(h.logged("UDP receive failed"));
    EXPECT_EQ(h.provider->dataChannel.udpDatagramsReceived, 0);
}

TEST(UDPDataChannel, WorkOfAClosedChannelDoesNothing) {
    ProviderHarness h;
    h.startChannel();
    h.at(0.5);
    sim::SimUDPSession& first = *h.udp();
    first.holdWriteCompletions = true;
    h.provider->sendFrame(kClientData, ipv4Packet(40, 17, {203, 0, 113, 9}, 443));
    h.provider->closeDataChannel();
    EXPECT_TRUE(first.cancelled);

    std::vector<std::optional<TunnelError>> second;
    h.provider->startDataChannel(kServerHost, h.session,
                                 [&second](std::optional<TunnelError> e) { second.push_back(std::move(e)); });
    ASSERT_EQ(h.sim.host.udpSessions.size(), 2u);
    EXPECT_EQ(h.provider->dataChannel.dataChannelGeneration, 3);
    EXPECT_EQ(h.pings(), 1u);  // at 0.5 s
    // The old channel's write completes late, and fails: it must not count.
    first.completeHeldWrites("socket closed");

    // The old channel's pings (1 s, 2 s ...) and its timeout (8 s) stay silent.
    h.at(8.1);
    EXPECT_EQ(h.pings(first), 1u);
    EXPECT_EQ(h.pings(), 8u);  // 0.5, 1.5, ... 7.5 s
    EXPECT_EQ(h.provider->dataChannel.udpSendFailures, 0);
    EXPECT_FALSE(h.recorded("socket closed"));
    EXPECT_TRUE(second.empty());
    EXPECT_FALSE(h.logged("handshake timeout"));
    h.at(8.5);  // the new channel's own timeout
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(second[0].has_value());
    // The old start's completion was replaced and never hears back.
    EXPECT_TRUE(h.completions.empty());
}

TEST(UDPDataChannel, PollOfAReplacedSessionDoesNothing) {
    ProviderHarness h(UDPSessionState::preparing);
    h.startChannel();
    h.at(0.2);
    // Same generation, but the provider's session is another object now.
    h.provider->dataChannel.udpSession = std::make_shared<sim::SimUDPSession>(h.sim.queue, "192.0.2.1", "9");
    h.udp()->setState(UDPSessionState::ready);
    h.at(4.2);
    EXPECT_TRUE(h.udp()->writes.empty());
    EXPECT_TRUE(h.completions.empty());
    EXPECT_EQ(h.provider->dataChannel.lastUDPSessionState, "2");
    // The generation still matches, so the handshake timeout does apply.
    h.at(8.0);
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.completions[0]->description().rfind("Vantu encrypted UDP handshake timed out; ", 0), 0u);
}

TEST(UDPDataChannel, StartRefusedWithoutANetwork) {
    // An unsatisfied default path: nothing starts at all.
    ProviderHarness h;
    h.sim.host.path = NetworkPath{PathStatus::unsatisfied, true, false, "wlan0"};
    h.startChannel();
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.completions[0], TunnelError::fromVantu("network unavailable before data channel start: "
                                                       "status=unsatisfied expensive=true constrained=false"));
    EXPECT_EQ(h.provider->dataChannel.dataChannelGeneration, 0);
    EXPECT_TRUE(h.sim.host.udpSessions.empty());
    EXPECT_FALSE(h.provider->dataChannel.handshakeCompletion.has_value());
}

TEST(UDPDataChannel, ReceiveErrorsAndChannelFailures) {
    // A receive error before the handshake only fails the handshake.
    ProviderHarness h;
    h.startChannel();
    h.udp()->deliverError("connection refused");
    h.run();
    ASSERT_EQ(h.completions.size(), 1u);
    EXPECT_EQ(h.completions[0], TunnelError::fromVantu("connection refused"));
    EXPECT_TRUE(h.logged("VantuPacketTunnel: UDP receive failed: connection refused"));
    EXPECT_TRUE(h.recorded("data channel failed: connection refused"));
    EXPECT_TRUE(h.sim.host.cancellations.empty());

    // After it, with the default path gone, a failure terminates the tunnel.
    ProviderHarness gone;
    gone.verifyChannel();
    gone.sim.host.path = NetworkPath{PathStatus::unsatisfied, false, false, "eth0"};
    gone.provider->failDataChannel("keepalive timed out: no server frame for 40s");
    const std::string reason = "network unavailable after data channel failure: keepalive timed out: no server frame "
                               "for 40s; status=unsatisfied expensive=false constrained=false";
    EXPECT_TRUE(gone.provider->lifecycle.isTerminatingTunnel);
    EXPECT_TRUE(gone.recorded("terminating tunnel: " + reason));
    EXPECT_EQ(gone.sim.host.cancellations, std::vector<TunnelError>{TunnelError::fromVantu(reason)});
}

}  // namespace
}  // namespace vantu::testing

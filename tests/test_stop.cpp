#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;

TEST(Stop, ReasonTexts) {
    const std::pair<int, const char*> cases[] = {
        {0, "reason=0 none"},         {1, "reason=1 userInitiated"},
        {2, "reason=2 providerFailed"}, {4, "reason=4 unrecoverableNetworkChange"},
        {11, "reason=11 superceded"}, {15, "reason=15 sleep"},
        {17, "reason=17 internalError"}, {18, "reason=18 unknown"},
        {-1, "reason=-1 unknown"},
    };
    for (const auto& [reason, text] : cases) EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(reason), text);

    // A stop of a provider that never started still records and answers.
    ProviderHarness h;
    EXPECT_EQ(h.stop(42), 1);
    EXPECT_EQ(eventMessages(*h.provider), (std::vector<std::string>{"stopTunnel reason=42 unknown"}));
    EXPECT_EQ(h.provider->lifecycle.lastStopReason, "reason=42 unknown");
}

TEST(Stop, StopReleasesTheSessionAndResetsExactlyWhatItOwns) {
    ProviderHarness h;
    h.sim.host.protocol = ProtocolConfiguration{
        true, nlohmann::json{{"server", "192.0.2.1:443"}, {"secretKey", "s3cret"}, {"clientDirectCoreEnabled", true}}};
    h.startSuccessfully();
    auto* dataUDP = h.udp();

    // Flows and waiting work of the kinds stop must release.
    h.provider->dns.sessions["dns-1"] = h.sim.host.createUDPSession("9.9.9.9", "53");
    auto udp = std::make_shared<DirectUDPSessionBox>();
    udp->session = h.sim.host.createUDPSession("198.51.100.5", "443");
    h.provider->directCore.udpSessions.insert(DirectUDPKey{1, 2, 3, 4}, udp, h.provider->now());
    auto tcp = std::make_shared<DirectTCPSessionBox>();
    tcp->connection = h.sim.host.createTCPConnection("198.51.100.6", "443");
    h.provider->directCore.tcpSessions.insert(DirectTCPKey{5, 6, 7, 8}, tcp, h.provider->now());
    h.provider->learnedRoutes.routes = {"198.51.100.0/24"};
    std::string completionOrder;
    h.provider->learnedRoutes.updateCompletions = {[&] { completionOrder += "w1"; }, [&] { completionOrder += "w2"; }};
    h.provider->learnedRoutes.inFlightUpdateCompletions = {[&] { completionOrder += "f1"; }};
    h.provider->learnedRoutes.updateScheduled = true;
    h.provider->learnedRoutes.updateInFlight = true;
    h.provider->directCore.tcpDisabledForSession = true;
    h.provider->directCore.tcpFailureWindowCount = 2;
    h.provider->recovery.inProgress = true;
    h.provider->dns.queries = 7;
    h.provider->lifecycle.lastTunnelFailure = "earlier failure";
    const int64_t generation = h.provider->dataChannel.dataChannelGeneration;
    const int64_t udpAttempts = h.provider->dataChannel.udpSendAttempts;

    EXPECT_EQ(h.stop(1), 1);

    EXPECT_EQ(eventMessages(*h.provider).back(), "stopTunnel reason=1 userInitiated");
    EXPECT_EQ(h.provider->lifecycle.lastStopReason, "reason=1 userInitiated");
    EXPECT_FALSE(h.provider->dataChannel.udpSession);
    EXPECT_FALSE(h.provider->keepalive.source);
    EXPECT_FALSE(h.provider->session);
    EXPECT_FALSE(h.provider->activeConfig.has_value());
    EXPECT_FALSE(h.provider->dataChannel.handshakeCompleted);
    EXPECT_FALSE(h.provider->recovery.inProgress);
    EXPECT_GT(h.provider->dataChannel.dataChannelGeneration, generation);
    EXPECT_TRUE(h.provider->dns.sessions.empty());
    EXPECT_TRUE(h.provider->directCore.udpSessions.empty());
    EXPECT_TRUE(h.provider->directCore.tcpSessions.empty());
    for (const auto& udp : h.sim.host.udpSessions) EXPECT_TRUE(udp->cancelled) << udp->host;
    EXPECT_TRUE(h.sim.host.tcpConnections[0]->cancelled);
    EXPECT_TRUE(h.provider->learnedRoutes.routes.empty());
    EXPECT_EQ(h.provider->learnedRoutes.cacheKey, "");
    EXPECT_FALSE(h.provider->directCore.udpEnabled);
    EXPECT_FALSE(h.provider->directCore.tcpDisabledForSession);
    EXPECT_EQ(h.provider->directCore.tcpFailureWindowCount, 0);
    EXPECT_EQ(completionOrder, "w1w2f1");
    EXPECT_TRUE(h.provider->learnedRoutes.updateCompletions.empty());
    EXPECT_TRUE(h.provider->learnedRoutes.inFlightUpdateCompletions.empty());
    EXPECT_FALSE(h.provider->learnedRoutes.updateScheduled);
    EXPECT_FALSE(h.provider->learnedRoutes.updateInFlight);

    // Not stop's to reset: counters, failures, the server address.
    EXPECT_EQ(h.provider->dns.queries, 7);
    EXPECT_EQ(h.provider->dataChannel.udpSendAttempts, udpAttempts);
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "earlier failure");
    EXPECT_EQ(h.provider->currentServerAddress, "192.0.2.1");

    // The snapshot shows the tunnel as it was, with the stop event in it.
    const std::string& snapshot = h.provider->diagnostics.lastStoppedSnapshot;
    EXPECT_NE(snapshot.find("session=open transport=udp tunnelIP=10.7.0.2 server=192.0.2.1\n"
                            "flags serverPolicy=false directCoreUDP=true directCoreTCP=false\n"),
              std::string::npos);
    EXPECT_NE(snapshot.find("#8 stopTunnel reason=1 userInitiated"), std::string::npos) << snapshot;

    // No timer of the closed channel is left behind.
    h.advance(120.0);
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);
    EXPECT_EQ(dataUDP->writes.size(), static_cast<size_t>(udpAttempts));
}

TEST(Stop, StopDuringAPendingHandshakeDropsTheStartCompletion) {
    ProviderHarness h;
    auto result = h.start();
    h.advance(2.5);
    ASSERT_TRUE(h.provider->dataChannel.handshakeCompletion.has_value());
    EXPECT_EQ(h.pings(), 3u);

    EXPECT_EQ(h.stop(1), 1);
    EXPECT_FALSE(h.provider->dataChannel.handshakeCompletion.has_value());
    // Neither the handshake timeout, nor a pong already on its way, nor more pings.
    h.udp()->cancelled = false;
    h.pong();
    h.advance(60.0);
    EXPECT_EQ(result->calls, 0);
    EXPECT_EQ(h.udp()->writes.size(), 3u);
    EXPECT_TRUE(h.sim.host.appliedSettings.empty());
    EXPECT_EQ(eventMessages(*h.provider).back(), "stopTunnel reason=1 userInitiated");
}

TEST(Stop, OnlyTheFirstTerminationCounts) {
    ProviderHarness h;
    h.startSuccessfully();
    const size_t before = h.provider->diagnostics.events.size();

    h.provider->terminateTunnel("keepalive timed out: no server frame for 36s");
    h.provider->terminateTunnel("second failure");

    const auto events = eventMessages(*h.provider);
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(events.back(), "terminating tunnel: keepalive timed out: no server frame for 36s");
    EXPECT_EQ(h.sim.host.cancellations,
              std::vector<TunnelError>{TunnelError::fromVantu("keepalive timed out: no server frame for 36s")});
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "keepalive timed out: no server frame for 36s");
    EXPECT_FALSE(h.provider->session);
    EXPECT_FALSE(h.provider->activeConfig.has_value());
    EXPECT_FALSE(h.provider->dataChannel.udpSession);
    EXPECT_TRUE(h.udp()->cancelled);

    // The platform answers with a stop; the flag stays until the next start.
    EXPECT_EQ(h.stop(2), 1);
    EXPECT_EQ(eventMessages(*h.provider).back(), "stopTunnel reason=2 providerFailed");
    EXPECT_TRUE(h.provider->lifecycle.isTerminatingTunnel);
    h.provider->terminateTunnel("after the stop");
    EXPECT_EQ(h.sim.host.cancellations.size(), 1u);
    h.start();
    h.run();
    EXPECT_FALSE(h.provider->lifecycle.isTerminatingTunnel);
}

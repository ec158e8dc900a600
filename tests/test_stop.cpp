#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;

TEST(Stop, ReasonTexts) {
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(0), "reason=0 none");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(1), "reason=1 userInitiated");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(2), "reason=2 providerFailed");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(4), "reason=4 unrecoverableNetworkChange");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(11), "reason=11 superceded");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(15), "reason=15 sleep");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(17), "reason=17 internalError");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(18), "reason=18 unknown");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(42), "reason=42 unknown");
    EXPECT_EQ(PacketTunnelProvider::stopReasonDescription(-1), "reason=-1 unknown");

    for (int reason : {2, 42}) {
        ProviderHarness h;
        EXPECT_EQ(h.stop(reason), 1);
        const std::string text = PacketTunnelProvider::stopReasonDescription(reason);
        EXPECT_EQ(eventMessages(*h.provider), (std::vector<std::string>{"stopTunnel " + text}));
        EXPECT_EQ(h.provider->lastStopReason, text);
    }
}

TEST(Stop, StopReleasesTheSessionAndResetsExactlyWhatItOwns) {
    ProviderHarness h;
    h.sim.host.protocol = ProtocolConfiguration{
        true, nlohmann::json{{"server", "192.0.2.1:443"}, {"secretKey", "s3cret"}, {"clientDirectCoreEnabled", true}}};
    h.startSuccessfully();
    auto* dataUDP = h.udp();
    ASSERT_NE(dataUDP, nullptr);

    // Flows and waiting work of the kinds stop must release.
    auto dns = h.sim.host.createUDPSession("9.9.9.9", "53");
    auto directUDP = h.sim.host.createUDPSession("198.51.100.5", "443");
    auto directTCP = h.sim.host.createTCPConnection("198.51.100.6", "443");
    h.provider->dnsSessions["dns-1"] = dns;
    h.provider->directUDPSessions[DirectUDPKey{1, 2, 3, 4}] = DirectUDPSessionBox{directUDP};
    h.provider->directTCPSessions[DirectTCPKey{5, 6, 7, 8}] = DirectTCPSessionBox{directTCP};
    h.provider->dynamicDirectRoutes = {"198.51.100.0/24"};
    std::string completionOrder;
    h.provider->dynamicRouteUpdateCompletions = {[&] { completionOrder += "w1"; }, [&] { completionOrder += "w2"; }};
    h.provider->inFlightDynamicRouteUpdateCompletions = {[&] { completionOrder += "f1"; }};
    h.provider->dynamicRouteUpdateScheduled = true;
    h.provider->dynamicRouteUpdateInFlight = true;
    h.provider->directTCPDisabledForSession = true;
    h.provider->directTCPFailureWindowCount = 2;
    h.provider->dataRecoveryInProgress = true;
    h.provider->dnsQueryCount = 7;
    h.provider->lastTunnelFailure = "earlier failure";
    const int64_t generation = h.provider->dataChannelGeneration;
    const int64_t udpAttempts = h.provider->udpSendAttempts;

    EXPECT_EQ(h.stop(1), 1);

    EXPECT_EQ(eventMessages(*h.provider).back(), "stopTunnel reason=1 userInitiated");
    EXPECT_EQ(h.provider->lastStopReason, "reason=1 userInitiated");
    EXPECT_EQ(h.provider->dataFD, -1);
    EXPECT_FALSE(h.provider->udpSession);
    EXPECT_TRUE(dataUDP->cancelled);
    EXPECT_FALSE(h.provider->keepaliveSource);
    EXPECT_FALSE(h.provider->session);
    EXPECT_FALSE(h.provider->activeConfig.has_value());
    EXPECT_FALSE(h.provider->handshakeCompletion.has_value());
    EXPECT_FALSE(h.provider->handshakeCompleted);
    EXPECT_FALSE(h.provider->dataRecoveryInProgress);
    EXPECT_GT(h.provider->dataChannelGeneration, generation);
    EXPECT_TRUE(h.provider->dnsSessions.empty());
    EXPECT_TRUE(h.provider->directUDPSessions.empty());
    EXPECT_TRUE(h.provider->directTCPSessions.empty());
    EXPECT_TRUE(h.sim.host.udpSessions[1]->cancelled);
    EXPECT_TRUE(h.sim.host.udpSessions[2]->cancelled);
    EXPECT_TRUE(h.sim.host.tcpConnections[0]->cancelled);
    EXPECT_TRUE(h.provider->dynamicDirectRoutes.empty());
    EXPECT_EQ(h.provider->dynamicDirectRouteCacheKey, "");
    EXPECT_FALSE(h.provider->clientDirectCoreEnabled);
    EXPECT_FALSE(h.provider->clientDirectTCPEnabled);
    EXPECT_FALSE(h.provider->directTCPDisabledForSession);
    EXPECT_EQ(h.provider->directTCPFailureWindowCount, 0);
    EXPECT_EQ(completionOrder, "w1w2f1");
    EXPECT_TRUE(h.provider->dynamicRouteUpdateCompletions.empty());
    EXPECT_TRUE(h.provider->inFlightDynamicRouteUpdateCompletions.empty());
    EXPECT_FALSE(h.provider->dynamicRouteUpdateScheduled);
    EXPECT_FALSE(h.provider->dynamicRouteUpdateInFlight);

    // Not stop's to reset: counters, failures, the server address, the flag.
    EXPECT_EQ(h.provider->dnsQueryCount, 7);
    EXPECT_EQ(h.provider->udpSendAttempts, udpAttempts);
    EXPECT_EQ(h.provider->lastTunnelFailure, "earlier failure");
    EXPECT_EQ(h.provider->currentServerAddress, "192.0.2.1");

    // The snapshot shows the tunnel as it was, with the stop event in it.
    const auto stored = h.sim.defaults.string(PacketTunnelProvider::kLastStoppedSnapshotKey);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, h.provider->lastStoppedSnapshot);
    EXPECT_NE(stored->find("session=open transport=udp tunnelIP=10.7.0.2 server=192.0.2.1"), std::string::npos);
    EXPECT_NE(stored->find("#8 stopTunnel reason=1 userInitiated"), std::string::npos) << *stored;

    // No timer of the closed channel is left behind.
    const int64_t sent = h.provider->udpSendAttempts;
    h.sim.queue.advance(Duration(120.0));
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);
    EXPECT_EQ(h.provider->udpSendAttempts, sent);
}

TEST(Stop, StopDuringAPendingHandshakeDropsTheStartCompletion) {
    ProviderHarness h;
    auto result = h.start();
    h.sim.queue.advance(Duration(2.5));  // pinging, no pong yet
    ASSERT_TRUE(h.provider->handshakeCompletion.has_value());
    const size_t pings = h.udp()->writes.size();
    EXPECT_EQ(pings, 3u);

    EXPECT_EQ(h.stop(1), 1);
    EXPECT_FALSE(h.provider->handshakeCompletion.has_value());
    // Neither the handshake timeout, nor a late pong, nor more pings.
    h.udp()->deliver({serverPong(*h.session, 1)});
    h.sim.queue.advance(Duration(60.0));
    EXPECT_EQ(result->calls, 0);
    EXPECT_EQ(h.udp()->writes.size(), pings);
    EXPECT_TRUE(h.sim.host.appliedSettings.empty());
    EXPECT_EQ(eventMessages(*h.provider).back(), "stopTunnel reason=1 userInitiated");
}

TEST(Stop, OnlyTheFirstTerminationCounts) {
    ProviderHarness h;
    h.startSuccessfully();
    auto* dataUDP = h.udp();
    const size_t before = h.provider->diagnosticsEvents.size();

    h.provider->terminateTunnel("keepalive timed out: no server frame for 36s");
    h.provider->terminateTunnel("second failure");

    const auto events = eventMessages(*h.provider);
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(events.back(), "terminating tunnel: keepalive timed out: no server frame for 36s");
    ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
    EXPECT_EQ(h.sim.host.cancellations[0], TunnelError::fromVantu("keepalive timed out: no server frame for 36s"));
    EXPECT_EQ(h.provider->lastTunnelFailure, "keepalive timed out: no server frame for 36s");
    EXPECT_TRUE(h.provider->isTerminatingTunnel);
    EXPECT_FALSE(h.provider->session);
    EXPECT_FALSE(h.provider->activeConfig.has_value());
    EXPECT_FALSE(h.provider->udpSession);
    EXPECT_TRUE(dataUDP->cancelled);

    // The platform answers with a stop; the flag stays until the next start.
    EXPECT_EQ(h.stop(2), 1);
    EXPECT_EQ(eventMessages(*h.provider).back(), "stopTunnel reason=2 providerFailed");
    EXPECT_TRUE(h.provider->isTerminatingTunnel);
    EXPECT_EQ(h.provider->lastTunnelFailure, "keepalive timed out: no server frame for 36s");
    h.start();
    h.sim.queue.runUntilIdle();
    EXPECT_FALSE(h.provider->isTerminatingTunnel);
}

TEST(Stop, CloseDataChannelTearsDownOnlyTheChannel) {
    ProviderHarness h;
    // Nothing open: only the generation and the descriptor change.
    h.provider->dataFD = -7;
    h.provider->closeDataChannel();
    EXPECT_EQ(h.provider->dataChannelGeneration, 1);
    EXPECT_EQ(h.provider->dataFD, -1);
    EXPECT_FALSE(h.provider->udpSession);
    EXPECT_EQ(h.sim.queue.pendingCount(), 0u);

    // A descriptor without a read source is closed here.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    h.provider->dataFD = fds[0];
    h.provider->tcpReadBuffer = Bytes{1, 2};
    h.provider->tcpWriteBuffer = Bytes{3};
    h.provider->tcpWriteOffset = 1;
    h.provider->tcpWriteRetryScheduled = true;
    h.provider->closeDataChannel();
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(h.provider->tcpReadBuffer.empty());
    EXPECT_TRUE(h.provider->tcpWriteBuffer.empty());
    EXPECT_EQ(h.provider->tcpWriteOffset, 0);
    EXPECT_FALSE(h.provider->tcpWriteRetryScheduled);

    // With a read source, its cancel handler owns the descriptor.
    int sourceClosed = 0;
    h.provider->dataFD = fds[1];
    h.provider->dataSource = h.sim.queue.readSource(fds[1], [] {}, [&] {
        ++sourceClosed;
        ::close(fds[1]);
    });
    h.provider->handshakeCompletion = [](std::optional<TunnelError>) {};
    h.provider->session = makeSession();
    h.provider->closeDataChannel();
    EXPECT_FALSE(h.provider->dataSource);
    EXPECT_EQ(h.provider->dataFD, -1);
    EXPECT_EQ(::fcntl(fds[1], F_GETFD), 0) << "closed before its source's cancel handler ran";
    h.sim.queue.runUntilIdle();
    EXPECT_EQ(sourceClosed, 1);
    EXPECT_EQ(h.provider->dataChannelGeneration, 3);
    // The channel's owner keeps the session and the waiting completion.
    EXPECT_TRUE(h.provider->session);
    EXPECT_TRUE(h.provider->handshakeCompletion.has_value());
}

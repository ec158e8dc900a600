#include <gtest/gtest.h>

#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;

namespace {

std::string replyText(const std::optional<Bytes>& reply) {
    return reply ? std::string(reply->begin(), reply->end()) : std::string("<no reply>");
}

}  // namespace

TEST(DiagnosticsReport, FreshProviderReport) {
    ProviderHarness h;
    EXPECT_EQ(h.provider->diagnosticsSnapshot(),
              "vantu tunnel diagnostics\n"
              "time=2027-01-15T08:00:00.000Z\n"
              "session=nil transport=- tunnelIP=- server=-\n"
              "flags serverPolicy=false directCoreUDP=false directCoreTCP=false\n"
              "dns servers= queries=0 responses=0 fallbacks=0 failures=0\n"
              "routes cached=0/192 applied=0/128 scheduled=false inFlight=false matches=0 inserted=0 repeats=0 "
              "limitDrops=0\n"
              "routeApply schedules=0 attempts=0 ok=0 fail=0 lastMs=0\n"
              "directUDP active=0 opened=0 intercepted=0 sent=0 responses=0 readFail=0 writeFail=0 timeouts=0 "
              "idleClosed=0\n"
              "directTCP active=0 disabled=false failureWindow=0 opened=0 intercepted=0 sent=0 responses=0 "
              "connectFail=0 readFail=0 writeFail=0 idleClosed=0\n"
              "dataRecovery inProgress=false attempts=0 ok=0 fail=0\n"
              "keepalive lastRxAge=- lastProbeAge=- timeouts=0\n"
              "udpChannel udpState=not-started ready=false sendAttempts=0 sendCompletions=0 sendFailures=0 "
              "receivedDatagrams=0\n"
              "tcpChannel sendAttempts=0 sendFailures=0 sentBytes=0 receivedBytes=0 framesReceived=0\n"
              "recent events:");
}

TEST(DiagnosticsReport, LinesFollowTheProviderState) {
    ProviderHarness h;
    auto& p = *h.provider;
    RoutingPolicy policy;
    p.session = makeSession("udp", policy, {"9.9.9.9", "1.1.1.1"});
    p.currentServerAddress = "192.0.2.1";
    p.clientDirectCoreEnabled = true;
    p.dnsQueryCount = 4;
    p.dnsFailureCount = 1;
    p.dynamicDirectRoutes = {"198.51.100.0/24", "203.0.113.9/32"};
    p.dynamicRouteUpdateInFlight = true;
    p.dnsDirectLimitDrops = 3;
    p.dynamicRouteApplySchedules = 6;
    p.lastDynamicRouteApplyDurationMS = 12;
    p.directUDPSessions[DirectUDPKey{1, 2, 3, 4}] = DirectUDPSessionBox{};
    p.directUDPTimeouts = 2;
    p.directTCPDisabledForSession = true;
    p.directTCPConnectFailures = 5;
    p.dataRecoveryInProgress = true;
    p.dataRecoveryAttempts = 1;
    p.keepaliveTimeouts = 1;
    p.lastDataFrameReceivedAt = h.sim.queue.now();
    h.sim.queue.advance(Duration(7.9));
    p.lastKeepaliveProbeAt = h.sim.queue.now();
    p.lastDataRecoveryError = "control connect failed: refused";
    p.lastStopReason = "reason=1 userInitiated";
    p.lastTunnelFailure = "keepalive timed out: no server frame for 36s";
    p.lastDynamicRouteUpdateError = "apply failed";
    p.lastStoppedSnapshot = "vantu tunnel diagnostics\nold";
    p.recordDiagnostic("first");
    p.recordDiagnostic("second");

    const auto lines = splitLines(p.diagnosticsSnapshot());
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[1], "time=2027-01-15T08:00:07.900Z");
    EXPECT_EQ(lines[2], "session=open transport=udp tunnelIP=10.7.0.2 server=192.0.2.1");
    EXPECT_EQ(lines[3], "flags serverPolicy=true directCoreUDP=true directCoreTCP=false");
    EXPECT_EQ(lines[4], "dns servers=9.9.9.9,1.1.1.1 queries=4 responses=0 fallbacks=0 failures=1");
    EXPECT_EQ(lines[5], "routes cached=2/192 applied=0/128 scheduled=false inFlight=true matches=0 inserted=0 "
                        "repeats=0 limitDrops=3");
    EXPECT_EQ(lines[6], "routeApply schedules=6 attempts=0 ok=0 fail=0 lastMs=12");
    EXPECT_EQ(lines[7], "directUDP active=1 opened=0 intercepted=0 sent=0 responses=0 readFail=0 writeFail=0 "
                        "timeouts=2 idleClosed=0");
    EXPECT_EQ(lines[8], "directTCP active=0 disabled=true failureWindow=0 opened=0 intercepted=0 sent=0 responses=0 "
                        "connectFail=5 readFail=0 writeFail=0 idleClosed=0");
    EXPECT_EQ(lines[9], "dataRecovery inProgress=true attempts=1 ok=0 fail=0");
    // Ages are whole seconds, cut toward zero.
    EXPECT_EQ(lines[10], "keepalive lastRxAge=7s lastProbeAge=0s timeouts=1");
    EXPECT_EQ(lines[13], "lastTunnelFailure=keepalive timed out: no server frame for 36s");
    EXPECT_EQ(lines[14], "lastStop=reason=1 userInitiated");
    EXPECT_EQ(lines[15], "lastRouteApplyError=apply failed");
    EXPECT_EQ(lines[16], "lastDataRecoveryError=control connect failed: refused");
    // A running tunnel never shows the stop snapshot.
    EXPECT_EQ(lines[17], "recent events:");
    EXPECT_EQ(eventMessage(lines[18]), "first");
    EXPECT_EQ(eventMessage(lines[19]), "second");

    // Without a session the snapshot appears, unchanged, before the events.
    p.session.reset();
    const auto stopped = splitLines(p.diagnosticsSnapshot(true));
    ASSERT_EQ(stopped.size(), 23u);
    EXPECT_EQ(stopped[2], "session=nil transport=- tunnelIP=- server=192.0.2.1");
    EXPECT_EQ(stopped[4], "dns servers= queries=4 responses=0 fallbacks=0 failures=1");
    EXPECT_EQ(stopped[17], "last stopped snapshot:");
    EXPECT_EQ(stopped[18], "vantu tunnel diagnostics");
    EXPECT_EQ(stopped[19], "old");
    EXPECT_EQ(stopped[20], "recent events:");
    EXPECT_EQ(splitLines(p.diagnosticsSnapshot(false)).size(), 20u);
}

TEST(DiagnosticsReport, AgesShowDashUntilSet) {
    ProviderHarness h;
    auto& p = *h.provider;
    EXPECT_EQ(p.formatAgeSince(kDistantPast), "-");
    p.lastDataFrameReceivedAt = p.now();
    EXPECT_EQ(p.formatAgeSince(p.lastDataFrameReceivedAt), "0s");
    h.sim.queue.advance(Duration(0.999));
    EXPECT_EQ(p.formatAgeSince(p.lastDataFrameReceivedAt), "0s");
    h.sim.queue.advance(Duration(65.0));
    EXPECT_EQ(p.formatAgeSince(p.lastDataFrameReceivedAt), "65s");
}

TEST(DiagnosticsReport, AppMessagesAnswerOnTheQueue) {
    ProviderHarness h;
    // The stored log of an earlier process is restored before answering.
    h.sim.defaults.setStringArray(PacketTunnelProvider::kDiagnosticEventsKey, {"t #7 stopTunnel reason=1 userInitiated"});
    h.sim.defaults.setInteger(PacketTunnelProvider::kDiagnosticSequenceKey, 7);
    h.sim.defaults.setString(PacketTunnelProvider::kLastStoppedSnapshotKey, "vantu tunnel diagnostics\nbefore");

    std::optional<Bytes> reply;
    int replies = 0;
    h.provider->handleAppMessage(bytesOf("diagnostics"), [&](std::optional<Bytes> r) {
        ++replies;
        reply = r;
    });
    EXPECT_EQ(replies, 0);
    h.sim.queue.runUntilIdle();
    ASSERT_EQ(replies, 1);
    EXPECT_EQ(replyText(reply), h.provider->diagnosticsSnapshot(true));
    EXPECT_NE(replyText(reply).find("last stopped snapshot:\nvantu tunnel diagnostics\nbefore\nrecent events:\n"
                                    "t #7 stopTunnel reason=1 userInitiated"),
              std::string::npos);

    // Not reset requests: a trailing space, other case, empty, invalid UTF-8.
    for (const Bytes& message : {bytesOf("resetDiagnostics "), bytesOf("ResetDiagnostics"), Bytes{},
                                 Bytes{'r', 'e', 's', 'e', 't', 0xff}, Bytes{0xc0, 0xaf}, Bytes{0xed, 0xa0, 0x80}}) {
        h.provider->handleAppMessage(message, [&](std::optional<Bytes> r) { reply = r; });
        h.sim.queue.runUntilIdle();
        EXPECT_EQ(h.provider->diagnosticsSequence, 7);
        EXPECT_EQ(h.provider->diagnosticsEvents.size(), 1u);
    }

    // Without a completion handler the command still runs.
    h.provider->handleAppMessage(bytesOf("resetDiagnostics"), nullptr);
    h.sim.queue.runUntilIdle();
    ASSERT_EQ(h.provider->diagnosticsEvents.size(), 1u);
    EXPECT_EQ(h.provider->diagnosticsEvents[0], "2027-01-15T08:00:00.000Z #1 diagnostics reset");
}

TEST(DiagnosticsReport, ResetClearsCountersButNotTheSessionOrTheChannel) {
    ProviderHarness h;
    h.startSuccessfully();
    h.stop(1);
    h.startSuccessfully();
    auto& p = *h.provider;
    p.dnsQueryCount = 3;
    p.dnsDirectInsertedRoutes = 2;
    p.dynamicRouteApplyFailures = 1;
    p.lastDynamicRouteApplyDurationMS = 40;
    p.directUDPIdleCloses = 4;
    p.directTCPSegmentsIntercepted = 8;
    p.directTCPFailureWindowCount = 2;
    p.directTCPFailureWindowStartedAt = p.now();
    p.directTCPDisabledForSession = true;
    p.dataRecoveryInProgress = true;
    p.dataRecoverySuccesses = 1;
    p.keepaliveTimeouts = 2;
    p.lastDataRecoveryError = "x";
    p.lastTunnelFailure = "y";
    p.lastDynamicRouteUpdateError = "z";
    p.dynamicDirectRoutes = {"198.51.100.0/24"};
    const int64_t udpAttempts = p.udpSendAttempts;
    const int64_t udpCompletions = p.udpSendCompletions;
    const int64_t received = p.udpDatagramsReceived;
    ASSERT_GT(udpAttempts, 0);
    ASSERT_FALSE(p.lastStoppedSnapshot.empty());

    std::optional<Bytes> reply;
    p.handleAppMessage(bytesOf("resetDiagnostics"), [&](std::optional<Bytes> r) { reply = r; });
    h.sim.queue.runUntilIdle();

    EXPECT_EQ(eventMessages(p), (std::vector<std::string>{"diagnostics reset"}));
    EXPECT_EQ(p.diagnosticsSequence, 1);
    EXPECT_EQ(h.sim.defaults.integer(PacketTunnelProvider::kDiagnosticSequenceKey), 1);
    EXPECT_EQ(p.dnsQueryCount, 0);
    EXPECT_EQ(p.dnsDirectInsertedRoutes, 0);
    EXPECT_EQ(p.dynamicRouteApplyFailures, 0);
    EXPECT_EQ(p.lastDynamicRouteApplyDurationMS, 0);
    EXPECT_EQ(p.directUDPIdleCloses, 0);
    EXPECT_EQ(p.directTCPSegmentsIntercepted, 0);
    EXPECT_EQ(p.directTCPFailureWindowCount, 0);
    EXPECT_TRUE(isDistantPast(p.directTCPFailureWindowStartedAt));
    EXPECT_TRUE(isDistantPast(p.lastDataFrameReceivedAt));
    EXPECT_TRUE(isDistantPast(p.lastKeepaliveProbeAt));
    EXPECT_FALSE(p.dataRecoveryInProgress);
    EXPECT_EQ(p.dataRecoverySuccesses, 0);
    EXPECT_EQ(p.keepaliveTimeouts, 0);
    EXPECT_EQ(p.lastDataRecoveryError, "");
    EXPECT_EQ(p.lastTunnelFailure, "");
    EXPECT_EQ(p.lastDynamicRouteUpdateError, "");
    EXPECT_EQ(p.lastStoppedSnapshot, "");
    EXPECT_FALSE(h.sim.defaults.string(PacketTunnelProvider::kLastStoppedSnapshotKey).has_value());
    // Kept: the running session and channel, the stop reason, the learned routes.
    EXPECT_EQ(p.session, h.session);
    EXPECT_TRUE(p.udpSession);
    EXPECT_EQ(p.udpSendAttempts, udpAttempts);
    EXPECT_EQ(p.udpSendCompletions, udpCompletions);
    EXPECT_EQ(p.udpDatagramsReceived, received);
    EXPECT_EQ(p.lastUDPSessionState, "3");
    EXPECT_EQ(p.lastStopReason, "reason=1 userInitiated");
    EXPECT_TRUE(p.directTCPDisabledForSession);
    EXPECT_EQ(p.dynamicDirectRoutes.size(), 1u);

    // The reply is the report after the reset: its one event is the reset.
    const auto lines = splitLines(replyText(reply));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "recent events:");
    EXPECT_EQ(lines.back(), "2027-01-15T08:00:00.000Z #1 diagnostics reset");
    EXPECT_NE(lines[2].find("session=open"), std::string::npos);
}

TEST(DiagnosticsReport, StopSnapshotAppearsOnceAfterStopAndNeverNests) {
    ProviderHarness h;
    h.startSuccessfully();
    EXPECT_EQ(h.report().find("last stopped snapshot:"), std::string::npos);

    h.stop(1);
    const std::string first = h.provider->lastStoppedSnapshot;
    EXPECT_EQ(first.find("last stopped snapshot:"), std::string::npos);
    EXPECT_NE(first.find("stopTunnel reason=1 userInitiated"), std::string::npos);
    std::string report = h.report();
    EXPECT_EQ(countOccurrences(report, "last stopped snapshot:"), 1u);
    EXPECT_NE(report.find("last stopped snapshot:\n" + first + "\nrecent events:"), std::string::npos);

    // While running again the old snapshot stays hidden; the next stop's
    // snapshot holds this run only, without the one before.
    h.startSuccessfully();
    EXPECT_EQ(h.report().find("last stopped snapshot:"), std::string::npos);
    h.stop(15);
    const std::string second = h.provider->lastStoppedSnapshot;
    EXPECT_NE(second, first);
    EXPECT_EQ(second.find("last stopped snapshot:"), std::string::npos);
    EXPECT_NE(second.find("stopTunnel reason=15 sleep"), std::string::npos);
    report = h.report();
    EXPECT_EQ(countOccurrences(report, "last stopped snapshot:"), 1u);
    EXPECT_EQ(countOccurrences(report, "lastStop=reason=15 sleep"), 2u);  // report and snapshot
    EXPECT_EQ(h.sim.defaults.string(PacketTunnelProvider::kLastStoppedSnapshotKey), second);

    // A stop with no session (after a termination, or a second stop) would
    // show the old snapshot in a report; its own snapshot still leaves it out.
    h.startSuccessfully();
    h.provider->terminateTunnel("keepalive timed out: no server frame for 36s");
    h.stop(2);
    const std::string third = h.provider->lastStoppedSnapshot;
    EXPECT_NE(third.find("session=nil"), std::string::npos);
    EXPECT_EQ(third.find("last stopped snapshot:"), std::string::npos);
    h.stop(1);
    EXPECT_EQ(h.provider->lastStoppedSnapshot.find("last stopped snapshot:"), std::string::npos);
    EXPECT_EQ(countOccurrences(h.report(), "last stopped snapshot:"), 1u);
}

#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;

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
              "idleClosed=0 evicted=0\n"
              "directTCP active=0 disabled=false failureWindow=0 opened=0 intercepted=0 sent=0 responses=0 "
              "connectFail=0 readFail=0 writeFail=0 idleClosed=0 evicted=0 heldDrops=0 windowDrops=0 retransmits=0 "
              "retransmitResets=0\n"
              "dataRecovery inProgress=false attempts=0 ok=0 fail=0\n"
              "keepalive lastRxAge=- lastProbeAge=- timeouts=0\n"
              "udpChannel udpState=not-started ready=false sendAttempts=0 sendCompletions=0 sendFailures=0 "
              "receivedDatagrams=0\n"
              "tcpChannel sendAttempts=0 sendFailures=0 sentBytes=0 receivedBytes=0 framesReceived=0\n"
              "recent events:");
}

TEST(DiagnosticsReport, AppMessagesAnswerOnTheQueue) {
    ProviderHarness h;
    // The stored log of an earlier process is restored before answering.
    h.sim.defaults.setStringArray(DiagnosticsState::kDiagnosticEventsKey, {"t #7 stopTunnel reason=1 userInitiated"});
    h.sim.defaults.setInteger(DiagnosticsState::kDiagnosticSequenceKey, 7);
    h.sim.defaults.setString(DiagnosticsState::kLastStoppedSnapshotKey, "vantu tunnel diagnostics\nbefore");

    std::vector<std::string> replies;
    const auto ask = [&](const Bytes& message) {
        h.provider->handleAppMessage(message, [&](std::optional<Bytes> r) {
            replies.push_back(r ? std::string(r->begin(), r->end()) : "<none>");
        });
    };
    ask(bytesOf("diagnostics"));
    EXPECT_TRUE(replies.empty());
    h.run();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], h.provider->diagnosticsSnapshot(true));
    EXPECT_NE(replies[0].find("last stopped snapshot:\nvantu tunnel diagnostics\nbefore\nrecent events:\n"
                              "t #7 stopTunnel reason=1 userInitiated"),
              std::string::npos);

    // Anything but the exact command, invalid UTF-8 included, is a report request.
    for (const Bytes& message : {bytesOf("resetDiagnostics "), bytesOf("ResetDiagnostics"), Bytes{},
                                 Bytes{'r', 'e', 's', 'e', 't', 0xff}}) {
        ask(message);
    }
    h.run();
    ASSERT_EQ(replies.size(), 5u);
    for (const std::string& reply : replies) EXPECT_EQ(reply, replies[0]);

    // Without a completion handler the command still runs.
    h.provider->handleAppMessage(bytesOf("resetDiagnostics"), nullptr);
    h.run();
    EXPECT_EQ(h.provider->diagnostics.events,
              std::vector<std::string>{"2027-01-15T08:00:00.000Z #1 diagnostics reset"});
}

TEST(DiagnosticsReport, LinesFollowTheStateAndResetClearsOnlyCounters) {
    ProviderHarness h;
    h.session = makeSession("udp", RoutingPolicy{});
    h.startSuccessfully();
    h.stop(1);
    h.startSuccessfully();
    auto& p = *h.provider;
    p.directCore.udpEnabled = true;
    p.dns.queries = 4;
    p.dns.failures = 1;
    p.learnedRoutes.routes = {"198.51.100.0/24", "203.0.113.9/32"};
    p.learnedRoutes.updateInFlight = true;
    p.learnedRoutes.dnsLimitDrops = 3;
    p.learnedRoutes.applySchedules = 6;
    p.learnedRoutes.lastApplyDurationMS = 12;
    p.directCore.udpSessions.insert(DirectUDPKey{1, 2, 3, 4}, std::make_shared<DirectUDPSessionBox>(), p.now());
    p.directCore.udpTimeouts = 2;
    p.directCore.tcpDisabledForSession = true;
    p.directCore.tcpFailureWindowCount = 2;
    p.directCore.tcpFailureWindowStartedAt = p.now();
    p.directCore.tcpConnectFailures = 5;
    p.recovery.inProgress = true;
    p.recovery.attempts = 1;
    p.keepalive.timeouts = 1;
    h.advance(7.9);  // the pong came at 0 s
    p.keepalive.lastProbeAt = p.now();
    p.recovery.lastError = "control connect failed: refused";
    p.lifecycle.lastTunnelFailure = "keepalive timed out: no server frame for 36s";
    p.learnedRoutes.lastUpdateError = "apply failed";
    ASSERT_FALSE(p.diagnostics.lastStoppedSnapshot.empty());

    const std::string before = h.report();
    // A running tunnel never shows the stop snapshot. Ages are whole seconds, cut toward zero.
    EXPECT_EQ(before.substr(0, before.find("\nrecent events:\n")),
              "vantu tunnel diagnostics\n"
              "time=2027-01-15T08:00:07.900Z\n"
              "session=open transport=udp tunnelIP=10.7.0.2 server=192.0.2.1\n"
              "flags serverPolicy=true directCoreUDP=true directCoreTCP=false\n"
              "dns servers=9.9.9.9,1.1.1.1 queries=4 responses=0 fallbacks=0 failures=1\n"
              "routes cached=2/192 applied=0/128 scheduled=false inFlight=true matches=0 inserted=0 repeats=0 "
              "limitDrops=3\n"
              "routeApply schedules=6 attempts=0 ok=0 fail=0 lastMs=12\n"
              "directUDP active=1 opened=0 intercepted=0 sent=0 responses=0 readFail=0 writeFail=0 timeouts=2 "
              "idleClosed=0 evicted=0\n"
              "directTCP active=0 disabled=true failureWindow=2 opened=0 intercepted=0 sent=0 responses=0 "
              "connectFail=5 readFail=0 writeFail=0 idleClosed=0 evicted=0 heldDrops=0 windowDrops=0 retransmits=0 "
              "retransmitResets=0\n"
              "dataRecovery inProgress=true attempts=1 ok=0 fail=0\n"
              "keepalive lastRxAge=7s lastProbeAge=0s timeouts=1\n"
              "udpChannel udpState=3 ready=true sendAttempts=1 sendCompletions=1 sendFailures=0 "
              "receivedDatagrams=1\n"
              "tcpChannel sendAttempts=0 sendFailures=0 sentBytes=0 receivedBytes=0 framesReceived=0 "
              "lastSentPlain=0170696e67 lastReceivedPlain=81\n"
              "lastTunnelFailure=keepalive timed out: no server frame for 36s\n"
              "lastStop=reason=1 userInitiated\n"
              "lastRouteApplyError=apply failed\n"
              "lastDataRecoveryError=control connect failed: refused");

    std::optional<Bytes> reply;
    p.handleAppMessage(bytesOf("resetDiagnostics"), [&](std::optional<Bytes> r) { reply = r; });
    h.run();
    // The reply is the report after the reset. Kept: the running session and
    // channel with their counters, the stop reason, the learned routes, the
    // switches.
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(std::string(reply->begin(), reply->end()),
              "vantu tunnel diagnostics\n"
              "time=2027-01-15T08:00:07.900Z\n"
              "session=open transport=udp tunnelIP=10.7.0.2 server=192.0.2.1\n"
              "flags serverPolicy=true directCoreUDP=true directCoreTCP=false\n"
              "dns servers=9.9.9.9,1.1.1.1 queries=0 responses=0 fallbacks=0 failures=0\n"
              "routes cached=2/192 applied=0/128 scheduled=false inFlight=true matches=0 inserted=0 repeats=0 "
              "limitDrops=0\n"
              "routeApply schedules=0 attempts=0 ok=0 fail=0 lastMs=0\n"
              "directUDP active=1 opened=0 intercepted=0 sent=0 responses=0 readFail=0 writeFail=0 timeouts=0 "
              "idleClosed=0 evicted=0\n"
              "directTCP active=0 disabled=true failureWindow=0 opened=0 intercepted=0 sent=0 responses=0 "
              "connectFail=0 readFail=0 writeFail=0 idleClosed=0 evicted=0 heldDrops=0 windowDrops=0 retransmits=0 "
              "retransmitResets=0\n"
              "dataRecovery inProgress=false attempts=0 ok=0 fail=0\n"
              "keepalive lastRxAge=- lastProbeAge=- timeouts=0\n"
              "udpChannel udpState=3 ready=true sendAttempts=1 sendCompletions=1 sendFailures=0 "
              "receivedDatagrams=1\n"
              "tcpChannel sendAttempts=0 sendFailures=0 sentBytes=0 receivedBytes=0 framesReceived=0 "
              "lastSentPlain=0170696e67 lastReceivedPlain=81\n"
              "lastStop=reason=1 userInitiated\n"
              "recent events:\n"
              "2027-01-15T08:00:07.900Z #1 diagnostics reset");
    EXPECT_EQ(h.sim.defaults.integer(DiagnosticsState::kDiagnosticSequenceKey), 1);
    EXPECT_TRUE(isDistantPast(p.directCore.tcpFailureWindowStartedAt));
    EXPECT_EQ(p.diagnostics.lastStoppedSnapshot, "");
    EXPECT_FALSE(h.sim.defaults.string(DiagnosticsState::kLastStoppedSnapshotKey).has_value());
}

TEST(DiagnosticsReport, StopSnapshotShowsOnlyWhileStoppedAndNeverNests) {
    ProviderHarness h;
    h.startSuccessfully();
    h.stop(1);
    const std::string first = h.provider->diagnostics.lastStoppedSnapshot;
    EXPECT_NE(first.find("stopTunnel reason=1 userInitiated"), std::string::npos);
    EXPECT_EQ(h.sim.defaults.string(DiagnosticsState::kLastStoppedSnapshotKey), first);
    EXPECT_NE(h.report().find("last stopped snapshot:\n" + first + "\nrecent events:"), std::string::npos);

    h.startSuccessfully();
    EXPECT_EQ(h.report().find("last stopped snapshot:"), std::string::npos);

    // A stop with no session (after a termination, or a second stop) would
    // show the old snapshot in a report; its own snapshot still leaves it out.
    h.provider->terminateTunnel("keepalive timed out: no server frame for 36s");
    h.stop(2);
    const std::string second = h.provider->diagnostics.lastStoppedSnapshot;
    EXPECT_NE(second.find("session=nil"), std::string::npos);
    EXPECT_NE(second.find("stopTunnel reason=2 providerFailed"), std::string::npos);
    EXPECT_EQ(second.find("last stopped snapshot:"), std::string::npos);
    h.stop(1);
    EXPECT_EQ(h.provider->diagnostics.lastStoppedSnapshot.find("last stopped snapshot:"), std::string::npos);
    EXPECT_EQ(countOccurrences(h.report(), "last stopped snapshot:"), 1u);
}

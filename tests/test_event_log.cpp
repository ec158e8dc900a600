#include <chrono>
#include <filesystem>

#include "base/Utf8.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;

TEST(EventLog, NumberedTimestampedLinesPersistedAtOnceAndCappedAt120) {
    ProviderHarness h;
    auto& p = *h.provider;
    p.recordDiagnostic("startTunnel");
    h.advance(1.25);
    p.recordDiagnostic("network settings applied");
    EXPECT_EQ(p.diagnostics.events, (std::vector<std::string>{"2027-01-15T08:00:00.000Z #1 startTunnel",
                                                            "2027-01-15T08:00:01.250Z #2 network settings applied"}));
    EXPECT_EQ(h.sim.defaults.stringArray(DiagnosticsState::kDiagnosticEventsKey), p.diagnostics.events);
    EXPECT_EQ(h.sim.defaults.integer(DiagnosticsState::kDiagnosticSequenceKey), 2);

    // Plain log lines are not events; the debug logs write nothing at all.
    p.log("excluded server route 203.0.113.7/255.255.255.255");
    p.logDNS("query example.com");
    p.logPacket("UDP sent 89 bytes");
    EXPECT_EQ(h.sim.log.lines, (std::vector<std::string>{"VantuPacketTunnel: startTunnel",
                                                         "VantuPacketTunnel: network settings applied",
                                                         "VantuPacketTunnel: excluded server route "
                                                         "203.0.113.7/255.255.255.255"}));
    EXPECT_EQ(p.diagnostics.events.size(), 2u);

    for (int i = 3; i <= 121; ++i) p.recordDiagnostic("event " + std::to_string(i));
    ASSERT_EQ(p.diagnostics.events.size(), 120u);
    EXPECT_EQ(p.diagnostics.events.front(), "2027-01-15T08:00:01.250Z #2 network settings applied");
    EXPECT_EQ(p.diagnostics.events.back(), "2027-01-15T08:00:01.250Z #121 event 121");
    EXPECT_EQ(h.sim.defaults.stringArray(DiagnosticsState::kDiagnosticEventsKey), p.diagnostics.events);
    EXPECT_EQ(h.sim.defaults.integer(DiagnosticsState::kDiagnosticSequenceKey), 121);
}

TEST(EventLog, RestoresTheStoredLogOnlyWhenEmpty) {
    ProviderHarness h;
    std::vector<std::string> stored;
    for (int i = 381; i <= 500; ++i) stored.push_back("2026-12-05T07:42:29.123Z #" + std::to_string(i) + " old");
    h.sim.defaults.setStringArray(DiagnosticsState::kDiagnosticEventsKey, stored);
    h.sim.defaults.setInteger(DiagnosticsState::kDiagnosticSequenceKey, 500);
    h.sim.defaults.setString(DiagnosticsState::kLastStoppedSnapshotKey, "vantu tunnel diagnostics\nold");

    auto& p = *h.provider;
    p.loadPersistedDiagnostics();
    EXPECT_EQ(p.diagnostics.events, stored);
    EXPECT_EQ(p.diagnostics.lastStoppedSnapshot, "vantu tunnel diagnostics\nold");
    p.recordDiagnostic("startTunnel");
    ASSERT_EQ(p.diagnostics.events.size(), 120u);
    EXPECT_EQ(p.diagnostics.events.front(), stored[1]);
    EXPECT_EQ(p.diagnostics.events.back(), "2027-01-15T08:00:00.000Z #501 startTunnel");

    // A provider that already holds events keeps its own.
    h.sim.defaults.setStringArray(DiagnosticsState::kDiagnosticEventsKey, {"x #9 other"});
    h.sim.defaults.setInteger(DiagnosticsState::kDiagnosticSequenceKey, 9);
    h.sim.defaults.setString(DiagnosticsState::kLastStoppedSnapshotKey, "other");
    const auto before = p.diagnostics.events;
    p.loadPersistedDiagnostics();
    EXPECT_EQ(p.diagnostics.events, before);
    EXPECT_EQ(p.diagnostics.sequence, 501);
    EXPECT_EQ(p.diagnostics.lastStoppedSnapshot, "vantu tunnel diagnostics\nold");

    // Nothing stored, or stored under another kind, reads as empty.
    ProviderHarness fresh;
    fresh.sim.defaults.setString(DiagnosticsState::kDiagnosticEventsKey, "not a list");
    fresh.sim.defaults.setString(DiagnosticsState::kDiagnosticSequenceKey, "12");
    fresh.provider->diagnostics.sequence = 33;
    fresh.provider->diagnostics.lastStoppedSnapshot = "stale";
    fresh.provider->loadPersistedDiagnostics();
    EXPECT_TRUE(fresh.provider->diagnostics.events.empty());
    EXPECT_EQ(fresh.provider->diagnostics.sequence, 0);
    EXPECT_EQ(fresh.provider->diagnostics.lastStoppedSnapshot, "");

    // A start restores the stored log before its first event.
    ProviderHarness restarted;
    restarted.sim.defaults.setStringArray(DiagnosticsState::kDiagnosticEventsKey, {"t #41 stopTunnel"});
    restarted.sim.defaults.setInteger(DiagnosticsState::kDiagnosticSequenceKey, 41);
    restarted.sim.host.protocol.reset();
    restarted.start();
    restarted.run();
    ASSERT_EQ(restarted.provider->diagnostics.events.size(), 3u);
    EXPECT_EQ(restarted.provider->diagnostics.events[1], "2027-01-15T08:00:00.000Z #42 startTunnel");
}

TEST(EventLog, TimestampsAreUTCWithMillisecondsCutNotRounded) {
    // 2026-12-05T07:42:29Z is 1796456549 seconds after the epoch.
    const Instant base{std::chrono::seconds(1796456549)};
    const std::pair<Instant, const char*> cases[] = {
        {base + 123ms, "2026-12-05T07:42:29.123Z"},
        {base + 123999us, "2026-12-05T07:42:29.123Z"},
        {base + 999ms + 999us, "2026-12-05T07:42:29.999Z"},
        {Instant{}, "1970-01-01T00:00:00.000Z"},
        {Instant{std::chrono::seconds(951782400)} + 7ms, "2000-02-29T00:00:00.007Z"},
    };
    for (const auto& [instant, text] : cases) EXPECT_EQ(PacketTunnelProvider::formatTimestamp(instant), text);

    ProviderHarness h;
    h.sim.queue.simClock().set(base + 123ms);
    h.provider->diagnostics.sequence = 56;
    h.provider->recordDiagnostic("network settings applied");
    EXPECT_EQ(h.provider->diagnostics.events.back(), "2026-12-05T07:42:29.123Z #57 network settings applied");
}

TEST(EventLog, ChannelSummaries) {
    ProviderHarness h;
    auto& p = *h.provider;
    // As fresh (spelled out in the fresh report's test), to compare the resets with.
    const std::string freshUDP = p.udpDiagnostics(), freshTCP = p.tcpDiagnostics();

    // With a UDP session its current state is read first.
    p.dataChannel.udpSession = h.sim.host.createUDPSession("192.0.2.1", "5555");
    h.udp()->setState(UDPSessionState::failed);
    p.dataChannel.udpReadySeen = true;
    p.dataChannel.udpSendAttempts = 5;
    p.dataChannel.udpSendCompletions = 3;
    p.dataChannel.udpSendFailures = 2;
    p.dataChannel.udpDatagramsReceived = 9;
    p.dataChannel.lastUDPSendError = "no route to host";
    EXPECT_EQ(p.udpDiagnostics(), "udpState=4 ready=true sendAttempts=5 sendCompletions=3 sendFailures=2 "
                                  "receivedDatagrams=9 lastSendError=no route to host");
    EXPECT_EQ(p.dataChannel.lastUDPSessionState, "4");

    p.dataChannel.tcpSendAttempts = 4;
    p.dataChannel.tcpSendFailures = 1;
    p.dataChannel.tcpSentBytes = 400;
    p.dataChannel.tcpReceivedBytes = 300;
    p.dataChannel.tcpFramesReceived = 2;
    p.dataChannel.lastReceivedPlainPreview = "8245";
    p.dataChannel.lastTCPSendError = "overflow";
    p.dataChannel.lastTCPReceiveError = "reset";
    p.dataChannel.lastSentPlainPreview = "0170";
    p.dataChannel.lastDecryptError = "bad tag";
    EXPECT_EQ(p.tcpDiagnostics(), "sendAttempts=4 sendFailures=1 sentBytes=400 receivedBytes=300 framesReceived=2 "
                                  "lastSendError=overflow lastReceiveError=reset lastSentPlain=0170 "
                                  "lastReceivedPlain=8245 lastDecryptError=bad tag");

    p.dataChannel.udpSession.reset();
    p.resetUDPDiagnostics();
    p.resetTCPDiagnostics();
    EXPECT_EQ(p.udpDiagnostics(), freshUDP);
    EXPECT_EQ(p.tcpDiagnostics(), freshTCP);
}

// A server that answers the control request with bytes that are not UTF-8
// must not break the event log: the start fails once, with the text
// repaired, and it and every later event reach the real SQLite store.
TEST(EventLog, PeerTextThatIsNotUTF8IsRepairedBeforeItIsLoggedOrStored) {
    char pattern[] = "/tmp/vantu-eventlog-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    {
        sim::SimPlatform sim;
        sim.host.protocol = ProtocolConfiguration{true, validProviderConfiguration()};
        SqliteDefaultsStore store(dir + "/defaults.sqlite");
        auto provider = PacketTunnelProvider::create(Platform{sim.queue, sim.packetFlow, sim.host, store, sim.log});
        provider->openControlSession = [](const VantuConfig&) -> std::shared_ptr<VantuSession> {
            throw VantuError("invalid control response: syntax error at 'caf\xE9\xFF'");
        };
        int calls = 0;
        std::optional<TunnelError> error;
        provider->startTunnel([&](std::optional<TunnelError> e) {
            ++calls;
            error = e;
        });
        sim.queue.runUntilIdle();

        const std::string repaired = "invalid control response: syntax error at 'caf\xEF\xBF\xBD'";
        EXPECT_EQ(calls, 1);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->description(), repaired);
        EXPECT_EQ(provider->lifecycle.lastTunnelFailure, "startTunnel failed: " + repaired);
        auto stored = store.stringArray(DiagnosticsState::kDiagnosticEventsKey);
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(*stored, provider->diagnostics.events);
        EXPECT_EQ(eventMessage(stored->back()), "startTunnel failed: " + repaired);

        // Later events, the log lines and the stop snapshot all still save.
        provider->recordDiagnostic("after the failure");
        provider->log("peer said \x80\x80 twice");
        provider->persistLastStoppedSnapshot();
        stored = store.stringArray(DiagnosticsState::kDiagnosticEventsKey);
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(eventMessage(stored->back()), "after the failure");
        EXPECT_EQ(store.integer(DiagnosticsState::kDiagnosticSequenceKey), provider->diagnostics.sequence);
        EXPECT_EQ(sim.log.lines.back(), "VantuPacketTunnel: peer said \xEF\xBF\xBD twice");
        for (const auto& line : sim.log.lines) EXPECT_TRUE(isValidUTF8(line)) << line;
        const auto snapshot = store.string(DiagnosticsState::kLastStoppedSnapshotKey);
        ASSERT_TRUE(snapshot.has_value());
        EXPECT_NE(snapshot->find(repaired), std::string::npos);
        EXPECT_EQ(store.lastError(), "");
    }
    std::filesystem::remove_all(dir);
}

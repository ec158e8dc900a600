// Rebuilding a failed UDP channel while the tunnel stays up: the same-session
// attempt, the fresh control session, and every way that ends.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::string kLost = "keepalive timed out: no server frame for 40s";
const std::string kServer = "192.0.2.1";  // the configured server, a dotted quad

std::shared_ptr<VantuSession> freshSession() {
    Bytes key(16, 0x5a);
    return std::make_shared<VantuSession>(0x0badcafeu, key, "aes-128-gcm", "10.7.0.9", 1380, 5556, "udp",
                                          std::vector<std::string>{"9.9.9.9"}, std::nullopt);
}

// A running tunnel whose channel is then lost.
struct Recovery : ProviderHarness {
    std::vector<std::string> controlHosts;
    std::shared_ptr<VantuSession> fresh = freshSession();
    // What the second control exchange does: open `fresh`, or throw this.
    std::optional<std::string> controlFailure;

    Recovery() {
        provider->openControlSession = [this](const VantuConfig& config) -> std::shared_ptr<VantuSession> {
            controlHosts.push_back(config.host);
            if (controlHosts.size() == 1) return session;
            if (controlFailure) throw VantuError(*controlFailure);
            session = fresh;  // the server's side of the tests now seals with it
            return fresh;
        };
        startSuccessfully();
    }
    void loseChannel() {
        udp()->deliverError("connection refused");
        run();
    }
    // In progress, attempts, successes, failures.
    std::tuple<bool, int64_t, int64_t, int64_t> outcome() const {
        return {provider->recovery.inProgress, provider->recovery.attempts, provider->recovery.successes,
                provider->recovery.failures};
    }
    std::vector<std::string> recoveryEvents() {
        std::vector<std::string> out;
        for (const auto& m : eventMessages(*provider)) {
            if (m.find("recovery") != m.npos || m.rfind("terminating", 0) == 0) out.push_back(m);
        }
        return out;
    }
};

TEST(UDPDataRecovery, SameSessionAttemptRebuildsTheChannelAndLeavesTheSettings) {
    Recovery h;
    const auto oldUDP = h.sim.host.udpSessions.back();
    const auto session = h.provider->session;
    const uint64_t seqBefore = session->seq;
    h.loseChannel();

    EXPECT_TRUE(h.provider->recovery.inProgress);
    EXPECT_EQ(h.provider->recovery.lastError, "connection refused");
    EXPECT_TRUE(oldUDP->cancelled);
    ASSERT_EQ(h.sim.host.udpSessions.size(), 2u);
    EXPECT_EQ(h.udp()->host, kServer);
    EXPECT_EQ(h.udp()->port, "5555");
    // The new channel seals with the same key, its sequence continuing.
    ASSERT_EQ(h.pings(), 1u);
    EXPECT_GT(session->seq, seqBefore);

    // Keepalive probes stay idle meanwhile (its timer was stopped with the channel).
    EXPECT_EQ(h.provider->keepalive.source, nullptr);
    h.pong();

    EXPECT_EQ(h.outcome(), std::make_tuple(false, 1, 1, 0));
    EXPECT_EQ(h.provider->recovery.lastError, "");
    EXPECT_EQ(h.provider->session, session);
    EXPECT_EQ(h.provider->currentServerAddress, kServer);
    EXPECT_EQ(h.sim.host.appliedSettings.size(), 1u);
    EXPECT_EQ(h.controlHosts.size(), 1u);
    EXPECT_NE(h.provider->keepalive.source, nullptr);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    EXPECT_EQ(h.recoveryEvents(), (std::vector<std::string>{
                                      "UDP data recovery started attempt=1: connection refused",
                                      "UDP data recovery completed on same session",
                                  }));

    // A later loss starts a new recovery, counted as the second attempt.
    h.at(100.0);  // silent server: the keepalive fails the rebuilt channel
    EXPECT_EQ(h.provider->recovery.attempts, 2);
    EXPECT_TRUE(h.recorded("UDP data recovery started attempt=2: keepalive timed out: no server frame for "));
}

TEST(UDPDataRecovery, FreshSessionAfterAFailedSameSessionAttempt) {
    Recovery h;
    h.provider->learnedRoutes.routes = {"203.0.113.7/32"};
    h.provider->learnedRoutes.cacheKey.clear();
    h.provider->directCore.tcpDisabledForSession = true;
    h.provider->directCore.tcpFailureWindowCount = 4;
    const VantuConfig config = *h.provider->activeConfig;
    const auto firstSettings = h.sim.host.appliedSettings.at(0);
    h.loseChannel();
    h.advance(8.0);  // the old session's handshake is never answered

    // The fresh control session went to the address in use.
    ASSERT_EQ(h.controlHosts, (std::vector<std::string>{kServer, kServer}));
    EXPECT_EQ(h.provider->session, h.fresh);
    EXPECT_EQ(h.provider->currentServerAddress, kServer);
    EXPECT_EQ(h.provider->learnedRoutes.cacheKey, config.dynamicDirectRouteCacheKey);
    EXPECT_TRUE(h.provider->learnedRoutes.routes.empty());  // no direct switch on: nothing loaded
    EXPECT_FALSE(h.provider->directCore.tcpDisabledForSession);
    EXPECT_EQ(h.provider->directCore.tcpFailureWindowCount, 0);
    ASSERT_EQ(h.sim.host.udpSessions.size(), 3u);
    EXPECT_EQ(h.udp()->port, "5556");
    EXPECT_TRUE(h.provider->recovery.inProgress);
    EXPECT_EQ(h.sim.host.appliedSettings.size(), 1u);  // not before the new handshake

    h.pong();  // sealed with the fresh session's key
    ASSERT_EQ(h.sim.host.appliedSettings.size(), 2u);
    const TunnelNetworkSettings& applied = *h.sim.host.appliedSettings[1];
    EXPECT_EQ(applied.ipv4Addresses, std::vector<std::string>{"10.7.0.9"});
    EXPECT_EQ(applied.mtu, 1380);
    EXPECT_NE(applied, *firstSettings);
    EXPECT_EQ(h.outcome(), std::make_tuple(false, 1, 1, 0));
    EXPECT_EQ(h.provider->recovery.lastError, "");
    EXPECT_NE(h.provider->keepalive.source, nullptr);
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    const auto events = h.recoveryEvents();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0], "UDP data recovery started attempt=1: connection refused");
    EXPECT_EQ(events[1].rfind("UDP data recovery same-session failed: Vantu encrypted UDP handshake timed out; ", 0), 0u);
    EXPECT_EQ(events[2].rfind("UDP data recovery opening fresh control session host=192.0.2.1 after: Vantu encrypted "
                              "UDP handshake timed out; ", 0),
              0u);
    EXPECT_EQ(events[3], "UDP data recovery fresh session opened tunnelIP=10.7.0.9 dataPort=5556");
    EXPECT_EQ(events[4], "UDP data recovery completed with fresh session");
}

// Every way a recovery gives up: one attempt, one failure, one termination
// with the failure's text.
TEST(UDPDataRecovery, FinalFailuresTerminateTheTunnel) {
    struct Case {
        const char* name;
        std::function<void(Recovery&)> arrange;  // before the channel is lost
        std::function<void(Recovery&)> act;      // after the same-session attempt began
        std::string failure;                     // after "UDP data recovery failed: "; a prefix
    };
    const std::string timedOut = "Vantu encrypted UDP handshake timed out; ";
    const std::vector<Case> cases = {
        {"control session", [](Recovery& h) { h.controlFailure = "control connect failed: Connection refused"; },
         [](Recovery& h) { h.advance(8.0); }, "fresh control session failed: control connect failed: Connection refused"},
        {"fresh data channel", nullptr, [](Recovery& h) { h.advance(16.0); }, "fresh data channel failed: " + timedOut},
        {"network settings", [](Recovery& h) { h.sim.host.settingsError = "netlink: File exists"; },
         [](Recovery& h) {
             h.advance(8.0);
             h.pong();
         },
         "fresh network settings failed: netlink: File exists"},
        {"path lost before the fresh session", nullptr,
         [](Recovery& h) {
             h.sim.host.path = NetworkPath{PathStatus::unsatisfied, false, false, "eth0"};
             h.advance(8.0);
         },
         "network unavailable before fresh control session: " + timedOut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recovery h;
        if (c.arrange) c.arrange(h);
        h.loseChannel();
        c.act(h);
        EXPECT_EQ(h.outcome(), std::make_tuple(false, 1, 0, 1));
        EXPECT_EQ(h.provider->recovery.lastError.rfind(c.failure, 0), 0u) << h.provider->recovery.lastError;
        EXPECT_TRUE(h.provider->lifecycle.isTerminatingTunnel);
        ASSERT_EQ(h.sim.host.cancellations.size(), 1u);
        EXPECT_EQ(h.sim.host.cancellations[0].description(), "UDP data recovery failed: " + h.provider->recovery.lastError);
        EXPECT_EQ(h.recoveryEvents().back(), "terminating tunnel: UDP data recovery failed: " +
                                                 h.provider->recovery.lastError);
        EXPECT_EQ(h.provider->session, nullptr);
        EXPECT_EQ(h.provider->dataChannel.udpSession, nullptr);
        h.advance(60.0);
        EXPECT_EQ(h.sim.host.cancellations.size(), 1u);
    }
}

TEST(UDPDataRecovery, RefusedStartsChangeNoCounter) {
    // A second request while one runs is only recorded.
    Recovery h;
    h.loseChannel();
    h.provider->recoverUDPDataChannel("network path changed: a -> b");
    EXPECT_TRUE(h.recorded("UDP data recovery already in progress; latest reason: network path changed: a -> b"));
    EXPECT_EQ(h.provider->recovery.attempts, 1);
    EXPECT_EQ(h.provider->recovery.lastError, "connection refused");
    EXPECT_EQ(h.sim.host.udpSessions.size(), 2u);

    // No usable path: the tunnel ends without an attempt.
    Recovery pathless;
    pathless.sim.host.path = NetworkPath{PathStatus::unsatisfied, false, false, "eth0"};
    pathless.provider->recoverUDPDataChannel(kLost);
    EXPECT_EQ(pathless.provider->recovery.attempts, 0);
    EXPECT_EQ(pathless.provider->lifecycle.lastTunnelFailure, "network unavailable before UDP data recovery: " + kLost +
                                                        "; status=unsatisfied expensive=false constrained=false");
    EXPECT_EQ(pathless.sim.host.cancellations.size(), 1u);

    // Nothing to rebuild with (no server address yet): the channel closes and
    // the tunnel is cancelled with the failure itself.
    Recovery addressless;
    addressless.provider->currentServerAddress.clear();
    addressless.loseChannel();
    EXPECT_EQ(addressless.provider->recovery.attempts, 0);
    EXPECT_EQ(addressless.sim.host.cancellations,
              std::vector<TunnelError>{TunnelError::fromVantu("connection refused")});
    EXPECT_EQ(addressless.provider->dataChannel.udpSession, nullptr);
    EXPECT_EQ(addressless.provider->keepalive.source, nullptr);
    EXPECT_EQ(addressless.provider->lifecycle.lastTunnelFailure, "connection refused");
    EXPECT_FALSE(addressless.provider->lifecycle.isTerminatingTunnel);
}

TEST(UDPDataRecovery, StopDuringARecoveryEndsItQuietly) {
    for (double stopAt : {1.0, 8.5}) {  // in the same-session and in the fresh handshake
        SCOPED_TRACE(stopAt);
        Recovery h;
        h.loseChannel();
        h.advance(stopAt);
        ASSERT_EQ(h.stop(1), 1);
        EXPECT_FALSE(h.provider->recovery.inProgress);
        const size_t events = h.provider->diagnostics.events.size();
        h.advance(60.0);
        EXPECT_EQ(h.provider->diagnostics.events.size(), events);
        EXPECT_EQ(h.outcome(), std::make_tuple(false, 1, 0, 0));
        EXPECT_TRUE(h.sim.host.cancellations.empty());
        EXPECT_EQ(h.sim.host.appliedSettings.size(), 1u);
    }
}

}  // namespace
}  // namespace vantu::testing

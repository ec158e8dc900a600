#include <ifaddrs.h>
#include <netinet/in.h>

#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;

namespace {

// A host name no resolver can look up, and that never leaves the machine:
// a 64-octet label cannot be encoded in a DNS query at all.
const std::string kUnresolvable = std::string(64, 'a') + ".invalid";

// AI_ADDRCONFIG only answers IPv4 when an IPv4 address other than loopback
// is configured; a bare network namespace has none.
bool hostHasIPv4Address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (ntohl(in->sin_addr.s_addr) != INADDR_LOOPBACK) found = true;
    }
    ::freeifaddrs(list);
    return found;
}

ProtocolConfiguration configured(nlohmann::json config) { return ProtocolConfiguration{true, std::move(config)}; }

}  // namespace

TEST(ProviderStart, BadConfigurationEndsTheStartWithoutAnyNetworkCall) {
    const std::string missing = "missing tunnel provider configuration";
    const std::vector<std::pair<std::optional<ProtocolConfiguration>, std::string>> cases = {
        {configured({{"server", "192.0.2.1:443"}}), missing},
        {configured({{"server", "gateway"}, {"secretKey", "s3cret"}}), "invalid server:port"},
        // A null pin stops the start: the secret never goes out in clear.
        {configured({{"server", "192.0.2.1:443"}, {"secretKey", "s3cret"}, {"serverCertificateSHA256", nullptr}}),
         "invalid serverCertificateSHA256: expected 64 hexadecimal digits, colons allowed between bytes, not null"},
        {ProtocolConfiguration{true, std::nullopt}, missing},
        {std::nullopt, missing},
        {ProtocolConfiguration{false, validProviderConfiguration()}, missing},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string& message = cases[i].second;
        ProviderHarness h;
        h.sim.host.protocol = cases[i].first;
        auto result = h.start();
        EXPECT_EQ(result->calls, 0) << "the start runs on the queue, not inside startTunnel";
        h.advance(60.0);

        EXPECT_EQ(eventMessages(*h.provider), (std::vector<std::string>{"startTunnel", "startTunnel failed: " + message}));
        ASSERT_EQ(result->calls, 1);
        EXPECT_EQ(result->error, TunnelError::fromVantu(message));
        EXPECT_EQ(result->error->domain, "VantuPacketTunnel.VantuError");
        EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "startTunnel failed: " + message);
        EXPECT_FALSE(h.provider->activeConfig.has_value());
        EXPECT_EQ(h.controlCalls, 0);
        EXPECT_TRUE(h.sim.host.udpSessions.empty());
        EXPECT_TRUE(h.sim.host.appliedSettings.empty());
    }
}

TEST(ProviderStart, ControlFailureKeepsTheNewConfiguration) {
    // The exchange's own error, and anything else escaping it, end the start the same way.
    for (const bool vantuError : {true, false}) {
        SCOPED_TRACE(vantuError);
        ProviderHarness h;
        h.sim.host.protocol = configured({{"server", "gateway.example:8443"},
                                          {"secretKey", "s3cret"},
                                          {"dnsServers", {"1.1.1.1", "8.8.8.8"}},
                                          {"useServerRouting", false},
                                          {"clientDirectCoreEnabled", true},
                                          {"clientDirectTCPEnabled", true}});
        h.provider->openControlSession = [vantuError](const VantuConfig&) -> std::shared_ptr<VantuSession> {
            if (vantuError) throw VantuError("control session rejected");
            throw std::runtime_error("control session rejected");
        };
        h.provider->lifecycle.isTerminatingTunnel = true;  // left over from an earlier termination
        auto result = h.start();
        h.run();

        EXPECT_EQ(eventMessages(*h.provider),
                  (std::vector<std::string>{"startTunnel",
                                            "config server=gateway.example:8443 serverRouting=false "
                                            "directCoreUDP=true directCoreTCP=true dns=1.1.1.1,8.8.8.8",
                                            "opening control session to gateway.example:8443",
                                            "startTunnel failed: control session rejected"}));
        ASSERT_EQ(result->calls, 1);
        EXPECT_EQ(result->error, TunnelError::fromVantu("control session rejected"));
        ASSERT_TRUE(h.provider->activeConfig.has_value());
        EXPECT_EQ(h.provider->activeConfig->host, "gateway.example");
        EXPECT_FALSE(h.provider->session);
        EXPECT_FALSE(h.provider->lifecycle.isTerminatingTunnel);
        // The switches are copied only once a session exists.
        EXPECT_FALSE(h.provider->directCore.udpEnabled);
        EXPECT_TRUE(h.sim.host.udpSessions.empty());
    }
}

TEST(ProviderStart, SuccessfulStartRecordsEveryStepInOrder) {
    ProviderHarness h;
    // Per-session direct-core state left from an earlier run.
    h.provider->learnedRoutes.routes = {"198.51.100.0/24"};
    h.provider->directCore.tcpDisabledForSession = true;
    h.provider->directCore.tcpFailureWindowCount = 4;
    h.provider->directCore.tcpFailureWindowStartedAt = h.sim.queue.now();
    auto result = h.start();
    h.run();

    // Waiting for the pong: nothing reported, nothing applied.
    EXPECT_EQ(result->calls, 0);
    ASSERT_EQ(h.sim.host.udpSessions.size(), 1u);
    EXPECT_EQ(h.udp()->host, "192.0.2.1");
    EXPECT_EQ(h.udp()->port, "5555");
    EXPECT_EQ(h.pings(), 1u);
    EXPECT_TRUE(h.sim.host.appliedSettings.empty());

    h.answerHandshake();
    ASSERT_EQ(result->calls, 1);
    EXPECT_FALSE(result->error.has_value());
    const std::vector<std::string> expected = {
        "startTunnel",
        "config server=192.0.2.1:443 serverRouting=true directCoreUDP=false directCoreTCP=false dns=",
        "opening control session to 192.0.2.1:443",
        "control session opened tunnelIP=10.7.0.2 dataPort=5555 mtu=1420 transport=udp",
        "server address resolved to 192.0.2.1",
        "UDP data channel verified",
        "network settings applied",
    };
    EXPECT_EQ(eventMessages(*h.provider), expected);
    EXPECT_EQ(result->eventsAtCompletion, expected);

    EXPECT_EQ(h.controlCalls, 1);
    EXPECT_EQ(h.provider->session, h.session);
    EXPECT_EQ(h.provider->currentServerAddress, "192.0.2.1");
    EXPECT_TRUE(h.provider->keepalive.source);
    EXPECT_EQ(h.sim.packetFlow.readRequests, 1);
    ASSERT_EQ(h.sim.host.appliedSettings.size(), 1u);
    ASSERT_TRUE(h.sim.host.appliedSettings[0].has_value());
    EXPECT_EQ(h.sim.host.appliedSettings[0]->tunnelRemoteAddress, "192.0.2.1");
    EXPECT_TRUE(h.provider->learnedRoutes.routes.empty());
    EXPECT_FALSE(h.provider->directCore.tcpDisabledForSession);
    EXPECT_EQ(h.provider->directCore.tcpFailureWindowCount, 0);
    EXPECT_TRUE(isDistantPast(h.provider->directCore.tcpFailureWindowStartedAt));
    EXPECT_EQ(h.provider->learnedRoutes.cacheKey, dynamicDirectRouteCacheKey("192.0.2.1", "s3cret"));

    h.advance(25.0);
    EXPECT_EQ(result->calls, 1);

    // The two direct-core switches are copied separately.
    ProviderHarness tcpOnly;
    tcpOnly.sim.host.protocol =
        configured({{"server", "192.0.2.1:443"}, {"secretKey", "s3cret"}, {"clientDirectTCPEnabled", true}});
    tcpOnly.startSuccessfully();
    EXPECT_FALSE(tcpOnly.provider->directCore.udpEnabled);
    EXPECT_TRUE(tcpOnly.provider->directCore.tcpEnabled);
}

TEST(ProviderStart, SettingsFailureLeavesTheDataChannelUp) {
    ProviderHarness h;
    h.sim.host.settingsError = "route table refused";
    auto result = h.start();
    h.answerHandshake();

    ASSERT_EQ(result->calls, 1);
    ASSERT_TRUE(result->error.has_value());
    EXPECT_EQ(result->error->description(), "route table refused");
    EXPECT_NE(result->error->domain, TunnelError::kVantuDomain);  // the platform's own error is passed on
    const auto events = eventMessages(*h.provider);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "UDP data channel verified");
    EXPECT_EQ(events.back(), "setTunnelNetworkSettings failed: route table refused");
    EXPECT_EQ(h.provider->lifecycle.lastTunnelFailure, "setTunnelNetworkSettings failed: route table refused");
    EXPECT_EQ(h.sim.packetFlow.readRequests, 0);
    EXPECT_TRUE(h.provider->keepalive.source);
    EXPECT_TRUE(h.provider->session);
    EXPECT_FALSE(h.udp()->cancelled);
}

TEST(ProviderStart, ServerAddressResolution) {
    // An unresolvable host is handed on as written.
    EXPECT_FALSE(PacketTunnelProvider::resolveIPv4(kUnresolvable).has_value());
    ProviderHarness h;
    h.sim.host.protocol = configured({{"server", kUnresolvable + ":443"}, {"secretKey", "k"}});
    h.startSuccessfully();
    const auto events = eventMessages(*h.provider);
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(events[4], "server address resolved to " + kUnresolvable);
    EXPECT_EQ(h.udp()->host, kUnresolvable);
    EXPECT_EQ(h.provider->currentServerAddress, kUnresolvable);

    if (!hostHasIPv4Address()) GTEST_SKIP() << "no IPv4 address configured besides loopback";
    // Dotted addresses resolve to themselves; localhost comes from the hosts file.
    EXPECT_EQ(PacketTunnelProvider::resolveIPv4("192.0.2.77"), std::optional<std::string>("192.0.2.77"));
    EXPECT_EQ(PacketTunnelProvider::resolveIPv4("localhost"), std::optional<std::string>("127.0.0.1"));
}

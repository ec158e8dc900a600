#include <ifaddrs.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "tests/provider_test_support.h"

using namespace vantu;
using namespace vantu::testing;

namespace {

// A host name no resolver can look up, and that never leaves the machine:
// a 64-octet label cannot be encoded in a DNS query at all.
std::string unresolvableHost() { return std::string(64, 'a') + ".invalid"; }

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

}  // namespace

TEST(ProviderStart, BadConfigurationEndsTheStartWithoutAnyNetworkCall) {
    struct Case {
        std::string name;
        std::optional<ProtocolConfiguration> protocol;
        std::string message;
    };
    auto withConfig = [](nlohmann::json config) {
        return std::optional<ProtocolConfiguration>(ProtocolConfiguration{true, std::move(config)});
    };
    const std::string missing = "missing tunnel provider configuration";
    const std::vector<Case> cases = {
        {"no secretKey", withConfig({{"server", "192.0.2.1:443"}}), missing},
        {"server as a number", withConfig({{"server", 443}, {"secretKey", "s3cret"}}), missing},
        {"port out of range", withConfig({{"server", "gateway:70000"}, {"secretKey", "s3cret"}}),
         "invalid server:port"},
        {"no port", withConfig({{"server", "gateway"}, {"secretKey", "s3cret"}}), "invalid server:port"},
        {"no provider configuration", ProtocolConfiguration{true, std::nullopt}, missing},
        {"no protocol configuration", std::nullopt, missing},
        {"another provider kind", ProtocolConfiguration{false, validProviderConfiguration()}, missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProviderHarness h;
        h.sim.host.protocol = c.protocol;
        auto result = h.start();
        EXPECT_EQ(result->calls, 0) << "the start runs on the queue, not inside startTunnel";
        h.sim.queue.advance(Duration(60.0));

        EXPECT_EQ(eventMessages(*h.provider), (std::vector<std::string>{"startTunnel", "startTunnel failed: " + c.message}));
        ASSERT_EQ(result->calls, 1);
        ASSERT_TRUE(result->error.has_value());
        EXPECT_EQ(*result->error, TunnelError::fromVantu(c.message));
        EXPECT_EQ(result->error->domain, "VantuPacketTunnel.VantuError");
        EXPECT_EQ(result->error->code, 1);
        EXPECT_EQ(result->error->localizedFailureReason, c.message);
        EXPECT_EQ(h.provider->lastTunnelFailure, "startTunnel failed: " + c.message);
        EXPECT_FALSE(h.provider->activeConfig.has_value());
        EXPECT_EQ(h.controlCalls, 0);
        EXPECT_TRUE(h.sim.host.udpSessions.empty());
        EXPECT_TRUE(h.sim.host.tcpConnections.empty());
        EXPECT_TRUE(h.sim.host.appliedSettings.empty());
        EXPECT_TRUE(h.sim.log.contains("VantuPacketTunnel: startTunnel failed: " + c.message));
    }
}

TEST(ProviderStart, ControlFailureKeepsTheNewConfiguration) {
    ProviderHarness h;
    h.sim.host.protocol = ProtocolConfiguration{
        true, nlohmann::json{{"server", "gateway.example:8443"},
                             {"secretKey", "s3cret"},
                             {"dnsServers", {"1.1.1.1", "8.8.8.8"}},
                             {"useServerRouting", false},
                             {"clientDirectCoreEnabled", true},
                             {"clientDirectTCPEnabled", true}}};
    h.provider->openControlSession = [&](const VantuConfig& config) -> std::shared_ptr<VantuSession> {
        ++h.controlCalls;
        h.controlConfig = config;
        throw VantuError("control session rejected");
    };
    h.provider->isTerminatingTunnel = true;  // left over from an earlier termination
    auto result = h.start();
    h.sim.queue.advance(Duration(30.0));

    EXPECT_EQ(eventMessages(*h.provider),
              (std::vector<std::string>{"startTunnel",
                                        "config server=gateway.example:8443 serverRouting=false directCoreUDP=true "
                                        "directCoreTCP=true dns=1.1.1.1,8.8.8.8",
                                        "opening control session to gateway.example:8443",
                                        "startTunnel failed: control session rejected"}));
    ASSERT_EQ(result->calls, 1);
    EXPECT_EQ(result->error, TunnelError::fromVantu("control session rejected"));
    EXPECT_EQ(h.controlCalls, 1);
    ASSERT_TRUE(h.provider->activeConfig.has_value());
    EXPECT_EQ(h.provider->activeConfig->host, "gateway.example");
    EXPECT_EQ(h.provider->activeConfig, h.controlConfig);
    EXPECT_FALSE(h.provider->session);
    EXPECT_FALSE(h.provider->isTerminatingTunnel);
    // The switches are copied only once a session exists.
    EXPECT_FALSE(h.provider->clientDirectCoreEnabled);
    EXPECT_TRUE(h.sim.host.udpSessions.empty());
    EXPECT_EQ(h.provider->lastTunnelFailure, "startTunnel failed: control session rejected");

    // Any other failure escaping the exchange still ends the start once.
    ProviderHarness other;
    other.provider->openControlSession = [](const VantuConfig&) -> std::shared_ptr<VantuSession> {
        throw std::runtime_error("resolver exploded");
    };
    auto otherResult = other.start();
    other.sim.queue.runUntilIdle();
    EXPECT_EQ(otherResult->calls, 1);
    EXPECT_EQ(eventMessages(*other.provider).back(), "startTunnel failed: resolver exploded");
}

TEST(ProviderStart, SuccessfulStartRecordsEveryStepInOrder) {
    ProviderHarness h;
    auto result = h.start();
    h.sim.queue.runUntilIdle();

    // Waiting for the pong: nothing has been reported yet.
    EXPECT_EQ(result->calls, 0);
    ASSERT_EQ(h.sim.host.udpSessions.size(), 1u);
    EXPECT_EQ(h.udp()->host, "192.0.2.1");
    EXPECT_EQ(h.udp()->port, "5555");
    ASSERT_EQ(h.udp()->writes.size(), 1u);
    // The ping is a unit of the client's own session: sequence 1, direction C2S.
    const Bytes& ping = h.udp()->writes[0];
    ASSERT_EQ(ping.size(), 5u + 28u);
    EXPECT_EQ(Bytes(ping.begin(), ping.begin() + 12),
              (Bytes{0x01, 0x02, 0x03, 0x04, 0, 0, 0, 1, 0x43, 0x32, 0x53, 0x00}));
    EXPECT_EQ(h.session->decrypt(ping), (Bytes{0x01, 'p', 'i', 'n', 'g'}));
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
    // The completion ran only after the last step was recorded.
    EXPECT_EQ(result->eventsAtCompletion, expected);

    EXPECT_EQ(h.controlCalls, 1);
    EXPECT_EQ(h.controlConfig->host, "192.0.2.1");
    EXPECT_EQ(h.controlConfig->controlPort, 443);
    EXPECT_EQ(h.provider->session, h.session);
    EXPECT_EQ(h.provider->currentServerAddress, "192.0.2.1");
    EXPECT_TRUE(h.provider->handshakeCompleted);
    EXPECT_TRUE(h.provider->keepaliveSource);
    EXPECT_EQ(h.sim.packetFlow.readRequests, 1);
    ASSERT_EQ(h.sim.host.appliedSettings.size(), 1u);
    ASSERT_TRUE(h.sim.host.appliedSettings[0].has_value());
    EXPECT_EQ(h.sim.host.appliedSettings[0]->tunnelRemoteAddress, "192.0.2.1");
    EXPECT_EQ(h.sim.host.appliedSettings[0]->ipv4Addresses, (std::vector<std::string>{"10.7.0.2"}));
    EXPECT_EQ(h.sim.host.appliedSettings[0]->mtu, 1420);
    EXPECT_EQ(h.provider->lastTunnelFailure, "");
    EXPECT_TRUE(h.sim.log.contains("VantuPacketTunnel: UDP data channel verified"));

    // Nothing later calls the start completion again.
    h.sim.queue.advance(Duration(25.0));
    EXPECT_EQ(result->calls, 1);
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
    EXPECT_EQ(h.provider->lastTunnelFailure, "setTunnelNetworkSettings failed: route table refused");
    EXPECT_EQ(h.sim.packetFlow.readRequests, 0);
    EXPECT_TRUE(h.provider->udpSession);
    EXPECT_TRUE(h.provider->keepaliveSource);
    EXPECT_TRUE(h.provider->session);
    EXPECT_TRUE(h.provider->activeConfig.has_value());
    EXPECT_FALSE(h.udp()->cancelled);
}

TEST(ProviderStart, HandshakeFailuresEndTheStartExactlyOnce) {
    // No pong ever: the 8-second timeout ends the start.
    {
        ProviderHarness h;
        auto result = h.start();
        h.sim.queue.advance(Duration(7.9));
        EXPECT_EQ(result->calls, 0);
        h.sim.queue.advance(Duration(0.2));
        ASSERT_EQ(result->calls, 1);
        ASSERT_TRUE(result->error.has_value());
        const std::string prefix = "data channel handshake failed: Vantu encrypted UDP handshake timed out; ";
        EXPECT_EQ(h.provider->lastTunnelFailure.rfind(prefix, 0), 0u) << h.provider->lastTunnelFailure;
        EXPECT_EQ(eventMessages(*h.provider).back(), h.provider->lastTunnelFailure);
        EXPECT_EQ(h.provider->lastTunnelFailure, "data channel handshake failed: " + result->error->description());
        // A pong arriving afterwards changes nothing.
        h.udp()->deliver({serverPong(*h.session, 1)});
        h.sim.queue.advance(Duration(60.0));
        EXPECT_EQ(result->calls, 1);
        EXPECT_TRUE(h.sim.host.appliedSettings.empty());
        // Start leaves session and configuration in place after a data-channel failure.
        EXPECT_TRUE(h.provider->session);
        EXPECT_TRUE(h.provider->activeConfig.has_value());
    }
    // No usable network path: the start fails before any UDP session exists.
    {
        ProviderHarness h;
        h.sim.host.path = NetworkPath{PathStatus::unsatisfied, false, false, "none"};
        auto result = h.start();
        h.sim.queue.advance(Duration(10.0));
        ASSERT_EQ(result->calls, 1);
        EXPECT_TRUE(h.sim.host.udpSessions.empty());
        EXPECT_EQ(eventMessages(*h.provider).back().rfind(
                      "data channel handshake failed: network unavailable before data channel start: ", 0),
                  0u);
    }
}

TEST(ProviderStart, DirectCoreSwitchesAndCacheKeyAreTakenFromTheConfiguration) {
    ProviderHarness h;
    h.provider->dynamicDirectRoutes = {"198.51.100.0/24"};
    h.provider->directTCPDisabledForSession = true;
    h.provider->directTCPFailureWindowCount = 4;
    h.provider->directTCPFailureWindowStartedAt = h.sim.queue.now();
    h.startSuccessfully();
    EXPECT_TRUE(h.provider->dynamicDirectRoutes.empty());
    EXPECT_FALSE(h.provider->directTCPDisabledForSession);
    EXPECT_EQ(h.provider->directTCPFailureWindowCount, 0);
    EXPECT_TRUE(isDistantPast(h.provider->directTCPFailureWindowStartedAt));
    EXPECT_EQ(h.provider->dynamicDirectRouteCacheKey, dynamicDirectRouteCacheKey("192.0.2.1", "s3cret"));

    ProviderHarness on;
    on.sim.host.protocol = ProtocolConfiguration{
        true, nlohmann::json{{"server", "192.0.2.1:443"}, {"secretKey", "s3cret"}, {"clientDirectTCPEnabled", true}}};
    on.startSuccessfully();
    EXPECT_FALSE(on.provider->clientDirectCoreEnabled);
    EXPECT_TRUE(on.provider->clientDirectTCPEnabled);
}

TEST(ProviderStart, ServerAddressResolution) {
    // An unresolvable host is handed on as written.
    EXPECT_FALSE(PacketTunnelProvider::resolveIPv4(unresolvableHost()).has_value());
    {
        ProviderHarness h;
        h.sim.host.protocol =
            ProtocolConfiguration{true, nlohmann::json{{"server", unresolvableHost() + ":443"}, {"secretKey", "k"}}};
        auto result = h.start();
        h.answerHandshake();
        EXPECT_EQ(result->calls, 1);
        const auto events = eventMessages(*h.provider);
        ASSERT_GE(events.size(), 5u);
        EXPECT_EQ(events[4], "server address resolved to " + unresolvableHost());
        EXPECT_EQ(h.udp()->host, unresolvableHost());
        EXPECT_EQ(h.provider->currentServerAddress, unresolvableHost());
    }

    if (!hostHasIPv4Address()) GTEST_SKIP() << "no IPv4 address configured besides loopback";
    // Dotted addresses resolve to themselves; localhost comes from the hosts file.
    EXPECT_EQ(PacketTunnelProvider::resolveIPv4("192.0.2.77"), std::optional<std::string>("192.0.2.77"));
    EXPECT_EQ(PacketTunnelProvider::resolveIPv4("localhost"), std::optional<std::string>("127.0.0.1"));
}

TEST(ProviderStart, LoadConfigReadsTheProviderConfiguration) {
    ProviderHarness h;
    h.sim.host.protocol = ProtocolConfiguration{
        true, nlohmann::json{{"server", "gateway:443"}, {"secretKey", "s3cret"}, {"deviceID", "dev-1"}}};
    const VantuConfig config = h.provider->loadConfig();
    EXPECT_EQ(config.host, "gateway");
    EXPECT_EQ(config.controlPort, 443);
    EXPECT_EQ(config.secret, "s3cret");
    EXPECT_EQ(config.deviceID, "dev-1");
    // Loading records nothing and changes no provider field.
    EXPECT_TRUE(h.provider->diagnosticsEvents.empty());
    EXPECT_FALSE(h.provider->activeConfig.has_value());

    h.sim.host.protocol = ProtocolConfiguration{false, validProviderConfiguration()};
    try {
        h.provider->loadConfig();
        FAIL() << "another provider kind must not load";
    } catch (const VantuError& error) {
        EXPECT_EQ(error.message(), "missing tunnel provider configuration");
    }
}

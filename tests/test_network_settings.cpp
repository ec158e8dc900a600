// The tunnel network settings record built from the server address and the session.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

TEST(NetworkSettings, BuiltFromServerAddressAndSession) {
    ProviderHarness h;
    h.provider->learnedRoutes.lastAppliedCount = 17;
    const TunnelNetworkSettings s = h.provider->networkSettings("198.51.100.20", *h.session);
    EXPECT_EQ(s.tunnelRemoteAddress, "198.51.100.20");
    EXPECT_EQ(s.mtu, 1420);
    EXPECT_EQ(s.ipv4Addresses, std::vector<std::string>{"10.7.0.2"});
    EXPECT_EQ(s.ipv4SubnetMasks, std::vector<std::string>{"255.255.255.255"});
    EXPECT_TRUE(s.includeDefaultRoute);
    EXPECT_TRUE(s.includedRoutes.empty());
    EXPECT_EQ(s.excludedRoutes, (std::vector<IPv4Route>{{"198.51.100.20", "255.255.255.255"}}));
    EXPECT_EQ(s.dnsServers, std::vector<std::string>{"10.7.0.2"});
    EXPECT_EQ(h.provider->learnedRoutes.lastAppliedCount, 0);
    EXPECT_EQ(h.sim.log.lines,
              std::vector<std::string>{"VantuPacketTunnel: excluded server route 198.51.100.20/255.255.255.255"});
    EXPECT_TRUE(h.provider->diagnostics.events.empty());

    // A host name that did not resolve is still the remote address, but it
    // cannot be excluded; neither can the broadcast address.
    for (const char* server : {"vpn.example.test", "255.255.255.255"}) {
        h.provider->learnedRoutes.lastAppliedCount = 3;
        const TunnelNetworkSettings other = h.provider->networkSettings(server, *h.session);
        EXPECT_EQ(other.tunnelRemoteAddress, server);
        EXPECT_FALSE(other.excludedRoutes.has_value()) << server;
        EXPECT_EQ(h.provider->learnedRoutes.lastAppliedCount, 0);
    }
    EXPECT_EQ(h.sim.log.lines.size(), 1u);
}

TEST(NetworkSettings, ServerExclusionRouteFollowsInetAddr) {
    // The classic short and hexadecimal forms are accepted, and the text is kept as written.
    for (const char* good : {"203.0.113.7", "127.1", "0xc0.0.2.1"}) {
        EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute(good), (IPv4Route{good, "255.255.255.255"}));
    }
    for (const char* bad : {"255.255.255.255", "256.1.1.1", "", "server.example.test"}) {
        EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace vantu::testing

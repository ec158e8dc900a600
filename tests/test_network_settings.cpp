// The tunnel network settings record built from the server address and the session.

#include <gtest/gtest.h>

#include "tests/DataChannelHarness.h"

namespace vantu::testing {
namespace {

TEST(NetworkSettings, BuiltFromServerAddressAndSession) {
    Harness h;
    h.provider->lastAppliedDynamicRouteCount = 17;
    const TunnelNetworkSettings s = h.provider->networkSettings("198.51.100.20", *h.session);
    EXPECT_EQ(s.tunnelRemoteAddress, "198.51.100.20");
    EXPECT_EQ(s.mtu, 1420);
    EXPECT_EQ(s.ipv4Addresses, std::vector<std::string>{"10.7.0.2"});
    EXPECT_EQ(s.ipv4SubnetMasks, std::vector<std::string>{"255.255.255.255"});
    EXPECT_TRUE(s.includeDefaultRoute);
    EXPECT_TRUE(s.includedRoutes.empty());
    ASSERT_TRUE(s.excludedRoutes.has_value());
    EXPECT_EQ(*s.excludedRoutes, (std::vector<IPv4Route>{{"198.51.100.20", "255.255.255.255"}}));
    EXPECT_EQ(s.dnsServers, std::vector<std::string>{"10.7.0.2"});
    EXPECT_EQ(h.provider->lastAppliedDynamicRouteCount, 0);
    EXPECT_EQ(h.sim.log.lines,
              std::vector<std::string>{"VantuPacketTunnel: excluded server route 198.51.100.20/255.255.255.255"});
    EXPECT_TRUE(h.provider->diagnosticsEvents.empty());

    // Rebuilding from the same inputs gives an equal record.
    h.provider->lastAppliedDynamicRouteCount = 3;
    EXPECT_EQ(h.provider->networkSettings("198.51.100.20", *h.session), s);
    EXPECT_EQ(h.provider->lastAppliedDynamicRouteCount, 0);
}

TEST(NetworkSettings, ServerAddressesWithoutExclusion) {
    Harness h;
    // A host name that did not resolve is still the remote address, but it
    // cannot be excluded.
    const TunnelNetworkSettings named = h.provider->networkSettings("vpn.example.test", *h.session);
    EXPECT_EQ(named.tunnelRemoteAddress, "vpn.example.test");
    EXPECT_FALSE(named.excludedRoutes.has_value());
    EXPECT_FALSE(h.logged("excluded server route"));

    const TunnelNetworkSettings broadcast = h.provider->networkSettings("255.255.255.255", *h.session);
    EXPECT_FALSE(broadcast.excludedRoutes.has_value());
    EXPECT_FALSE(h.logged("excluded server route"));
    EXPECT_EQ(h.provider->lastAppliedDynamicRouteCount, 0);
}

TEST(NetworkSettings, ServerExclusionRouteFollowsInetAddr) {
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute("203.0.113.7"),
              (IPv4Route{"203.0.113.7", "255.255.255.255"}));
    // The classic short and hexadecimal forms are accepted, and the text is kept as written.
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute("127.1"), (IPv4Route{"127.1", "255.255.255.255"}));
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute("0xc0.0.2.1"), (IPv4Route{"0xc0.0.2.1", "255.255.255.255"}));
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute("255.255.255.255"), std::nullopt);
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute("256.1.1.1"), std::nullopt);
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute(""), std::nullopt);
    EXPECT_EQ(PacketTunnelProvider::serverExclusionRoute("server.example.test"), std::nullopt);
}

}  // namespace
}  // namespace vantu::testing

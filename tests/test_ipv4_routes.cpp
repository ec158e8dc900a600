#include <gtest/gtest.h>

#include "packetpath/routes/IPv4Routes.h"

using vantu::ipv4String;
using vantu::isGlobalIPv4;
using vantu::normalizedDirectRoute;
using vantu::parseIPv4Route;
using vantu::routeSet;

TEST(IPv4Routes, ParsesAddressAndPrefix) {
    const auto net = parseIPv4Route("10.0.0.0/8");
    ASSERT_TRUE(net.has_value());
    EXPECT_EQ(net->address, 0x0A000000u);
    EXPECT_EQ(net->addressString, "10.0.0.0");
    EXPECT_EQ(net->prefix, 8);

    const auto host = parseIPv4Route(" \t1.2.3.4\r\n");
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(host->address, 0x01020304u);
    EXPECT_EQ(host->addressString, "1.2.3.4");
    EXPECT_EQ(host->prefix, 32);

    // A bare trailing slash leaves a host route; leading slashes are skipped.
    EXPECT_EQ(parseIPv4Route("1.2.3.4/")->prefix, 32);
    EXPECT_EQ(parseIPv4Route("/1.2.3.4/24")->prefix, 24);
    EXPECT_EQ(parseIPv4Route("255.255.255.255/0")->address, 0xFFFFFFFFu);
    EXPECT_EQ(parseIPv4Route("0.0.0.0/32")->prefix, 32);
    EXPECT_EQ(parseIPv4Route("8.8.8.8/+16")->prefix, 16);

    for (const char* bad : {"", "   ", "/", "1.2.3.4/33", "1.2.3.4/-1", "1.2.3.4/x", "1.2.3.4/8/9", "1.2.3.4//8",
                            "1.2.3.4/ 8", "1.2.3.4 /8", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.-4", "01.2.3.4x",
                            "0x01.2.3.4", "1.2.3.4 5", "example.com", "::1", "1.2.3.4/99999999999999"}) {
        EXPECT_FALSE(parseIPv4Route(bad).has_value()) << "\"" << bad << "\"";
    }
}

TEST(IPv4Routes, FormatsAddresses) {
    EXPECT_EQ(ipv4String(0x01020304u), "1.2.3.4");
    EXPECT_EQ(ipv4String(0u), "0.0.0.0");
    EXPECT_EQ(ipv4String(0xFFFFFFFFu), "255.255.255.255");
    EXPECT_EQ(ipv4String(0xC0000201u), "192.0.2.1");
    for (uint32_t value : {0x7F000001u, 0x08080808u, 0xCB007107u}) {
        EXPECT_EQ(parseIPv4Route(*ipv4String(value))->address, value);
    }
}

TEST(IPv4Routes, GlobalAddressTest) {
    for (const char* global : {"8.8.8.8", "1.0.0.1", "100.63.255.255", "100.128.0.0", "169.253.1.1", "169.255.0.1",
                               "172.15.0.1", "172.32.0.1", "192.167.1.1", "192.169.0.1", "192.0.2.1", "198.51.100.7",
                               "203.0.113.9", "223.255.255.255", "9.255.255.255", "11.0.0.0", "126.0.0.1", "128.0.0.1"}) {
        EXPECT_TRUE(isGlobalIPv4(global)) << global;
    }
    for (const char* local : {"0.0.0.0", "0.1.2.3", "10.0.0.1", "10.255.255.255", "127.0.0.1", "224.0.0.1",
                              "239.1.1.1", "240.0.0.1", "255.255.255.255", "100.64.0.1", "100.127.255.255",
                              "169.254.1.1", "172.16.0.1", "172.31.255.255", "192.168.0.1"}) {
        EXPECT_FALSE(isGlobalIPv4(local)) << local;
    }
    // Only the count of numeric pieces matters: empty and non-numeric pieces
    // are left out, out-of-range numbers too.
    EXPECT_TRUE(isGlobalIPv4("8..8.8.8"));
    EXPECT_TRUE(isGlobalIPv4("8.8.8.8.x"));
    EXPECT_TRUE(isGlobalIPv4("8.300.8.8.8"));
    EXPECT_FALSE(isGlobalIPv4("8.8.8"));
    EXPECT_FALSE(isGlobalIPv4("8.8.8.8.8"));
    EXPECT_FALSE(isGlobalIPv4(""));
    EXPECT_FALSE(isGlobalIPv4("x.10.1.2.3"));  // reads as 10.1.2.3
}

TEST(IPv4Routes, NormalisesOnlyGlobalRoutes) {
    EXPECT_EQ(normalizedDirectRoute("8.8.8.8"), "8.8.8.8");
    EXPECT_EQ(normalizedDirectRoute("8.8.8.8/32"), "8.8.8.8");
    EXPECT_EQ(normalizedDirectRoute(" 8.8.8.77/24 "), "8.8.8.0/24");
    EXPECT_EQ(normalizedDirectRoute("203.0.113.200/25"), "203.0.113.128/25");
    EXPECT_EQ(normalizedDirectRoute("8.8.8.8/0"), "0.0.0.0/0");
    EXPECT_EQ(normalizedDirectRoute("8.8.8.8/1"), "0.0.0.0/1");
    EXPECT_EQ(normalizedDirectRoute("200.1.2.3/1"), "128.0.0.0/1");
    // The global test looks at the address as written, before masking.
    EXPECT_EQ(normalizedDirectRoute("11.0.0.1/7"), "10.0.0.0/7");
    for (const char* ignored : {"0.0.0.0/0", "10.1.2.3/8", "192.168.1.0/24", "100.64.0.0/10", "224.0.0.0/4",
                                "127.0.0.1", "169.254.0.0/16", "172.16.0.0/12", "8.8.8.8/33", "garbage", ""}) {
        EXPECT_FALSE(normalizedDirectRoute(ignored).has_value()) << ignored;
    }
}

TEST(IPv4Routes, RouteSetMembership) {
    const std::set<std::string> routes = {"8.8.8.0/24", "1.1.1.1", "not a route", "203.0.113.77/28"};
    EXPECT_TRUE(routeSet(routes, "8.8.8.1"));
    EXPECT_TRUE(routeSet(routes, "8.8.8.255"));
    EXPECT_FALSE(routeSet(routes, "8.8.9.1"));
    EXPECT_TRUE(routeSet(routes, "1.1.1.1"));
    EXPECT_FALSE(routeSet(routes, "1.1.1.2"));
    // Route addresses are masked too, so an unnormalised range still works.
    EXPECT_TRUE(routeSet(routes, "203.0.113.64"));
    EXPECT_TRUE(routeSet(routes, "203.0.113.79"));
    EXPECT_FALSE(routeSet(routes, "203.0.113.80"));
    // The address may carry a prefix; only its address part counts.
    EXPECT_TRUE(routeSet(routes, " 8.8.8.9/1 "));
    // An address that does not parse is never a member.
    EXPECT_FALSE(routeSet(routes, "8.8.8"));
    EXPECT_FALSE(routeSet(routes, "not a route"));
    EXPECT_FALSE(routeSet({}, "8.8.8.8"));

    EXPECT_TRUE(routeSet({"0.0.0.0/0"}, "192.168.1.1"));
    EXPECT_TRUE(routeSet({"bad", "0.0.0.0/0"}, "255.255.255.255"));
    EXPECT_TRUE(routeSet({"128.0.0.0/1"}, "200.0.0.1"));
    EXPECT_FALSE(routeSet({"128.0.0.0/1"}, "127.255.255.255"));

    // Normalised policy ranges feed the set: 8.8.8.8/0 covers everything.
    std::set<std::string> fromPolicy;
    for (const char* text : {"8.8.8.8/0", "0.0.0.0/0"}) {
        if (auto route = normalizedDirectRoute(text)) fromPolicy.insert(*route);
    }
    EXPECT_EQ(fromPolicy, (std::set<std::string>{"0.0.0.0/0"}));
    EXPECT_TRUE(routeSet(fromPolicy, "9.9.9.9"));
}

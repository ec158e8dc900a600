#include <gtest/gtest.h>

#include "packetpath/routes/IPv4Routes.h"

using vantu::ipv4String;
using vantu::isGlobalIPv4;
using vantu::normalizedDirectRoute;
using vantu::parseIPv4Route;
using vantu::routeSet;

TEST(IPv4Routes, ParsesAndFormats) {
    // A bare or slash-only address is a host route; leading slashes and outer blanks are skipped.
    const std::tuple<const char*, uint32_t, const char*, int> good[] = {
        {"10.0.0.0/8", 0x0A000000u, "10.0.0.0", 8},         {" \t1.2.3.4\r\n", 0x01020304u, "1.2.3.4", 32},
        {"1.2.3.4/", 0x01020304u, "1.2.3.4", 32},           {"/1.2.3.4/24", 0x01020304u, "1.2.3.4", 24},
        {"255.255.255.255/0", 0xFFFFFFFFu, "255.255.255.255", 0}, {"8.8.8.8/+16", 0x08080808u, "8.8.8.8", 16},
    };
    for (const auto& [text, address, addressString, prefix] : good) {
        const auto route = parseIPv4Route(text);
        ASSERT_TRUE(route.has_value()) << text;
        EXPECT_EQ(route->address, address) << text;
        EXPECT_EQ(route->addressString, addressString) << text;
        EXPECT_EQ(route->prefix, prefix) << text;
    }
    for (const char* bad : {"", "/", "1.2.3.4/33", "1.2.3.4/-1", "1.2.3.4/8/9", "1.2.3.4//8", "1.2.3.4/ 8",
                            "1.2.3.4 /8", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4x", "0x01.2.3.4", "example.com",
                            "::1", "1.2.3.4/99999999999999"}) {
        EXPECT_FALSE(parseIPv4Route(bad).has_value()) << "\"" << bad << "\"";
    }

    EXPECT_EQ(ipv4String(0xC0000201u), "192.0.2.1");
    EXPECT_EQ(ipv4String(0u), "0.0.0.0");
    EXPECT_EQ(ipv4String(0xFFFFFFFFu), "255.255.255.255");
}

TEST(IPv4Routes, GlobalAddressTest) {
    for (const char* global : {"8.8.8.8", "1.0.0.1", "9.255.255.255", "11.0.0.0", "100.63.255.255", "100.128.0.0",
                               "126.0.0.1", "128.0.0.1", "169.253.1.1", "169.255.0.1", "172.15.0.1", "172.32.0.1",
                               "192.167.1.1", "192.169.0.1", "223.255.255.255",
                               // Only the count of numeric pieces matters: empty, non-numeric
                               // and out-of-range pieces are left out.
                               "8..8.8.8", "8.8.8.8.x", "8.300.8.8.8"}) {
        EXPECT_TRUE(isGlobalIPv4(global)) << global;
    }
    for (const char* local : {"0.1.2.3", "10.0.0.1", "10.255.255.255", "100.64.0.1", "100.127.255.255", "127.0.0.1",
                              "169.254.1.1", "172.16.0.1", "172.31.255.255", "192.168.0.1", "224.0.0.1", "240.0.0.1",
                              "255.255.255.255", "8.8.8", "8.8.8.8.8", "", "x.10.1.2.3"}) {
        EXPECT_FALSE(isGlobalIPv4(local)) << local;
    }
}

TEST(IPv4Routes, NormalisesOnlyGlobalRoutes) {
    // The global test looks at the address as written, before masking.
    const std::pair<const char*, const char*> kept[] = {
        {"8.8.8.8/32", "8.8.8.8"},   {" 8.8.8.77/24 ", "8.8.8.0/24"}, {"203.0.113.200/25", "203.0.113.128/25"},
        {"8.8.8.8/0", "0.0.0.0/0"},  {"200.1.2.3/1", "128.0.0.0/1"},  {"11.0.0.1/7", "10.0.0.0/7"},
    };
    for (const auto& [route, normalised] : kept) EXPECT_EQ(normalizedDirectRoute(route), normalised) << route;
    for (const char* ignored : {"0.0.0.0/0", "10.1.2.3/8", "192.168.1.0/24", "100.64.0.0/10", "224.0.0.0/4",
                                "127.0.0.1", "8.8.8.8/33", "garbage", ""}) {
        EXPECT_FALSE(normalizedDirectRoute(ignored).has_value()) << ignored;
    }
}

TEST(IPv4Routes, RouteSetMembership) {
    // Route addresses are masked too, so an unnormalised range still works;
    // the address may carry a prefix, of which only its address part counts.
    const std::set<std::string> routes = {"8.8.8.0/24", "1.1.1.1", "not a route", "203.0.113.77/28"};
    const std::pair<const char*, bool> members[] = {
        {"8.8.8.1", true},       {"8.8.8.255", true},     {"8.8.9.1", false},        {"1.1.1.1", true},
        {"1.1.1.2", false},      {"203.0.113.64", true},  {"203.0.113.79", true},    {"203.0.113.80", false},
        {" 8.8.8.9/1 ", true},   {"8.8.8", false},        {"not a route", false},
    };
    for (const auto& [address, member] : members) EXPECT_EQ(routeSet(routes, address), member) << address;
    EXPECT_FALSE(routeSet({}, "8.8.8.8"));
    EXPECT_TRUE(routeSet({"/", "0.0.0.0/0"}, "255.255.255.255"));  // "/" comes first and does not parse
    EXPECT_TRUE(routeSet({"128.0.0.0/1"}, "200.0.0.1"));
    EXPECT_FALSE(routeSet({"128.0.0.0/1"}, "127.255.255.255"));
}

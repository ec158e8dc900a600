#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/VantuError.h"
#include "routing/RoutingPolicy.h"
#include "tests/loopback_test_support.h"

using nlohmann::json;
using vantu::RoutingPolicy;
using Strings = std::vector<std::string>;

namespace {

std::string decodeFailure(const char* document) {
    return vantu::testing::failureOf([&] { (void)RoutingPolicy::decode(json::parse(document)); });
}

}  // namespace

TEST(RoutingPolicy, DecodesEveryMemberAndTreatsNullAsAbsent) {
    const RoutingPolicy policy = RoutingPolicy::decode(json::parse(R"({
        "version": 3, "domainStrategy": "AsIs", "server_routing_enabled": true,
        "client_route_learning_enabled": false, "dns_servers": ["1.1.1.1"],
        "direct_domains": ["example.com"], "proxy_domains": ["proxied.net"],
        "direct_ips": ["8.8.8.0/24"], "proxy_ips": ["9.9.9.9"],
        "outbounds": [{"tag": "direct", "type": "freedom"}, {"tag": "proxy"}],
        "rules": [{"type": "field", "domain": ["a.org"], "ip": ["1.0.0.0/8"], "network": "tcp",
                   "outboundTag": "direct"}],
        "unknown": {"nested": [1, 2]}
    })"));
    EXPECT_EQ(policy.version, 3);
    EXPECT_EQ(policy.domainStrategy, "AsIs");
    EXPECT_EQ(policy.server_routing_enabled, true);
    EXPECT_EQ(policy.client_route_learning_enabled, false);
    EXPECT_EQ(policy.dns_servers, Strings{"1.1.1.1"});
    EXPECT_EQ(policy.proxy_domains, Strings{"proxied.net"});
    EXPECT_EQ(policy.proxy_ips, Strings{"9.9.9.9"});
    ASSERT_EQ(policy.outbounds.value_or(std::vector<vantu::RouteOutbound>{}).size(), 2u);
    EXPECT_EQ((*policy.outbounds)[0].type, "freedom");
    EXPECT_EQ((*policy.outbounds)[1].tag, "proxy");
    EXPECT_FALSE((*policy.outbounds)[1].type.has_value());
    ASSERT_EQ(policy.rules.value_or(std::vector<vantu::RouteRule>{}).size(), 1u);
    EXPECT_EQ((*policy.rules)[0].network, "tcp");
    EXPECT_EQ((*policy.rules)[0].ip, Strings{"1.0.0.0/8"});

    EXPECT_EQ(RoutingPolicy::decode(json::parse(R"({"version": null, "direct_domains": null, "rules": null})")),
              RoutingPolicy{});
    EXPECT_EQ(RoutingPolicy::decode(json{{"version", -7}}).version, -7);
}

TEST(RoutingPolicy, StrictDecodingNamesWhatIsWrongAndWhere) {
    for (const char* bad : {R"([])", R"({"version": "3"})", R"({"version": 1.5})", R"({"server_routing_enabled": 1})",
                            R"({"dns_servers": "1.1.1.1"})", R"({"outbounds": [{"type": "freedom"}]})",
                            R"({"outbounds": {"tag": "direct"}})",
                            R"({"rules": [{"outboundTag": "direct", "ip": [1]}]})"}) {
        EXPECT_NE(decodeFailure(bad), "") << bad;
    }
    const std::string missingTag = decodeFailure(R"({"rules": [{"outboundTag": "direct"}, {"domain": ["x.com"]}]})");
    EXPECT_NE(missingTag.find("rules[1].outboundTag"), std::string::npos) << missingTag;
    EXPECT_NE(missingTag.find("missing"), std::string::npos) << missingTag;
    const std::string wrongElement = decodeFailure(R"({"direct_domains": ["ok.com", 5]})");
    EXPECT_NE(wrongElement.find("direct_domains[1]"), std::string::npos) << wrongElement;
}

TEST(RoutingPolicy, DirectDomainEntryForms) {
    struct Case {
        Strings entries, direct, notDirect;
    };
    const Case cases[] = {
        // Names lose every dot at both ends and are lower-cased. A plain entry
        // covers the name and its subdomains; unknown prefixes are part of the name.
        {{"example.com"},
         {"Example.COM.", "..example.com", "a.b.example.com"},
         {"...", "badexample.com", "example.com.au", "com"}},
        {{"full:example.com"}, {"x.full:example.com"}, {"example.com"}},
        // Entries keep their dots, so a trailing one never matches.
        {{"example.com.", ""}, {}, {"example.com.", ""}},
        // "*." matches subdomains only, a leading dot the name too.
        {{"*.example.com"}, {"x.y.example.com"}, {"example.com", ".example.com", "aexample.com"}},
        {{".example.com"}, {"example.com", "a.example.com"}, {"badexample.com"}},
        // "domain:" and "suffix:" alike, recognised after trimming and lower-casing.
        {{" Domain:Example.com "}, {"example.com", "deep.sub.example.com"}, {"notexample.com"}},
        {{"\tSUFFIX:EXAMPLE.COM\r\n"}, {"example.com", "deep.sub.example.com"}, {"notexample.com"}},
        // Nothing after a prefix matches nothing.
        {{".", "*.", "domain:", "suffix:"}, {}, {"example.com", "com", "..."}},
        // The first matching form decides: ".*.x" is the leading-dot form with a literal "*".
        {{".*.example.com"}, {"*.example.com", "a.*.example.com"}, {"a.example.com"}},
        {{"..example.com"}, {"a..example.com"}, {"x.example.com"}},
        // Blank entries are skipped; every later entry counts, whatever its form.
        {{"", "  \t", "*.example.com", "domain:b.example.com"}, {"b.example.com", "x.example.com"}, {"example.com"}},
        // Patterns search unanchored in the lower-cased name, and are lower-cased
        // with the entry: \D becomes \d, a digit.
        {{"regexp:^api[0-9]+\\.example\\.com$"}, {"API7.Example.com."}, {"api.example.com", "xapi1.example.com"}},
        {{"regexp:ads", "REGEXP:^EXAMPLE"}, {"cdn.ads.example.net", "example.org"}, {"other.net"}},
        {{"regexp:\\D"}, {"host1.example"}, {"host.example"}},
        {{"regexp:"}, {"anything.test"}, {}},
        // A pattern that does not compile is skipped; the next entry still counts.
        {{"regexp:("}, {}, {"example.com"}},
        {{"regexp:(", "regexp:example", "regexp:[z-a]", "plain.org"}, {"example.com", "www.plain.org"}, {"other.org"}},
    };
    for (const Case& c : cases) {
        const RoutingPolicy policy = RoutingPolicy::decode(json{{"direct_domains", c.entries}});
        for (const auto& name : c.direct) EXPECT_TRUE(policy.matchesDirectDomain(name)) << json(c.entries) << name;
        for (const auto& name : c.notDirect) EXPECT_FALSE(policy.matchesDirectDomain(name)) << json(c.entries) << name;
    }
}

TEST(RoutingPolicy, RulesContributeOnlyWithExactDirectTag) {
    const RoutingPolicy policy = RoutingPolicy::decode(json::parse(R"({
        "direct_domains": ["listed.com"],
        "proxy_domains": ["both.com"],
        "direct_ips": [" 10.0.0.0/8 ", "10.0.0.0/8", "", "8.8.8.8", "Not-An-Address"],
        "rules": [
            {"outboundTag": "Direct", "domain": ["capital.com"], "ip": ["1.1.1.1"]},
            {"outboundTag": "proxy", "domain": ["proxy.com"], "ip": ["2.2.2.2"]},
            {"outboundTag": " direct", "domain": ["spaced.com"], "ip": ["3.3.3.3"]},
            {"outboundTag": "direct", "ip": ["4.4.4.0/24", "8.8.8.8", "  ", "NOT-an-address"]},
            {"outboundTag": "direct", "type": "anything", "domain": ["ruled.org", "both.com"], "ip": ["5.5.5.5/32"]}
        ]
    })"));
    EXPECT_TRUE(policy.matchesDirectDomain("listed.com"));
    EXPECT_TRUE(policy.matchesDirectDomain("www.ruled.org"));
    EXPECT_TRUE(policy.matchesDirectDomain("both.com"));  // proxy_domains does not override
    EXPECT_FALSE(policy.matchesDirectDomain("capital.com"));
    EXPECT_FALSE(policy.matchesDirectDomain("proxy.com"));
    EXPECT_FALSE(policy.matchesDirectDomain("spaced.com"));
    // Trimmed, lower-cased, not validated, empty ones dropped, first occurrence kept in order.
    EXPECT_EQ(policy.directIPRoutes(),
              (Strings{"10.0.0.0/8", "8.8.8.8", "not-an-address", "4.4.4.0/24", "5.5.5.5/32"}));
}

TEST(RoutingPolicy, CopiesShareAnswersAndConcurrentFirstUseIsSafe) {
    const RoutingPolicy original = RoutingPolicy::decode(
        json{{"direct_domains", {"*.example.com", "regexp:^cdn[0-9]"}}, {"direct_ips", {"8.8.8.8"}}});
    const RoutingPolicy beforeUse = original;  // copied before the matcher exists
    EXPECT_TRUE(original.matchesDirectDomain("a.example.com"));
    const RoutingPolicy afterUse = original;
    for (const RoutingPolicy* policy : {&beforeUse, &afterUse}) {
        EXPECT_TRUE(policy->matchesDirectDomain("cdn4.test"));
        EXPECT_FALSE(policy->matchesDirectDomain("example.com"));
        EXPECT_EQ(policy->directIPRoutes(), Strings{"8.8.8.8"});
    }

    const RoutingPolicy shared = RoutingPolicy::decode(json{{"direct_domains", {"domain:example.com", "regexp:z$"}}});
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                wrong += !shared.matchesDirectDomain("x.example.com") || !shared.matchesDirectDomain("quiz") ||
                         shared.matchesDirectDomain("example.org");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

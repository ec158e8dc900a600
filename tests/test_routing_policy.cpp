#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "VantuPacketTunnel/VantuError.h"
#include "routing/RoutingPolicy.h"

using nlohmann::json;
using vantu::RoutingPolicy;
using vantu::VantuError;

namespace {

RoutingPolicy policyWithDomains(std::vector<std::string> entries) {
    return RoutingPolicy::decode(json{{"direct_domains", entries}});
}

bool matches(const std::vector<std::string>& entries, const std::string& name) {
    return policyWithDomains(entries).matchesDirectDomain(name);
}

std::string decodeFailure(const json& document) {
    try {
        (void)RoutingPolicy::decode(document);
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}

}  // namespace

TEST(RoutingPolicy, DecodesEveryMemberAndTreatsNullAsAbsent) {
    const json document = json::parse(R"({
        "version": 3, "domainStrategy": "AsIs", "server_routing_enabled": true,
        "client_route_learning_enabled": false, "dns_servers": ["1.1.1.1"],
        "direct_domains": ["example.com"], "proxy_domains": ["proxied.net"],
        "direct_ips": ["8.8.8.0/24"], "proxy_ips": ["9.9.9.9"],
        "outbounds": [{"tag": "direct", "type": "freedom"}, {"tag": "proxy"}],
        "rules": [{"type": "field", "domain": ["a.org"], "ip": ["1.0.0.0/8"], "network": "tcp", "outboundTag": "direct"}],
        "unknown": {"nested": [1, 2]}
    })");
    const RoutingPolicy policy = RoutingPolicy::decode(document);
    EXPECT_EQ(policy.version, 3);
    EXPECT_EQ(policy.domainStrategy, "AsIs");
    EXPECT_EQ(policy.server_routing_enabled, true);
    EXPECT_EQ(policy.client_route_learning_enabled, false);
    EXPECT_EQ(policy.dns_servers, (std::vector<std::string>{"1.1.1.1"}));
    EXPECT_EQ(policy.proxy_domains, (std::vector<std::string>{"proxied.net"}));
    EXPECT_EQ(policy.proxy_ips, (std::vector<std::string>{"9.9.9.9"}));
    ASSERT_TRUE(policy.outbounds.has_value());
    ASSERT_EQ(policy.outbounds->size(), 2u);
    EXPECT_EQ((*policy.outbounds)[0].type, "freedom");
    EXPECT_EQ((*policy.outbounds)[1].tag, "proxy");
    EXPECT_FALSE((*policy.outbounds)[1].type.has_value());
    ASSERT_TRUE(policy.rules.has_value());
    EXPECT_EQ((*policy.rules)[0].network, "tcp");
    EXPECT_EQ((*policy.rules)[0].ip, (std::vector<std::string>{"1.0.0.0/8"}));

    const RoutingPolicy nulls = RoutingPolicy::decode(json::parse(
        R"({"version": null, "direct_domains": null, "rules": null, "domainStrategy": null, "outbounds": null})"));
    EXPECT_EQ(nulls, RoutingPolicy{});
    EXPECT_FALSE(nulls.version.has_value());

    const RoutingPolicy empty = RoutingPolicy::decode(json::object());
    EXPECT_FALSE(empty.matchesDirectDomain("example.com"));
    EXPECT_TRUE(empty.directIPRoutes().empty());

    EXPECT_EQ(RoutingPolicy::decode(json{{"version", -7}}).version, -7);
}

TEST(RoutingPolicy, StrictDecodingRejectsWrongTypesAndMissingKeys) {
    const std::vector<json> bad = {
        json::array(),
        json("text"),
        json::parse(R"({"version": "3"})"),
        json::parse(R"({"version": true})"),
        json::parse(R"({"version": 1.5})"),
        json::parse(R"({"version": 18446744073709551615})"),
        json::parse(R"({"domainStrategy": 1})"),
        json::parse(R"({"server_routing_enabled": 1})"),
        json::parse(R"({"client_route_learning_enabled": "true"})"),
        json::parse(R"({"dns_servers": "1.1.1.1"})"),
        json::parse(R"({"direct_domains": ["ok.com", 5]})"),
        json::parse(R"({"direct_ips": [null]})"),
        json::parse(R"({"proxy_domains": {}})"),
        json::parse(R"({"proxy_ips": [true]})"),
        json::parse(R"({"outbounds": [{"type": "freedom"}]})"),
        json::parse(R"({"outbounds": [{"tag": 1}]})"),
        json::parse(R"({"outbounds": ["direct"]})"),
        json::parse(R"({"outbounds": {"tag": "direct"}})"),
        json::parse(R"({"rules": [{"domain": ["a.com"]}]})"),
        json::parse(R"({"rules": [{"outboundTag": null}]})"),
        json::parse(R"({"rules": [{"outboundTag": "direct", "domain": "a.com"}]})"),
        json::parse(R"({"rules": [{"outboundTag": "direct", "ip": [1]}]})"),
        json::parse(R"({"rules": [{"outboundTag": "direct", "network": 6}]})"),
        json::parse(R"({"rules": [{"outboundTag": "direct", "type": ["field"]}]})"),
        json::parse(R"({"rules": {}})"),
    };
    for (const json& document : bad) {
        const std::string message = decodeFailure(document);
        EXPECT_FALSE(message.empty()) << document.dump();
    }
    // The message names what was wrong and where.
    const std::string missingTag = decodeFailure(json::parse(
        R"({"rules": [{"outboundTag": "direct"}, {"domain": ["x.com"]}]})"));
    EXPECT_NE(missingTag.find("rules[1].outboundTag"), std::string::npos) << missingTag;
    EXPECT_NE(missingTag.find("missing"), std::string::npos) << missingTag;
    const std::string wrongElement = decodeFailure(json::parse(R"({"direct_domains": ["ok.com", 5]})"));
    EXPECT_NE(wrongElement.find("direct_domains[1]"), std::string::npos) << wrongElement;
}

TEST(RoutingPolicy, NameNormalisationAndPlainEntries) {
    // Names lose every dot at both ends and are lower-cased.
    EXPECT_TRUE(matches({"example.com"}, "Example.COM."));
    EXPECT_TRUE(matches({"example.com"}, "..example.com"));
    EXPECT_TRUE(matches({"example.com"}, "example.com..."));
    EXPECT_FALSE(matches({"example.com"}, "..."));
    EXPECT_FALSE(matches({""}, ""));

    // A plain entry: the name itself and its subdomains, nothing else.
    EXPECT_TRUE(matches({"example.com"}, "example.com"));
    EXPECT_TRUE(matches({"example.com"}, "a.b.example.com"));
    EXPECT_FALSE(matches({"example.com"}, "badexample.com"));
    EXPECT_FALSE(matches({"example.com"}, "example.com.au"));
    EXPECT_FALSE(matches({"example.com"}, "com"));

    // Entries keep their dots: a trailing dot never matches a stripped name.
    EXPECT_FALSE(matches({"example.com."}, "example.com"));
    EXPECT_FALSE(matches({"example.com."}, "example.com."));

    // Unknown prefixes are plain names.
    EXPECT_TRUE(matches({"full:example.com"}, "full:example.com"));
    EXPECT_TRUE(matches({"full:example.com"}, "x.full:example.com"));
    EXPECT_FALSE(matches({"full:example.com"}, "example.com"));
    EXPECT_TRUE(matches({"keyword:example"}, "a.keyword:example"));
    EXPECT_FALSE(matches({"keyword:example"}, "example.org"));

    // Blank and empty entries are skipped, the next one still counts.
    EXPECT_TRUE(matches({"", "  \t", "example.com"}, "example.com"));
}

TEST(RoutingPolicy, PrefixedEntryForms) {
    // "*." matches subdomains only.
    EXPECT_TRUE(matches({"*.example.com"}, "a.example.com"));
    EXPECT_TRUE(matches({"*.example.com"}, "x.y.example.com"));
    EXPECT_FALSE(matches({"*.example.com"}, "example.com"));
    EXPECT_FALSE(matches({"*.example.com"}, "aexample.com"));

    // A leading dot matches the name and its subdomains.
    EXPECT_TRUE(matches({".example.com"}, "example.com"));
    EXPECT_TRUE(matches({".example.com"}, "a.example.com"));
    EXPECT_FALSE(matches({".example.com"}, "badexample.com"));

    // "domain:" and "suffix:" behave alike; prefixes are recognised after
    // trimming and lower-casing.
    for (const char* entry : {" Domain:Example.com ", "DOMAIN:example.com", "suffix:example.com", "\tSUFFIX:EXAMPLE.COM\r\n"}) {
        SCOPED_TRACE(entry);
        EXPECT_TRUE(matches({entry}, "example.com"));
        EXPECT_TRUE(matches({entry}, "deep.sub.example.com"));
        EXPECT_FALSE(matches({entry}, "notexample.com"));
    }

    // Degenerate prefixes with nothing after them match nothing.
    for (const char* entry : {".", "*.", "domain:", "suffix:"}) {
        SCOPED_TRACE(entry);
        EXPECT_FALSE(matches({entry}, "example.com"));
        EXPECT_FALSE(matches({entry}, "com"));
    }

    // The first matching test decides the form: ".*.x" is the leading-dot
    // form, whose "*" is a literal character, not a wildcard.
    EXPECT_TRUE(matches({".*.example.com"}, "*.example.com"));
    EXPECT_FALSE(matches({".*.example.com"}, "a.example.com"));
    EXPECT_TRUE(matches({".*.example.com"}, "a.*.example.com"));

    // A leading-dot entry whose rest itself starts with a dot: only a name
    // with an inner double dot can end with it.
    EXPECT_TRUE(matches({"..example.com"}, "a..example.com"));
    EXPECT_FALSE(matches({"..example.com"}, "x.example.com"));
}

TEST(RoutingPolicy, RegularExpressionEntries) {
    EXPECT_TRUE(matches({"regexp:^api[0-9]+\\.example\\.com$"}, "api12.example.com"));
    EXPECT_TRUE(matches({"regexp:^api[0-9]+\\.example\\.com$"}, "API7.Example.com."));
    EXPECT_FALSE(matches({"regexp:^api[0-9]+\\.example\\.com$"}, "api.example.com"));
    EXPECT_FALSE(matches({"regexp:^api[0-9]+\\.example\\.com$"}, "xapi1.example.com"));

    // Unanchored search: a match anywhere in the name counts.
    EXPECT_TRUE(matches({"regexp:ads"}, "cdn.ads.example.net"));
    EXPECT_FALSE(matches({"regexp:ads"}, "example.net"));

    // The pattern is lower-cased with the entry: \D becomes \d (a digit).
    EXPECT_TRUE(matches({"regexp:\\D"}, "host1.example"));
    EXPECT_FALSE(matches({"regexp:\\D"}, "host.example"));
    // The prefix is recognised in any case, and the pattern's letters are
    // lower-cased like the name's.
    EXPECT_TRUE(matches({"REGEXP:^EXAMPLE"}, "example.org"));

    // A pattern that does not compile is skipped; the next entry still counts.
    EXPECT_FALSE(matches({"regexp:("}, "example.com"));
    EXPECT_TRUE(matches({"regexp:(", "regexp:example"}, "example.com"));
    EXPECT_TRUE(matches({"regexp:[z-a]", "example.com"}, "www.example.com"));

    // The empty pattern compiles and matches any name.
    EXPECT_TRUE(matches({"regexp:"}, "anything.test"));
}

TEST(RoutingPolicy, RulesContributeOnlyWithExactDirectTag) {
    const RoutingPolicy policy = RoutingPolicy::decode(json::parse(R"({
        "direct_domains": ["listed.com"],
        "proxy_domains": ["both.com"],
        "direct_ips": [" 10.0.0.0/8 ", "10.0.0.0/8", "", "8.8.8.8"],
        "rules": [
            {"outboundTag": "Direct", "domain": ["capital.com"], "ip": ["1.1.1.1"]},
            {"outboundTag": "proxy", "domain": ["proxy.com"], "ip": ["2.2.2.2"]},
            {"outboundTag": " direct", "domain": ["spaced.com"], "ip": ["3.3.3.3"]},
            {"outboundTag": "direct", "ip": ["4.4.4.0/24", "8.8.8.8", "  "]},
            {"outboundTag": "direct", "type": "anything", "domain": ["ruled.org", "both.com"], "ip": ["5.5.5.5/32"]}
        ]
    })"));
    EXPECT_TRUE(policy.matchesDirectDomain("listed.com"));
    EXPECT_TRUE(policy.matchesDirectDomain("www.ruled.org"));
    EXPECT_TRUE(policy.matchesDirectDomain("both.com"));  // proxy_domains does not override
    EXPECT_FALSE(policy.matchesDirectDomain("capital.com"));
    EXPECT_FALSE(policy.matchesDirectDomain("proxy.com"));
    EXPECT_FALSE(policy.matchesDirectDomain("spaced.com"));

    // Trimmed, lower-cased, empty ones dropped, first occurrence kept in order.
    EXPECT_EQ(policy.directIPRoutes(), (std::vector<std::string>{"10.0.0.0/8", "8.8.8.8", "4.4.4.0/24", "5.5.5.5/32"}));

    // Texts are not validated here.
    const RoutingPolicy raw = RoutingPolicy::decode(json::parse(R"({"direct_ips": ["Not-An-Address", "NOT-an-address"]})"));
    EXPECT_EQ(raw.directIPRoutes(), (std::vector<std::string>{"not-an-address"}));
}

TEST(RoutingPolicy, CopiesShareAnswersAndConcurrentFirstUseIsSafe) {
    const RoutingPolicy original = RoutingPolicy::decode(
        json::parse(R"({"direct_domains": ["*.example.com", "regexp:^cdn[0-9]"], "direct_ips": ["8.8.8.8"]})"));
    const RoutingPolicy beforeUse = original;  // copied before the matcher exists
    EXPECT_TRUE(original.matchesDirectDomain("a.example.com"));
    const RoutingPolicy afterUse = original;  // copied after
    for (const RoutingPolicy* policy : {&original, &beforeUse, &afterUse}) {
        EXPECT_TRUE(policy->matchesDirectDomain("cdn4.test"));
        EXPECT_FALSE(policy->matchesDirectDomain("example.com"));
        EXPECT_EQ(policy->directIPRoutes(), (std::vector<std::string>{"8.8.8.8"}));
    }
    EXPECT_EQ(original, afterUse);

    // Several threads asking a fresh policy at once all get the same answers.
    const RoutingPolicy shared =
        RoutingPolicy::decode(json::parse(R"({"direct_domains": ["domain:example.com", "regexp:z$"]})"));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (!shared.matchesDirectDomain("x.example.com") || !shared.matchesDirectDomain("quiz") ||
                    shared.matchesDirectDomain("example.org")) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

namespace {

// The entry table read literally, one entry at a time, without regexp
// entries; the policy folds entries into hash sets, so the two must agree.
bool referenceMatch(const std::vector<std::string>& entries, std::string name) {
    auto lower = [](std::string s) {
        for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return s;
    };
    auto endsWith = [](const std::string& s, const std::string& suffix) {
        return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    while (!name.empty() && name.front() == '.') name.erase(0, 1);
    while (!name.empty() && name.back() == '.') name.pop_back();
    const std::string d = lower(name);
    if (d.empty()) return false;
    for (std::string p : entries) {
        while (!p.empty() && (p.front() == ' ' || p.front() == '\t')) p.erase(0, 1);
        while (!p.empty() && (p.back() == ' ' || p.back() == '\t')) p.pop_back();
        p = lower(p);
        if (p.empty()) continue;
        bool hit;
        if (p.rfind(".", 0) == 0) {
            hit = d == p.substr(1) || endsWith(d, p);
        } else if (p.rfind("*.", 0) == 0) {
            hit = endsWith(d, "." + p.substr(2));
        } else if (p.rfind("domain:", 0) == 0 || p.rfind("suffix:", 0) == 0) {
            hit = d == p.substr(7) || endsWith(d, "." + p.substr(7));
        } else {
            hit = d == p || endsWith(d, "." + p);
        }
        if (hit) return true;
    }
    return false;
}

}  // namespace

TEST(RoutingPolicy, FoldedMatcherAgreesWithEntryByEntryReading) {
    const std::vector<std::string> pool = {
        "example.com", ".example.com", "*.example.com", "domain:example.com", "suffix:b.example.com", "com",
        "..example.com", "*.*.com", " Example.COM ", "full:a.example.com", ".", "*.", "domain:", "a.example",
        "x..example.com", "example.com.", "*.com", ".com"};
    const std::vector<std::string> names = {
        "example.com", "a.example.com", "b.example.com", "x.b.example.com", "badexample.com", "com", "a.com",
        "a..example.com", "x..example.com", "*.example.com", "a.*.com", ".example.com.", "EXAMPLE.com",
        "full:a.example.com", "a.example", "example", "", "...", "a.b.c.d.example.com", "b.example.comx"};
    int compared = 0;
    // Every single entry, and every pair in both orders.
    for (size_t i = 0; i < pool.size(); ++i) {
        for (size_t j = i; j < pool.size(); ++j) {
            std::vector<std::vector<std::string>> lists = {{pool[i], pool[j]}, {pool[j], pool[i]}};
            if (i == j) lists = {{pool[i]}};
            for (const auto& list : lists) {
                const RoutingPolicy policy = policyWithDomains(list);
                for (const auto& name : names) {
                    EXPECT_EQ(policy.matchesDirectDomain(name), referenceMatch(list, name))
                        << "entries [" << list[0] << "|" << list.back() << "] name " << name;
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 6000);
}

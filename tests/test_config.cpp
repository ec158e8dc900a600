#include <gtest/gtest.h>

#include <regex>

#include "base/VantuError.h"
#include "VantuPacketTunnel/config/VantuConfig.h"

using nlohmann::json;
using vantu::dynamicDirectRouteCacheKey;
using vantu::VantuConfig;
using vantu::VantuError;

namespace {

json baseDictionary(json server = "gateway:443") {
    return json{{"server", std::move(server)}, {"secretKey", "s3cret"}};
}

VantuConfig load(const json& dictionary) { return VantuConfig::fromProviderConfiguration(dictionary); }

// The message of the VantuError that loading throws, or "" when it loads.
std::string loadFailure(const std::optional<json>& dictionary) {
    try {
        (void)VantuConfig::fromProviderConfiguration(dictionary);
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}

}  // namespace

TEST(VantuConfig, ReadsEveryKeyAndDefaultsAbsentOrMistypedOnes) {
    const VantuConfig config = load({{"server", "gateway:443"},         {"secretKey", "s3cret"},
                                     {"dnsServers", {"1.1.1.1", "x"}}, {"deviceID", "dev-1"},
                                     {"clientVersion", "2.4.0"},        {"useServerRouting", false},
                                     {"clientDirectCoreEnabled", true}, {"clientDirectTCPEnabled", true},
                                     {"unrelated", 12}});
    // DNS entries are not validated here.
    EXPECT_EQ(config, VantuConfig("gateway", 443, "s3cret", "dev-1", "2.4.0", {"1.1.1.1", "x"}, false, true, true,
                                  dynamicDirectRouteCacheKey("gateway", "s3cret")));
    // withHost changes the host only: the cache key stays that of the configured host.
    VantuConfig moved = config;
    moved.host = "203.0.113.7";
    EXPECT_EQ(config.withHost("203.0.113.7"), moved);

    const VantuConfig defaults("gateway", 443, "s3cret", "", "", {}, true, false, false,
                               dynamicDirectRouteCacheKey("gateway", "s3cret"));
    EXPECT_EQ(load(baseDictionary()), defaults);
    // No conversions: text is not a boolean, numbers are neither booleans nor
    // text, and a list with one non-text element counts as absent.
    json mistyped = baseDictionary();
    mistyped.update({{"useServerRouting", "false"}, {"clientDirectCoreEnabled", 1}, {"clientDirectTCPEnabled", "true"},
                     {"deviceID", 42}, {"clientVersion", true}, {"dnsServers", {"1.1.1.1", 8}}});
    EXPECT_EQ(load(mistyped), defaults);
    mistyped["dnsServers"] = "1.1.1.1";
    EXPECT_EQ(load(mistyped), defaults);

    // The two direct-core switches are independent.
    for (const std::string key : {"clientDirectCoreEnabled", "clientDirectTCPEnabled"}) {
        json dictionary = baseDictionary();
        dictionary[key] = true;
        const VantuConfig config = load(dictionary);
        const bool udp = key == "clientDirectCoreEnabled";
        EXPECT_EQ(config.clientDirectCoreEnabled, udp) << key;
        EXPECT_EQ(config.clientDirectTCPEnabled, !udp) << key;
    }
}

TEST(VantuConfig, MissingDictionaryServerOrSecretIsMissingConfiguration) {
    // A server that is not even text is missing, not an invalid port.
    for (const auto& dictionary : std::vector<std::optional<json>>{
             std::nullopt, json::array({"gateway:443"}), json("gateway:443"), json::object(),
             json{{"server", "gateway:443"}}, json{{"secretKey", "s3cret"}},
             json{{"server", "gateway:443"}, {"secretKey", 1234}}, baseDictionary(443)}) {
        EXPECT_EQ(loadFailure(dictionary), "missing tunnel provider configuration") << dictionary.value_or("none");
    }
}

TEST(VantuConfig, ServerPortSplitting) {
    const std::tuple<const char*, const char*, uint16_t> good[] = {
        {"gateway:443", "gateway", 443},     {"192.0.2.1:500", "192.0.2.1", 500}, {"::gateway:443", "gateway", 443},
        {"gateway:0", "gateway", 0},         {"gateway:65535", "gateway", 65535}, {"gateway:0443", "gateway", 443},
        {" Gate Way :7", " Gate Way ", 7},
    };
    for (const auto& [server, host, port] : good) {
        const VantuConfig config = load(baseDictionary(server));
        EXPECT_EQ(config.host, host) << server;
        EXPECT_EQ(config.controlPort, port) << server;
    }
    for (const char* bad : {"gateway", "gateway:", ":443", "", ":", ":::", "gateway:70000", "gateway:65536",
                            "gateway:-1", "gateway:+1", "gateway:44a", "gateway: 443", "gateway:443:1",
                            "[2001:db8::1]:443", "gateway:99999999999999999999"}) {
        EXPECT_EQ(loadFailure(baseDictionary(bad)), "invalid server:port") << "server \"" << bad << "\"";
    }
}

TEST(VantuConfig, CacheKeyIsTruncatedSha256OfLowerHostAndSecret) {
    // printf 'gateway|s3cret' | sha256sum -> b1f5a0f1471786fb15101ff7c575bbb1...
    EXPECT_EQ(dynamicDirectRouteCacheKey("gateway", "s3cret"), "vantu.dynamicDirectRoutes.b1f5a0f1471786fb15101ff7");
    // printf 'gateway|other' | sha256sum -> 9ee929c426449cefa9ef2a6b...
    EXPECT_EQ(dynamicDirectRouteCacheKey("gateway", "other"), "vantu.dynamicDirectRoutes.9ee929c426449cefa9ef2a6b");
    // Host case does not matter, secret case does.
    EXPECT_EQ(dynamicDirectRouteCacheKey("GateWAY", "s3cret"), dynamicDirectRouteCacheKey("gateway", "s3cret"));
    EXPECT_NE(dynamicDirectRouteCacheKey("gateway", "S3CRET"), dynamicDirectRouteCacheKey("gateway", "s3cret"));
    EXPECT_TRUE(std::regex_match(
        dynamicDirectRouteCacheKey("", ""), std::regex("vantu\\.dynamicDirectRoutes\\.[0-9a-f]{24}")));

    // The loader keys by the host as configured and keeps its spelling in the record.
    const VantuConfig config = load(baseDictionary("GATEWAY:443"));
    EXPECT_EQ(config.host, "GATEWAY");
    EXPECT_EQ(config.dynamicDirectRouteCacheKey, "vantu.dynamicDirectRoutes.b1f5a0f1471786fb15101ff7");
}

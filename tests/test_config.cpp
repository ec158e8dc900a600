#include <gtest/gtest.h>

#include <regex>

#include "VantuPacketTunnel/VantuError.h"
#include "VantuPacketTunnel/config/VantuConfig.h"

using nlohmann::json;
using vantu::VantuConfig;
using vantu::VantuError;

namespace {

json baseDictionary(json server = "gateway:443") {
    return json{{"server", std::move(server)}, {"secretKey", "s3cret"}};
}

// The message of the VantuError that loading `dictionary` throws, or "" when
// it loads.
std::string loadFailure(const std::optional<json>& dictionary) {
    try {
        (void)VantuConfig::fromProviderConfiguration(dictionary);
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}

std::string serverFailure(const std::string& server) { return loadFailure(baseDictionary(server)); }

}  // namespace

TEST(VantuConfig, FullDictionaryFillsEveryField) {
    const json dictionary = {
        {"server", "gateway:443"},         {"secretKey", "s3cret"},
        {"dnsServers", {"1.1.1.1", "9.9.9.9"}}, {"deviceID", "dev-1"},
        {"clientVersion", "2.4.0"},        {"useServerRouting", false},
        {"clientDirectCoreEnabled", true}, {"clientDirectTCPEnabled", true},
        {"unrelated", 12},
    };
    const VantuConfig config = VantuConfig::fromProviderConfiguration(dictionary);
    EXPECT_EQ(config.host, "gateway");
    EXPECT_EQ(config.controlPort, 443);
    EXPECT_EQ(config.secret, "s3cret");
    EXPECT_EQ(config.deviceID, "dev-1");
    EXPECT_EQ(config.clientVersion, "2.4.0");
    EXPECT_EQ(config.dnsServers, (std::vector<std::string>{"1.1.1.1", "9.9.9.9"}));
    EXPECT_FALSE(config.useServerRouting);
    EXPECT_TRUE(config.clientDirectCoreEnabled);
    EXPECT_TRUE(config.clientDirectTCPEnabled);
    EXPECT_EQ(config.dynamicDirectRouteCacheKey, vantu::dynamicDirectRouteCacheKey("gateway", "s3cret"));

    // The TCP switch is independent of the UDP one.
    json tcpOnly = baseDictionary();
    tcpOnly["clientDirectTCPEnabled"] = true;
    const VantuConfig tcp = VantuConfig::fromProviderConfiguration(tcpOnly);
    EXPECT_FALSE(tcp.clientDirectCoreEnabled);
    EXPECT_TRUE(tcp.clientDirectTCPEnabled);
}

TEST(VantuConfig, AbsentOrMistypedOptionalValuesTakeTheirDefaults) {
    const VantuConfig minimal = VantuConfig::fromProviderConfiguration(baseDictionary());
    EXPECT_EQ(minimal.deviceID, "");
    EXPECT_EQ(minimal.clientVersion, "");
    EXPECT_TRUE(minimal.dnsServers.empty());
    EXPECT_TRUE(minimal.useServerRouting);
    EXPECT_FALSE(minimal.clientDirectCoreEnabled);
    EXPECT_FALSE(minimal.clientDirectTCPEnabled);

    // No conversions: text is not a boolean, numbers are not booleans or
    // text, and a list with one non-text element counts as absent.
    json mistyped = baseDictionary();
    mistyped["useServerRouting"] = "false";
    mistyped["clientDirectCoreEnabled"] = 1;
    mistyped["clientDirectTCPEnabled"] = "true";
    mistyped["deviceID"] = 42;
    mistyped["clientVersion"] = true;
    mistyped["dnsServers"] = json::array({"1.1.1.1", 8});
    const VantuConfig config = VantuConfig::fromProviderConfiguration(mistyped);
    EXPECT_TRUE(config.useServerRouting);
    EXPECT_FALSE(config.clientDirectCoreEnabled);
    EXPECT_FALSE(config.clientDirectTCPEnabled);
    EXPECT_EQ(config.deviceID, "");
    EXPECT_EQ(config.clientVersion, "");
    EXPECT_TRUE(config.dnsServers.empty());

    json notAList = baseDictionary();
    notAList["dnsServers"] = "1.1.1.1";
    EXPECT_TRUE(VantuConfig::fromProviderConfiguration(notAList).dnsServers.empty());

    // Entries are not validated here.
    json unchecked = baseDictionary();
    unchecked["dnsServers"] = json::array({"not an address", ""});
    EXPECT_EQ(VantuConfig::fromProviderConfiguration(unchecked).dnsServers,
              (std::vector<std::string>{"not an address", ""}));
}

TEST(VantuConfig, MissingDictionaryServerOrSecretIsMissingConfiguration) {
    const std::string missing = "missing tunnel provider configuration";
    EXPECT_EQ(loadFailure(std::nullopt), missing);
    EXPECT_EQ(loadFailure(json::array({"gateway:443"})), missing);
    EXPECT_EQ(loadFailure(json("gateway:443")), missing);
    EXPECT_EQ(loadFailure(json::object()), missing);
    EXPECT_EQ(loadFailure(json{{"server", "gateway:443"}}), missing);
    EXPECT_EQ(loadFailure(json{{"secretKey", "s3cret"}}), missing);
    EXPECT_EQ(loadFailure(json{{"server", "gateway:443"}, {"secretKey", 1234}}), missing);
    // A malformed server that is not even text reports the missing
    // configuration, not the port problem.
    EXPECT_EQ(loadFailure(baseDictionary(443)), missing);
    EXPECT_EQ(loadFailure(json{{"server", "gateway"}}), missing);
}

TEST(VantuConfig, ServerPortSplitting) {
    struct Good {
        const char* server;
        const char* host;
        uint16_t port;
    };
    for (const Good& good : {Good{"gateway:443", "gateway", 443}, Good{"192.0.2.1:500", "192.0.2.1", 500},
                             Good{"::gateway:443", "gateway", 443}, Good{"gateway:0", "gateway", 0},
                             Good{"gateway:65535", "gateway", 65535}, Good{"gateway:0443", "gateway", 443},
                             Good{" Gate Way :7", " Gate Way ", 7}}) {
        SCOPED_TRACE(good.server);
        const VantuConfig config = VantuConfig::fromProviderConfiguration(baseDictionary(good.server));
        EXPECT_EQ(config.host, good.host);
        EXPECT_EQ(config.controlPort, good.port);
    }

    const std::string invalid = "invalid server:port";
    for (const char* bad : {"gateway", "gateway:", ":443", "", ":", ":::", "gateway:70000", "gateway:65536",
                            "gateway:-1", "gateway:+1", "gateway:44a", "gateway: 443", "gateway:443:1",
                            "[2001:db8::1]:443", "gateway:99999999999999999999"}) {
        EXPECT_EQ(serverFailure(bad), invalid) << "server \"" << bad << "\"";
    }
}

TEST(VantuConfig, WithHostKeepsEverythingElse) {
    json dictionary = baseDictionary();
    dictionary["deviceID"] = "dev-1";
    dictionary["clientDirectCoreEnabled"] = true;
    const VantuConfig original = VantuConfig::fromProviderConfiguration(dictionary);
    const VantuConfig moved = original.withHost("203.0.113.7");
    EXPECT_EQ(moved.host, "203.0.113.7");
    EXPECT_EQ(moved.controlPort, 443);
    EXPECT_EQ(moved.deviceID, "dev-1");
    EXPECT_TRUE(moved.clientDirectCoreEnabled);
    EXPECT_EQ(moved.dynamicDirectRouteCacheKey, vantu::dynamicDirectRouteCacheKey("gateway", "s3cret"));
    EXPECT_NE(moved.dynamicDirectRouteCacheKey, vantu::dynamicDirectRouteCacheKey("203.0.113.7", "s3cret"));
    EXPECT_EQ(original.host, "gateway");
    EXPECT_EQ(moved.withHost("gateway"), original);
}

TEST(VantuConfig, CacheKeyIsTruncatedSha256OfLowerHostAndSecret) {
    // printf 'gateway|s3cret' | sha256sum -> b1f5a0f1471786fb15101ff7c575bbb1...
    EXPECT_EQ(vantu::dynamicDirectRouteCacheKey("gateway", "s3cret"), "vantu.dynamicDirectRoutes.b1f5a0f1471786fb15101ff7");
    // printf 'gateway|other' | sha256sum -> 9ee929c426449cefa9ef2a6b...
    EXPECT_EQ(vantu::dynamicDirectRouteCacheKey("gateway", "other"), "vantu.dynamicDirectRoutes.9ee929c426449cefa9ef2a6b");

    // Host case does not matter, secret case does.
    EXPECT_EQ(vantu::dynamicDirectRouteCacheKey("GateWAY", "s3cret"),
              vantu::dynamicDirectRouteCacheKey("gateway", "s3cret"));
    EXPECT_NE(vantu::dynamicDirectRouteCacheKey("gateway", "S3CRET"),
              vantu::dynamicDirectRouteCacheKey("gateway", "s3cret"));

    const std::regex form("vantu\\.dynamicDirectRoutes\\.[0-9a-f]{24}");
    for (const auto& [host, secret] : std::vector<std::pair<std::string, std::string>>{
             {"", ""}, {"Gateway", "s3cret"}, {"192.0.2.1", "x"}, {"h\xc3\xa9te", "\xf0\x9f\x94\x91"}}) {
        EXPECT_TRUE(std::regex_match(vantu::dynamicDirectRouteCacheKey(host, secret), form)) << host;
    }

    // The loader keys by the host exactly as configured, before resolution,
    // and keeps the host's own spelling in the record.
    json upper = baseDictionary("GATEWAY:443");
    const VantuConfig config = VantuConfig::fromProviderConfiguration(upper);
    EXPECT_EQ(config.host, "GATEWAY");
    EXPECT_EQ(config.dynamicDirectRouteCacheKey, "vantu.dynamicDirectRoutes.b1f5a0f1471786fb15101ff7");
}

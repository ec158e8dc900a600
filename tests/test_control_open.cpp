// The control request and response: the request line, strict response
// decoding, and the validation that turns a response into a session.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "base/VantuError.h"
#include "control/VantuControl.h"
#include "tests/loopback_test_support.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;
using nlohmann::json;
using VantuControl::ControlResponse;
using Strings = std::vector<std::string>;

namespace {

const char* const kKey16 = "AAECAwQFBgcICQoLDA0ODw==";                      // bytes 0..15
const char* const kKey32 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31
const char* const kMissingParameters = "control response is missing tunnel parameters";
const char* const kMissingPort = "control response is missing data port";

Bytes range(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
    return out;
}

VantuConfig testConfig() {
    VantuConfig config;
    config.host = "127.0.0.1";
    config.secret = "s3cret";
    config.deviceID = "device-1";
    config.clientVersion = "1.4.2";
    return config;
}

// A granted session with every field the client needs; tests change one thing.
json grantedDocument(const json& changes = json::object()) {
    json document = {{"status", "ok"},          {"session_id", "01020304"}, {"session_key", kKey16},
                     {"tunnel_ip", "10.7.0.2"}, {"data_port", 51820},       {"transport", "udp"}};
    document.update(changes);
    return document;
}

ControlResponse decode(const std::string& text) { return ControlResponse::decode(Bytes(text.begin(), text.end())); }

std::shared_ptr<VantuSession> sessionFor(const json& document, const VantuConfig& config = testConfig(),
                                         Strings* logLines = nullptr) {
    return VantuControl::sessionFromResponse(config, decode(document.dump()), [&](const std::string& line) {
        if (logLines) logLines->push_back(line);
    });
}

std::string rejectionOf(const json& document) {
    return failureOf([&] { sessionFor(document); });
}

}  // namespace

TEST(ControlOpen, RequestLineIsOneCompactJSONObjectAndALineFeed) {
    VantuConfig config = testConfig();
    config.secret = "quote\"back\\slash";
    const Bytes line = VantuControl::encodeRequest(config, "open", std::nullopt);
    const std::string text(line.begin(), line.end());
    ASSERT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(text.find(' '), std::string::npos);
    EXPECT_EQ(json::parse(text), (json{{"action", "open"}, {"secret", "quote\"back\\slash"},
                                       {"device_id", "device-1"}, {"client_version", "1.4.2"}}));

    // Unset identifiers are sent as empty text; a preferred transport adds one key.
    config.deviceID.clear();
    config.clientVersion.clear();
    const json second = json::parse(VantuControl::encodeRequest(config, "open", std::string("tcp")));
    EXPECT_EQ(second.size(), 5u);
    EXPECT_EQ(second.at("device_id"), "");
    EXPECT_EQ(second.at("client_version"), "");
    EXPECT_EQ(second.at("data_transport"), "tcp");

    // Text that is not UTF-8 cannot be encoded, and says so instead of sending garbage.
    config.secret = "\xff\xfe";
    EXPECT_NE(failureOf([&] { VantuControl::encodeRequest(config, "open", std::nullopt); }), "");
}

TEST(ControlOpen, ResponseDecodingIsStrict) {
    const ControlResponse r = decode(R"({"status":"ok","message":"welcome","udp_port":443,"data_port":8443,
        "transport":"TCP","cipher":"chacha","session_id":"DEADBEEF","session_key":"AAEC","tunnel_ip":"10.7.0.9",
        "tunnel_mtu":1280,"routing":{"dns_servers":["9.9.9.9"]},"unknown_key":[1,2,3]})");
    EXPECT_EQ(std::tie(r.status, r.message, r.transport, r.cipher, r.session_id, r.session_key, r.tunnel_ip),
              std::make_tuple("ok", "welcome", "TCP", "chacha", "DEADBEEF", "AAEC", "10.7.0.9"));
    EXPECT_EQ(std::tie(r.udp_port, r.data_port, r.tunnel_mtu), std::make_tuple(443, 8443, 1280));
    ASSERT_TRUE(r.routing.has_value());
    EXPECT_EQ(r.routing->dns_servers, Strings{"9.9.9.9"});

    // Null is absence; white space around the document is allowed.
    const ControlResponse sparse =
        decode(" {\"status\":\"no\",\"message\":null,\"data_port\":null,\"routing\":null}\r\n");
    EXPECT_EQ(sparse.status, "no");
    EXPECT_FALSE(sparse.message || sparse.data_port || sparse.routing);

    EXPECT_EQ(failureOf([] { decode("{\"message\":\"x\"}"); }), "invalid control response: missing \"status\"");
    EXPECT_EQ(failureOf([] { decode("{\"status\":\"ok\",\"data_port\":\"443\"}"); }),
              "invalid control response: \"data_port\" is not an integer");
    for (const char* text : {"", "[1,2]", "{\"status\":\"ok\"", "{\"status\":\"ok\"} {}", "{\"status\":null}",
                             "{\"status\":\"ok\",\"data_port\":443.0}", "{\"status\":\"ok\",\"routing\":[]}",
                             "{\"status\":\"ok\",\"routing\":{\"rules\":[{\"domain\":[\"a.example\"]}]}}"}) {
        EXPECT_EQ(failureOf([&] { decode(text); }).rfind("invalid control response: ", 0), 0u) << text;
    }
}

TEST(ControlOpen, HexSessionIdentifiersAndBase64Keys) {
    const std::pair<const char*, uint32_t> ids[] = {
        {"DEADBEEF", 0xDEADBEEF}, {"deadbeef", 0xDEADBEEF}, {"1a", 26}, {"0", 0}, {"00000001a", 26}};
    for (const auto& [text, value] : ids) EXPECT_EQ(VantuControl::parseSessionID(text), value) << text;
    for (const char* bad : {"", "0x1a", "100000000", "-1", " 1a", "1g"}) {
        EXPECT_FALSE(VantuControl::parseSessionID(bad).has_value()) << bad;
    }

    EXPECT_EQ(VantuControl::decodeBase64(""), Bytes{});
    EXPECT_EQ(VantuControl::decodeBase64("AA=="), (Bytes{0x00}));
    EXPECT_EQ(VantuControl::decodeBase64("AAE="), (Bytes{0x00, 0x01}));
    EXPECT_EQ(VantuControl::decodeBase64("+/8="), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(VantuControl::decodeBase64(kKey32), range(32));
    for (const char* bad : {"AA", "AA=", "====", "AA=A", "AA==AAAA", "-_8=", "AAEC\n"}) {
        EXPECT_FALSE(VantuControl::decodeBase64(bad).has_value()) << bad;
    }
}

TEST(ControlOpen, RejectionsAndMissingParametersInOrder) {
    // Each a change to a granted session. Status is compared exactly; the
    // server's message, even an empty one, is the error. Null is absence.
    const std::pair<json, std::string> rejected[] = {
        {{{"status", "OK"}}, "control session rejected"},
        {{{"status", "denied"}, {"message", "device limit reached"}}, "device limit reached"},
        {{{"status", "denied"}, {"message", ""}}, ""},
        // Absent or unreadable tunnel parameters.
        {{{"session_id", nullptr}}, kMissingParameters},
        {{{"session_key", nullptr}}, kMissingParameters},
        {{{"tunnel_ip", nullptr}}, kMissingParameters},
        {{{"session_id", "0x1a"}}, kMissingParameters},
        {{{"session_id", "123456789"}}, kMissingParameters},
        {{{"session_key", "AAECAwQFBgcICQoLDA0ODw"}}, kMissingParameters},
        {{{"session_key", "not base64!"}}, kMissingParameters},
        // A present data_port wins even when it is unusable.
        {{{"data_port", nullptr}}, kMissingPort},
        {{{"data_port", 0}, {"udp_port", 443}}, kMissingPort},
        {{{"data_port", 65536}}, kMissingPort},
        {{{"data_port", -1}}, kMissingPort},
        {{{"data_port", nullptr}, {"udp_port", 70000}}, kMissingPort},
        {{{"transport", "QUIC"}}, "macOS packet tunnel does not support transport quic"},
        // The session checks the key against the cipher.
        {{{"session_key", "AAECAwQFBgcICQoLDA0O"}}, "invalid AES-128 session key"},
        {{{"cipher", "chacha"}}, "invalid ChaCha20-Poly1305 session key"},
    };
    for (const auto& [changes, message] : rejected) EXPECT_EQ(rejectionOf(grantedDocument(changes)), message) << changes;

    // Rejection, then parameters, then the data port, then the transport, then the cipher.
    json wrong = {{"status", "nope"}, {"transport", "quic"}, {"cipher", "rot13"}};
    EXPECT_EQ(rejectionOf(wrong), "control session rejected");
    wrong["status"] = "ok";
    EXPECT_EQ(rejectionOf(wrong), kMissingParameters);
    wrong.update(grantedDocument());
    wrong.erase("data_port");
    wrong.update({{"transport", "quic"}, {"cipher", "rot13"}});
    EXPECT_EQ(rejectionOf(wrong), kMissingPort);
    wrong["data_port"] = 443;
    EXPECT_EQ(rejectionOf(wrong), "macOS packet tunnel does not support transport quic");
    wrong["transport"] = "TCP";
    EXPECT_EQ(rejectionOf(wrong), "macOS packet tunnel does not support cipher rot13");
}

TEST(ControlOpen, DataPortTransportCipherAndMTU) {
    for (const auto& [changes, port] :
         {std::pair{json{{"data_port", nullptr}, {"udp_port", 443}}, 443}, std::pair{json{{"udp_port", 443}, {"data_port", 8443}}, 8443},
          std::pair{json{{"data_port", 65535}}, 65535}, std::pair{json{{"data_port", 1}}, 1}}) {
        EXPECT_EQ(sessionFor(grantedDocument(changes))->dataPort, port) << changes;
    }
    const auto granted = sessionFor(grantedDocument());
    EXPECT_EQ(std::tie(granted->sessionID, granted->tunnelIP, granted->transport, granted->mtu),
              std::make_tuple(0x01020304u, "10.7.0.2", "udp", 1420));
    EXPECT_EQ(granted->cipher.kind(), VantuCipher::Kind::aes128gcm);
    EXPECT_EQ(granted->cipher.key(), range(16));
    // Transport and cipher names are lower-cased; any integer MTU is passed on as it is.
    const auto tcp = sessionFor(grantedDocument({{"data_port", 443}, {"transport", "TCP"}, {"cipher", "ChaCha20-Poly1305"},
                                                 {"session_key", kKey32}, {"tunnel_mtu", -5}}));
    EXPECT_EQ(std::tie(tcp->transport, tcp->mtu), std::make_tuple("tcp", -5));
    EXPECT_EQ(tcp->cipher.kind(), VantuCipher::Kind::chacha20poly1305);
    EXPECT_EQ(tcp->cipher.key(), range(32));
}

TEST(ControlOpen, RoutingOverridesAndDNSFallback) {
    struct Case {
        bool useServerRouting, udp, tcp;
        Strings configDNS;
        bool serverSendsRouting;
        std::optional<bool> learning;  // nullopt: the session carries no policy
        Strings dns;
        std::string log;
    };
    const Strings serverDNS = {"9.9.9.9", "149.112.112.112"};
    const std::string prefix = "client routing overrides: useServerRouting=";
    const Case cases[] = {
        {true, false, false, {}, true, false, serverDNS,
         prefix + "true directCoreUDP=false directCoreTCP=false dns=9.9.9.9,149.112.112.112"},
        {true, false, true, {}, true, true, serverDNS,
         prefix + "true directCoreUDP=false directCoreTCP=true dns=9.9.9.9,149.112.112.112"},
        {true, true, false, {"1.1.1.1", "8.8.8.8"}, true, true, {"1.1.1.1", "8.8.8.8"},
         prefix + "true directCoreUDP=true directCoreTCP=false dns=1.1.1.1,8.8.8.8"},
        // Without server routing the policy is dropped but its DNS servers still fill an empty list.
        {false, true, false, {}, true, std::nullopt, serverDNS,
         prefix + "false directCoreUDP=true directCoreTCP=false dns=9.9.9.9,149.112.112.112"},
        {true, false, false, {}, false, std::nullopt, {},
         prefix + "true directCoreUDP=false directCoreTCP=false dns="},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        VantuConfig config = testConfig();
        config.useServerRouting = c.useServerRouting;
        config.clientDirectCoreEnabled = c.udp;
        config.clientDirectTCPEnabled = c.tcp;
        config.dnsServers = c.configDNS;
        json document = grantedDocument();
        if (c.serverSendsRouting) {
            // The server's learning switch is always overridden by the client's direct-core switches.
            document["routing"] = {{"dns_servers", serverDNS},
                                   {"direct_domains", {"example.com"}},
                                   {"client_route_learning_enabled", !c.learning.value_or(false)}};
        }
        Strings lines;
        const auto session = sessionFor(document, config, &lines);
        ASSERT_EQ(session->routingPolicy.has_value(), c.learning.has_value());
        if (c.learning) {
            EXPECT_EQ(session->routingPolicy->client_route_learning_enabled, *c.learning);
            EXPECT_EQ(session->routingPolicy->direct_domains, Strings{"example.com"});
        }
        EXPECT_EQ(session->dnsServers, c.dns);
        EXPECT_EQ(lines, Strings{c.log});
    }

    // A response refused before the overrides step logs nothing.
    Strings lines;
    EXPECT_NE(failureOf([&] { sessionFor(grantedDocument({{"transport", "quic"}}), testConfig(), &lines); }), "");
    EXPECT_TRUE(lines.empty());
}

TEST(ControlOpen, OpenOverLoopback) {
    std::string requestLine;
    LoopbackServer server([&](int fd) {
        requestLine = readLine(fd);
        sendAll(fd, grantedDocument({{"routing", {{"dns_servers", {"9.9.9.9"}}}}}).dump());
        waitForPeerClose(fd);
    });
    VantuConfig config = testConfig();
    config.controlPort = server.port();
    Strings lines;
    const auto session =
        VantuControl::open(config, [&](const std::string& line) { lines.push_back(line); }, Clock::now() + 30s);
    server.join();
    EXPECT_EQ(std::tie(session->sessionID, session->dataPort, session->dnsServers),
              std::make_tuple(0x01020304u, 51820, Strings{"9.9.9.9"}));
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_TRUE(requestLine.ends_with('\n'));
    EXPECT_EQ(json::parse(requestLine),
              (json{{"action", "open"}, {"secret", "s3cret"}, {"device_id", "device-1"}, {"client_version", "1.4.2"}}));
}

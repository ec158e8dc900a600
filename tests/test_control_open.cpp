// The control request and response: the request line, strict response
// decoding, and the validation that turns a response into a session.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "VantuPacketTunnel/VantuError.h"
#include "control/VantuControl.h"
#include "tests/control_test_server.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;
using nlohmann::json;
using VantuControl::ControlResponse;

namespace {

const char* const kKey16 = "AAECAwQFBgcICQoLDA0ODw==";  // bytes 0..15
const char* const kKey32 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // bytes 0..31
const char* const kMissingParameters = "control response is missing tunnel parameters";
const char* const kMissingPort = "control response is missing data port";

template <class F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}

Bytes bytesOfText(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes range(size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(i));
    return out;
}

VantuConfig testConfig() {
    VantuConfig config;
    config.host = "127.0.0.1";
    config.controlPort = 0;
    config.secret = "s3cret";
    config.deviceID = "device-1";
    config.clientVersion = "1.4.2";
    config.useServerRouting = true;
    return config;
}

// A granted session with every field the client needs; tests change one thing.
json grantedDocument() {
    return json{{"status", "ok"},          {"session_id", "01020304"}, {"session_key", kKey16},
                {"tunnel_ip", "10.7.0.2"}, {"data_port", 51820},       {"transport", "udp"}};
}

ControlResponse decoded(const json& document) { return ControlResponse::decode(bytesOfText(document.dump())); }

std::shared_ptr<VantuSession> sessionFor(const json& document, const VantuConfig& config = testConfig(),
                                         std::vector<std::string>* logLines = nullptr) {
    return VantuControl::sessionFromResponse(config, decoded(document), [&](const std::string& line) {
        if (logLines) logLines->push_back(line);
    });
}

std::string rejectionOf(const json& document, const VantuConfig& config = testConfig()) {
    return failureOf([&] { sessionFor(document, config); });
}

std::string decodeFailureOf(const std::string& text) {
    return failureOf([&] { ControlResponse::decode(bytesOfText(text)); });
}

bool isDecoderError(const std::string& message) { return message.rfind("invalid control response: ", 0) == 0; }

}  // namespace

TEST(ControlOpen, RequestLineIsCompactJSONWithLineFeed) {
    VantuConfig config = testConfig();
    config.secret = "quote\" and back\\slash";
    const Bytes line = VantuControl::encodeRequest(config, "open", std::nullopt);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    const std::string body(line.begin(), line.end() - 1);
    EXPECT_EQ(body.find('\n'), std::string::npos);
    EXPECT_EQ(body.front(), '{');
    // Compact: no white space outside the one string value that holds some.
    EXPECT_EQ(body.find(": "), std::string::npos);
    EXPECT_EQ(body.find(", "), std::string::npos);

    const json parsed = json::parse(body);
    EXPECT_EQ(parsed, (json{{"action", "open"},
                            {"secret", "quote\" and back\\slash"},
                            {"device_id", "device-1"},
                            {"client_version", "1.4.2"}}));

    // Unset identifiers are sent as empty text; a preferred transport adds one key.
    config.deviceID.clear();
    config.clientVersion.clear();
    const Bytes withTransport = VantuControl::encodeRequest(config, "open", std::string("tcp"));
    const json second = json::parse(std::string(withTransport.begin(), withTransport.end() - 1));
    EXPECT_EQ(second.size(), 5u);
    EXPECT_EQ(second.at("device_id"), "");
    EXPECT_EQ(second.at("client_version"), "");
    EXPECT_EQ(second.at("data_transport"), "tcp");

    // Text that is not UTF-8 cannot be encoded, and says so instead of sending garbage.
    config.secret = std::string("\xff\xfe", 2);
    EXPECT_FALSE(failureOf([&] { VantuControl::encodeRequest(config, "open", std::nullopt); }).empty());
}

TEST(ControlOpen, ResponseDecodingIsStrict) {
    const json full = {{"status", "ok"},
                       {"message", "welcome"},
                       {"udp_port", 443},
                       {"data_port", 8443},
                       {"transport", "TCP"},
                       {"cipher", "chacha"},
                       {"session_id", "DEADBEEF"},
                       {"session_key", kKey32},
                       {"tunnel_ip", "10.7.0.9"},
                       {"tunnel_mtu", 1280},
                       {"routing", {{"dns_servers", {"9.9.9.9"}}}},
                       {"unknown_key", {1, 2, 3}}};
    const ControlResponse r = decoded(full);
    EXPECT_EQ(r.status, "ok");
    EXPECT_EQ(r.message, "welcome");
    EXPECT_EQ(r.udp_port, 443);
    EXPECT_EQ(r.data_port, 8443);
    EXPECT_EQ(r.transport, "TCP");
    EXPECT_EQ(r.cipher, "chacha");
    EXPECT_EQ(r.session_id, "DEADBEEF");
    EXPECT_EQ(r.session_key, kKey32);
    EXPECT_EQ(r.tunnel_ip, "10.7.0.9");
    EXPECT_EQ(r.tunnel_mtu, 1280);
    ASSERT_TRUE(r.routing.has_value());
    EXPECT_EQ(r.routing->dns_servers, (std::vector<std::string>{"9.9.9.9"}));

    // Null is absence; white space around the document is allowed.
    const ControlResponse sparse =
        ControlResponse::decode(bytesOfText(" {\"status\":\"no\",\"message\":null,\"data_port\":null,"
                                            "\"routing\":null,\"tunnel_mtu\":null}\r\n"));
    EXPECT_EQ(sparse.status, "no");
    EXPECT_FALSE(sparse.message || sparse.data_port || sparse.routing || sparse.tunnel_mtu);

    // Each of these fails the whole document.
    const std::vector<std::string> broken = {
        "",
        "not json",
        "[1,2]",
        "\"ok\"",
        "{\"status\":\"ok\"",                          // incomplete
        "{\"status\":\"ok\"} {}",                      // a second document
        "{\"message\":\"no status\"}",                 // required key missing
        "{\"status\":null}",                           // null is absence
        "{\"status\":1}",                              // wrong type
        "{\"status\":\"ok\",\"data_port\":\"443\"}",   // integer given as text
        "{\"status\":\"ok\",\"data_port\":443.0}",     // integer given as a fraction
        "{\"status\":\"ok\",\"data_port\":4.43e2}",    // or with an exponent
        "{\"status\":\"ok\",\"udp_port\":true}",
        "{\"status\":\"ok\",\"tunnel_mtu\":\"1280\"}",
        "{\"status\":\"ok\",\"data_port\":18446744073709551615}",
        "{\"status\":\"ok\",\"session_id\":3735928559}",
        "{\"status\":\"ok\",\"message\":[]}",
        "{\"status\":\"ok\",\"routing\":[]}",
        "{\"status\":\"ok\",\"routing\":\"direct\"}",
        "{\"status\":\"ok\",\"routing\":{\"rules\":[{\"domain\":[\"a.example\"]}]}}",  // rule without outboundTag
        "{\"status\":\"ok\",\"routing\":{\"dns_servers\":\"1.1.1.1\"}}",
    };
    for (const auto& text : broken) {
        const std::string message = decodeFailureOf(text);
        EXPECT_TRUE(isDecoderError(message)) << text << " -> " << message;
    }
    EXPECT_EQ(decodeFailureOf("{\"message\":\"x\"}"), "invalid control response: missing \"status\"");
    EXPECT_EQ(decodeFailureOf("{\"status\":\"ok\",\"data_port\":\"443\"}"),
              "invalid control response: \"data_port\" is not an integer");

    // An empty policy object decodes.
    EXPECT_TRUE(decoded(json{{"status", "ok"}, {"routing", json::object()}}).routing.has_value());
}

TEST(ControlOpen, HexSessionIdentifiersAndBase64Keys) {
    EXPECT_EQ(VantuControl::parseSessionID("DEADBEEF"), 0xDEADBEEFu);
    EXPECT_EQ(VantuControl::parseSessionID("deadbeef"), 0xDEADBEEFu);
    EXPECT_EQ(VantuControl::parseSessionID("1a"), 26u);
    EXPECT_EQ(VantuControl::parseSessionID("0"), 0u);
    EXPECT_EQ(VantuControl::parseSessionID("FFFFFFFF"), 0xFFFFFFFFu);
    // Leading zeros do not change the value, so they do not make it too large.
    EXPECT_EQ(VantuControl::parseSessionID("00000001a"), 26u);
    for (const char* bad : {"", "0x1a", "100000000", "123456789", "-1", "+1a", " 1a", "1a ", "1g", "DEAD BEEF"}) {
        EXPECT_FALSE(VantuControl::parseSessionID(bad).has_value()) << bad;
    }

    EXPECT_EQ(VantuControl::decodeBase64(""), Bytes{});
    EXPECT_EQ(VantuControl::decodeBase64("AA=="), (Bytes{0x00}));
    EXPECT_EQ(VantuControl::decodeBase64("AAE="), (Bytes{0x00, 0x01}));
    EXPECT_EQ(VantuControl::decodeBase64("AAEC"), (Bytes{0x00, 0x01, 0x02}));
    EXPECT_EQ(VantuControl::decodeBase64("+/8="), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(VantuControl::decodeBase64(kKey16), range(16));
    EXPECT_EQ(VantuControl::decodeBase64(kKey32), range(32));
    for (const char* bad : {"A", "AA", "AA=", "AAE", "A===", "====", "AA=A", "AA==AAAA", "-_8=", "AA AA=",
                            "AAEC\n", "AAECAwQFBgcICQoLDA0ODw"}) {
        EXPECT_FALSE(VantuControl::decodeBase64(bad).has_value()) << bad;
    }
}

TEST(ControlOpen, RejectionsAndMissingParametersInOrder) {
    // Status is compared exactly.
    json upper = grantedDocument();
    upper["status"] = "OK";
    EXPECT_EQ(rejectionOf(upper), "control session rejected");
    json rejected = {{"status", "denied"}, {"message", "device limit reached"}};
    EXPECT_EQ(rejectionOf(rejected), "device limit reached");
    rejected["message"] = "";
    EXPECT_EQ(rejectionOf(rejected), "");
    EXPECT_NE(failureOf([&] { sessionFor(rejected); }), "control session rejected");

    // Unreadable or absent tunnel parameters.
    for (const char* id : {"0x1a", "", "123456789", "xyz"}) {
        json document = grantedDocument();
        document["session_id"] = id;
        EXPECT_EQ(rejectionOf(document), kMissingParameters) << id;
    }
    for (const char* field : {"session_id", "session_key", "tunnel_ip"}) {
        json document = grantedDocument();
        document.erase(field);
        EXPECT_EQ(rejectionOf(document), kMissingParameters) << field;
        document[field] = nullptr;
        EXPECT_EQ(rejectionOf(document), kMissingParameters) << field;
    }
    for (const char* key : {"AAECAwQFBgcICQoLDA0ODw", "not base64!", "AAEC AwQF"}) {
        json document = grantedDocument();
        document["session_key"] = key;
        EXPECT_EQ(rejectionOf(document), kMissingParameters) << key;
    }

    // Order: rejection before parameters, parameters before the data port,
    // the data port before the transport, the transport before the cipher.
    json everythingWrong = {{"status", "nope"}, {"transport", "quic"}, {"cipher", "rot13"}};
    EXPECT_EQ(rejectionOf(everythingWrong), "control session rejected");
    everythingWrong["status"] = "ok";
    EXPECT_EQ(rejectionOf(everythingWrong), kMissingParameters);
    everythingWrong.update(grantedDocument());
    everythingWrong.erase("data_port");
    everythingWrong["transport"] = "quic";
    everythingWrong["cipher"] = "rot13";
    EXPECT_EQ(rejectionOf(everythingWrong), kMissingPort);
    everythingWrong["data_port"] = 443;
    EXPECT_EQ(rejectionOf(everythingWrong), "macOS packet tunnel does not support transport quic");
    everythingWrong["transport"] = "TCP";
    EXPECT_EQ(rejectionOf(everythingWrong), "macOS packet tunnel does not support cipher rot13");
}

TEST(ControlOpen, DataPortTransportCipherAndMTU) {
    auto with = [](std::initializer_list<std::pair<const char*, json>> changes) {
        json document = grantedDocument();
        document.erase("data_port");
        for (const auto& [key, value] : changes) document[key] = value;
        return document;
    };

    EXPECT_EQ(sessionFor(with({{"udp_port", 443}}))->dataPort, 443);
    EXPECT_EQ(sessionFor(with({{"udp_port", 443}, {"data_port", 8443}}))->dataPort, 8443);
    EXPECT_EQ(sessionFor(with({{"data_port", 65535}}))->dataPort, 65535);
    EXPECT_EQ(sessionFor(with({{"data_port", 1}}))->dataPort, 1);
    EXPECT_EQ(rejectionOf(with({})), kMissingPort);
    EXPECT_EQ(rejectionOf(with({{"data_port", 0}, {"udp_port", 443}})), kMissingPort);
    EXPECT_EQ(rejectionOf(with({{"data_port", 65536}})), kMissingPort);
    EXPECT_EQ(rejectionOf(with({{"data_port", -1}})), kMissingPort);
    EXPECT_EQ(rejectionOf(with({{"udp_port", 70000}})), kMissingPort);

    const auto granted = sessionFor(grantedDocument());
    EXPECT_EQ(granted->sessionID, 0x01020304u);
    EXPECT_EQ(granted->tunnelIP, "10.7.0.2");
    EXPECT_EQ(granted->transport, "udp");
    EXPECT_EQ(granted->mtu, 1420);
    EXPECT_EQ(granted->seq, 1u);
    EXPECT_EQ(granted->cipher.kind(), VantuCipher::Kind::aes128gcm);
    EXPECT_EQ(granted->cipher.key(), range(16));

    const auto tcp = sessionFor(with({{"data_port", 443},
                                      {"transport", "TCP"},
                                      {"cipher", "ChaCha20-Poly1305"},
                                      {"session_key", kKey32},
                                      {"session_id", "DEADBEEF"},
                                      {"tunnel_mtu", 1280}}));
    EXPECT_EQ(tcp->transport, "tcp");
    EXPECT_EQ(tcp->cipher.kind(), VantuCipher::Kind::chacha20poly1305);
    EXPECT_EQ(tcp->cipher.key(), range(32));
    EXPECT_EQ(tcp->mtu, 1280);
    const auto nonce = tcp->nonce(1, VantuSession::kClientDirection);
    EXPECT_EQ((std::vector<uint8_t>(nonce.begin(), nonce.begin() + 4)), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(sessionFor(with({{"data_port", 443}, {"session_id", "1a"}}))->sessionID, 26u);

    // Any integer MTU is passed on as it is.
    EXPECT_EQ(sessionFor(with({{"data_port", 443}, {"tunnel_mtu", -5}}))->mtu, -5);
    // The cipher name is lower-cased before the session sees it; the key is then checked.
    EXPECT_EQ(sessionFor(with({{"data_port", 443}, {"cipher", "AES-128-GCM"}}))->cipher.kind(),
              VantuCipher::Kind::aes128gcm);
    EXPECT_EQ(rejectionOf(with({{"data_port", 443}, {"session_key", "AAECAwQFBgcICQoLDA0O"}})),
              "invalid AES-128 session key");
    EXPECT_EQ(rejectionOf(with({{"data_port", 443}, {"session_key", ""}})), "invalid AES-128 session key");
    EXPECT_EQ(rejectionOf(with({{"data_port", 443}, {"cipher", "chacha"}})), "invalid ChaCha20-Poly1305 session key");
    EXPECT_EQ(rejectionOf(with({{"data_port", 443}, {"transport", "QUIC"}})),
              "macOS packet tunnel does not support transport quic");
}

TEST(ControlOpen, RoutingOverridesAndDNSFallback) {
    json document = grantedDocument();
    document["routing"] = {{"client_route_learning_enabled", true},
                           {"server_routing_enabled", true},
                           {"dns_servers", {"9.9.9.9", "149.112.112.112"}},
                           {"direct_domains", {"example.com"}}};

    // Server routing on, both direct-core switches off: learning arrives off.
    VantuConfig config = testConfig();
    std::vector<std::string> lines;
    auto session = sessionFor(document, config, &lines);
    ASSERT_TRUE(session->routingPolicy.has_value());
    EXPECT_EQ(session->routingPolicy->client_route_learning_enabled, false);
    EXPECT_EQ(session->routingPolicy->server_routing_enabled, true);
    EXPECT_EQ(session->routingPolicy->direct_domains, (std::vector<std::string>{"example.com"}));
    EXPECT_EQ(session->dnsServers, (std::vector<std::string>{"9.9.9.9", "149.112.112.112"}));
    EXPECT_EQ(lines, (std::vector<std::string>{"client routing overrides: useServerRouting=true directCoreUDP=false "
                                               "directCoreTCP=false dns=9.9.9.9,149.112.112.112"}));

    // Either switch turns learning on, and it is set even when the server sent none.
    config.clientDirectTCPEnabled = true;
    document["routing"]["client_route_learning_enabled"] = false;
    EXPECT_EQ(sessionFor(document, config)->routingPolicy->client_route_learning_enabled, true);
    config.clientDirectTCPEnabled = false;
    config.clientDirectCoreEnabled = true;
    document["routing"].erase("client_route_learning_enabled");
    EXPECT_EQ(sessionFor(document, config)->routingPolicy->client_route_learning_enabled, true);
    config.clientDirectCoreEnabled = false;
    EXPECT_EQ(sessionFor(document, config)->routingPolicy->client_route_learning_enabled, false);

    // A configured DNS list wins over the server's.
    config.dnsServers = {"1.1.1.1", "8.8.8.8"};
    lines.clear();
    session = sessionFor(document, config, &lines);
    EXPECT_EQ(session->dnsServers, (std::vector<std::string>{"1.1.1.1", "8.8.8.8"}));
    EXPECT_EQ(lines, (std::vector<std::string>{"client routing overrides: useServerRouting=true directCoreUDP=false "
                                               "directCoreTCP=false dns=1.1.1.1,8.8.8.8"}));

    // Server routing off: no policy, but its DNS servers still fill an empty list.
    config.dnsServers.clear();
    config.useServerRouting = false;
    config.clientDirectCoreEnabled = true;
    lines.clear();
    session = sessionFor(document, config, &lines);
    EXPECT_FALSE(session->routingPolicy.has_value());
    EXPECT_EQ(session->dnsServers, (std::vector<std::string>{"9.9.9.9", "149.112.112.112"}));
    EXPECT_EQ(lines, (std::vector<std::string>{"client routing overrides: useServerRouting=false directCoreUDP=true "
                                               "directCoreTCP=false dns=9.9.9.9,149.112.112.112"}));

    // No list anywhere: none, and no policy to carry.
    config.useServerRouting = true;
    document.erase("routing");
    lines.clear();
    session = sessionFor(document, config, &lines);
    EXPECT_TRUE(session->dnsServers.empty());
    EXPECT_FALSE(session->routingPolicy.has_value());
    EXPECT_EQ(lines, (std::vector<std::string>{"client routing overrides: useServerRouting=true directCoreUDP=true "
                                               "directCoreTCP=false dns="}));

    // A response refused before the overrides step logs nothing.
    lines.clear();
    document["transport"] = "quic";
    EXPECT_FALSE(failureOf([&] { sessionFor(document, config, &lines); }).empty());
    EXPECT_TRUE(lines.empty());
}

TEST(ControlOpen, OpenOverLoopback) {
    std::string requestLine;
    bool clientClosedFirst = false;
    json granted = grantedDocument();
    granted["routing"] = {{"dns_servers", {"9.9.9.9"}}};
    LoopbackServer server([&](int fd) {
        requestLine = readLine(fd);
        // The response goes out in two pieces and the connection stays open.
        const std::string text = granted.dump();
        sendAll(fd, text.substr(0, 20));
        std::this_thread::sleep_for(30ms);
        sendAll(fd, text.substr(20));
        clientClosedFirst = waitForPeerClose(fd, 3000);
        return false;
    });
    VantuConfig config = testConfig();
    config.controlPort = server.port();
    std::vector<std::string> lines;
    const auto session =
        VantuControl::open(config, [&](const std::string& line) { lines.push_back(line); }, Clock::now() + 30s);
    server.join();
    EXPECT_TRUE(clientClosedFirst);
    EXPECT_EQ(session->sessionID, 0x01020304u);
    EXPECT_EQ(session->dataPort, 51820);
    EXPECT_EQ(session->dnsServers, (std::vector<std::string>{"9.9.9.9"}));
    EXPECT_EQ(lines.size(), 1u);

    ASSERT_FALSE(requestLine.empty());
    EXPECT_EQ(requestLine.back(), '\n');
    EXPECT_EQ(json::parse(requestLine), (json{{"action", "open"},
                                              {"secret", "s3cret"},
                                              {"device_id", "device-1"},
                                              {"client_version", "1.4.2"}}));
}

TEST(ControlOpen, RequestCarriesPreferredTransportAndIgnoresStatus) {
    std::string requestLine;
    LoopbackServer server([&](int fd) {
        requestLine = readLine(fd);
        sendAll(fd, "{\"status\":\"busy\",\"message\":\"try later\"}");
        waitForPeerClose(fd, 3000);
        return false;
    });
    VantuConfig config = testConfig();
    config.controlPort = server.port();
    const ControlResponse response = VantuControl::request(config, "open", std::string("tcp"), Clock::now() + 30s);
    server.join();
    EXPECT_EQ(response.status, "busy");
    EXPECT_EQ(response.message, "try later");
    EXPECT_EQ(json::parse(requestLine).at("data_transport"), "tcp");
}

TEST(ControlOpen, UndecodableResponsesEndWithTheDecoderError) {
    VantuConfig config = testConfig();
    // A port given as text, then the server closes: the decoder's error at once.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            sendAll(fd, "{\"status\":\"ok\",\"data_port\":\"443\"}");
            return false;
        });
        config.controlPort = server.port();
        EXPECT_EQ(failureOf([&] { VantuControl::open(config, nullptr, Clock::now() + 30s); }),
                  "invalid control response: \"data_port\" is not an integer");
    }
    // A document without status on a connection held open: the decoder's error at the deadline.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            sendAll(fd, "{\"message\":\"hello\"}");
            waitForPeerClose(fd, 3000);
            return false;
        });
        config.controlPort = server.port();
        EXPECT_EQ(failureOf([&] { VantuControl::open(config, nullptr, Clock::now() + 300ms); }),
                  "invalid control response: missing \"status\"");
    }
    // A rejection over the wire.
    {
        LoopbackServer server([](int fd) {
            readLine(fd);
            sendAll(fd, "{\"status\":\"OK\"}");
            waitForPeerClose(fd, 3000);
            return false;
        });
        config.controlPort = server.port();
        EXPECT_EQ(failureOf([&] { VantuControl::open(config, nullptr, Clock::now() + 30s); }),
                  "control session rejected");
    }
}

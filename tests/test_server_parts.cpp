// The reference server's parts on their own: replay window, session table,
// configuration and the echo sink.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "base/VantuError.h"
#include "server/DnsForwarder.h"
#include "server/EchoResponder.h"
#include "datachannel/crypto/ReplayWindow.h"
#include "server/ServerConfig.h"
#include "server/SessionTable.h"
#include "server/TunSink.h"

using nlohmann::json;
using vantu::Bytes;
using namespace vantu::server;
using vantu::ReplayWindow;

TEST(ReplayWindow, MatchesAReferenceModelUnderRandomTraffic) {
    std::mt19937 rng(1234);
    ReplayWindow w;
    EXPECT_TRUE(w.check(1));
    EXPECT_TRUE(w.empty()) << "check must not change the window";
    std::set<uint32_t> seen;
    uint32_t highest = 0;
    for (int i = 0; i < 200000; ++i) {
        // Mostly near the top, sometimes far behind, sometimes a jump ahead.
        const int kind = static_cast<int>(rng() % 20);
        int64_t candidate = int64_t(highest) + 3 - int64_t(rng() % (ReplayWindow::kWindow + 40));
        if (kind == 0) candidate = int64_t(highest) + int64_t(rng() % 5000);
        if (kind == 1) candidate = int64_t(highest) - int64_t(rng() % 4000);
        const uint32_t seq = static_cast<uint32_t>(std::max<int64_t>(candidate, 0));
        const bool expected = seen.empty() || seq > highest || (highest - seq < ReplayWindow::kWindow && !seen.count(seq));
        ASSERT_EQ(w.commit(seq), expected) << "step " << i << " seq " << seq << " highest " << highest;
        if (!expected) continue;
        seen.insert(seq);
        highest = std::max(highest, seq);
    }
    // The top of the range, which the walk never reaches.
    ASSERT_TRUE(w.commit(4000000000u));
    EXPECT_TRUE(w.commit(4000000000u - 1));
    EXPECT_TRUE(w.commit(0xffffffffu));
    EXPECT_FALSE(w.commit(0xffffffffu));

    // Strictly sequential traffic: recycling a block must clear only that block.
    ReplayWindow s;
    for (uint32_t n = 1; n <= 10 * ReplayWindow::kRingBits; ++n) ASSERT_TRUE(s.commit(n)) << n;
    for (uint32_t back = 0; back < ReplayWindow::kWindow; ++back) ASSERT_FALSE(s.check(s.highest() - back)) << back;
}

namespace {

std::string ip(const SessionGrant& grant) { return formatIPv4(grant.session->tunnelIP); }

}  // namespace

TEST(SessionTable, AddressBindingsReclaimAndExpiry) {
    SessionTable table(parseTunnelSubnet("10.7.0.0/29"), "aes-128-gcm");  // clients .2 to .6
    const auto a = table.open("phone");
    const auto b = table.open("laptop");
    EXPECT_EQ(ip(a), "10.7.0.2");
    EXPECT_EQ(ip(b), "10.7.0.3");
    EXPECT_FALSE(a.replaced);
    const auto again = table.open("phone");
    EXPECT_EQ(again.replaced, a.session->id);
    EXPECT_EQ(table.findByTunnelIP(a.session->tunnelIP), again.session);

    // Anonymous sessions hold an address only while they live; a removed
    // device keeps its binding while the pool has room.
    const auto anon = table.open("");
    EXPECT_EQ(ip(anon), "10.7.0.4");
    EXPECT_TRUE(table.remove(anon.session->id));
    EXPECT_FALSE(table.remove(anon.session->id));
    EXPECT_EQ(ip(table.open("")), "10.7.0.4");
    EXPECT_TRUE(table.remove(b.session->id));
    EXPECT_EQ(ip(table.open("tablet")), "10.7.0.5");
    EXPECT_EQ(ip(table.open("laptop")), "10.7.0.3");

    // A full pool refuses, then reclaims the address of an idle device.
    SessionTable one(parseTunnelSubnet("192.168.50.0/30"), "chacha20-poly1305");  // one client: .2
    const auto first = one.open("one");
    EXPECT_EQ(first.key.size(), 32u);
    try {
        one.open("two");
        ADD_FAILURE() << "a full pool granted an address";
    } catch (const vantu::VantuError& e) {
        EXPECT_EQ(e.message(), "tunnel address pool exhausted");
    }
    one.remove(first.session->id);
    EXPECT_EQ(ip(one.open("two")), "192.168.50.2");
    EXPECT_FALSE(one.addressOf("one"));

    // Only sessions without activity after the cutoff expire; the device keeps its address.
    SessionTable timed(parseTunnelSubnet("10.7.0.0/24"), "aes-128-gcm");
    const auto idle = timed.open("idle");
    const auto busy = timed.open("busy");
    const auto cutoff = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    std::this_thread::sleep_until(cutoff + std::chrono::milliseconds(5));
    ASSERT_TRUE(busy.session->acceptUnit(1, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 5555)));
    EXPECT_EQ(timed.expireIdle(cutoff), std::vector<uint32_t>{idle.session->id});
    EXPECT_NE(timed.find(busy.session->id), nullptr);
    EXPECT_EQ(timed.addressOf("idle"), idle.session->tunnelIP);
}

// Clients without a device ID that start again and again (the server never
// learns that their tunnel stopped) hold at most half the pool: the one
// active longest ago gives its address back, and named devices still fit.
TEST(SessionTable, AnonymousSessionsHoldAtMostHalfThePool) {
    SessionTable table(parseTunnelSubnet("10.7.0.0/28"), "aes-128-gcm");  // 13 client addresses
    ASSERT_EQ(table.maxAnonymous(), 6u);
    std::vector<SessionGrant> anonymous;
    for (int i = 0; i < 40; ++i) anonymous.push_back(table.open(""));
    const auto active = anonymous[36];  // sent something after the four newer ones opened
    ASSERT_TRUE(active.session->acceptUnit(1, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 5555)));
    const auto next = table.open("");
    EXPECT_EQ(next.displaced, anonymous[34].session->id);
    EXPECT_EQ(table.open("").displaced, anonymous[35].session->id);
    EXPECT_EQ(table.open("").displaced, anonymous[37].session->id) << "the active one was ended";
    for (int i = 0; i < 7; ++i) EXPECT_NO_THROW(table.open("device-" + std::to_string(i)));
    const PoolUse use = table.poolUse();
    EXPECT_EQ(use.capacity, 13u);
    EXPECT_EQ(use.bound, 13u);
    EXPECT_EQ(use.live, 13u);
    EXPECT_EQ(use.anonymous, 6u);
    EXPECT_EQ(use.text(), "tunnel addresses: 13 of 13 in use, 13 sessions (6 anonymous)");
    EXPECT_EQ(anonymous[0].displaced, std::nullopt);
    EXPECT_EQ(anonymous[6].displaced, anonymous[0].session->id);
    EXPECT_EQ(table.find(anonymous[0].session->id), nullptr);
}

namespace {

json minimalConfig() {
    return json{
        {"control_port", 8443}, {"data_port", 8443}, {"secrets", json::array({"s"})}, {"tunnel_subnet", "10.7.0.0/24"}};
}

json with(const std::string& key, json value) {
    json doc = minimalConfig();
    doc[key] = std::move(value);
    return doc;
}

}  // namespace

TEST(ServerConfig, ExampleFileAndDefaults) {
    const auto example =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "server" / "vantu-server.example.json";
    // As vantu-server reads it: the keys of the optional parts come out first.
    std::optional<std::string> tunName;
    std::optional<asio::ip::udp::endpoint> forwarder;
    const ServerConfig c = loadServerConfigWithSink(example.string(), tunName, [&](json& document) {
        forwarder = extractDnsForwarder(document);
    });
    EXPECT_FALSE(tunName.has_value());
    ASSERT_TRUE(forwarder.has_value());
    EXPECT_EQ(forwarder->address().to_string() + ":" + std::to_string(forwarder->port()), "192.0.2.53:53");
    EXPECT_EQ(c.controlPort, 8443);
    EXPECT_EQ(c.subnet().network, *parseIPv4("10.7.0.0"));
    EXPECT_EQ((*c.routingForClients())["dns_servers"], json::array({"10.7.0.1", "192.0.2.53"}));

    EXPECT_FALSE(ServerConfig::fromJSON(minimalConfig()).routingForClients()) << "no routing and no DNS";
    EXPECT_EQ(ServerConfig::fromJSON(with("dns_servers", json::array({"192.0.2.1"}))).routingForClients(),
              json::parse(R"({"dns_servers": ["192.0.2.1"]})"));
    EXPECT_EQ(ServerConfig::fromJSON(with("control_timeout_seconds", 0.25)).controlTimeout,
              std::chrono::milliseconds(250));
    json tcp = with("transport", "tcp");
    tcp["data_port"] = 8444;
    EXPECT_EQ(ServerConfig::fromJSON(tcp).transport, "tcp");
}

TEST(ServerConfig, RejectsBadValuesWithMessagesNamingTheKey) {
    json noSecrets = minimalConfig();
    noSecrets.erase("secrets");
    const std::vector<std::pair<json, std::string>> cases{
        {noSecrets, "missing required key \"secrets\""},
        {with("secrets", json::array()), "secrets must list at least one accepted secret"},
        {with("secrets", json::parse(R"(["ok", 5])")), "secrets[1] must be a string, not number"},
        {with("secret", "x"), "unknown configuration key \"secret\""},
        {with("control_port", 70000), "control_port must be 0 to 65535 (0 picks a free port), not 70000"},
        {with("data_port", "443"), "data_port must be an integer, not string"},
        {with("cipher", "AES-128-GCM"), "cipher must be \"aes-128-gcm\" or \"chacha20-poly1305\", not \"AES-128-GCM\""},
        {with("transport", "quic"), "transport must be \"udp\" or \"tcp\", not \"quic\""},
        // The TCP data service listens on the data port's number.
        {with("transport", "tcp"), "with transport \"tcp\", data_port must differ from control_port"},
        {with("tunnel_subnet", "10.7.0.5/24"), "tunnel_subnet \"10.7.0.5/24\" has host bits set; the network is 10.7.0.0/24"},
        {with("tunnel_subnet", "10.7.0.0/31"),
         "tunnel_subnet prefix must be 8 to 30 so that the server and at least one client fit, not /31"},
        {with("tunnel_mtu", 100), "tunnel_mtu must be 576 to 9000, not 100"},
        {with("dns_servers", json::array({"dns.example"})), "dns_servers[0] must be an IPv4 address, not \"dns.example\""},
        {with("control_address", "localhost"), "control_address must be an IPv4 or IPv6 address, not \"localhost\""},
        {with("control_timeout_seconds", 0), "control_timeout_seconds must be greater than 0 and at most 3600"},
        {with("packet_sink", "tun"), "packet_sink must be \"echo\", not \"tun\""},
        {with("routing", json::array()), "routing must be an object, not array"},
        {json::array(), "the configuration must be a JSON object, not array"}};
    auto errorOf = [](const json& doc) -> std::string {
        try {
            (void)ServerConfig::fromJSON(doc);
        } catch (const ConfigError& e) {
            return e.what();
        }
        return "accepted";
    };
    for (const auto& [doc, message] : cases) EXPECT_EQ(errorOf(doc), message) << doc.dump();
    for (const char* subnet : {"10.7.0.0", "10.7.0/24"})
        EXPECT_EQ(errorOf(with("tunnel_subnet", subnet)).rfind("tunnel_subnet must be", 0), 0u) << subnet;
    json both = with("routing", json::parse(R"({"dns_servers": ["192.0.2.1"]})"));
    both["dns_servers"] = json::array({"192.0.2.2"});
    EXPECT_EQ(errorOf(both), "dns_servers is given both at the top level and inside routing; keep one");
    // A policy clients could not decode is refused here, not by every client.
    EXPECT_EQ(errorOf(with("routing", json::parse(R"({"rules": [{"type": "field"}]})")))
                  .rfind("routing is not a valid routing policy: ", 0),
              0u);
}

namespace {

Bytes hexBytes(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(EchoResponder, ChecksumAndWhatGetsNoReply) {
    // A published IPv4 header whose checksum is b861; an odd length pads with a zero byte.
    Bytes header = hexBytes("450000730000400040110000c0a80001c0a800c7");
    EXPECT_EQ(internetChecksum(header.data(), header.size()), 0xb861);
    const Bytes odd = {0x01, 0x02, 0x03};
    EXPECT_EQ(internetChecksum(odd.data(), odd.size()), static_cast<uint16_t>(~(0x0102 + 0x0300)));

    // ICMP echo request from 10.7.0.2 to 192.0.2.1 with one 4-byte IP option
    // and two bytes of link padding after the datagram.
    Bytes request = hexBytes("460000240000400040010000" "0a070002c0000201" "01010100" "0800f7fe00010000" "abcdef01" "eeee");
    const auto reply = EchoResponder::reply(request);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 36u) << "padding beyond the total length is not echoed";
    EXPECT_EQ(internetChecksum(reply->data(), 24), 0) << "header with options";
    EXPECT_EQ((*reply)[24], 0);
    EXPECT_EQ(internetChecksum(reply->data() + 24, 12), 0);
    EXPECT_EQ(Bytes(reply->begin() + 12, reply->begin() + 20), hexBytes("c00002010a070002"));

    // Each of these gets no reply: an echo reply, a fragment, a truncated
    // packet, TCP, IPv6, and UDP whose length disagrees with the datagram.
    const std::vector<std::pair<size_t, uint8_t>> changes{{24, 0}, {6, 0x20}, {9, 6}, {0, 0x60}};
    for (const auto& [at, value] : changes) {
        Bytes changed = request;
        changed[at] = value;
        EXPECT_FALSE(EchoResponder::reply(changed)) << at;
    }
    EXPECT_FALSE(EchoResponder::reply(Bytes(request.begin(), request.begin() + 30)));
    EXPECT_FALSE(EchoResponder::reply(hexBytes("4500001c0000400040110000" "0a070002c0000201" "d431000700060000")));

    EchoResponder sink;
    std::vector<Bytes> sent;
    sink.sendToClients = [&](const Bytes& packet) { sent.push_back(packet); };
    sink.deliver(request);
    Bytes tcp = request;
    tcp[9] = 6;
    sink.deliver(tcp);
    EXPECT_EQ(sent, std::vector<Bytes>{*reply});
    EXPECT_EQ(sink.echoedICMP(), 1u);
    EXPECT_EQ(sink.ignored(), 1u);
}

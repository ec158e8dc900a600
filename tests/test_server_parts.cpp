// The reference server's parts on their own: replay window, session table,
// configuration and the echo sink.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "VantuPacketTunnel/VantuError.h"
#include "server/EchoResponder.h"
#include "server/ReplayWindow.h"
#include "server/ServerConfig.h"
#include "server/SessionTable.h"

using nlohmann::json;
using vantu::Bytes;
using namespace vantu::server;

// ---------------------------------------------------------------- replay window

TEST(ReplayWindow, AcceptsEachNumberOnceWithinTheWindow) {
    ReplayWindow w;
    EXPECT_TRUE(w.empty());
    EXPECT_TRUE(w.check(1));
    EXPECT_TRUE(w.empty()) << "check must not change the window";
    EXPECT_TRUE(w.commit(1));
    EXPECT_FALSE(w.commit(1));
    EXPECT_TRUE(w.commit(3));
    EXPECT_TRUE(w.commit(2)) << "late but unseen";
    EXPECT_FALSE(w.check(2));
    EXPECT_EQ(w.highest(), 3u);

    // The window edge: kWindow - 1 behind the highest is still inside.
    ASSERT_TRUE(w.commit(10000));
    EXPECT_TRUE(w.commit(10000 - ReplayWindow::kWindow + 1));
    EXPECT_FALSE(w.check(10000 - ReplayWindow::kWindow));
    EXPECT_FALSE(w.commit(3));

    // A jump far ahead forgets everything, so old unseen numbers near the new
    // top are accepted and those far behind are not.
    ASSERT_TRUE(w.commit(4000000000u));
    EXPECT_TRUE(w.commit(4000000000u - 1));
    EXPECT_FALSE(w.commit(10000));
    EXPECT_TRUE(w.commit(0xffffffffu));
    EXPECT_FALSE(w.commit(0xffffffffu));
}

TEST(ReplayWindow, SequentialTrafficKeepsEveryRecentNumberMarked) {
    // Advancing block by block must clear only the block being recycled.
    ReplayWindow w;
    for (uint32_t s = 1; s <= 10 * ReplayWindow::kRingBits; ++s) ASSERT_TRUE(w.commit(s)) << s;
    const uint32_t top = w.highest();
    for (uint32_t back = 0; back < ReplayWindow::kWindow; ++back) ASSERT_FALSE(w.check(top - back)) << back;
}

TEST(ReplayWindow, MatchesAReferenceModelUnderRandomTraffic) {
    std::mt19937 rng(1234);
    ReplayWindow w;
    std::set<uint32_t> seen;
    uint32_t highest = 0;
    bool any = false;
    for (int i = 0; i < 200000; ++i) {
        // Mostly near the top, sometimes far behind, sometimes a jump ahead.
        const int kind = static_cast<int>(rng() % 20);
        int64_t candidate;
        if (kind == 0) {
            candidate = int64_t(highest) + int64_t(rng() % 5000);
        } else if (kind == 1) {
            candidate = int64_t(highest) - int64_t(rng() % 4000);
        } else {
            candidate = int64_t(highest) + 3 - int64_t(rng() % (ReplayWindow::kWindow + 40));
        }
        if (candidate < 0) candidate = 0;
        const uint32_t seq = static_cast<uint32_t>(candidate);
        const bool expected = !any || seq > highest || (highest - seq < ReplayWindow::kWindow && !seen.count(seq));
        ASSERT_EQ(w.commit(seq), expected) << "step " << i << " seq " << seq << " highest " << highest;
        if (expected) {
            seen.insert(seq);
            if (!any || seq > highest) highest = seq;
            any = true;
        }
    }
}

// ---------------------------------------------------------------- session table

namespace {

std::string ip(uint32_t address) { return formatIPv4(address); }

}  // namespace

TEST(SessionTable, DevicesKeepTheirAddressAndAnonymousOnesReturnIt) {
    SessionTable table(parseTunnelSubnet("10.7.0.0/29"), "aes-128-gcm");  // clients .2 to .6
    const auto a = table.open("phone");
    const auto b = table.open("laptop");
    EXPECT_EQ(ip(a.session->tunnelIP), "10.7.0.2");
    EXPECT_EQ(ip(b.session->tunnelIP), "10.7.0.3");
    EXPECT_EQ(a.key.size(), 16u);
    EXPECT_NE(a.key, b.key);
    EXPECT_NE(a.session->id, b.session->id);
    EXPECT_FALSE(a.replaced);

    const auto again = table.open("phone");
    EXPECT_EQ(again.session->tunnelIP, a.session->tunnelIP);
    EXPECT_EQ(again.replaced, a.session->id);
    EXPECT_EQ(table.find(a.session->id), nullptr);
    EXPECT_EQ(table.findByTunnelIP(a.session->tunnelIP), again.session);
    EXPECT_EQ(table.size(), 2u);

    // Anonymous sessions hold an address only while they live.
    const auto anon = table.open("");
    EXPECT_EQ(ip(anon.session->tunnelIP), "10.7.0.4");
    EXPECT_TRUE(table.remove(anon.session->id));
    EXPECT_FALSE(table.remove(anon.session->id));
    EXPECT_EQ(ip(table.open("").session->tunnelIP), "10.7.0.4");

    // A removed device keeps its binding while the pool has room.
    EXPECT_TRUE(table.remove(b.session->id));
    EXPECT_EQ(ip(table.open("tablet").session->tunnelIP), "10.7.0.5");
    EXPECT_EQ(ip(table.open("laptop").session->tunnelIP), "10.7.0.3");
}

TEST(SessionTable, FullPoolReclaimsTheLeastRecentlyUsedIdleDevice) {
    SessionTable table(parseTunnelSubnet("192.168.50.0/30"), "chacha20-poly1305");  // one client: .2
    const auto first = table.open("one");
    EXPECT_EQ(first.key.size(), 32u);
    EXPECT_EQ(ip(first.session->tunnelIP), "192.168.50.2");
    try {
        table.open("two");
        ADD_FAILURE() << "a full pool granted an address";
    } catch (const vantu::VantuError& e) {
        EXPECT_EQ(e.message(), "tunnel address pool exhausted");
    }
    table.remove(first.session->id);
    const auto second = table.open("two");
    EXPECT_EQ(ip(second.session->tunnelIP), "192.168.50.2");
    EXPECT_FALSE(table.addressOf("one"));
    EXPECT_EQ(table.addressOf("two"), second.session->tunnelIP);
}

TEST(SessionTable, IdleSessionsExpire) {
    SessionTable table(parseTunnelSubnet("10.7.0.0/24"), "aes-128-gcm");
    const auto idle = table.open("idle");
    const auto busy = table.open("busy");
    const auto cutoff = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    asio::ip::udp::endpoint from(asio::ip::make_address("127.0.0.1"), 5555);
    // Activity after the cutoff keeps a session.
    std::this_thread::sleep_until(cutoff + std::chrono::milliseconds(5));
    ASSERT_TRUE(busy.session->acceptUnit(1, from));
    EXPECT_EQ(table.expireIdle(cutoff), std::vector<uint32_t>{idle.session->id});
    EXPECT_EQ(table.size(), 1u);
    EXPECT_NE(table.find(busy.session->id), nullptr);
    EXPECT_EQ(table.addressOf("idle"), idle.session->tunnelIP) << "the device keeps its address";
}

TEST(ServerSession, SealsWithServerNoncesAndNeverWraps) {
    SessionTable table(parseTunnelSubnet("10.7.0.0/24"), "aes-128-gcm");
    const auto grant = table.open("d");
    ServerSession& s = *grant.session;
    const Bytes frame = {0x81, 'p', 'o', 'n', 'g'};

    Bytes unit;
    ASSERT_TRUE(s.seal(frame.data(), frame.size(), unit));
    ASSERT_EQ(unit.size(), frame.size() + 28);
    EXPECT_EQ(vantu::readBE32(&unit[0]), s.id);
    EXPECT_EQ(vantu::readBE32(&unit[4]), 1u);
    EXPECT_EQ(vantu::readBE32(&unit[8]), 0x53324300u);
    vantu::VantuCipher clientCipher("aes-128-gcm", grant.key);
    EXPECT_EQ(clientCipher.open(&unit[12], frame.size(), &unit[unit.size() - 16], &unit[0]), frame);

    unit.clear();
    ASSERT_TRUE(s.seal(frame.data(), frame.size(), unit));
    EXPECT_EQ(vantu::readBE32(&unit[4]), 2u);

    s.setNextSendSeqForTesting(0xfffffffe);
    unit.clear();
    ASSERT_TRUE(s.seal(frame.data(), frame.size(), unit));
    unit.clear();
    ASSERT_TRUE(s.seal(frame.data(), frame.size(), unit));
    EXPECT_EQ(vantu::readBE32(&unit[4]), 0xffffffffu);
    unit.clear();
    EXPECT_FALSE(s.seal(frame.data(), frame.size(), unit));
    EXPECT_TRUE(unit.empty());
    EXPECT_TRUE(s.sendingExhausted());
    EXPECT_EQ(s.counters().unitsSent, 4u);
}

// ---------------------------------------------------------------- configuration

namespace {

json minimalConfig() {
    return json{
        {"control_port", 8443}, {"data_port", 8443}, {"secrets", json::array({"s"})}, {"tunnel_subnet", "10.7.0.0/24"}};
}

std::string configError(const json& doc) {
    try {
        (void)ServerConfig::fromJSON(doc);
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "";
}

json with(json doc, const std::string& key, json value) {
    doc[key] = std::move(value);
    return doc;
}

}  // namespace

TEST(ServerConfig, ExampleFileAndDefaults) {
    const auto example =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "server" / "vantu-server.example.json";
    const ServerConfig c = ServerConfig::load(example.string());
    EXPECT_EQ(c.controlPort, 8443);
    EXPECT_EQ(c.cipher, "aes-128-gcm");
    EXPECT_EQ(c.subnet().network, *parseIPv4("10.7.0.0"));
    const auto routing = c.routingForClients();
    ASSERT_TRUE(routing);
    EXPECT_EQ((*routing)["dns_servers"], json::array({"10.7.0.1", "192.0.2.53"}));
    EXPECT_EQ((*routing)["direct_ips"], json::array({"198.51.100.0/24"}));

    const ServerConfig d = ServerConfig::fromJSON(minimalConfig());
    EXPECT_EQ(d.controlAddress, "0.0.0.0");
    EXPECT_EQ(d.transport, "udp");
    EXPECT_EQ(d.tunnelMTU, 1420);
    EXPECT_EQ(d.controlTimeout, std::chrono::milliseconds(5000));
    EXPECT_EQ(d.maxRequestBytes, 65536u);
    EXPECT_FALSE(d.routingForClients()) << "no routing and no DNS: the key is left out";
    EXPECT_EQ(ServerConfig::fromJSON(with(minimalConfig(), "control_timeout_seconds", 0.25)).controlTimeout,
              std::chrono::milliseconds(250));
    EXPECT_EQ(ServerConfig::fromJSON(with(minimalConfig(), "transport", "tcp")).transport, "tcp");
    EXPECT_EQ(
        ServerConfig::fromJSON(with(minimalConfig(), "dns_servers", json::array({"192.0.2.1"}))).routingForClients(),
        json::parse(R"({"dns_servers": ["192.0.2.1"]})"));
}

TEST(ServerConfig, RejectsBadValuesWithMessagesNamingTheKey) {
    json noSecrets = minimalConfig();
    noSecrets.erase("secrets");
    EXPECT_EQ(configError(noSecrets), "missing required key \"secrets\"");
    EXPECT_EQ(configError(with(minimalConfig(), "secrets", json::array())),
              "secrets must list at least one accepted secret");
    EXPECT_EQ(configError(with(minimalConfig(), "secrets", json::parse(R"(["ok", 5])"))),
              "secrets[1] must be a string, not number");
    EXPECT_EQ(configError(with(minimalConfig(), "secret", "x")), "unknown configuration key \"secret\"");
    EXPECT_EQ(configError(with(minimalConfig(), "control_port", 70000)),
              "control_port must be 0 to 65535 (0 picks a free port), not 70000");
    EXPECT_EQ(configError(with(minimalConfig(), "data_port", "443")), "data_port must be an integer, not string");
    EXPECT_EQ(configError(with(minimalConfig(), "cipher", "AES-128-GCM")),
              "cipher must be \"aes-128-gcm\" or \"chacha20-poly1305\", not \"AES-128-GCM\"");
    EXPECT_EQ(configError(with(minimalConfig(), "transport", "quic")),
              "transport must be \"udp\" or \"tcp\", not \"quic\"");
    EXPECT_EQ(configError(with(minimalConfig(), "tunnel_subnet", "10.7.0.5/24")),
              "tunnel_subnet \"10.7.0.5/24\" has host bits set; the network is 10.7.0.0/24");
    EXPECT_EQ(configError(with(minimalConfig(), "tunnel_subnet", "10.7.0.0/31")),
              "tunnel_subnet prefix must be 8 to 30 so that the server and at least one client fit, not /31");
    EXPECT_NE(configError(with(minimalConfig(), "tunnel_subnet", "10.7.0.0")).find("tunnel_subnet must be"),
              std::string::npos);
    EXPECT_NE(configError(with(minimalConfig(), "tunnel_subnet", "10.7.0/24")).find("tunnel_subnet must be"),
              std::string::npos);
    EXPECT_EQ(configError(with(minimalConfig(), "tunnel_mtu", 100)), "tunnel_mtu must be 576 to 9000, not 100");
    EXPECT_EQ(configError(with(minimalConfig(), "dns_servers", json::array({"dns.example"}))),
              "dns_servers[0] must be an IPv4 address, not \"dns.example\"");
    EXPECT_EQ(configError(with(minimalConfig(), "control_address", "localhost")),
              "control_address must be an IPv4 or IPv6 address, not \"localhost\"");
    EXPECT_EQ(configError(with(minimalConfig(), "control_timeout_seconds", 0)),
              "control_timeout_seconds must be greater than 0 and at most 3600");
    EXPECT_EQ(configError(with(minimalConfig(), "packet_sink", "tun")), "packet_sink must be \"echo\", not \"tun\"");
    EXPECT_EQ(configError(with(minimalConfig(), "routing", json::array())), "routing must be an object, not array");
    EXPECT_EQ(configError(with(with(minimalConfig(), "routing", json::parse(R"({"dns_servers": ["192.0.2.1"]})")),
                               "dns_servers", json::array({"192.0.2.2"}))),
              "dns_servers is given both at the top level and inside routing; keep one");
    // A policy clients could not decode is refused here, not by every client.
    EXPECT_EQ(configError(with(minimalConfig(), "routing", json::parse(R"({"rules": [{"type": "field"}]})")))
                  .rfind("routing is not a valid routing policy: ", 0),
              0u);
    EXPECT_EQ(configError(json::array()), "the configuration must be a JSON object, not array");
    EXPECT_NE(ServerConfig::formatHelp().find("tunnel_subnet"), std::string::npos);
}

// ---------------------------------------------------------------- echo sink

namespace {

Bytes hexBytes(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(EchoResponder, ChecksumAndWhatGetsNoReply) {
    // A published IPv4 header whose checksum field is b861.
    Bytes header = hexBytes("450000730000400040110000c0a80001c0a800c7");
    EXPECT_EQ(internetChecksum(header.data(), header.size()), 0xb861);
    header[10] = 0xb8;
    header[11] = 0x61;
    EXPECT_EQ(internetChecksum(header.data(), header.size()), 0);
    // An odd length pads with a zero byte.
    const Bytes odd = {0x01, 0x02, 0x03};
    EXPECT_EQ(internetChecksum(odd.data(), odd.size()), static_cast<uint16_t>(~(0x0102 + 0x0300)));

    // ICMP echo request from 10.7.0.2 to 192.0.2.1 with one 4-byte IP option
    // and two bytes of link padding after the datagram.
    Bytes request = hexBytes(
        "46000024000040004001000"
        "00a070002c0000201"
        "01010100"
        "0800f7fe00010000"
        "abcdef01");
    ASSERT_EQ(request.size(), 36u);
    request.push_back(0xee);
    request.push_back(0xee);
    const auto reply = EchoResponder::reply(request);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 36u) << "padding beyond the total length is not echoed";
    EXPECT_EQ(internetChecksum(reply->data(), 24), 0) << "header with options";
    EXPECT_EQ((*reply)[24], 0);
    EXPECT_EQ(internetChecksum(reply->data() + 24, 12), 0);
    EXPECT_EQ(Bytes(reply->begin() + 12, reply->begin() + 16), hexBytes("c0000201"));
    EXPECT_EQ(Bytes(reply->begin() + 16, reply->begin() + 20), hexBytes("0a070002"));

    Bytes echoReply = request;
    echoReply[24] = 0;  // already a reply
    EXPECT_FALSE(EchoResponder::reply(echoReply));
    Bytes fragment = request;
    fragment[6] = 0x20;  // more fragments
    EXPECT_FALSE(EchoResponder::reply(fragment));
    Bytes truncated = request;
    truncated.resize(30);
    EXPECT_FALSE(EchoResponder::reply(truncated));
    Bytes tcp = request;
    tcp[9] = 6;
    EXPECT_FALSE(EchoResponder::reply(tcp));
    Bytes ipv6 = request;
    ipv6[0] = 0x60;
    EXPECT_FALSE(EchoResponder::reply(ipv6));
    Bytes shortUDP = hexBytes(
        "4500001c0000400040110000"
        "0a070002c0000201"
        "d431000700060000");
    EXPECT_FALSE(EchoResponder::reply(shortUDP)) << "UDP length disagrees with the datagram";

    EchoResponder sink;
    std::vector<Bytes> sent;
    sink.sendToClients = [&](const Bytes& packet) { sent.push_back(packet); };
    sink.deliver(request);
    sink.deliver(tcp);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], *reply);
    EXPECT_EQ(sink.echoedICMP(), 1u);
    EXPECT_EQ(sink.ignored(), 1u);
}

// The server's TUN sink against a real TUN device. Each test moves the test
// process into a network namespace of its own first, so the device, its
// address and every packet stay inside it; without root the tests skip.

#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "base/VantuError.h"
#include "server/EchoResponder.h"
#include "platform/linux/Netlink.h"
#include "server/TunSink.h"
#include "tests/dns_test_support.h"
#include "tests/linux_test_support.h"
#include "tests/loopback_test_support.h"

using namespace vantu;
using namespace vantu::server;
using namespace vantu::testing;

namespace {

#define REQUIRE_PRIVATE_NETNS() \
    if (!enterNetworkNamespace()) GTEST_SKIP() << "needs root (CAP_NET_ADMIN)"

TunSink::Options options(const std::string& name = "vtest0") {
    TunSink::Options o;
    o.name = name;
    o.subnet = parseTunnelSubnet("192.0.2.0/24");
    o.mtu = 1380;
    return o;
}

uint32_t addr(const char* text) { return *server::parseIPv4(text); }

// An IPv4/UDP packet with a valid header checksum and no UDP checksum.
Bytes checkedUdpPacket(std::array<uint8_t, 4> src, uint16_t sport, std::array<uint8_t, 4> dst, uint16_t dport,
                       const std::string& payload) {
    Bytes p = udpPacket(src, sport, dst, dport, bytesOf(payload));
    const uint16_t sum = internetChecksum(p.data(), 20);
    p[10] = uint8_t(sum >> 8);
    p[11] = uint8_t(sum);
    return p;
}

// The device as the kernel has it ("mtu 1380 up 192.0.2.1/24"), "" once it is gone.
std::string describe(const std::string& name) {
    Netlink nl;
    const auto link = nl.link(name);
    if (!link) return "";
    std::string text = "mtu " + std::to_string(link->mtu) + (link->isUp() ? " up" : " down");
    for (const auto& a : nl.addresses(link->index)) text += " " + a.address + "/" + std::to_string(a.prefixLength);
    return text;
}

}  // namespace

TEST(TunSink, CreatesConfiguresAndRemovesTheDevice) {
    REQUIRE_PRIVATE_NETNS();
    {
        TunSink sink(options());
        EXPECT_EQ(sink.name(), "vtest0");
        EXPECT_EQ(sink.address(), "192.0.2.1");
        EXPECT_GT(sink.ifindex(), 0);
        EXPECT_EQ(describe("vtest0"), "mtu 1380 up 192.0.2.1/24");
        // The device is held open: a second sink cannot take the same name,
        // the error says which device, and the first device stays as it was.
        const std::string refusal = failureOf([] { TunSink second(options()); });
        EXPECT_TRUE(contains(refusal, "cannot create device vtest0")) << refusal;
        EXPECT_EQ(describe("vtest0"), "mtu 1380 up 192.0.2.1/24");
    }
    EXPECT_EQ(describe("vtest0"), "") << "closing the sink must remove the device";
    EXPECT_THROW(TunSink(options("has space")), VantuError);
    EXPECT_THROW(TunSink(options("a-name-longer-than-15")), VantuError);
}

TEST(TunSink, CarriesPacketsBothWays) {
    REQUIRE_PRIVATE_NETNS();
    TunSink sink(options());
    if (!std::getenv("VANTU_TUN_OFFLOAD")) {
        EXPECT_TRUE(sink.offloads()) << sink.offloadRefusal();
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> toClients;
    sink.sendToClients = [&](const Bytes& packet) {
        std::lock_guard lock(mutex);
        toClients.push_back(packet);
        arrived.notify_all();
    };
    sink.start();

    // A service on the server's tunnel address, as the host's forwarding
    // would reach it.
    const int service = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(service, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(addr("192.0.2.1"));
    ASSERT_EQ(bind(service, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << strerror(errno);
    socklen_t localLength = sizeof local;
    getsockname(service, reinterpret_cast<sockaddr*>(&local), &localLength);
    timeval timeout{2, 0};
    setsockopt(service, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    // Client -> host: the packet the client sealed comes out of the device.
    sink.deliver(checkedUdpPacket({192, 0, 2, 7}, 40000, {192, 0, 2, 1}, ntohs(local.sin_port), "from-client"));
    // With offloads the packet waits for the end of the receive batch.
    EXPECT_EQ(sink.packetsIn(), sink.offloads() ? 0u : 1u);
    sink.flush();
    char buffer[256] = {};
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(service, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    ASSERT_EQ(n, 11) << strerror(errno);
    EXPECT_EQ(std::string(buffer, 11), "from-client");
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), addr("192.0.2.7"));
    EXPECT_EQ(ntohs(from.sin_port), 40000);
    EXPECT_EQ(sink.packetsIn(), 1u);

    // Host -> client: the reply is routed into the device and handed to
    // sendToClients whole, addressed to the client's tunnel address.
    ASSERT_EQ(sendto(service, "to-client", 9, 0, reinterpret_cast<sockaddr*>(&from), fromLength), 9);
    Bytes reply;
    {
        // Other traffic of a new device (none is expected for IPv4) would
        // arrive first; wait for the UDP reply itself.
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(3), [&] {
            for (const auto& p : toClients)
                if (p.size() >= 28 && p[9] == 17) reply = p;
            return !reply.empty();
        }));
    }
    EXPECT_EQ(readBE32(&reply[12]), addr("192.0.2.1"));
    EXPECT_EQ(readBE32(&reply[16]), addr("192.0.2.7"));
    EXPECT_EQ(readBE16(&reply[20]), ntohs(local.sin_port));
    EXPECT_EQ(readBE16(&reply[22]), 40000);
    EXPECT_EQ(std::string(reply.begin() + 28, reply.end()), "to-client");
    // The kernel leaves the UDP checksum to a device with checksum offload;
    // the sink completes it before the packet leaves for the client.
    EXPECT_EQ(onesComplementSum(&reply[20], reply.size() - 20,
                                readBE16(&reply[12]) + readBE16(&reply[14]) + readBE16(&reply[16]) +
                                    readBE16(&reply[18]) + 17u + static_cast<uint32_t>(reply.size() - 20)),
              0xffff);
    EXPECT_GE(sink.packetsOut(), 1u);
    close(service);

    // Stopping joins the reader; a packet routed afterwards reaches nobody.
    sink.stop();
    const size_t before = toClients.size();
    const int late = socket(AF_INET, SOCK_DGRAM, 0);
    sendto(late, "late", 4, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    close(late);
    usleep(100 * 1000);
    EXPECT_EQ(toClients.size(), before);
    sink.stop();  // idempotent
}

TEST(TunSinkConfig, ExtractsTheSinkKeysAndLoadsTheRest) {
    // A "tun" sink's keys leave the document; other sinks are left for the
    // core configuration to judge.
    struct Case {
        nlohmann::json document;
        std::optional<std::string> name;
        nlohmann::json left;
    };
    for (const Case& c : std::vector<Case>{
             {{{"packet_sink", "tun"}, {"tun_name", "vantus9"}, {"control_port", 1}}, "vantus9", {{"control_port", 1}}},
             {{{"packet_sink", "tun"}}, "vantus0", nlohmann::json::object()},
             {{{"packet_sink", "echo"}}, std::nullopt, {{"packet_sink", "echo"}}},
         }) {
        nlohmann::json document = c.document;
        EXPECT_EQ(extractTunSinkName(document), c.name) << c.document;
        EXPECT_EQ(document, c.left);
    }
    for (nlohmann::json bad : {nlohmann::json{{"tun_name", "x0"}}, nlohmann::json{{"packet_sink", "tun"}, {"tun_name", 3}},
                               nlohmann::json{{"packet_sink", "tun"}, {"tun_name", "sixteen-chars-xx"}},
                               nlohmann::json{{"packet_sink", "tun"}, {"tun_name", "a/b"}}})
        EXPECT_THROW(extractTunSinkName(bad), ConfigError) << bad;

    TempDir dir;
    const std::string path = writeText(dir.path + "/server.json", R"({"control_port": 0, "data_port": 0,
        "secrets": ["s"], "tunnel_subnet": "10.9.0.0/24", "tunnel_mtu": 1400, "packet_sink": "tun", "tun_name": "vsrv1"})");
    std::optional<std::string> name;
    const ServerConfig config = loadServerConfigWithSink(path, name);
    EXPECT_EQ(name, std::optional<std::string>("vsrv1"));
    EXPECT_EQ(config.tunnelSubnet, "10.9.0.0/24");
    EXPECT_EQ(config.tunnelMTU, 1400);

    // Errors of the core configuration keep the path prefix.
    writeText(path, R"({"control_port": 0, "data_port": 0, "secrets": [], "tunnel_subnet": "10.9.0.0/24"})");
    const std::string refusal = failureOf<ConfigError>([&] { loadServerConfigWithSink(path, name); });
    EXPECT_EQ(refusal.rfind(path + ": ", 0), 0u) << "an empty secrets list: " << refusal;
    writeText(path, "{not json");
    EXPECT_THROW(loadServerConfigWithSink(path, name), ConfigError);
}

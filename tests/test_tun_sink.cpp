// The server's TUN sink against a real TUN device. Each test moves the test
// process into a network namespace of its own first, so the device, its
// address and every packet stay inside it; without root the tests skip.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

#include "VantuPacketTunnel/VantuError.h"
#include "server/EchoResponder.h"
#include "server/TunSink.h"

using namespace vantu;
using namespace vantu::server;

namespace {

bool enterPrivateNetworkNamespace() {
    if (geteuid() != 0) return false;
    if (unshare(CLONE_NEWNET) != 0) return false;
    // Loopback stays down in a fresh namespace; bring it up like any host.
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, IFNAMSIZ, "lo");
    ioctl(s, SIOCGIFFLAGS, &request);
    request.ifr_flags |= IFF_UP;
    ioctl(s, SIOCSIFFLAGS, &request);
    close(s);
    return true;
}

#define REQUIRE_PRIVATE_NETNS()                                                      \
    do {                                                                             \
        if (!enterPrivateNetworkNamespace()) GTEST_SKIP() << "needs root (CAP_NET_ADMIN)"; \
    } while (0)

TunSink::Options options(const std::string& name = "vtest0") {
    TunSink::Options o;
    o.name = name;
    o.subnet = parseTunnelSubnet("192.0.2.0/24");
    o.mtu = 1380;
    return o;
}

uint32_t addr(const char* text) { return *parseIPv4(text); }

// An IPv4/UDP packet with a valid header checksum and no UDP checksum.
Bytes udpPacket(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport, const std::string& payload) {
    Bytes p(28 + payload.size(), 0);
    p[0] = 0x45;
    p[2] = static_cast<uint8_t>(p.size() >> 8);
    p[3] = static_cast<uint8_t>(p.size());
    p[8] = 64;
    p[9] = 17;
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    const uint16_t sum = internetChecksum(p.data(), 20);
    p[10] = static_cast<uint8_t>(sum >> 8);
    p[11] = static_cast<uint8_t>(sum);
    p[20] = static_cast<uint8_t>(sport >> 8);
    p[21] = static_cast<uint8_t>(sport);
    p[22] = static_cast<uint8_t>(dport >> 8);
    p[23] = static_cast<uint8_t>(dport);
    const size_t udpLength = 8 + payload.size();
    p[24] = static_cast<uint8_t>(udpLength >> 8);
    p[25] = static_cast<uint8_t>(udpLength);
    std::copy(payload.begin(), payload.end(), p.begin() + 28);
    return p;
}

struct DeviceFacts {
    bool exists = false;
    bool up = false;
    int mtu = 0;
    std::string address;
    std::string netmask;
};

DeviceFacts inspect(const std::string& name) {
    DeviceFacts facts;
    facts.exists = if_nametoindex(name.c_str()) != 0;
    if (!facts.exists) return facts;
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, IFNAMSIZ, "%s", name.c_str());
    if (ioctl(s, SIOCGIFFLAGS, &request) == 0) facts.up = (request.ifr_flags & IFF_UP) != 0;
    if (ioctl(s, SIOCGIFMTU, &request) == 0) facts.mtu = request.ifr_mtu;
    close(s);
    ifaddrs* list = nullptr;
    getifaddrs(&list);
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (name != a->ifa_name || !a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        facts.address = text;
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr, text, sizeof text);
        facts.netmask = text;
    }
    freeifaddrs(list);
    return facts;
}

}  // namespace

TEST(TunSink, CreatesConfiguresAndRemovesTheDevice) {
    REQUIRE_PRIVATE_NETNS();
    {
        TunSink sink(options());
        EXPECT_EQ(sink.name(), "vtest0");
        EXPECT_EQ(sink.address(), "192.0.2.1");
        EXPECT_GT(sink.ifindex(), 0);
        const DeviceFacts facts = inspect("vtest0");
        EXPECT_TRUE(facts.exists);
        EXPECT_TRUE(facts.up);
        EXPECT_EQ(facts.mtu, 1380);
        EXPECT_EQ(facts.address, "192.0.2.1");
        EXPECT_EQ(facts.netmask, "255.255.255.0");

        // The device is held open: a second sink cannot take the same name,
        // and the error says which device.
        try {
            TunSink second(options());
            FAIL() << "a second sink on vtest0 was created";
        } catch (const VantuError& e) {
            EXPECT_NE(std::string(e.what()).find("cannot create device vtest0"), std::string::npos) << e.what();
        }
        // The failed attempt left the first device as it was.
        EXPECT_EQ(inspect("vtest0").address, "192.0.2.1");
    }
    EXPECT_FALSE(inspect("vtest0").exists) << "closing the sink must remove the device";

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
    sink.deliver(udpPacket(addr("192.0.2.7"), 40000, addr("192.0.2.1"), ntohs(local.sin_port), "from-client"));
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
        std::unique_lock lock(mutex);
        // Other traffic of a new device (none is expected for IPv4) would
        // arrive first; wait for the UDP reply itself.
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(3), [&] {
            for (const auto& p : toClients) {
                if (p.size() >= 28 && p[9] == 17) return true;
            }
            return false;
        }));
        for (const auto& p : toClients) {
            if (p.size() >= 28 && p[9] == 17) reply = p;
        }
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
    // "tun" with a name: both keys leave the document, the rest is intact.
    nlohmann::json doc = {{"packet_sink", "tun"}, {"tun_name", "vantus9"}, {"control_port", 1}};
    EXPECT_EQ(extractTunSinkName(doc), std::optional<std::string>("vantus9"));
    EXPECT_EQ(doc, (nlohmann::json{{"control_port", 1}}));

    nlohmann::json defaulted = {{"packet_sink", "tun"}};
    EXPECT_EQ(extractTunSinkName(defaulted), std::optional<std::string>("vantus0"));
    EXPECT_TRUE(defaulted.empty());

    // Other sinks are left for the core configuration to judge.
    nlohmann::json echo = {{"packet_sink", "echo"}};
    EXPECT_EQ(extractTunSinkName(echo), std::nullopt);
    EXPECT_EQ(echo["packet_sink"], "echo");

    nlohmann::json stray = {{"tun_name", "x0"}};
    EXPECT_THROW(extractTunSinkName(stray), ConfigError);
    nlohmann::json numeric = {{"packet_sink", "tun"}, {"tun_name", 3}};
    EXPECT_THROW(extractTunSinkName(numeric), ConfigError);
    nlohmann::json tooLong = {{"packet_sink", "tun"}, {"tun_name", "sixteen-chars-xx"}};
    EXPECT_THROW(extractTunSinkName(tooLong), ConfigError);
    nlohmann::json slash = {{"packet_sink", "tun"}, {"tun_name", "a/b"}};
    EXPECT_THROW(extractTunSinkName(slash), ConfigError);

    char path[] = "/tmp/vantu-tunsink-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream(path) << R"({"control_port": 0, "data_port": 0, "secrets": ["s"],
                                  "tunnel_subnet": "10.9.0.0/24", "tunnel_mtu": 1400,
                                  "packet_sink": "tun", "tun_name": "vsrv1"})";
    }
    std::optional<std::string> name;
    const ServerConfig config = loadServerConfigWithSink(path, name);
    EXPECT_EQ(name, std::optional<std::string>("vsrv1"));
    EXPECT_EQ(config.tunnelSubnet, "10.9.0.0/24");
    EXPECT_EQ(config.tunnelMTU, 1400);

    // Errors of the core configuration keep the path prefix.
    { std::ofstream(path) << R"({"control_port": 0, "data_port": 0, "secrets": [], "tunnel_subnet": "10.9.0.0/24"})"; }
    try {
        loadServerConfigWithSink(path, name);
        FAIL() << "an empty secrets list was accepted";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(std::string(path) + ": ", 0), 0u) << e.what();
    }
    { std::ofstream(path) << "{not json"; }
    EXPECT_THROW(loadServerConfigWithSink(path, name), ConfigError);
    unlink(path);
}

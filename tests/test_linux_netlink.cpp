// Tests of the tunnel host against the real kernel: TUN device, addresses,
// routes, policy rules and routing decisions. Each test runs in a child
// process inside a fresh network namespace (nothing reaches the host's
// network configuration), with a veth pair standing in for the outside
// interface. Needs root; skipped otherwise.

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/LinuxTunnelHost.h"
#include "platform/linux/MarkedSockets.h"
#include "platform/linux/Netlink.h"
#include "platform/linux/TunPacketFlow.h"

using namespace vantu;

namespace {

constexpr uint32_t kTable = 7373;
constexpr uint32_t kMark = 0x1ccd;
constexpr uint32_t kFwmarkPriority = 7373;
constexpr uint32_t kSuppressPriority = 7372;

// Runs `body` in a forked child inside a new network namespace. gtest
// failures in the child print there and make its exit status non-zero.
void inFreshNetworkNamespace(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::alarm(60);  // a hung child ends by itself
        if (::unshare(CLONE_NEWNET) != 0) {
            std::perror("unshare(CLONE_NEWNET)");
            ::_exit(3);
        }
        int status = 0;
        try {
            body();
            status = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child failed: %s\n", e.what());
            status = 2;
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's failures above";
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return "";
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    ::pclose(pipe);
    return output;
}

void sh(const std::string& command) {
    const int rc = std::system(command.c_str());
    ASSERT_EQ(rc, 0) << command;
}

// lo up, and "out0" (one end of a veth pair) as the outside interface with
// 198.51.100.2/24 and a default route via 198.51.100.1.
void makeOutside() {
    sh("ip link set lo up");
    sh("ip link add out0 type veth peer name out1");
    sh("ip link set out1 up && ip link set out0 up");
    sh("ip addr add 198.51.100.2/24 dev out0");
    sh("ip route add default via 198.51.100.1 dev out0");
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TunnelNetworkSettings settingsFor(const std::string& server, const std::string& tunnelIP, int64_t mtu) {
    TunnelNetworkSettings s;
    s.tunnelRemoteAddress = server;
    s.mtu = mtu;
    s.ipv4Addresses = {tunnelIP};
    s.ipv4SubnetMasks = {"255.255.255.255"};
    s.includeDefaultRoute = true;
    s.excludedRoutes = std::vector<IPv4Route>{{server, "255.255.255.255"}};
    s.dnsServers = {tunnelIP};
    return s;
}

std::optional<TunnelError> applyOnQueue(AsioWorkQueue& queue, LinuxTunnelHost& host,
                                        std::optional<TunnelNetworkSettings> settings) {
    bool done = false;
    bool onQueue = false;
    std::optional<TunnelError> result;
    host.setTunnelNetworkSettings(std::move(settings), [&](std::optional<TunnelError> e) {
        onQueue = queue.isQueueThread();
        result = e;
        done = true;
    });
    EXPECT_FALSE(done) << "the completion must not run inline";
    EXPECT_TRUE(queue.runUntil([&] { return done; }, Duration(10)));
    EXPECT_TRUE(onQueue);
    return result;
}

std::vector<NetlinkRule> ourRules(Netlink& nl) {
    std::vector<NetlinkRule> out;
    for (const auto& r : nl.rules())
        if (r.priority == kFwmarkPriority || r.priority == kSuppressPriority) out.push_back(r);
    return out;
}

const NetlinkRoute* findRoute(const std::vector<NetlinkRoute>& routes, const std::string& dst, int prefix) {
    for (const auto& r : routes)
        if (r.destination == dst && r.prefixLength == prefix) return &r;
    return nullptr;
}

LinuxTunnelHostOptions optionsFor(const std::string& tunName, const std::string& resolvConf) {
    LinuxTunnelHostOptions options;
    options.tunName = tunName;
    options.table = kTable;
    options.fwmark = kMark;
    options.fwmarkRulePriority = kFwmarkPriority;
    options.suppressRulePriority = kSuppressPriority;
    options.dnsMode = DnsMode::resolvConf;
    options.resolvConfPath = resolvConf;
    return options;
}

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantu-netlink-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// An IPv4/UDP packet with a valid header checksum and no UDP checksum.
Bytes udpPacket(const std::string& src, uint16_t srcPort, const std::string& dst, uint16_t dstPort,
                const std::string& payload) {
    Bytes p;
    const uint16_t total = static_cast<uint16_t>(28 + payload.size());
    p = {0x45, 0, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0, 1, 0x40, 0, 64, 17, 0, 0};
    appendBE(p, *parseIPv4(src));
    appendBE(p, *parseIPv4(dst));
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += (p[i] << 8) | p[i + 1];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    p[10] = static_cast<uint8_t>(~sum >> 8);
    p[11] = static_cast<uint8_t>(~sum);
    appendBE(p, srcPort);
    appendBE(p, dstPort);
    appendBE(p, static_cast<uint16_t>(8 + payload.size()));
    appendBE(p, uint16_t(0));
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

}  // namespace

#define REQUIRE_ROOT()                                                              \
    do {                                                                            \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces)";    \
    } while (0)

TEST(LinuxTunnelHostNetlink, AppliesReplacesAndClearsSettings) {
    REQUIRE_ROOT();
    TempDir dir;
    inFreshNetworkNamespace([&] {
        makeOutside();
        const std::string resolvConf = dir.path + "/resolv.conf";
        const std::string original = "search lan.example.test\nnameserver 198.51.100.53\n";
        std::ofstream(resolvConf) << original;
        // A rule a previous run left with another mark at our priority.
        sh("ip rule add not fwmark 0x99 table 7373 priority 7373");

        AsioWorkQueue queue;
        TunPacketFlow tun(queue, "vtest%d");
        EXPECT_EQ(tun.name(), "vtest0");
        LinuxTunnelHost host(queue, optionsFor(tun.name(), resolvConf), std::nullopt);
        Netlink nl;

        // The outside path before anything else.
        auto path = host.defaultPath();
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(path->status, PathStatus::satisfied);
        EXPECT_EQ(path->identity, "out0 via 198.51.100.1 src 198.51.100.2");

        // ---- first apply
        auto error = applyOnQueue(queue, host, settingsFor("203.0.113.7", "10.7.0.2", 1420));
        ASSERT_FALSE(error.has_value()) << error->description();
        auto link = nl.link(tun.name());
        ASSERT_TRUE(link.has_value());
        EXPECT_EQ(link->mtu, 1420u);
        EXPECT_TRUE(link->isUp());
        const int tunIndex = link->index;
        const int outIndex = static_cast<int>(::if_nametoindex("out0"));
        EXPECT_EQ(nl.addresses(tunIndex), (std::vector<NetlinkAddress>{{tunIndex, "10.7.0.2", 32}}));

        auto routes = nl.routes(kTable);
        EXPECT_EQ(routes.size(), 3u);
        const NetlinkRoute* def = findRoute(routes, "0.0.0.0", 0);
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->oif, tunIndex);
        EXPECT_TRUE(def->gateway.empty());
        const NetlinkRoute* server = findRoute(routes, "203.0.113.7", 32);
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(server->gateway, "198.51.100.1");
        EXPECT_EQ(server->oif, outIndex);
        const NetlinkRoute* dns = findRoute(routes, "100.100.100.100", 32);
        ASSERT_NE(dns, nullptr);
        EXPECT_EQ(dns->oif, tunIndex);

        auto rules = ourRules(nl);
        ASSERT_EQ(rules.size(), 2u);  // the stale variant was replaced, not kept beside ours
        EXPECT_EQ(rules[0].priority, kSuppressPriority);
        EXPECT_EQ(rules[0].table, 254u);
        EXPECT_EQ(rules[0].suppressPrefixLength, 0);
        EXPECT_FALSE(rules[0].invert);
        EXPECT_EQ(rules[1].priority, kFwmarkPriority);
        EXPECT_EQ(rules[1].table, kTable);
        EXPECT_TRUE(rules[1].invert);
        EXPECT_EQ(rules[1].fwmark, kMark);

        // The same, as iproute2 sees it.
        const std::string ipRules = run("ip rule show");
        EXPECT_TRUE(contains(ipRules, "7372:\tfrom all lookup main suppress_prefixlength 0")) << ipRules;
        EXPECT_TRUE(contains(ipRules, "7373:\tnot from all fwmark 0x1ccd lookup 7373")) << ipRules;
        const std::string ipRoutes = run("ip route show table 7373");
        EXPECT_TRUE(contains(ipRoutes, "default dev vtest0")) << ipRoutes;
        EXPECT_TRUE(contains(ipRoutes, "203.0.113.7 via 198.51.100.1 dev out0")) << ipRoutes;

        // Routing decisions: unmarked traffic enters the tunnel, marked
        // traffic and the LAN stay outside, the server stays outside, and
        // the virtual resolver address is routed into the tunnel.
        EXPECT_TRUE(contains(run("ip route get 203.0.113.50"), "dev vtest0"));
        EXPECT_TRUE(contains(run("ip route get 203.0.113.50 mark 0x1ccd"), "via 198.51.100.1 dev out0"));
        EXPECT_TRUE(contains(run("ip route get 198.51.100.9"), "dev out0"));
        EXPECT_TRUE(contains(run("ip route get 203.0.113.7"), "via 198.51.100.1 dev out0"));
        EXPECT_TRUE(contains(run("ip route get 100.100.100.100"), "dev vtest0"));
        EXPECT_EQ(readText("/proc/sys/net/ipv4/conf/all/src_valid_mark"), "1\n");

        // The system resolver points at the virtual address; the original is kept.
        EXPECT_TRUE(contains(readText(resolvConf), "nameserver 100.100.100.100\n"));
        EXPECT_FALSE(contains(readText(resolvConf), "198.51.100.53"));
        EXPECT_EQ(readText(resolvConf + ".vantud-backup"), original);
        EXPECT_EQ(host.appliedDnsMode(), DnsMode::resolvConf);
        // The main table is untouched, so the default path did not change.
        EXPECT_EQ(host.defaultPath(), path);

        // ---- apply again: another address, MTU and server replace the old ones
        error = applyOnQueue(queue, host, settingsFor("203.0.113.8", "10.7.0.9", 1380));
        ASSERT_FALSE(error.has_value()) << error->description();
        EXPECT_EQ(nl.link(tunIndex)->mtu, 1380u);
        EXPECT_EQ(nl.addresses(tunIndex), (std::vector<NetlinkAddress>{{tunIndex, "10.7.0.9", 32}}));
        routes = nl.routes(kTable);
        EXPECT_EQ(routes.size(), 3u);
        EXPECT_EQ(findRoute(routes, "203.0.113.7", 32), nullptr);
        ASSERT_NE(findRoute(routes, "203.0.113.8", 32), nullptr);
        EXPECT_EQ(ourRules(nl).size(), 2u);
        EXPECT_EQ(readText(resolvConf + ".vantud-backup"), original);

        // ---- a server given by name has no exclusion route; no DNS servers: resolver restored
        TunnelNetworkSettings byName = settingsFor("vpn.example.test", "10.7.0.9", 1380);
        byName.excludedRoutes = std::nullopt;
        byName.dnsServers.clear();
        error = applyOnQueue(queue, host, byName);
        ASSERT_FALSE(error.has_value()) << error->description();
        routes = nl.routes(kTable);
        ASSERT_EQ(routes.size(), 1u);
        EXPECT_EQ(routes[0].prefixLength, 0);
        EXPECT_EQ(readText(resolvConf), original);
        EXPECT_FALSE(std::filesystem::exists(resolvConf + ".vantud-backup"));

        // ---- clear: nothing of ours remains
        error = applyOnQueue(queue, host, settingsFor("203.0.113.7", "10.7.0.2", 1420));
        ASSERT_FALSE(error.has_value());
        error = applyOnQueue(queue, host, std::nullopt);
        ASSERT_FALSE(error.has_value()) << error->description();
        EXPECT_TRUE(ourRules(nl).empty());
        EXPECT_TRUE(nl.routes(kTable).empty());
        EXPECT_TRUE(nl.addresses(tunIndex).empty());
        EXPECT_FALSE(nl.link(tunIndex)->isUp());
        EXPECT_EQ(readText(resolvConf), original);
        EXPECT_FALSE(std::filesystem::exists(resolvConf + ".vantud-backup"));
        EXPECT_TRUE(contains(run("ip route get 203.0.113.50"), "via 198.51.100.1 dev out0"));
        // The main table was never touched.
        EXPECT_TRUE(contains(run("ip route show table main"), "default via 198.51.100.1 dev out0"));

        // ---- errors: a missing device is a netlink error with its errno
        LinuxTunnelHost missing(queue, optionsFor("vnosuch0", resolvConf), std::nullopt);
        error = applyOnQueue(queue, missing, settingsFor("203.0.113.7", "10.7.0.2", 1420));
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain, "netlink");
        EXPECT_EQ(error->code, ENODEV);
        // An MTU the device refuses.
        error = applyOnQueue(queue, host, settingsFor("203.0.113.7", "10.7.0.2", 10));
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain, "netlink");
        EXPECT_EQ(error->code, EINVAL);
        EXPECT_TRUE(contains(error->description(), "mtu 10")) << error->description();
        EXPECT_FALSE(host.clear().has_value());

        // ---- the default path follows the main table
        sh("ip route del default");
        path = host.defaultPath();
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(path->status, PathStatus::unsatisfied);
        sh("ip route add default via 198.51.100.254 dev out0");
        path = host.defaultPath();
        EXPECT_EQ(path->status, PathStatus::satisfied);
        EXPECT_EQ(path->identity, "out0 via 198.51.100.254 src 198.51.100.2");
        sh("ip link set out1 down");  // the peer down: out0 loses its carrier
        path = host.defaultPath();
        EXPECT_EQ(path->status, PathStatus::unsatisfied);
    });
}

TEST(LinuxTunnelHostNetlink, CleanupStaleRemovesWhatACrashedRunLeft) {
    REQUIRE_ROOT();
    TempDir dir;
    inFreshNetworkNamespace([&] {
        makeOutside();
        const std::string resolvConf = dir.path + "/resolv.conf";
        const std::string original = "nameserver 198.51.100.53\n";
        std::ofstream(resolvConf) << original;
        AsioWorkQueue queue;
        {
            // A run that "crashes": settings applied, never cleared.
            TunPacketFlow tun(queue, "vtest0");
            LinuxTunnelHost host(queue, optionsFor(tun.name(), resolvConf), std::nullopt);
            ASSERT_FALSE(host.apply(settingsFor("203.0.113.7", "10.7.0.2", 1420)).has_value());
        }
        // The device went away with its routes; the rules, the server route
        // and the rewritten resolver remain.
        Netlink nl;
        EXPECT_EQ(ourRules(nl).size(), 2u);
        EXPECT_EQ(nl.routes(kTable).size(), 1u);
        EXPECT_TRUE(contains(readText(resolvConf), "100.100.100.100"));
        LinuxTunnelHost next(queue, optionsFor("vtest0", resolvConf), std::nullopt);
        ASSERT_FALSE(next.cleanupStale().has_value());
        EXPECT_TRUE(ourRules(nl).empty());
        EXPECT_TRUE(nl.routes(kTable).empty());
        EXPECT_EQ(readText(resolvConf), original);
        EXPECT_FALSE(std::filesystem::exists(resolvConf + ".vantud-backup"));
        // Idempotent.
        EXPECT_FALSE(next.cleanupStale().has_value());
        // Foreign rules and tables are left alone.
        sh("ip rule add fwmark 0x42 table 100 priority 7373");
        sh("ip route add 192.0.2.0/24 via 198.51.100.1 table 100");
        EXPECT_FALSE(next.cleanup().has_value());
        EXPECT_TRUE(contains(run("ip rule show"), "7373:\tfrom all fwmark 0x42 lookup 100"));
        EXPECT_EQ(nl.routes(100).size(), 1u);
    });
}

TEST(LinuxTunnelHostNetlink, TunCarriesUnmarkedTrafficOnly) {
    REQUIRE_ROOT();
    TempDir dir;
    inFreshNetworkNamespace([&] {
        makeOutside();
        AsioWorkQueue queue;
        TunPacketFlow tun(queue, "vtest0");
        LinuxTunnelHost host(queue, optionsFor(tun.name(), dir.path + "/resolv.conf"), std::nullopt);
        ASSERT_FALSE(host.apply(settingsFor("203.0.113.7", "10.7.0.2", 1420)).has_value());

        std::vector<Bytes> packets;
        std::vector<int> protocols;
        std::function<void()> readNext = [&] {
            tun.readPackets([&](std::vector<Bytes> batch, std::vector<int> protos) {
                for (auto& p : batch) packets.push_back(std::move(p));
                protocols.insert(protocols.end(), protos.begin(), protos.end());
                readNext();
            });
        };
        readNext();

        // A marked session to an outside address goes out through out0 ...
        auto marked = host.createUDPSession("203.0.113.50", "4001");
        ASSERT_EQ(marked->state(), UDPSessionState::ready);
        marked->writeDatagram(bytesOf("marked"), nullptr);
        // ... and an ordinary socket's datagram enters the tunnel.
        const int plain = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(4002);
        inet_pton(AF_INET, "203.0.113.50", &to.sin_addr);
        ASSERT_EQ(::sendto(plain, "plain", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);
        // A DNS query to the virtual resolver address enters the tunnel too.
        to.sin_port = htons(53);
        inet_pton(AF_INET, "100.100.100.100", &to.sin_addr);
        ASSERT_EQ(::sendto(plain, "query", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);

        ASSERT_TRUE(queue.runUntil([&] { return packets.size() >= 2; }, Duration(5)));
        queue.runUntil([] { return false; }, Duration(0.1));  // the marked one must not follow
        std::vector<uint16_t> ports;
        for (size_t i = 0; i < packets.size(); ++i) {
            const Bytes& p = packets[i];
            if (p.size() < 28 || p[9] != 17) continue;  // not UDP (router solicitations and the like)
            EXPECT_EQ(protocols[i], AF_INET);
            EXPECT_EQ(formatIPv4(readBE32(&p[12])), "10.7.0.2");  // source: the tunnel address
            ports.push_back(readBE16(&p[22]));
        }
        EXPECT_EQ(ports, (std::vector<uint16_t>{4002, 53}));

        // A packet written to the TUN reaches a local socket on the tunnel address.
        const int receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(5300);
        inet_pton(AF_INET, "10.7.0.2", &local.sin_addr);
        ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        tun.writePackets({udpPacket("203.0.113.50", 53, "10.7.0.2", 5300, "answer")}, {AF_INET});
        EXPECT_EQ(tun.counters().packetsWritten, 1u);
        char buffer[64];
        timeval timeout{2, 0};
        ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const ssize_t n = ::recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_EQ(n, 6);
        EXPECT_EQ(std::string(buffer, 6), "answer");
        ::close(receiver);
        ::close(plain);
        marked->cancel();
        EXPECT_FALSE(host.cleanup().has_value());
    });
}

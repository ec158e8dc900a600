// The tunnel host against the real kernel: TUN device, addresses, routes,
// policy rules and routing decisions; traffic through them is left to the
// end-to-end tests. Each test runs in a forked child inside a fresh network
// namespace with a veth pair as the outside interface, so the host's own
// configuration is never touched. Needs root; skipped otherwise.

#include <arpa/inet.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/LinuxTunnelHost.h"
#include "platform/linux/Netlink.h"
#include "platform/linux/ResolverConfig.h"
#include "platform/linux/TunPacketFlow.h"
#include "tests/linux_test_support.h"

using namespace vantu;
using namespace vantu::testing;

namespace {

constexpr uint32_t kTable = 7373;
constexpr uint32_t kFwmarkPriority = 7373;
constexpr uint32_t kSuppressPriority = 7372;

std::string run(const std::string& command) {
    std::string output;
    runProgram({"sh", "-c", command}, &output);
    return output;
}

void sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

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
    bool done = false, onQueue = false;
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

size_t ourRuleCount(Netlink& nl, uint8_t family = AF_INET) {
    size_t n = 0;
    for (const auto& r : nl.rules(family)) n += r.priority == kFwmarkPriority || r.priority == kSuppressPriority;
    return n;
}

LinuxTunnelHostOptions optionsFor(const std::string& tunName, const std::string& resolvConf) {
    LinuxTunnelHostOptions options;
    options.tunName = tunName;
    options.table = kTable;
    options.fwmark = 0x1ccd;
    options.fwmarkRulePriority = kFwmarkPriority;
    options.suppressRulePriority = kSuppressPriority;
    options.dnsMode = DnsMode::resolvConf;
    options.resolvConfPath = resolvConf;
    return options;
}

// The resolver file as the system left it.
const std::string kResolver = "search lan.example.test\nnameserver 198.51.100.53\n";

class LinuxTunnelHostNetlink : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (network namespaces)";
    }
    // Runs `body` in a forked child inside a fresh network namespace with lo
    // up and "out0" (one end of a veth pair) as the outside interface, with
    // 198.51.100.2/24 and a default route via 198.51.100.1. gtest failures
    // in the child print there and make its exit status non-zero.
    void inFreshNetworkNamespace(const std::function<void()>& body) {
        const ChildRun child = runInChild([&](int) {
            if (::unshare(CLONE_NEWNET) != 0) return 3;
            sh("ip link set lo up && ip link add out0 type veth peer name out1 && ip link set out1 up && "
               "ip link set out0 up && ip addr add 198.51.100.2/24 dev out0 && "
               "ip route add default via 198.51.100.1 dev out0");
            if (!::testing::Test::HasFailure()) body();
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_EQ(child.exitCode, 0) << "see the child's output above";
    }
    TempDir dir;
    const std::string resolvConf = writeText(dir.path + "/resolv.conf", kResolver);
};

}  // namespace

TEST_F(LinuxTunnelHostNetlink, AppliesReplacesAndClearsSettings) {
    inFreshNetworkNamespace([&] {
        sh("ip rule add not fwmark 0x99 table 7373 priority 7373");  // left by an earlier run with another mark

        AsioWorkQueue queue;
        TunPacketFlow tun(queue, "vtest%d");
        EXPECT_EQ(tun.name(), "vtest0");
        LinuxTunnelHost host(queue, optionsFor(tun.name(), resolvConf), std::nullopt);
        Netlink nl;
        const auto path = host.defaultPath();
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(path->status, PathStatus::satisfied);
        EXPECT_EQ(path->identity, "out0 via 198.51.100.1 src 198.51.100.2");

        auto error = applyOnQueue(queue, host, settingsFor("203.0.113.7", "10.7.0.2", 1420));
        ASSERT_FALSE(error.has_value()) << error->description();
        const int tunIndex = static_cast<int>(::if_nametoindex("vtest0"));
        EXPECT_EQ(nl.link(tunIndex)->mtu, 1420u);
        EXPECT_TRUE(nl.link(tunIndex)->isUp());
        EXPECT_EQ(nl.addresses(tunIndex), (std::vector<NetlinkAddress>{{tunIndex, "10.7.0.2", 32}}));
        EXPECT_EQ(nl.routes(kTable).size(), 3u);
        const std::string ipRoutes = run("ip route show table 7373");
        for (const char* route : {"default dev vtest0", "203.0.113.7 via 198.51.100.1 dev out0",
                                  "100.100.100.100 dev vtest0"})
            EXPECT_TRUE(contains(ipRoutes, route)) << route << " in\n" << ipRoutes;
        EXPECT_EQ(ourRuleCount(nl), 2u) << "the stale rule must be replaced, not kept beside ours";
        const std::string ipRules = run("ip rule show");
        EXPECT_TRUE(contains(ipRules, "7372:\tfrom all lookup main suppress_prefixlength 0")) << ipRules;
        EXPECT_TRUE(contains(ipRules, "7373:\tnot from all fwmark 0x1ccd lookup 7373")) << ipRules;

        // Unmarked traffic and the virtual resolver enter the tunnel; marked
        // traffic, the LAN and the server stay outside.
        const std::vector<std::pair<std::string, std::string>> decisions{
            {"203.0.113.50", "dev vtest0"},
            {"203.0.113.50 mark 0x1ccd", "via 198.51.100.1 dev out0"},
            {"198.51.100.9", "dev out0"},
            {"203.0.113.7", "via 198.51.100.1 dev out0"},
            {"100.100.100.100", "dev vtest0"}};
        for (const auto& [to, via] : decisions) EXPECT_TRUE(contains(run("ip route get " + to), via)) << to;
        EXPECT_EQ(readText("/proc/sys/net/ipv4/conf/all/src_valid_mark"), "1\n");
        EXPECT_TRUE(contains(readText(resolvConf), "nameserver 100.100.100.100\n"));
        EXPECT_EQ(host.appliedDnsMode(), DnsMode::resolvConf);
        EXPECT_EQ(host.defaultPath(), path) << "the main table must stay untouched";

        // Applying again replaces address, MTU and server route.
        error = applyOnQueue(queue, host, settingsFor("203.0.113.8", "10.7.0.9", 1380));
        ASSERT_FALSE(error.has_value()) << error->description();
        EXPECT_EQ(nl.link(tunIndex)->mtu, 1380u);
        EXPECT_EQ(nl.addresses(tunIndex), (std::vector<NetlinkAddress>{{tunIndex, "10.7.0.9", 32}}));
        EXPECT_EQ(nl.routes(kTable).size(), 3u);
        EXPECT_TRUE(contains(run("ip route show table 7373"), "203.0.113.8 via 198.51.100.1 dev out0"));
        EXPECT_EQ(ourRuleCount(nl), 2u);

        // A server given by name has no exclusion route; no DNS servers restores the resolver.
        TunnelNetworkSettings byName = settingsFor("vpn.example.test", "10.7.0.9", 1380);
        byName.excludedRoutes = std::nullopt;
        byName.dnsServers.clear();
        ASSERT_FALSE(applyOnQueue(queue, host, byName).has_value());
        ASSERT_EQ(nl.routes(kTable).size(), 1u);
        EXPECT_EQ(nl.routes(kTable)[0].prefixLength, 0);
        EXPECT_EQ(readText(resolvConf), kResolver);

        // Clear: nothing of ours remains.
        ASSERT_FALSE(applyOnQueue(queue, host, settingsFor("203.0.113.7", "10.7.0.2", 1420)).has_value());
        error = applyOnQueue(queue, host, std::nullopt);
        ASSERT_FALSE(error.has_value()) << error->description();
        EXPECT_EQ(ourRuleCount(nl), 0u);
        EXPECT_TRUE(nl.routes(kTable).empty());
        EXPECT_TRUE(nl.addresses(tunIndex).empty());
        EXPECT_FALSE(nl.link(tunIndex)->isUp());
        EXPECT_EQ(readText(resolvConf), kResolver);
        EXPECT_TRUE(contains(run("ip route get 203.0.113.50"), "via 198.51.100.1 dev out0"));

        // Errors carry the netlink errno: a missing device, an MTU the device refuses.
        LinuxTunnelHost missing(queue, optionsFor("vnosuch0", resolvConf), std::nullopt);
        error = applyOnQueue(queue, missing, settingsFor("203.0.113.7", "10.7.0.2", 1420));
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->domain, "netlink");
        EXPECT_EQ(error->code, ENODEV);
        error = applyOnQueue(queue, host, settingsFor("203.0.113.7", "10.7.0.2", 10));
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code, EINVAL);
        EXPECT_TRUE(contains(error->description(), "mtu 10")) << error->description();
        EXPECT_FALSE(host.clear().has_value());

        // The default path follows the main table and the carrier.
        sh("ip route del default");
        EXPECT_EQ(host.defaultPath()->status, PathStatus::unsatisfied);
        sh("ip route add default via 198.51.100.254 dev out0");
        EXPECT_EQ(host.defaultPath()->identity, "out0 via 198.51.100.254 src 198.51.100.2");
        EXPECT_EQ(host.defaultPath()->status, PathStatus::satisfied);
        sh("ip link set out1 down");
        EXPECT_EQ(host.defaultPath()->status, PathStatus::unsatisfied);
    });
}

TEST_F(LinuxTunnelHostNetlink, CleanupStaleRemovesWhatACrashedRunLeft) {
    inFreshNetworkNamespace([&] {
        AsioWorkQueue queue;
        {
            TunPacketFlow tun(queue, "vtest0");
            LinuxTunnelHost crashed(queue, optionsFor(tun.name(), resolvConf), std::nullopt);
            ASSERT_FALSE(crashed.apply(settingsFor("203.0.113.7", "10.7.0.2", 1420)).has_value());
        }
        // The device went with its routes; the rules, the server route and the resolver remain.
        Netlink nl;
        EXPECT_EQ(ourRuleCount(nl), 2u);
        EXPECT_EQ(nl.routes(kTable).size(), 1u);
        EXPECT_TRUE(contains(readText(resolvConf), "100.100.100.100"));
        LinuxTunnelHost next(queue, optionsFor("vtest0", resolvConf), std::nullopt);
        for (int i = 0; i < 2; ++i) {
            ASSERT_FALSE(next.cleanupStale().has_value()) << "pass " << i;
            EXPECT_EQ(ourRuleCount(nl), 0u);
            EXPECT_TRUE(nl.routes(kTable).empty());
            EXPECT_EQ(readText(resolvConf), kResolver);
        }
        // Foreign rules and tables are left alone.
        sh("ip rule add fwmark 0x42 table 100 priority 7373");
        sh("ip route add 192.0.2.0/24 via 198.51.100.1 table 100");
        EXPECT_FALSE(next.cleanup().has_value());
        EXPECT_TRUE(contains(run("ip rule show"), "7373:\tfrom all fwmark 0x42 lookup 100"));
        EXPECT_EQ(nl.routes(100).size(), 1u);
    });
}

// A default route that leaves its interface to a nexthop object names no
// link itself when the kernel does not repeat the object's in the route
// (nexthop_compat_mode=0). The route is read with the object's interface
// and gateway, or those of a group's first member, so the default path is
// the outside interface as with a plain route, and follows its carrier.
TEST_F(LinuxTunnelHostNetlink, DefaultRouteThroughANexthopObjectNamesItsInterface) {
    struct Case {
        const char* name;
        int compatMode;
        const char* setup;  // after "ip route del default"
    };
    const Case cases[] = {
        {"nexthop, compat 0", 0, "ip nexthop add id 7 via 198.51.100.1 dev out0 && ip route add default nhid 7"},
        {"group, compat 0", 0,
         "ip nexthop add id 7 via 198.51.100.1 dev out0 && ip nexthop add id 9 group 7 && "
         "ip route add default nhid 9"},
        {"nexthop, compat 1", 1, "ip nexthop add id 7 via 198.51.100.1 dev out0 && ip route add default nhid 7"},
        {"nexthop with metric, compat 0", 0,
         "ip nexthop add id 7 via 198.51.100.1 dev out0 && ip route add default nhid 7 metric 50"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        inFreshNetworkNamespace([&] {
            if (std::system(("sysctl -qw net.ipv4.nexthop_compat_mode=" + std::to_string(c.compatMode) +
                             " && ip nexthop add id 1 via 198.51.100.1 dev out0 && ip nexthop del id 1")
                                .c_str()) != 0) {
                GTEST_SKIP() << "no nexthop objects here";
            }
            sh(std::string("ip route del default && ") + c.setup);
            Netlink nl;
            const auto out0 = nl.link("out0");
            ASSERT_TRUE(out0.has_value());
            const auto routes = nl.routes(254);
            const auto best =
                std::find_if(routes.begin(), routes.end(), [](const auto& r) { return r.prefixLength == 0; });
            ASSERT_NE(best, routes.end());
            EXPECT_EQ(best->oif, out0->index);
            EXPECT_EQ(best->gateway, "198.51.100.1");

            AsioWorkQueue queue;
            LinuxTunnelHost host(queue, optionsFor("vnone0", resolvConf), std::nullopt);
            const auto path = host.defaultPath();
            ASSERT_TRUE(path.has_value());
            EXPECT_EQ(path->identity, "out0 via 198.51.100.1 src 198.51.100.2");
            EXPECT_EQ(path->status, PathStatus::satisfied);
            sh("ip link set out1 down");
            EXPECT_EQ(host.defaultPath()->status, PathStatus::unsatisfied);
        });
    }
    // Index 0 is still no link to ask the kernel about.
    inFreshNetworkNamespace([&] {
        Netlink nl;
        try {
            nl.link(0);
            ADD_FAILURE() << "link 0 was looked up";
        } catch (const NetlinkError& e) {
            EXPECT_EQ(e.code(), EINVAL);
            EXPECT_TRUE(contains(e.what(), "no interface index")) << e.what();
        }
    });
}

namespace {

// What a UDP connect() to `to` says: 0 when a route leads there, the errno
// otherwise. `mark` sets SO_MARK first, as the daemon's own sockets have. An
// IPv4 address is given as an IPv4-mapped one, which the kernel routes as IPv4.
int connectResult(const std::string& to, uint32_t mark = 0) {
    const auto percent = to.find('%');
    const std::string address = to.substr(0, percent);
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(9);
    if (percent != std::string::npos) six.sin6_scope_id = ::if_nametoindex(to.substr(percent + 1).c_str());
    if (::inet_pton(AF_INET6, address.c_str(), &six.sin6_addr) != 1)
        ::inet_pton(AF_INET6, ("::ffff:" + address).c_str(), &six.sin6_addr);
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (mark != 0) ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark);
    const int error = ::connect(fd, reinterpret_cast<sockaddr*>(&six), sizeof six) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

bool refused(int error) { return error == EHOSTUNREACH || error == ENETUNREACH; }

}  // namespace

TEST_F(LinuxTunnelHostNetlink, IPv6IsBlockedWhileUpAndTheKillSwitchHoldsThroughAFailure) {
    inFreshNetworkNamespace([&] {
        sh("ip -6 addr add 2001:db8:5::2/64 dev out0 nodad && ip -6 route add default via 2001:db8:5::1 dev out0");
        const uint32_t mark = 0x1ccd;
        AsioWorkQueue queue;
        Netlink nl;
        LinuxTunnelHostOptions options = optionsFor("vtest0", resolvConf);
        options.killSwitch = true;
        {
            TunPacketFlow tun(queue, "vtest0");
            LinuxTunnelHost host(queue, options, std::nullopt);
            ASSERT_FALSE(host.apply(settingsFor("203.0.113.7", "10.7.0.2", 1420)).has_value());
            EXPECT_EQ(ourRuleCount(nl, AF_INET6), 2u);
            const std::string rules6 = run("ip -6 rule show");
            EXPECT_TRUE(contains(rules6, "7372:\tfrom all lookup main suppress_prefixlength 0")) << rules6;
            EXPECT_TRUE(contains(rules6, "7373:\tnot from all fwmark 0x1ccd lookup 7373")) << rules6;
            EXPECT_TRUE(contains(run("ip -6 route show table 7373"), "unreachable default"));
            EXPECT_TRUE(contains(run("ip route show table 7373"), "unreachable default"));

            // With the tunnel up: IPv6 is refused at once but for link-local,
            // loopback and the daemon's marked sockets; IPv4 enters the TUN.
            struct Case {
                std::string to;
                uint32_t mark;
                bool reachable;
            };
            for (const Case& c : std::vector<Case>{{"2001:db8:99::1", 0, false},
                                                   {"2001:db8:99::1", mark, true},
                                                   {"2001:db8:5::1", 0, true},  // on the link
                                                   {"fe80::1%out0", 0, true},
                                                   {"::1", 0, true},
                                                   {"203.0.113.50", 0, true}}) {
                const int error = connectResult(c.to, c.mark);
                if (c.reachable) {
                    EXPECT_EQ(error, 0) << c.to << ": " << std::strerror(error);
                } else {
                    EXPECT_TRUE(refused(error)) << c.to << ": " << std::strerror(error);
                }
            }
            EXPECT_TRUE(contains(run("ip route get 203.0.113.50"), "dev vtest0"));
            // The tunnel fails: the block stays, addresses and DNS go.
            EXPECT_FALSE(host.block().has_value());
            EXPECT_TRUE(nl.addresses(static_cast<int>(::if_nametoindex("vtest0"))).empty());
            EXPECT_EQ(readText(resolvConf), kResolver);
        }
        // TUN gone (the daemon exited): unmarked IPv4 and IPv6 are refused,
        // marked sockets still go out.
        EXPECT_TRUE(refused(connectResult("203.0.113.50"))) << "IPv4 left outside the tunnel";
        EXPECT_TRUE(refused(connectResult("2001:db8:99::1")));
        EXPECT_EQ(connectResult("203.0.113.50", mark), 0);
        EXPECT_EQ(ourRuleCount(nl), 2u);

        // The next start keeps the block while it cleans up; a plain cleanup
        // (an explicit stop) lifts it, IPv6 included.
        LinuxTunnelHost next(queue, options, std::nullopt);
        ASSERT_FALSE(next.cleanupStale().has_value());
        EXPECT_EQ(ourRuleCount(nl), 2u);
        EXPECT_EQ(ourRuleCount(nl, AF_INET6), 2u);
        ASSERT_EQ(nl.routes(kTable).size(), 1u);
        EXPECT_EQ(nl.routes(kTable)[0].type, RTN_UNREACHABLE);
        EXPECT_TRUE(refused(connectResult("203.0.113.50")));
        ASSERT_FALSE(next.cleanup().has_value());
        EXPECT_EQ(ourRuleCount(nl), 0u);
        EXPECT_EQ(ourRuleCount(nl, AF_INET6), 0u);
        EXPECT_TRUE(nl.routes(kTable).empty());
        EXPECT_TRUE(nl.routes(kTable, AF_INET6).empty());
        EXPECT_EQ(connectResult("203.0.113.50"), 0);
        EXPECT_EQ(connectResult("2001:db8:99::1"), 0);
    });
}

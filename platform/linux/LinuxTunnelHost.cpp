#include "platform/linux/LinuxTunnelHost.h"

#include <fcntl.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/MarkedSockets.h"
#include "platform/linux/ResolverConfig.h"

namespace vantu {

namespace {

constexpr uint32_t kMainTable = RT_TABLE_MAIN;
constexpr int kMaxDeletions = 32;  // duplicates left by crashed runs, bounded
// The kill switch's unreachable default comes after every real default.
constexpr uint32_t kKillSwitchMetric = 0xffffffffu;

NetlinkRoute unreachableDefault(uint8_t family, uint32_t table) {
    NetlinkRoute route;
    route.family = family;
    route.table = table;
    route.destination = family == AF_INET6 ? "::" : "0.0.0.0";
    route.prefixLength = 0;
    route.type = RTN_UNREACHABLE;
    if (family == AF_INET) route.metric = kKillSwitchMetric;
    return route;
}

bool sameRoute(const NetlinkRoute& a, const NetlinkRoute& b) {
    return a.destination == b.destination && a.prefixLength == b.prefixLength && a.gateway == b.gateway &&
           a.oif == b.oif && a.metric == b.metric && a.type == b.type;
}

bool contains(const NetlinkRoute& route, uint32_t address) {
    const auto network = parseIPv4(route.destination);
    if (!network) return false;
    const uint32_t mask = route.prefixLength == 0 ? 0 : ~uint32_t(0) << (32 - route.prefixLength);
    return (address & mask) == (*network & mask);
}

TunnelError netlinkError(const NetlinkError& e) { return TunnelError::platform("netlink", e.code(), e.what()); }

}  // namespace

LinuxTunnelHost::LinuxTunnelHost(AsioWorkQueue& queue, LinuxTunnelHostOptions options,
                                 std::optional<ProviderConfiguration> providerConfiguration, SystemLog* log)
    : queue_(queue), options_(std::move(options)), providerConfiguration_(std::move(providerConfiguration)),
      log_(log),
      resolver_(SystemResolver::Options{options_.dnsMode, options_.tunName, options_.virtualDnsAddress,
                                        options_.resolvConfPath, options_.resolvConfBackupPath},
                {}, {}, log) {}

LinuxTunnelHost::~LinuxTunnelHost() = default;

void LinuxTunnelHost::log(const std::string& line) const {
    if (log_) log_->write("platform: " + line);
}

std::optional<ProtocolConfiguration> LinuxTunnelHost::protocolConfiguration() const {
    ProtocolConfiguration configuration;
    configuration.isPacketTunnelProvider = true;
    configuration.providerConfiguration = providerConfiguration_;
    return configuration;
}

void LinuxTunnelHost::setTunnelNetworkSettings(std::optional<TunnelNetworkSettings> settings,
                                               ErrorCompletion completion) {
    std::optional<TunnelError> result = settings ? apply(*settings) : clear();
    queue_.submit([completion = std::move(completion), result] {
        if (completion) completion(result);
    });
}

void LinuxTunnelHost::cancelTunnelWithError(const TunnelError& error) {
    log("tunnel cancelled: " + error.description());
    queue_.submit([this, error] {
        if (cancelHandler_) cancelHandler_(error);
    });
}

std::shared_ptr<UDPSession> LinuxTunnelHost::createUDPSession(const std::string& host, const std::string& port) {
    return MarkedUDPSession::create(queue_, host, port, options_.fwmark);
}

std::shared_ptr<TCPConnection> LinuxTunnelHost::createTCPConnection(const std::string& host, const std::string& port) {
    return MarkedTCPConnection::create(queue_, host, port, options_.fwmark);
}

// ---------------------------------------------------------------- default path

std::optional<NetworkPath> LinuxTunnelHost::defaultPath() const {
    try {
        const auto routes = netlink_.routes(kMainTable);
        const NetlinkRoute* best = nullptr;
        for (const auto& route : routes) {
            if (route.type != RTN_UNICAST || route.prefixLength != 0) continue;
            if (!best || route.metric < best->metric) best = &route;
        }
        NetworkPath path;
        path.status = PathStatus::unsatisfied;
        if (!best) return path;
        const auto link = netlink_.link(best->oif);
        std::string source = best->preferredSource;
        if (source.empty()) {
            const auto addresses = netlink_.addresses(best->oif);
            if (!addresses.empty()) source = addresses.front().address;
        }
        if (link) {
            path.identity = link->name;
        } else {
            path.identity = "#";
            path.identity += std::to_string(best->oif);
        }
        if (!best->gateway.empty()) path.identity += " via " + best->gateway;
        if (!source.empty()) path.identity += " src " + source;
        if (link && link->hasCarrier()) path.status = PathStatus::satisfied;
        return path;
    } catch (const NetlinkError&) {
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- apply

std::optional<TunnelError> LinuxTunnelHost::apply(const TunnelNetworkSettings& settings) {
    try {
        const auto link = netlink_.link(options_.tunName);
        if (!link)
            return TunnelError::platform("netlink", ENODEV,
                                         "netlink: tunnel interface " + options_.tunName + " does not exist");
        applyAddresses(link->index, settings);
        std::optional<unsigned> mtu;
        if (settings.mtu > 0) mtu = static_cast<unsigned>(settings.mtu);
        netlink_.setLink(link->index, mtu, true);
        // Routes before rules: once the rules exist, the table is complete.
        applyRoutes(link->index, settings);
        applyRules();
        applyIPv6Block();
    } catch (const NetlinkError& e) {
        log("applying tunnel settings failed: " + std::string(e.what()));
        return netlinkError(e);
    }
    if (options_.setSrcValidMark) {
        const int fd = ::open("/proc/sys/net/ipv4/conf/all/src_valid_mark", O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::write(fd, "1\n", 2) != 2) log("cannot set src_valid_mark: " + std::string(std::strerror(errno)));
        if (fd >= 0) ::close(fd);
    }
    try {
        applyDns(settings);
    } catch (const VantuError& e) {
        log("pointing the system resolver at the tunnel failed: " + e.message());
        return TunnelError::platform("dns", EIO, e.message());
    }
    return std::nullopt;
}

void LinuxTunnelHost::applyAddresses(int ifindex, const TunnelNetworkSettings& settings) {
    std::vector<NetlinkAddress> desired;
    for (size_t i = 0; i < settings.ipv4Addresses.size(); ++i) {
        const std::string mask = i < settings.ipv4SubnetMasks.size() ? settings.ipv4SubnetMasks[i] : "255.255.255.255";
        const auto prefix = prefixLengthOfMask(mask);
        if (!prefix || !parseIPv4(settings.ipv4Addresses[i]))
            throw NetlinkError(EINVAL, "netlink: invalid tunnel address " + settings.ipv4Addresses[i] + "/" + mask);
        desired.push_back({ifindex, settings.ipv4Addresses[i], *prefix});
    }
    for (const auto& address : desired) netlink_.addAddress(address);
    for (const auto& existing : netlink_.addresses(ifindex))
        if (std::find(desired.begin(), desired.end(), existing) == desired.end()) netlink_.deleteAddress(existing);
}

std::optional<NetlinkRoute> LinuxTunnelHost::outsideRouteTo(uint32_t address, int tunIndex) {
    std::optional<NetlinkRoute> best;
    for (const auto& route : netlink_.routes(kMainTable)) {
        if (route.type != RTN_UNICAST || route.oif == 0 || route.oif == tunIndex || !contains(route, address))
            continue;
        if (!best || route.prefixLength > best->prefixLength ||
            (route.prefixLength == best->prefixLength && route.metric < best->metric))
            best = route;
    }
    return best;
}

void LinuxTunnelHost::applyRoutes(int ifindex, const TunnelNetworkSettings& settings) {
    std::vector<NetlinkRoute> desired;
    auto viaTun = [&](const std::string& destination, int prefix) {
        NetlinkRoute route;
        route.table = options_.table;
        route.destination = destination;
        route.prefixLength = prefix;
        route.oif = ifindex;
        route.scope = RT_SCOPE_LINK;
        return route;
    };
    // Excluded routes first: they lead outside and must never pass through
    // a state where the default route already points into the tunnel alone.
    skippedExcluded_.clear();
    for (const auto& excluded : settings.excludedRoutes.value_or(std::vector<IPv4Route>{})) {
        const auto address = parseIPv4(excluded.destinationAddress);
        const auto prefix = prefixLengthOfMask(excluded.destinationSubnetMask);
        if (!address || !prefix) {
            skippedExcluded_.push_back(excluded.destinationAddress);
            log("excluded route " + excluded.destinationAddress + "/" + excluded.destinationSubnetMask +
                " is not an IPv4 route; skipped");
            continue;
        }
        const auto outside = outsideRouteTo(*address, ifindex);
        if (!outside) {
            skippedExcluded_.push_back(excluded.destinationAddress);
            log("no outside route to " + excluded.destinationAddress + "; its exclusion route is skipped");
            continue;
        }
        NetlinkRoute route;
        route.table = options_.table;
        route.destination = excluded.destinationAddress;
        route.prefixLength = *prefix;
        route.gateway = outside->gateway;
        route.oif = outside->oif;
        route.preferredSource = outside->preferredSource;
        route.scope = outside->gateway.empty() ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
        desired.push_back(route);
    }
    if (settings.includeDefaultRoute) desired.push_back(viaTun("0.0.0.0", 0));
    for (const auto& included : settings.includedRoutes) {
        const auto prefix = prefixLengthOfMask(included.destinationSubnetMask);
        if (!prefix || !parseIPv4(included.destinationAddress))
            throw NetlinkError(EINVAL, "netlink: invalid included route " + included.destinationAddress + "/" +
                                           included.destinationSubnetMask);
        desired.push_back(viaTun(included.destinationAddress, *prefix));
    }
    // The virtual resolver address is covered by the default route; its own
    // host route keeps DNS in the tunnel when no default route is included.
    if (options_.dnsMode != DnsMode::none && !settings.dnsServers.empty() && parseIPv4(options_.virtualDnsAddress))
        desired.push_back(viaTun(options_.virtualDnsAddress, 32));
    if (options_.killSwitch) desired.push_back(unreachableDefault(AF_INET, options_.table));

    for (const auto& route : desired) netlink_.replaceRoute(route);
    netlink_.deleteRoutes([&](const NetlinkRoute& existing) {
        if (existing.table != options_.table) return false;
        return std::none_of(desired.begin(), desired.end(),
                            [&](const NetlinkRoute& want) { return sameRoute(want, existing); });
    });
}

void LinuxTunnelHost::applyRules() {
    if (options_.fwmark == 0)
        throw NetlinkError(EINVAL, "netlink: a firewall mark is needed to keep the daemon's traffic outside");
    NetlinkRule fwmarkRule;
    fwmarkRule.priority = options_.fwmarkRulePriority;
    fwmarkRule.table = options_.table;
    fwmarkRule.invert = true;
    fwmarkRule.fwmark = options_.fwmark;
    NetlinkRule suppressRule;
    suppressRule.priority = options_.suppressRulePriority;
    suppressRule.table = kMainTable;
    suppressRule.suppressPrefixLength = 0;

    const auto existing = netlink_.rules();
    auto ensure = [&](const NetlinkRule& want) {
        const bool present = std::any_of(existing.begin(), existing.end(), [&](const NetlinkRule& r) {
            return r.priority == want.priority && r.table == want.table && r.action == FR_ACT_TO_TBL &&
                   r.invert == want.invert && r.fwmark == want.fwmark &&
                   (want.fwmark == 0 || r.fwmask == 0 || r.fwmask == 0xffffffffu) &&
                   r.suppressPrefixLength == want.suppressPrefixLength;
        });
        if (present) return;
        // A rule of ours with other details (another mark) goes first.
        for (int i = 0; i < kMaxDeletions && netlink_.deleteRule(want.priority, want.table); ++i) {
        }
        netlink_.addRule(want);
    };
    ensure(suppressRule);
    ensure(fwmarkRule);
}

void LinuxTunnelHost::applyIPv6Block(bool always) {
    if (!options_.blockIPv6 && !always) return;
    // The same two rules as for IPv4, so that IPv6 takes the same roads: the
    // main table's specific routes (link-local, the LAN) stay in force, the
    // daemon's marked sockets use the main table, and everything else meets
    // the tunnel table, which for IPv6 holds one unreachable default. The
    // kernel refuses such packets at once (ENETUNREACH), so applications fall
    // back to IPv4 without waiting for a timeout. ::1 is in the local table,
    // which comes before every rule.
    const NetlinkRoute unreachable = unreachableDefault(AF_INET6, options_.table);
    NetlinkRule suppressRule;
    suppressRule.family = AF_INET6;
    suppressRule.priority = options_.suppressRulePriority;
    suppressRule.table = kMainTable;
    suppressRule.suppressPrefixLength = 0;
    NetlinkRule fwmarkRule;
    fwmarkRule.family = AF_INET6;
    fwmarkRule.priority = options_.fwmarkRulePriority;
    fwmarkRule.table = options_.table;
    fwmarkRule.invert = true;
    fwmarkRule.fwmark = options_.fwmark;
    try {
        netlink_.replaceRoute(unreachable);
        const auto existing = netlink_.rules(AF_INET6);
        for (const NetlinkRule& want : {suppressRule, fwmarkRule}) {
            const bool present = std::any_of(existing.begin(), existing.end(), [&](const NetlinkRule& r) {
                return r.priority == want.priority && r.table == want.table && r.action == FR_ACT_TO_TBL &&
                       r.invert == want.invert && r.fwmark == want.fwmark &&
                       r.suppressPrefixLength == want.suppressPrefixLength;
            });
            if (present) continue;
            for (int i = 0; i < kMaxDeletions && netlink_.deleteRule(want.priority, want.table, AF_INET6); ++i) {
            }
            netlink_.addRule(want);
        }
    } catch (const NetlinkError& e) {
        // A kernel without IPv6 has no IPv6 to leak.
        if (e.code() == EAFNOSUPPORT) {
            log("IPv6 is not available; no IPv6 rules needed");
            return;
        }
        throw;
    }
}

int LinuxTunnelHost::removeIPv6Block() {
    int removed = 0;
    try {
        for (int i = 0; i < kMaxDeletions && netlink_.deleteRule(options_.fwmarkRulePriority, options_.table, AF_INET6);
             ++i)
            ++removed;
        for (int i = 0; i < kMaxDeletions && netlink_.deleteRule(options_.suppressRulePriority, kMainTable, AF_INET6);
             ++i)
            ++removed;
        removed += netlink_.deleteRoutes([&](const NetlinkRoute& r) { return r.table == options_.table; }, AF_INET6);
    } catch (const NetlinkError& e) {
        if (e.code() != EAFNOSUPPORT) throw;
    }
    return removed;
}

void LinuxTunnelHost::applyDns(const TunnelNetworkSettings& settings) {
    if (options_.dnsMode == DnsMode::none) return;
    if (settings.dnsServers.empty()) {
        resolver_.clear();
        return;
    }
    resolver_.apply();
}

// ---------------------------------------------------------------- clear

void LinuxTunnelHost::removeRulesAndRoutes() {
    int rules = 0;
    for (int i = 0; i < kMaxDeletions && netlink_.deleteRule(options_.fwmarkRulePriority, options_.table); ++i) ++rules;
    for (int i = 0; i < kMaxDeletions && netlink_.deleteRule(options_.suppressRulePriority, kMainTable); ++i) ++rules;
    const int routes = netlink_.deleteRoutes([&](const NetlinkRoute& r) { return r.table == options_.table; });
    const int ipv6 = removeIPv6Block();
    if (rules > 0 || routes > 0 || ipv6 > 0)
        log("removed " + std::to_string(rules) + " policy rules and " + std::to_string(routes) + " routes of table " +
            std::to_string(options_.table) + ", and " + std::to_string(ipv6) + " IPv6 rules and routes");
}

std::optional<TunnelError> LinuxTunnelHost::clear() { return cleanup(); }

std::optional<TunnelError> LinuxTunnelHost::cleanup() {
    std::optional<TunnelError> first;
    try {
        removeRulesAndRoutes();
        if (const auto link = netlink_.link(options_.tunName)) {
            for (const auto& address : netlink_.addresses(link->index)) netlink_.deleteAddress(address);
            netlink_.setLink(link->index, std::nullopt, false);
        }
    } catch (const NetlinkError& e) {
        log("removing tunnel settings failed: " + std::string(e.what()));
        first = netlinkError(e);
    }
    try {
        resolver_.clear();
    } catch (const VantuError& e) {
        log("restoring the system resolver failed: " + e.message());
        if (!first) first = TunnelError::platform("dns", EIO, e.message());
    }
    skippedExcluded_.clear();
    return first;
}

void LinuxTunnelHost::blockRoutesAndRules() {
    // The unreachable default first, then whatever else the table holds
    // goes, then the rules: no moment in which the rules lead to an empty
    // table (which would send traffic on to the main table's default).
    const NetlinkRoute unreachable = unreachableDefault(AF_INET, options_.table);
    netlink_.replaceRoute(unreachable);
    netlink_.deleteRoutes([&](const NetlinkRoute& r) { return r.table == options_.table && !sameRoute(r, unreachable); });
    applyRules();
    applyIPv6Block(true);
}

std::optional<TunnelError> LinuxTunnelHost::block() {
    std::optional<TunnelError> first;
    try {
        blockRoutesAndRules();
        if (const auto link = netlink_.link(options_.tunName)) {
            for (const auto& address : netlink_.addresses(link->index)) netlink_.deleteAddress(address);
            netlink_.setLink(link->index, std::nullopt, false);
        }
        log("kill switch: traffic blocked (rules kept, table " + std::to_string(options_.table) +
            " unreachable) until an explicit stop");
    } catch (const NetlinkError& e) {
        log("blocking traffic failed: " + std::string(e.what()));
        first = netlinkError(e);
    }
    try {
        resolver_.clear();
    } catch (const VantuError& e) {
        log("restoring the system resolver failed: " + e.message());
        if (!first) first = TunnelError::platform("dns", EIO, e.message());
    }
    skippedExcluded_.clear();
    return first;
}

std::optional<TunnelError> LinuxTunnelHost::cleanupStale() {
    std::optional<TunnelError> first;
    try {
        if (options_.killSwitch) {
            blockRoutesAndRules();
        } else {
            removeRulesAndRoutes();
        }
    } catch (const NetlinkError& e) {
        log("removing stale tunnel settings failed: " + std::string(e.what()));
        first = netlinkError(e);
    }
    if (auto dns = cleanupStaleDns(); dns && !first) first = dns;
    return first;
}

std::optional<TunnelError> LinuxTunnelHost::cleanupStaleDns() {
    try {
        resolver_.restoreLeftover();
    } catch (const VantuError& e) {
        log("restoring the system resolver failed: " + e.message());
        return TunnelError::platform("dns", EIO, e.message());
    }
    return std::nullopt;
}

}  // namespace vantu

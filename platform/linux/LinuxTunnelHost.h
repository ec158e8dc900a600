#pragma once

// The tunnel host on Linux: applies the tunnel network settings to the TUN
// device and the routing policy, creates the outside (marked) sockets, and
// reports the default path.
//
// Routing scheme. Everything goes through a dedicated routing table and two
// policy rules:
//   suppressRulePriority:  from all lookup main suppress_prefixlength 0
//   fwmarkRulePriority:    not from all fwmark MARK lookup TABLE
//   table TABLE:           default dev TUN
//                          <server>/32 via <main table's gateway> dev <outside>
//                          <virtual DNS>/32 dev TUN
// The first rule keeps every specific route of the main table (the LAN,
// local subnets) in force while ignoring its default route; the second sends
// every unmarked packet to the tunnel table. The daemon's own sockets carry
// the mark (MarkedUDPSession, MarkedTCPConnection) and so use the main table
// as if the tunnel were not there. The server route in the tunnel table keeps
// unmarked traffic to the server outside as well.
//
// IPv6. The tunnel carries IPv4 only, so IPv6 must not leave by the main
// table's default route while it is up. The same two rules exist for IPv6,
// and the tunnel table's IPv6 part is one route: unreachable default. Link-
// local and other on-link IPv6 keep their specific main-table routes, and ::1
// the local table; everything else fails at once with ENETUNREACH, so
// applications fall back to IPv4 without a timeout.
//
// Kill switch (opt-in). The tunnel table gets "unreachable default metric
// 4294967295" beside the TUN's default; the TUN's wins while it exists. When
// the tunnel fails, the daemon removes the addresses and DNS settings but
// leaves the rules and unreachable defaults (block()), and the next start
// keeps them while it connects: traffic stays blocked until an explicit stop
// (SIGTERM, or `vantud --cleanup`).
//
// DNS. The settings name the tunnel address as DNS server, and the packet
// read loop answers every UDP query to port 53 whatever its destination. On
// Linux a packet to an address assigned to a local interface is delivered
// locally and never enters the TUN, so the system resolver pointed at the
// tunnel address would get no answer. The system resolver is therefore
// pointed at a virtual address that is assigned nowhere and routed into the
// TUN (virtualDnsAddress), through systemd-resolved when it runs and by
// rewriting resolv.conf (with a backup) otherwise. The settings record itself
// is left as it is.
//
// All netlink work happens synchronously on the calling thread (the queue);
// completions are posted to the queue afterwards.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/Netlink.h"
#include "platform/linux/ResolverConfig.h"

namespace vantu {

struct LinuxTunnelHostOptions {
    std::string tunName = "vantu0";             // the device TunPacketFlow created (its name())
    uint32_t table = 7373;                      // the tunnel's routing table, unused by common software
    uint32_t fwmark = 7373;                     // mark of the daemon's own sockets; 0 = none
    uint32_t suppressRulePriority = 7372;       // must come before the fwmark rule
    uint32_t fwmarkRulePriority = 7373;
    std::string virtualDnsAddress = "100.100.100.100";
    DnsMode dnsMode = DnsMode::automatic;
    std::string resolvConfPath = "/etc/resolv.conf";
    // Where the resolvconf mode keeps the original; empty: beside the file.
    // The systemd unit puts it in the state directory, as /etc is read-only
    // there and only resolv.conf itself is writable.
    std::string resolvConfBackupPath;
    // net.ipv4.conf.all.src_valid_mark=1, so that reverse-path filtering of
    // replies to marked sockets looks at the routes those sockets use.
    bool setSrcValidMark = true;
    // The IPv6 rules and unreachable default described above.
    bool blockIPv6 = true;
    // Kill switch: the tunnel table also holds an unreachable IPv4 default
    // behind the TUN's (a higher metric), so that while the rules exist no
    // packet leaves outside the tunnel even with the TUN gone (a crashed or
    // restarting daemon); block() keeps the rules after a failure.
    bool killSwitch = false;
};

class LinuxTunnelHost final : public TunnelHost {
public:
    // `providerConfiguration` is what protocolConfiguration() hands the
    // provider (the daemon loads it from its configuration file). `log` may
    // be null. Opens a netlink socket; throws NetlinkError if that fails.
    // Nothing is changed on the system until settings are applied.
    LinuxTunnelHost(AsioWorkQueue& queue, LinuxTunnelHostOptions options,
                    std::optional<ProviderConfiguration> providerConfiguration, SystemLog* log = nullptr);
    ~LinuxTunnelHost() override;

    // The daemon's reaction to cancelTunnelWithError: it should stop the
    // provider (reason 2). Runs on the queue.
    void setCancelHandler(std::function<void(const TunnelError&)> handler) { cancelHandler_ = std::move(handler); }

    std::optional<ProtocolConfiguration> protocolConfiguration() const override;
    void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings> settings, ErrorCompletion completion) override;
    void cancelTunnelWithError(const TunnelError& error) override;
    std::shared_ptr<UDPSession> createUDPSession(const std::string& host, const std::string& port) override;
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string& host, const std::string& port) override;
    // From the main table's default route (lowest metric): satisfied when its
    // interface is up with carrier; unsatisfied without a default route or
    // with the interface down. Identity: "<ifname> via <gateway> src <addr>".
    // None when netlink cannot be asked.
    std::optional<NetworkPath> defaultPath() const override;
    uint32_t outsideSocketMark() const override { return options_.fwmark; }

    // The synchronous forms of setTunnelNetworkSettings: apply replaces
    // whatever an earlier apply set; clear removes everything.
    std::optional<TunnelError> apply(const TunnelNetworkSettings& settings);
    std::optional<TunnelError> clear();

    // Removes everything this daemon adds, whether or not this process added
    // it: rules at our priorities, routes in our table, the tunnel's
    // addresses (link down), DNS settings; restores a resolv.conf backup.
    std::optional<TunnelError> cleanup();
    // At start, before any setting is applied: removes what a crashed run
    // left (rules at our priorities, routes in our table, a resolv.conf
    // backup). The backup is restored whatever this run's DNS mode, so that
    // a switch to resolved or to "none" after a crash does not leave the
    // system resolver pointed at an address nothing answers on.
    std::optional<TunnelError> cleanupStale();
    // The DNS part of cleanupStale on its own.
    std::optional<TunnelError> cleanupStaleDns();
    // The kill switch's state between tunnels: the rules stay (or are put in
    // place) and the tunnel table holds only unreachable defaults, IPv4 and
    // IPv6, so that unmarked traffic fails at once while the daemon's marked
    // sockets still reach the server. The tunnel's addresses and DNS
    // settings go as in cleanup(). With killSwitch, cleanupStale() ends here
    // instead of removing the rules.
    std::optional<TunnelError> block();

    const LinuxTunnelHostOptions& options() const { return options_; }
    // Which mechanism the last apply used for DNS (none before).
    DnsMode appliedDnsMode() const { return resolver_.applied(); }
    // The server route destinations the last apply could not place (no
    // route to them in the main table).
    const std::vector<std::string>& skippedExcludedRoutes() const { return skippedExcluded_; }

private:
    void log(const std::string& line) const;
    void applyAddresses(int ifindex, const TunnelNetworkSettings& settings);
    void applyRoutes(int ifindex, const TunnelNetworkSettings& settings);
    void applyRules();
    void applyIPv6Block(bool always = false);
    void blockRoutesAndRules();
    int removeIPv6Block();  // how many rules and routes it removed
    void applyDns(const TunnelNetworkSettings& settings);
    void removeRulesAndRoutes();
    std::optional<NetlinkRoute> outsideRouteTo(uint32_t address, int tunIndex);

    AsioWorkQueue& queue_;
    LinuxTunnelHostOptions options_;
    std::optional<ProviderConfiguration> providerConfiguration_;
    SystemLog* log_;
    mutable Netlink netlink_;
    std::function<void(const TunnelError&)> cancelHandler_;
    SystemResolver resolver_;
    std::vector<std::string> skippedExcluded_;
};

}  // namespace vantu

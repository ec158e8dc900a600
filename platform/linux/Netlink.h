#pragma once

// A thin, synchronous rtnetlink client over libnl for what the tunnel host
// configures: links, IPv4 addresses, routes and policy rules (IPv4, and IPv6
// for the rules and routes that keep IPv6 traffic from leaving outside).
// Objects are returned as plain records so that the callers (and tests) need
// not know libnl. Every request waits for the kernel's answer.
//
// Policy rules use libnl's core message API: libnl-route cannot express the
// inverted match ("not fwmark") nor suppress_prefixlength.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct nl_msg;
struct nl_sock;
struct sockaddr_nl;
struct nlmsgerr;

namespace vantu {

// A refused or failed netlink request. `code` is the kernel's errno value
// (EEXIST, ENOENT, EPERM, ...), or EIO when libnl failed on its own.
class NetlinkError : public std::runtime_error {
public:
    NetlinkError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct NetlinkLink {
    int index = 0;
    std::string name;
    unsigned mtu = 0;
    unsigned flags = 0;  // IFF_* (IFF_UP, IFF_LOWER_UP, IFF_RUNNING, ...)
    bool isUp() const;
    bool hasCarrier() const;  // up with the lower layer up
};

struct NetlinkAddress {
    int ifindex = 0;
    std::string address;  // dotted quad
    int prefixLength = 0;
    bool operator==(const NetlinkAddress&) const = default;
};

struct NetlinkRoute {
    uint8_t family = 2;        // AF_INET, or AF_INET6 (10)
    uint32_t table = 254;      // RT_TABLE_MAIN
    std::string destination = "0.0.0.0";
    int prefixLength = 0;
    std::string gateway;       // empty: directly on the link
    int oif = 0;               // output interface index
    std::string preferredSource;  // empty when none
    uint32_t metric = 0;
    uint8_t type = 1;          // RTN_UNICAST; RTN_UNREACHABLE (7) has no next hop
    uint8_t scope = 0;         // RT_SCOPE_UNIVERSE
    uint8_t protocol = 4;      // RTPROT_STATIC
};

struct NetlinkRule {
    uint8_t family = 2;        // AF_INET, or AF_INET6 (10)
    uint32_t priority = 0;
    uint32_t table = 0;
    uint8_t action = 1;        // FR_ACT_TO_TBL
    bool invert = false;       // FIB_RULE_INVERT: "not ..."
    uint32_t fwmark = 0;       // 0: no mark match
    uint32_t fwmask = 0;       // 0: kernel default (all bits) when a mark is set
    int suppressPrefixLength = -1;  // -1: not set
};

class Netlink {
public:
    // Connects a NETLINK_ROUTE socket in the caller's network namespace.
    // Throws NetlinkError.
    Netlink();
    ~Netlink();
    Netlink(const Netlink&) = delete;
    Netlink& operator=(const Netlink&) = delete;

    std::optional<NetlinkLink> link(const std::string& name);
    std::optional<NetlinkLink> link(int index);
    // Sets the MTU (when given) and the administrative state of a link.
    void setLink(int index, std::optional<unsigned> mtu, bool up);

    // IPv4 addresses, of one link or (ifindex 0) of all links.
    std::vector<NetlinkAddress> addresses(int ifindex = 0);
    void addAddress(const NetlinkAddress& address);
    // Returns false when the address was not there.
    bool deleteAddress(const NetlinkAddress& address);

    // Routes of one family and table (0: of every table). A route through a
    // nexthop object carries that object's interface and gateway.
    std::vector<NetlinkRoute> routes(uint32_t table, uint8_t family = 2);
    // Adds or replaces the route with the same table, destination and metric.
    void replaceRoute(const NetlinkRoute& route);
    // Deletes every route of the family for which `match` holds; returns how many.
    int deleteRoutes(const std::function<bool(const NetlinkRoute&)>& match, uint8_t family = 2);

    // Policy rules of one family, in priority order.
    std::vector<NetlinkRule> rules(uint8_t family = 2);
    void addRule(const NetlinkRule& rule);
    // Deletes one rule with this priority and table; false when none exists.
    bool deleteRule(uint32_t priority, uint32_t table, uint8_t family = 2);

private:
    [[noreturn]] void fail(int nlError, const std::string& what);
    // One dump request (a message type with its fixed header), each answer
    // handed to `parser`.
    void dump(int type, const void* header, size_t size, int (*parser)(nl_msg*, void*), void* arg,
              const std::string& what);
    void resolveNexthopObjects(std::vector<NetlinkRoute>& routes, uint8_t family);
    void resetError() { lastErrno_ = 0; }

    static int errorHandler(::sockaddr_nl*, ::nlmsgerr* error, void* arg);

    nl_sock* sock_ = nullptr;
    int lastErrno_ = 0;
};

// Dotted quad to and from host-order values; prefix length to netmask and
// back. parseIPv4 returns nullopt for anything that is not a dotted quad.
std::optional<uint32_t> parseIPv4(const std::string& text);
std::string formatIPv4(uint32_t hostOrder);
std::optional<int> prefixLengthOfMask(const std::string& mask);

}  // namespace vantu

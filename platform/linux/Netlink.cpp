#include "platform/linux/Netlink.h"

#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/if.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>

#include <netlink/addr.h>
#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/handlers.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/nexthop.h>
#include <netlink/route/route.h>
#include <netlink/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>

namespace vantu {

namespace {

// Owning handles for libnl objects.
struct CacheFree {
    void operator()(nl_cache* c) const { nl_cache_free(c); }
};
struct LinkPut {
    void operator()(rtnl_link* l) const { rtnl_link_put(l); }
};
struct AddrPut {
    void operator()(rtnl_addr* a) const { rtnl_addr_put(a); }
};
struct RoutePut {
    void operator()(rtnl_route* r) const { rtnl_route_put(r); }
};
struct NlAddrPut {
    void operator()(nl_addr* a) const { nl_addr_put(a); }
};
struct MsgFree {
    void operator()(nl_msg* m) const { nlmsg_free(m); }
};
struct CbPut {
    void operator()(nl_cb* c) const { nl_cb_put(c); }
};
using CachePtr = std::unique_ptr<nl_cache, CacheFree>;
using LinkPtr = std::unique_ptr<rtnl_link, LinkPut>;
using AddrPtr = std::unique_ptr<rtnl_addr, AddrPut>;
using RoutePtr = std::unique_ptr<rtnl_route, RoutePut>;
using NlAddrPtr = std::unique_ptr<nl_addr, NlAddrPut>;
using MsgPtr = std::unique_ptr<nl_msg, MsgFree>;
using CbPtr = std::unique_ptr<nl_cb, CbPut>;

// libnl's own error codes for requests that failed before the kernel answered.
int errnoOfNlError(int nlError) {
    switch (-std::abs(nlError)) {
        case -NLE_EXIST: return EEXIST;
        case -NLE_OBJ_NOTFOUND: return ENOENT;
        case -NLE_PERM: return EPERM;
        case -NLE_NOACCESS: return EACCES;
        case -NLE_INVAL: return EINVAL;
        case -NLE_NODEV: return ENODEV;
        case -NLE_BUSY: return EBUSY;
        case -NLE_NOMEM: return ENOMEM;
        case -NLE_AGAIN: return EAGAIN;
        case -NLE_RANGE: return ERANGE;
        case -NLE_OPNOTSUPP: return EOPNOTSUPP;
        case -NLE_NOADDR: return EADDRNOTAVAIL;
        case -NLE_AF_NOSUPPORT: return EAFNOSUPPORT;
        default: return EIO;
    }
}

NlAddrPtr makeAddr(const std::string& text, int prefixLength) {
    if (text.find(':') != std::string::npos) {
        in6_addr v6{};
        if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) throw NetlinkError(EINVAL, "not an IPv6 address: " + text);
        NlAddrPtr addr(nl_addr_build(AF_INET6, &v6, sizeof v6));
        if (!addr) throw NetlinkError(ENOMEM, "out of memory");
        nl_addr_set_prefixlen(addr.get(), prefixLength);
        return addr;
    }
    auto value = parseIPv4(text);
    if (!value) throw NetlinkError(EINVAL, "not an IPv4 address: " + text);
    const uint32_t network = htonl(*value);
    NlAddrPtr addr(nl_addr_build(AF_INET, &network, sizeof network));
    if (!addr) throw NetlinkError(ENOMEM, "out of memory");
    nl_addr_set_prefixlen(addr.get(), prefixLength);
    return addr;
}

std::string textOf(nl_addr* addr) {
    if (addr && nl_addr_get_family(addr) == AF_INET6 && nl_addr_get_len(addr) == 16) {
        char buffer[INET6_ADDRSTRLEN];
        return inet_ntop(AF_INET6, nl_addr_get_binary_addr(addr), buffer, sizeof buffer) ? buffer : "";
    }
    if (!addr || nl_addr_get_family(addr) != AF_INET || nl_addr_get_len(addr) != 4) return "";
    uint32_t network;
    std::memcpy(&network, nl_addr_get_binary_addr(addr), 4);
    return formatIPv4(ntohl(network));
}

NetlinkLink linkRecord(rtnl_link* link) {
    NetlinkLink out;
    out.index = rtnl_link_get_ifindex(link);
    const char* name = rtnl_link_get_name(link);
    out.name = name ? name : "";
    out.mtu = rtnl_link_get_mtu(link);
    out.flags = rtnl_link_get_flags(link);
    return out;
}

NetlinkRoute routeRecord(rtnl_route* route) {
    NetlinkRoute out;
    out.family = rtnl_route_get_family(route);
    out.table = rtnl_route_get_table(route);
    nl_addr* dst = rtnl_route_get_dst(route);
    const bool v6 = out.family == AF_INET6;
    const std::string any = v6 ? "::" : "0.0.0.0";
    out.destination = dst && nl_addr_get_len(dst) == (v6 ? 16u : 4u) ? textOf(dst) : any;
    if (out.destination.empty()) out.destination = any;
    out.prefixLength = dst ? static_cast<int>(nl_addr_get_prefixlen(dst)) : 0;
    out.preferredSource = textOf(rtnl_route_get_pref_src(route));
    out.metric = rtnl_route_get_priority(route);
    out.type = rtnl_route_get_type(route);
    out.scope = rtnl_route_get_scope(route);
    out.protocol = rtnl_route_get_protocol(route);
    if (rtnl_route_get_nnexthops(route) > 0) {
        rtnl_nexthop* nh = rtnl_route_nexthop_n(route, 0);
        out.oif = rtnl_route_nh_get_ifindex(nh);
        out.gateway = textOf(rtnl_route_nh_get_gateway(nh));
    }
    return out;
}

struct RuleDump {
    uint8_t family = AF_INET;
    std::vector<NetlinkRule> rules;
};

int ruleParser(nl_msg* msg, void* arg) {
    auto* dump = static_cast<RuleDump*>(arg);
    nlmsghdr* hdr = nlmsg_hdr(msg);
    if (hdr->nlmsg_type != RTM_NEWRULE) return NL_OK;
    if (!nlmsg_valid_hdr(hdr, sizeof(fib_rule_hdr))) return NL_OK;
    const auto* frh = static_cast<const fib_rule_hdr*>(nlmsg_data(hdr));
    if (frh->family != dump->family) return NL_OK;
    nlattr* tb[FRA_MAX + 1];
    if (nlmsg_parse(hdr, sizeof(fib_rule_hdr), tb, FRA_MAX, nullptr) < 0) return NL_OK;
    NetlinkRule rule;
    rule.family = frh->family;
    rule.table = frh->table;
    rule.action = frh->action;
    rule.invert = (frh->flags & FIB_RULE_INVERT) != 0;
    if (tb[FRA_TABLE]) rule.table = nla_get_u32(tb[FRA_TABLE]);
    if (tb[FRA_PRIORITY]) rule.priority = nla_get_u32(tb[FRA_PRIORITY]);
    if (tb[FRA_FWMARK]) rule.fwmark = nla_get_u32(tb[FRA_FWMARK]);
    if (tb[FRA_FWMASK]) rule.fwmask = nla_get_u32(tb[FRA_FWMASK]);
    if (tb[FRA_SUPPRESS_PREFIXLEN]) {
        const auto value = static_cast<int32_t>(nla_get_u32(tb[FRA_SUPPRESS_PREFIXLEN]));
        rule.suppressPrefixLength = value < 0 ? -1 : value;
    }
    dump->rules.push_back(rule);
    return NL_OK;
}

// An address attribute (4 or 16 bytes) as text; empty for anything else.
std::string addressText(const nlattr* attr) {
    if (!attr) return "";
    char buffer[INET6_ADDRSTRLEN];
    const int length = nla_len(attr);
    if (length == 4) {
        uint32_t network;
        std::memcpy(&network, nla_data(attr), 4);
        return formatIPv4(ntohl(network));
    }
    if (length == 16) return inet_ntop(AF_INET6, nla_data(attr), buffer, sizeof buffer) ? buffer : "";
    return "";
}

// Which nexthop object each route of a dump uses. libnl 3.7 reads routes
// without their RTA_NH_ID, so the dump is read here once more, raw.
using RouteKey = std::tuple<uint32_t, std::string, int, uint32_t>;  // table, destination, prefix, metric
struct RouteNexthopDump {
    uint8_t family = AF_INET;
    std::map<RouteKey, uint32_t> ids;
};

int routeNexthopParser(nl_msg* msg, void* arg) {
    auto* dump = static_cast<RouteNexthopDump*>(arg);
    nlmsghdr* hdr = nlmsg_hdr(msg);
    if (hdr->nlmsg_type != RTM_NEWROUTE || !nlmsg_valid_hdr(hdr, sizeof(rtmsg))) return NL_OK;
    const auto* rtm = static_cast<const rtmsg*>(nlmsg_data(hdr));
    if (rtm->rtm_family != dump->family) return NL_OK;
    nlattr* tb[RTA_MAX + 1];
    if (nlmsg_parse(hdr, sizeof(rtmsg), tb, RTA_MAX, nullptr) < 0 || !tb[RTA_NH_ID]) return NL_OK;
    std::string destination = addressText(tb[RTA_DST]);
    if (destination.empty()) destination = rtm->rtm_family == AF_INET6 ? "::" : "0.0.0.0";
    const uint32_t table = tb[RTA_TABLE] ? nla_get_u32(tb[RTA_TABLE]) : rtm->rtm_table;
    const uint32_t metric = tb[RTA_PRIORITY] ? nla_get_u32(tb[RTA_PRIORITY]) : 0;
    dump->ids[{table, destination, rtm->rtm_dst_len, metric}] = nla_get_u32(tb[RTA_NH_ID]);
    return NL_OK;
}

struct Nexthop {
    int oif = 0;
    std::string gateway;
    uint32_t firstMember = 0;  // of a group; 0 for a plain nexthop
};

int nexthopParser(nl_msg* msg, void* arg) {
    auto* nexthops = static_cast<std::map<uint32_t, Nexthop>*>(arg);
    nlmsghdr* hdr = nlmsg_hdr(msg);
    if (hdr->nlmsg_type != RTM_NEWNEXTHOP || !nlmsg_valid_hdr(hdr, sizeof(nhmsg))) return NL_OK;
    nlattr* tb[NHA_MAX + 1];
    if (nlmsg_parse(hdr, sizeof(nhmsg), tb, NHA_MAX, nullptr) < 0 || !tb[NHA_ID]) return NL_OK;
    Nexthop nexthop;
    if (tb[NHA_OIF]) nexthop.oif = static_cast<int>(nla_get_u32(tb[NHA_OIF]));
    nexthop.gateway = addressText(tb[NHA_GATEWAY]);
    if (tb[NHA_GROUP] && nla_len(tb[NHA_GROUP]) >= static_cast<int>(sizeof(nexthop_grp))) {
        nexthop_grp first;
        std::memcpy(&first, nla_data(tb[NHA_GROUP]), sizeof first);
        nexthop.firstMember = first.id;
    }
    (*nexthops)[nla_get_u32(tb[NHA_ID])] = nexthop;
    return NL_OK;
}

std::string ruleText(const NetlinkRule& rule) {
    std::string text = std::string(rule.family == AF_INET6 ? "IPv6 " : "") + "rule priority " +
                       std::to_string(rule.priority);
    if (rule.fwmark) text += std::string(rule.invert ? " not" : "") + " fwmark " + std::to_string(rule.fwmark);
    text += " table " + std::to_string(rule.table);
    if (rule.suppressPrefixLength >= 0) text += " suppress_prefixlength " + std::to_string(rule.suppressPrefixLength);
    return text;
}

std::string routeText(const NetlinkRoute& route) {
    std::string text = std::string(route.type == RTN_UNREACHABLE ? "unreachable " : "") + route.destination + "/" +
                       std::to_string(route.prefixLength);
    if (!route.gateway.empty()) text += " via " + route.gateway;
    text += " dev #" + std::to_string(route.oif) + " table " + std::to_string(route.table);
    return text;
}

}  // namespace

// ---------------------------------------------------------------- helpers

bool NetlinkLink::isUp() const { return (flags & IFF_UP) != 0; }
bool NetlinkLink::hasCarrier() const { return (flags & IFF_UP) && (flags & (IFF_LOWER_UP | IFF_RUNNING)); }

std::optional<uint32_t> parseIPv4(const std::string& text) {
    in_addr addr{};
    if (text.empty() || inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
    return ntohl(addr.s_addr);
}

std::string formatIPv4(uint32_t hostOrder) {
    in_addr addr{htonl(hostOrder)};
    char buffer[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &addr, buffer, sizeof buffer) ? buffer : "";
}

std::optional<int> prefixLengthOfMask(const std::string& mask) {
    auto value = parseIPv4(mask);
    if (!value) return std::nullopt;
    const uint32_t m = *value;
    const uint32_t inverted = ~m;
    if ((inverted & (inverted + 1)) != 0) return std::nullopt;  // not contiguous
    return __builtin_popcount(m);
}

// ---------------------------------------------------------------- socket

int Netlink::errorHandler(::sockaddr_nl*, ::nlmsgerr* error, void* arg) {
    static_cast<Netlink*>(arg)->lastErrno_ = -error->error;
    return NL_STOP;  // libnl then returns its translation of the same error
}

Netlink::Netlink() {
    sock_ = nl_socket_alloc();
    if (!sock_) throw NetlinkError(ENOMEM, "netlink: cannot allocate socket");
    const int err = nl_connect(sock_, NETLINK_ROUTE);
    if (err < 0) {
        nl_socket_free(sock_);
        sock_ = nullptr;
        throw NetlinkError(errnoOfNlError(err), std::string("netlink: cannot connect: ") + nl_geterror(err));
    }
    nl_socket_modify_err_cb(sock_, NL_CB_CUSTOM, &Netlink::errorHandler, this);
}

Netlink::~Netlink() {
    if (sock_) nl_socket_free(sock_);
}

void Netlink::fail(int nlError, const std::string& what) {
    const int code = lastErrno_ != 0 ? lastErrno_ : errnoOfNlError(nlError);
    const std::string reason = lastErrno_ != 0 ? std::strerror(lastErrno_) : nl_geterror(nlError);
    throw NetlinkError(code, "netlink: " + what + ": " + reason);
}

// ---------------------------------------------------------------- links

std::optional<NetlinkLink> Netlink::link(const std::string& name) {
    resetError();
    rtnl_link* raw = nullptr;
    const int err = rtnl_link_get_kernel(sock_, 0, name.c_str(), &raw);
    LinkPtr link(raw);
    if (err < 0) {
        if (lastErrno_ == ENODEV || err == -NLE_OBJ_NOTFOUND || err == -NLE_NODEV) return std::nullopt;
        fail(err, "get link " + name);
    }
    return linkRecord(link.get());
}

std::optional<NetlinkLink> Netlink::link(int index) {
    // Index 0 is no link. A route can leave its interface to a nexthop
    // object ("default nhid 7") and then carries none; a request for link 0
    // would ask the kernel for nothing in particular. Callers hear the same
    // error the kernel would give, without the request.
    if (index <= 0) throw NetlinkError(EINVAL, "netlink: get link #" + std::to_string(index) + ": no interface index");
    resetError();
    rtnl_link* raw = nullptr;
    const int err = rtnl_link_get_kernel(sock_, index, nullptr, &raw);
    LinkPtr link(raw);
    if (err < 0) {
        if (lastErrno_ == ENODEV || err == -NLE_OBJ_NOTFOUND || err == -NLE_NODEV) return std::nullopt;
        fail(err, "get link #" + std::to_string(index));
    }
    return linkRecord(link.get());
}

void Netlink::setLink(int index, std::optional<unsigned> mtu, bool up) {
    resetError();
    rtnl_link* raw = nullptr;
    int err = rtnl_link_get_kernel(sock_, index, nullptr, &raw);
    LinkPtr current(raw);
    if (err < 0) fail(err, "get link #" + std::to_string(index));
    LinkPtr change(rtnl_link_alloc());
    if (!change) throw NetlinkError(ENOMEM, "netlink: out of memory");
    if (mtu) rtnl_link_set_mtu(change.get(), *mtu);
    if (up)
        rtnl_link_set_flags(change.get(), IFF_UP);
    else
        rtnl_link_unset_flags(change.get(), IFF_UP);
    resetError();
    err = rtnl_link_change(sock_, current.get(), change.get(), 0);
    if (err < 0)
        fail(err, "set link " + linkRecord(current.get()).name + (mtu ? " mtu " + std::to_string(*mtu) : "") +
                      (up ? " up" : " down"));
}

// ---------------------------------------------------------------- addresses

std::vector<NetlinkAddress> Netlink::addresses(int ifindex) {
    resetError();
    nl_cache* raw = nullptr;
    const int err = rtnl_addr_alloc_cache(sock_, &raw);
    CachePtr cache(raw);
    if (err < 0) fail(err, "dump addresses");
    std::vector<NetlinkAddress> out;
    for (nl_object* obj = nl_cache_get_first(cache.get()); obj; obj = nl_cache_get_next(obj)) {
        auto* addr = reinterpret_cast<rtnl_addr*>(obj);
        if (rtnl_addr_get_family(addr) != AF_INET) continue;
        if (ifindex != 0 && rtnl_addr_get_ifindex(addr) != ifindex) continue;
        out.push_back({rtnl_addr_get_ifindex(addr), textOf(rtnl_addr_get_local(addr)), rtnl_addr_get_prefixlen(addr)});
    }
    return out;
}

void Netlink::addAddress(const NetlinkAddress& address) {
    AddrPtr addr(rtnl_addr_alloc());
    if (!addr) throw NetlinkError(ENOMEM, "netlink: out of memory");
    auto local = makeAddr(address.address, address.prefixLength);
    rtnl_addr_set_ifindex(addr.get(), address.ifindex);
    rtnl_addr_set_family(addr.get(), AF_INET);
    rtnl_addr_set_local(addr.get(), local.get());
    rtnl_addr_set_prefixlen(addr.get(), address.prefixLength);
    resetError();
    const int err = rtnl_addr_add(sock_, addr.get(), NLM_F_REPLACE);
    if (err < 0)
        fail(err, "add address " + address.address + "/" + std::to_string(address.prefixLength) + " to link #" +
                      std::to_string(address.ifindex));
}

bool Netlink::deleteAddress(const NetlinkAddress& address) {
    AddrPtr addr(rtnl_addr_alloc());
    if (!addr) throw NetlinkError(ENOMEM, "netlink: out of memory");
    auto local = makeAddr(address.address, address.prefixLength);
    rtnl_addr_set_ifindex(addr.get(), address.ifindex);
    rtnl_addr_set_family(addr.get(), AF_INET);
    rtnl_addr_set_local(addr.get(), local.get());
    rtnl_addr_set_prefixlen(addr.get(), address.prefixLength);
    resetError();
    const int err = rtnl_addr_delete(sock_, addr.get(), 0);
    if (err < 0) {
        if (lastErrno_ == EADDRNOTAVAIL || lastErrno_ == ENODEV || lastErrno_ == ENOENT) return false;
        fail(err, "delete address " + address.address + "/" + std::to_string(address.prefixLength));
    }
    return true;
}

// ---------------------------------------------------------------- routes

std::vector<NetlinkRoute> Netlink::routes(uint32_t table, uint8_t family) {
    resetError();
    nl_cache* raw = nullptr;
    const int err = rtnl_route_alloc_cache(sock_, family, 0, &raw);
    CachePtr cache(raw);
    if (err < 0) fail(err, "dump routes");
    std::vector<NetlinkRoute> out;
    for (nl_object* obj = nl_cache_get_first(cache.get()); obj; obj = nl_cache_get_next(obj)) {
        auto* route = reinterpret_cast<rtnl_route*>(obj);
        if (table != 0 && rtnl_route_get_table(route) != table) continue;
        out.push_back(routeRecord(route));
    }
    if (std::any_of(out.begin(), out.end(), [](const NetlinkRoute& r) { return r.type == RTN_UNICAST && r.oif == 0; }))
        resolveNexthopObjects(out, family);
    return out;
}

// A route that leaves its next hop to a nexthop object ("default nhid 7")
// comes without interface and gateway when the kernel does not repeat them
// in the route (nexthop_compat_mode=0). They are
// taken from the object, or from the first member of a group: that is where
// the route leads, which is what the callers want to know. A kernel without
// nexthop objects, or a dump that fails, leaves the route as it was.
void Netlink::resolveNexthopObjects(std::vector<NetlinkRoute>& routes, uint8_t family) {
    RouteNexthopDump uses;
    uses.family = family;
    std::map<uint32_t, Nexthop> nexthops;
    try {
        rtmsg routeRequest{};
        routeRequest.rtm_family = family;
        dump(RTM_GETROUTE, &routeRequest, sizeof routeRequest, routeNexthopParser, &uses, "dump routes");
        if (uses.ids.empty()) return;
        nhmsg nexthopRequest{};
        nexthopRequest.nh_family = AF_UNSPEC;
        dump(RTM_GETNEXTHOP, &nexthopRequest, sizeof nexthopRequest, nexthopParser, &nexthops, "dump nexthops");
    } catch (const NetlinkError&) {
        return;
    }
    for (auto& route : routes) {
        if (route.type != RTN_UNICAST || route.oif != 0) continue;
        const auto use = uses.ids.find({route.table, route.destination, route.prefixLength, route.metric});
        if (use == uses.ids.end()) continue;
        auto found = nexthops.find(use->second);
        if (found != nexthops.end() && found->second.firstMember != 0) found = nexthops.find(found->second.firstMember);
        if (found == nexthops.end()) continue;
        route.oif = found->second.oif;
        route.gateway = found->second.gateway;
    }
}

void Netlink::replaceRoute(const NetlinkRoute& want) {
    RoutePtr route(rtnl_route_alloc());
    if (!route) throw NetlinkError(ENOMEM, "netlink: out of memory");
    auto dst = makeAddr(want.destination, want.prefixLength);
    rtnl_route_set_family(route.get(), want.family);
    rtnl_route_set_table(route.get(), want.table);
    rtnl_route_set_dst(route.get(), dst.get());
    rtnl_route_set_type(route.get(), want.type);
    rtnl_route_set_protocol(route.get(), want.protocol);
    if (want.type != RTN_UNICAST) {
        // An unreachable (or blackhole, prohibit) route has no next hop: the
        // kernel answers the sender at once instead of sending anything.
        rtnl_route_set_scope(route.get(), RT_SCOPE_UNIVERSE);
        if (want.metric) rtnl_route_set_priority(route.get(), want.metric);
        resetError();
        const int err = rtnl_route_add(sock_, route.get(), NLM_F_REPLACE);
        if (err < 0) fail(err, "add route " + routeText(want));
        return;
    }
    rtnl_route_set_scope(route.get(), want.gateway.empty() ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE);
    if (want.metric) rtnl_route_set_priority(route.get(), want.metric);
    if (!want.preferredSource.empty()) {
        auto src = makeAddr(want.preferredSource, 32);
        rtnl_route_set_pref_src(route.get(), src.get());
    }
    rtnl_nexthop* nh = rtnl_route_nh_alloc();
    if (!nh) throw NetlinkError(ENOMEM, "netlink: out of memory");
    rtnl_route_nh_set_ifindex(nh, want.oif);
    if (!want.gateway.empty()) {
        auto gw = makeAddr(want.gateway, 32);
        rtnl_route_nh_set_gateway(nh, gw.get());
    }
    rtnl_route_add_nexthop(route.get(), nh);  // the route owns it now
    resetError();
    const int err = rtnl_route_add(sock_, route.get(), NLM_F_REPLACE);
    if (err < 0) fail(err, "add route " + routeText(want));
}

int Netlink::deleteRoutes(const std::function<bool(const NetlinkRoute&)>& match, uint8_t family) {
    resetError();
    nl_cache* raw = nullptr;
    int err = rtnl_route_alloc_cache(sock_, family, 0, &raw);
    CachePtr cache(raw);
    if (err < 0) fail(err, "dump routes");
    int deleted = 0;
    for (nl_object* obj = nl_cache_get_first(cache.get()); obj; obj = nl_cache_get_next(obj)) {
        auto* route = reinterpret_cast<rtnl_route*>(obj);
        const NetlinkRoute record = routeRecord(route);
        if (!match(record)) continue;
        resetError();
        err = rtnl_route_delete(sock_, route, 0);
        if (err < 0) {
            if (lastErrno_ == ESRCH || lastErrno_ == ENOENT) continue;  // already gone with its link
            fail(err, "delete route " + routeText(record));
        }
        ++deleted;
    }
    return deleted;
}

// ---------------------------------------------------------------- rules

std::vector<NetlinkRule> Netlink::rules(uint8_t family) {
    fib_rule_hdr request{};
    request.family = family;
    RuleDump dump;
    dump.family = family;
    this->dump(RTM_GETRULE, &request, sizeof request, ruleParser, &dump, "dump rules");
    std::stable_sort(dump.rules.begin(), dump.rules.end(),
                     [](const NetlinkRule& a, const NetlinkRule& b) { return a.priority < b.priority; });
    return dump.rules;
}

void Netlink::dump(int type, const void* header, size_t size, int (*parser)(nl_msg*, void*), void* arg,
                   const std::string& what) {
    resetError();
    int err = nl_send_simple(sock_, type, NLM_F_DUMP, const_cast<void*>(header), size);
    if (err < 0) fail(err, what);
    nl_cb* base = nl_socket_get_cb(sock_);
    CbPtr cb(nl_cb_clone(base));
    nl_cb_put(base);
    if (!cb) throw NetlinkError(ENOMEM, "netlink: out of memory");
    nl_cb_set(cb.get(), NL_CB_VALID, NL_CB_CUSTOM, parser, arg);
    err = nl_recvmsgs(sock_, cb.get());
    if (err < 0) fail(err, what);
}

void Netlink::addRule(const NetlinkRule& rule) {
    MsgPtr msg(nlmsg_alloc_simple(RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL));
    if (!msg) throw NetlinkError(ENOMEM, "netlink: out of memory");
    fib_rule_hdr frh{};
    frh.family = rule.family;
    frh.action = rule.action;
    frh.table = rule.table < 256 ? static_cast<uint8_t>(rule.table) : static_cast<uint8_t>(RT_TABLE_UNSPEC);
    if (rule.invert) frh.flags |= FIB_RULE_INVERT;
    if (nlmsg_append(msg.get(), &frh, sizeof frh, NLMSG_ALIGNTO) < 0 ||
        nla_put_u32(msg.get(), FRA_TABLE, rule.table) < 0 ||
        nla_put_u32(msg.get(), FRA_PRIORITY, rule.priority) < 0 ||
        (rule.fwmark && nla_put_u32(msg.get(), FRA_FWMARK, rule.fwmark) < 0) ||
        (rule.fwmark && rule.fwmask && nla_put_u32(msg.get(), FRA_FWMASK, rule.fwmask) < 0) ||
        (rule.suppressPrefixLength >= 0 &&
         nla_put_u32(msg.get(), FRA_SUPPRESS_PREFIXLEN, static_cast<uint32_t>(rule.suppressPrefixLength)) < 0))
        throw NetlinkError(ENOMEM, "netlink: cannot build " + ruleText(rule));
    resetError();
    int err = nl_send_auto(sock_, msg.get());
    if (err >= 0) err = nl_wait_for_ack(sock_);
    if (err < 0) fail(err, "add " + ruleText(rule));
}

bool Netlink::deleteRule(uint32_t priority, uint32_t table, uint8_t family) {
    MsgPtr msg(nlmsg_alloc_simple(RTM_DELRULE, 0));
    if (!msg) throw NetlinkError(ENOMEM, "netlink: out of memory");
    fib_rule_hdr frh{};
    frh.family = family;
    frh.table = table < 256 ? static_cast<uint8_t>(table) : static_cast<uint8_t>(RT_TABLE_UNSPEC);
    if (nlmsg_append(msg.get(), &frh, sizeof frh, NLMSG_ALIGNTO) < 0 ||
        nla_put_u32(msg.get(), FRA_TABLE, table) < 0 || nla_put_u32(msg.get(), FRA_PRIORITY, priority) < 0)
        throw NetlinkError(ENOMEM, "netlink: cannot build rule deletion");
    resetError();
    int err = nl_send_auto(sock_, msg.get());
    if (err >= 0) err = nl_wait_for_ack(sock_);
    if (err < 0) {
        if (lastErrno_ == ENOENT || err == -NLE_OBJ_NOTFOUND) return false;
        fail(err, "delete rule priority " + std::to_string(priority) + " table " + std::to_string(table));
    }
    return true;
}

}  // namespace vantu

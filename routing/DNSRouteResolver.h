#pragma once

// Reading DNS answers for the addresses of direct domains: the answers to
// this client's own queries (the upstream's, and those of the fallback into
// the tunnel) pass through here on their way to the system. Anything that is
// not a DNS answer is turned away after a few byte reads, and hostile
// messages (pointer loops, truncated records, counts that promise more than
// is there) end the read quietly.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "routing/RoutingPolicy.h"

namespace vantu {

// An A record of a direct domain: the lower-cased owner and the address.
struct DirectRoute {
    std::string domain;
    std::string address;
    auto operator<=>(const DirectRoute&) const = default;
};

namespace DNSRouteResolver {

// Compression pointers may chain at most this deep (7 pointers followed).
inline constexpr int kMaxNameDepth = 8;

struct Name {
    std::string name;
    size_t nextOffset = 0;
};

// The name at `offset`; pointers are relative to `packetOffset`, where the
// DNS message starts. Nothing for a loop, a truncated name, a label longer
// than 63 bytes or one that is not UTF-8.
std::optional<Name> readName(const uint8_t* packet, size_t size, size_t packetOffset, size_t offset, int depth = 0);

// The (domain, address) pairs that the DNS answer in this IPv4/UDP packet
// gives for direct domains, following CNAMEs in answer order.
std::vector<DirectRoute> directIPv4Routes(const Bytes& packet, const RoutingPolicy& policy);

}  // namespace DNSRouteResolver

}  // namespace vantu

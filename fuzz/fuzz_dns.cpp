// DNS from untrusted hands: query recognition on outbound packets, the
// question name, the reply around an answer, and answer reading with its
// pointer chains on every packet from the tunnel.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/Utf8.h"
#include "routing/DNSRouteResolver.h"
#include "routing/LocalDNSResolver.h"

using namespace vantu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const RoutingPolicy policy =
        RoutingPolicy::decode(nlohmann::json{{"direct_domains", {"example.com", "regexp:^a.*\\.test$"}}});
    const Bytes packet(data, data + size);

    if (auto query = LocalDNSResolver::query(packet)) {
        // Names go to log lines: they must be valid UTF-8 whatever was sent.
        if (!isValidUTF8(query->debugName())) std::abort();
        if (auto reply = LocalDNSResolver::responsePacket(*query, query->dnsPayload)) {
            if (LocalDNSResolver::ipv4Checksum(reply->data(), 20) != 0) std::abort();
        }
    }
    for (const DirectRoute& route : DNSRouteResolver::directIPv4Routes(packet, policy)) {
        if (!isValidUTF8(route.domain) || route.address.size() > 15) std::abort();
    }
    return 0;
}

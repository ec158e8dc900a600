// Learning direct routes from DNS answers: when an answer says that a direct
// domain lives at some IPv4 address, that address's network joins the
// learned set, which the direct core reads for every packet. Both the
// provider's own replies and every packet from the tunnel pass through here
// on their way to the system, but only answers to this client's own queries
// teach: a learned route moves traffic out of the tunnel, so whoever can put
// a packet from port 53 into the tunnel (another client of the server, a DNS
// server an app asks through it) must not choose one.

#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "routing/DNSRouteResolver.h"

namespace vantu {

// Every packet from the tunnel: only an answer to a query this client sent
// there teaches routes. Calls completion exactly once, after the learned set
// took them.
void PacketTunnelProvider::applyDirectRoutesFromDNS(const Bytes& packet, const std::function<void()>& completion) {
    // Cheap for the packets that are no answer to a noted query, which is
    // nearly all of them: the table is empty, or a few byte tests fail.
    if (!session || !session->routingPolicy || !dns.tunnelQueries.takeAnswer(packet, now())) {
        completion();
        return;
    }
    learnDirectRoutesFromAnswer(packet, completion);
}

void PacketTunnelProvider::learnDirectRoutesFromAnswer(const Bytes& packet,
                                                       const std::function<void()>& completion) {
    if (!session || !session->routingPolicy) {
        completion();
        return;
    }
    const std::vector<DirectRoute> routes = DNSRouteResolver::directIPv4Routes(packet, *session->routingPolicy);
    if (routes.empty()) {
        // Every answer comes this way; a system log line for each would
        // flood the journal, so this one is a debug line.
        logDNS("DNS response has no direct IPv4 route match");
        completion();
        return;
    }
    ++learnedRoutes.dnsMatches;

    if (!directCore.udpEnabled && !directCore.tcpEnabled) {
        recordDiagnostic("DNS direct match produced " + std::to_string(routes.size()) +
                         " route(s), but vantucore direct is disabled");
        completion();
        return;
    }

    std::vector<std::string> inserted;
    int64_t repeats = 0;
    for (const DirectRoute& route : routes) {
        const std::optional<std::string> key = dynamicDirectRouteKey(route.address);
        if (!key) {
            recordDiagnostic("ignoring non-global DNS learned route " + route.domain + "->" + route.address);
            continue;
        }
        if (learnedRoutes.routes.count(*key)) {
            ++repeats;
            continue;
        }
        if (learnedRoutes.routes.size() >= static_cast<size_t>(LearnedRoutes::kMaxDynamicDirectRoutes)) {
            // Full: the new route is refused; older ones are never evicted.
            ++learnedRoutes.dnsLimitDrops;
            continue;
        }
        learnedRoutes.routes.insert(*key);
        ++learnedRoutes.version;
        inserted.push_back(*key);
        ++learnedRoutes.dnsInsertedRoutes;
    }

    if (inserted.empty()) {
        learnedRoutes.dnsRepeatedMatches += repeats;
        logDNS("DNS direct routes already queued; current count=" + std::to_string(learnedRoutes.routes.size()));
        completion();
        return;
    }

    persistDynamicDirectRoutes();
    std::string sample;
    for (size_t i = 0; i < inserted.size() && i < 4; ++i) sample += (i ? "," : "") + inserted[i];
    recordDiagnostic("DNS learned direct route cache updated inserted=" + std::to_string(inserted.size()) +
                     " count=" + std::to_string(learnedRoutes.routes.size()) + " sample=" + sample);
    applyDynamicDirectRoutesIfNeeded(false, completion);
}

}  // namespace vantu

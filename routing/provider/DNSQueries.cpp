// Answering the system's DNS queries: each query is asked upstream over its
// own outside UDP session, and the answer comes back as a reply packet. When
// the upstream path fails or is slow, the query itself goes into the tunnel
// unchanged and the server's side answers it, so no query is ever lost:
// every one ends in exactly one reply or one fallback.

#include <openssl/rand.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

// What the callbacks of one query share. `finished` makes finishing act
// once, whichever of the read, write, poll or timeout paths gets there first.
struct PendingDNSQuery {
    LocalDNSResolver::Query query;
    std::string id;
    std::string server;
    std::string name;  // the question, for log lines
    bool finished = false;
};

namespace {

// A random (version 4) UUID in its usual text form.
std::string randomUUID() {
    uint8_t b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        // The id only has to be unique among the queries in flight; the
        // random generator failing is no reason to lose a query.
        static uint64_t fallback = 0;
        ++fallback;
        for (size_t i = 0; i < sizeof b; ++i) b[i] = static_cast<uint8_t>(fallback >> ((i % 8) * 8));
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace

bool PacketTunnelProvider::isCurrentDNSQuery(const PendingDNSQuery& pending, const UDPSession* upstream) const {
    const auto it = dns.sessions.find(pending.id);
    return it != dns.sessions.end() && it->second.get() == upstream;
}

void PacketTunnelProvider::resolveDNSQuery(LocalDNSResolver::Query query) {
    if (!session) {
        sendDNSQueryIntoTunnel(query);
        return;
    }
    ++dns.queries;

    auto pending = std::make_shared<PendingDNSQuery>();
    pending->server = session->dnsServers.empty() ? std::string(DNSState::kDefaultDNSUpstream) : session->dnsServers.front();
    pending->name = query.debugName();
    pending->query = std::move(query);

    // Each query holds a socket until it finishes; a burst of thousands
    // would exhaust the descriptors that the data channel needs too. Past
    // the bound, queries take the tunnel, where the server answers them.
    if (dns.sessions.size() >= DNSState::kMaxDNSQueriesInFlight) {
        if (!dns.inFlightLimitReached) {
            log("DNS queries in flight reached " + std::to_string(DNSState::kMaxDNSQueriesInFlight) +
                "; further queries go through the tunnel");
        }
        dns.inFlightLimitReached = true;
        finishDNSQuery(pending, std::nullopt);
        return;
    }
    logDNS("DNS query " + pending->name + " upstream=" + pending->server);

    std::shared_ptr<UDPSession> upstream = host.createUDPSession(pending->server, DNSState::kDNSUpstreamPort);
    pending->id = randomUUID();
    dns.sessions[pending->id] = upstream;

    const std::weak_ptr<PacketTunnelProvider> weakSelf = weak_from_this();
    const std::weak_ptr<UDPSession> weakUpstream = upstream;
    upstream->setReadHandler(
        [weakSelf, weakUpstream, pending](std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
            const auto self = weakSelf.lock();
            const auto upstream = weakUpstream.lock();
            if (!self || !upstream) return;
            self->handleDNSUpstreamRead(pending, *upstream, std::move(datagrams), std::move(error));
        },
        1);

    const Instant deadline = now() + toNanos(Duration(DNSState::kDNSReadinessDeadline));
    waitForDNSSessionReady(upstream, pending, deadline);

    queue.after(Duration(DNSState::kDNSQueryTimeout), [weakSelf, weakUpstream, pending] {
        const auto self = weakSelf.lock();
        const auto upstream = weakUpstream.lock();
        if (!self || !upstream) return;
        self->expiredDNSQuery(pending, *upstream);
    });
}

void PacketTunnelProvider::waitForDNSSessionReady(const std::shared_ptr<UDPSession>& upstream,
                                                  const std::shared_ptr<PendingDNSQuery>& pending, Instant deadline) {
    if (!isCurrentDNSQuery(*pending, upstream.get())) return;
    const UDPSessionState state = upstream->state();
    switch (state) {
        case UDPSessionState::ready:
            upstream->writeDatagram(pending->query.dnsPayload,
                                    [weakSelf = weak_from_this(), weakUpstream = std::weak_ptr<UDPSession>(upstream),
                                     pending](std::optional<TunnelError> error) {
                                        const auto self = weakSelf.lock();
                                        const auto upstream = weakUpstream.lock();
                                        if (!self || !upstream || !error) return;
                                        if (!self->isCurrentDNSQuery(*pending, upstream.get())) return;
                                        ++self->dns.failures;
                                        self->log("DNS upstream write failed for " + pending->name + ": " +
                                                  error->description());
                                        self->finishDNSQuery(pending, std::nullopt);
                                    });
            return;
        case UDPSessionState::waiting:
        case UDPSessionState::preparing:
            if (now() >= deadline) {
                ++dns.failures;
                log("DNS upstream session timeout for " + pending->name);
                finishDNSQuery(pending, std::nullopt);
                return;
            }
            queue.after(Duration(DNSState::kDNSReadinessPollInterval), [weakSelf = weak_from_this(),
                                                              weakUpstream = std::weak_ptr<UDPSession>(upstream),
                                                              pending, deadline] {
                const auto self = weakSelf.lock();
                const auto upstream = weakUpstream.lock();
                if (!self || !upstream) return;
                self->waitForDNSSessionReady(upstream, pending, deadline);
            });
            return;
        case UDPSessionState::invalid:
        case UDPSessionState::failed:
        case UDPSessionState::cancelled:
            ++dns.failures;
            log(std::string("DNS upstream session ") + udpSessionStateName(state) + " for " + pending->name);
            finishDNSQuery(pending, std::nullopt);
            return;
    }
    finishDNSQuery(pending, std::nullopt);
}

void PacketTunnelProvider::handleDNSUpstreamRead(const std::shared_ptr<PendingDNSQuery>& pending,
                                                 const UDPSession& upstream, std::vector<Bytes> datagrams,
                                                 std::optional<TunnelError> error) {
    if (!isCurrentDNSQuery(*pending, &upstream)) return;
    if (error) {
        ++dns.failures;
        log("DNS upstream " + pending->server + " read failed for " + pending->name + ": " + error->description());
        finishDNSQuery(pending, std::nullopt);
        return;
    }
    logDNS("DNS upstream " + pending->server + " response for " + pending->name +
           " datagrams=" + std::to_string(datagrams.size()));
    // One session per query: the first datagram is the answer.
    if (datagrams.empty()) {
        finishDNSQuery(pending, std::nullopt);
    } else {
        finishDNSQuery(pending, std::move(datagrams.front()));
    }
}

void PacketTunnelProvider::expiredDNSQuery(const std::shared_ptr<PendingDNSQuery>& pending,
                                           const UDPSession& upstream) {
    if (!isCurrentDNSQuery(*pending, &upstream)) return;
    ++dns.failures;
    finishDNSQuery(pending, std::nullopt);
}

// Ends a query once: a reply packet for an answer, the query into the tunnel
// otherwise.
void PacketTunnelProvider::finishDNSQuery(const std::shared_ptr<PendingDNSQuery>& pending,
                                          std::optional<Bytes> response) {
    if (pending->finished) return;
    pending->finished = true;

    if (const auto it = dns.sessions.find(pending->id); it != dns.sessions.end()) {
        const std::shared_ptr<UDPSession> upstream = std::move(it->second);
        dns.sessions.erase(it);
        if (upstream) upstream->cancel();
    }
    if (dns.sessions.size() < DNSState::kMaxDNSQueriesInFlight) dns.inFlightLimitReached = false;

    std::optional<Bytes> reply;
    if (response) reply = LocalDNSResolver::responsePacket(pending->query, *response);
    if (reply) {
        ++dns.responses;
        logDNS("DNS query " + pending->name + " local response bytes=" + std::to_string(response->size()));
        auto packet = std::make_shared<Bytes>(std::move(*reply));
        // One session per query: whatever it reads answers this query.
        learnDirectRoutesFromAnswer(*packet, [weakSelf = weak_from_this(), packet] {
            const auto self = weakSelf.lock();
            if (!self) return;
            static const std::vector<int> ipv4Protocol{2};  // AF_INET
            self->packetFlow.writePackets({*packet}, ipv4Protocol);
        });
        return;
    }

    ++dns.fallbacks;
    logDNS("DNS query " + pending->name + " fallback to tunnel");
    sendDNSQueryIntoTunnel(pending->query);
}

void PacketTunnelProvider::sendDNSQueryIntoTunnel(const LocalDNSResolver::Query& query) {
    dns.tunnelQueries.remember(query, now());
    sendFrame(DataChannelState::kFrameData, query.originalPacket);
}

}  // namespace vantu

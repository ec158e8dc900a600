// The packet read loop: every packet the system routes into the tunnel is
// classified here, once: answered locally as a DNS query, handed to the
// direct core, or sent to the server as a data frame.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "packetpath/routes/IPv4Routes.h"

namespace vantu {

namespace {

constexpr uint8_t kProtocolTCP = 6;
constexpr uint8_t kProtocolUDP = 17;

// Which flow a packet belongs to, as far as the direct-core gate needs to
// know: protocol, destination address and port.
struct FlowTarget {
    uint8_t protocol = 0;
    std::string destinationAddress;
    uint16_t destinationPort = 0;
};

// Reads just enough of a well-formed, unfragmented IPv4 UDP or TCP packet to
// route it. Malformed packets and fragments yield nothing and go into the
// tunnel. The relays bring full codecs of their own when they arrive; the
// gate only needs the destination.
std::optional<FlowTarget> flowTarget(const Bytes& packet) {
    if (packet.size() < 28 || (packet[0] >> 4) != 4) return std::nullopt;
    const size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (headerLength < 20) return std::nullopt;
    const uint8_t protocol = packet[9];
    if (protocol != kProtocolTCP && protocol != kProtocolUDP) return std::nullopt;
    if ((readBE16(&packet[6]) & 0x3fff) != 0) return std::nullopt;  // a fragment
    const size_t transportHeader = protocol == kProtocolTCP ? 20 : 8;
    const size_t totalLength = readBE16(&packet[2]);
    if (totalLength < headerLength + transportHeader || packet.size() < totalLength) return std::nullopt;

    FlowTarget target;
    target.protocol = protocol;
    target.destinationAddress = std::to_string(packet[16]) + "." + std::to_string(packet[17]) + "." +
                                std::to_string(packet[18]) + "." + std::to_string(packet[19]);
    target.destinationPort = readBE16(&packet[headerLength + 2]);
    return target;
}

}  // namespace

void PacketTunnelProvider::readPackets() {
    packetFlow.readPackets([weak = weak_from_this()](std::vector<Bytes> packets, std::vector<int>) {
        // A batch for a provider that is gone is dropped, and the loop ends.
        const auto self = weak.lock();
        if (!self) return;
        self->handleReadBatch(packets);
        // Only now: batches never overlap, and packets keep their order.
        self->readPackets();
    });
}

void PacketTunnelProvider::handleReadBatch(const std::vector<Bytes>& packets) {
    for (const Bytes& packet : packets) {
        // Not IPv4 (or nothing at all): the tunnel carries IPv4 only.
        if (packet.empty() || (packet[0] >> 4) != 4) continue;
        // DNS is answered locally, whatever server the system asked.
        if (std::optional<LocalDNSResolver::Query> query = LocalDNSResolver::query(packet)) {
            resolveDNSQuery(std::move(*query));
            continue;
        }
        if (handleDirectCorePacket(packet)) continue;
        sendFrame(kFrameData, packet);
    }
}

bool PacketTunnelProvider::handleDirectCorePacket(const Bytes& packet) {
    if (!clientDirectCoreEnabled && !clientDirectTCPEnabled) return false;

    // Rebuilt for every packet: learned routes may have changed in between.
    const std::set<std::string> routes = currentCoreDirectRoutes();
    const std::optional<FlowTarget> target = flowTarget(packet);
    if (!target) return false;
    // DNS is never relayed, whatever the route: it has its own path.
    const bool direct = target->destinationPort != 53 && routeSet(routes, target->destinationAddress);

    // The relays themselves are not built yet, so nothing can take the packet
    // and it continues into the tunnel. The decision and the tunnel keepalive
    // that accompanies relayed traffic are already in place; once a relay
    // exists, each branch hands the packet to it and returns true.
    if (target->protocol == kProtocolTCP && clientDirectTCPEnabled && !directTCPDisabledForSession && direct) {
        sendDirectActivityKeepaliveIfNeeded();
        return false;
    }
    if (target->protocol == kProtocolUDP && clientDirectCoreEnabled && direct) {
        sendDirectActivityKeepaliveIfNeeded();
        return false;
    }
    return false;
}

std::set<std::string> PacketTunnelProvider::currentCoreDirectRoutes() const {
    std::set<std::string> routes = dynamicDirectRoutes;
    if (session && session->routingPolicy) {
        for (const std::string& route : session->routingPolicy->directIPRoutes()) {
            if (std::optional<std::string> normalized = normalizedDirectRoute(route)) routes.insert(*normalized);
        }
    }
    return routes;
}

void PacketTunnelProvider::sendDirectActivityKeepaliveIfNeeded() {
    // Traffic relayed outside the tunnel brings no server frames back, so the
    // tunnel would look idle to the server; an occasional ping keeps it warm.
    if (!handshakeCompleted || dataRecoveryInProgress || !session) return;
    const Instant current = now();
    if (secondsBetween(lastDirectActivityKeepaliveAt, current) >= kDirectActivityKeepaliveInterval) {
        lastDirectActivityKeepaliveAt = current;
        sendPingFrame();
    }
}

}  // namespace vantu

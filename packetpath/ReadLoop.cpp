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
constexpr uint16_t kDNSPort = 53;

}  // namespace

PacketBatchScope::PacketBatchScope(PacketTunnelProvider& provider) : provider_(provider) {
    ++provider_.packetBatches.depth;
}

PacketBatchScope::~PacketBatchScope() {
    if (--provider_.packetBatches.depth == 0) provider_.flushPacketBatches();
}

void PacketTunnelProvider::readPackets() {
    packetFlow.readPackets([weak = weak_from_this()](std::vector<Bytes> packets, std::vector<int>) {
        // A batch for a provider that is gone is dropped, and the loop ends.
        const auto self = weak.lock();
        if (!self) return;
        self->handleReadBatch(packets);
        // Nothing keeps the packets themselves (what is kept was copied), so
        // their buffers can carry the next batch.
        self->packetFlow.recyclePackets(packets);
        // Only now: batches never overlap, and packets keep their order.
        self->readPackets();
    });
}

void PacketTunnelProvider::handleReadBatch(const std::vector<Bytes>& packets) {
    // The units of the whole batch leave in one platform call.
    const PacketBatchScope batch(*this);
    for (const Bytes& packet : packets) {
        // Not IPv4 (or nothing at all): the tunnel carries IPv4 only.
        if (packet.empty() || (packet[0] >> 4) != 4) continue;
        // DNS is answered locally, whatever server the system asked.
        if (std::optional<LocalDNSResolver::Query> query = LocalDNSResolver::query(packet)) {
            resolveDNSQuery(std::move(*query));
            continue;
        }
        if (handleDirectCorePacket(packet)) continue;
        sendFrame(DataChannelState::kFrameData, packet);
    }
}

bool PacketTunnelProvider::handleDirectCorePacket(const Bytes& packet) {
    if (!directCore.udpEnabled && !directCore.tcpEnabled) return false;
    // The destination decides first: it costs one lookup, while parsing
    // copies the payload. Whatever is not a well-formed TCP segment or UDP
    // datagram fails to parse below and goes into the tunnel.
    if (packet.size() < 20) return false;
    const uint8_t protocol = packet[9];
    if (protocol != kProtocolTCP && protocol != kProtocolUDP) return false;
    if (!isDirectDestination(readBE32(&packet[16]))) return false;

    // DNS is never relayed, whatever the route: it has its own path.
    if (protocol == kProtocolTCP && directCore.tcpEnabled && !directCore.tcpDisabledForSession) {
        std::optional<DirectTCPCore::Segment> segment = DirectTCPCore::segment(packet);
        if (segment && segment->key.destinationPort != kDNSPort) {
            sendDirectActivityKeepaliveIfNeeded();
            handleDirectTCPSegment(std::move(*segment));
            return true;
        }
    }
    if (protocol == kProtocolUDP && directCore.udpEnabled) {
        std::optional<DirectUDPCore::Datagram> datagram = DirectUDPCore::datagram(packet);
        if (datagram && datagram->key.destinationPort != kDNSPort) {
            sendDirectActivityKeepaliveIfNeeded();
            handleDirectUDPDatagram(std::move(*datagram));
            return true;
        }
    }
    return false;
}

bool PacketTunnelProvider::isDirectDestination(uint32_t address) {
    CompiledDirectRoutes& compiled = directCore.compiledRoutes;
    const bool current = compiled.valid && compiled.learnedVersion == learnedRoutes.version &&
                         compiled.learnedCount == learnedRoutes.routes.size() &&
                         compiled.forSession == static_cast<bool>(session) &&
                         (!session || compiled.session.lock() == session);
    if (!current) {
        compiled.networks.clear();
        for (const std::string& route : currentCoreDirectRoutes()) {
            const std::optional<ParsedIPv4Route> parsed = parseIPv4Route(route);
            if (!parsed) continue;
            const uint32_t mask = parsed->prefix == 0 ? 0 : ~uint32_t{0} << (32 - parsed->prefix);
            compiled.networks.emplace_back(parsed->address & mask, mask);
        }
        compiled.session = session;
        compiled.forSession = static_cast<bool>(session);
        compiled.learnedVersion = learnedRoutes.version;
        compiled.learnedCount = learnedRoutes.routes.size();
        compiled.valid = true;
    }
    return compiled.contains(address);
}

std::set<std::string> PacketTunnelProvider::currentCoreDirectRoutes() const {
    std::set<std::string> routes = learnedRoutes.routes;
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
    if (!dataChannel.handshakeCompleted || recovery.inProgress || !session) return;
    const Instant current = now();
    if (secondsBetween(directCore.lastActivityKeepaliveAt, current) >= DirectCoreState::kDirectActivityKeepaliveInterval) {
        directCore.lastActivityKeepaliveAt = current;
        sendPingFrame();
    }
}

}  // namespace vantu

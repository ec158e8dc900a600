// The UDP half of the direct core: each local flow to a direct destination
// gets one outside UDP session; payloads go out on it and what comes back is
// written to the system as if the remote host had answered through the
// tunnel interface. Quiet flows are closed after 30 to 60 seconds.

#include <memory>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

void PacketTunnelProvider::handleDirectUDPDatagram(DirectUDPCore::Datagram datagram) {
    ++directCore.udpPacketsIntercepted;
    const DirectUDPKey key = datagram.key;
    std::shared_ptr<DirectUDPSessionBox> box = directCore.udpSessions.lookup(key);
    if (!box) box = makeDirectUDPSession(key);
    directCore.udpSessions.touch(*box, now());
    writeDirectUDPPayload(std::move(datagram.payload), key, box,
                          now() + toNanos(Duration(DirectCoreState::kDirectUDPReadyDeadline)));
}

std::shared_ptr<DirectUDPSessionBox> PacketTunnelProvider::makeDirectUDPSession(const DirectUDPKey& key) {
    makeRoomForDirectUDPFlow();
    auto box = std::make_shared<DirectUDPSessionBox>();
    box->session = host.createUDPSession(dottedQuad(key.destinationAddress), std::to_string(key.destinationPort));
    directCore.udpSessions.insert(key, box, now());
    ++directCore.udpSessionsOpened;
    recordDiagnostic("direct core UDP session opened " + key.description());

    box->session->setReadHandler(
        [weakSelf = weak_from_this(), weakSession = std::weak_ptr<UDPSession>(box->session), key](
            std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
            const auto self = weakSelf.lock();
            const auto session = weakSession.lock();
            if (!self || !session) return;
            const auto it = self->directCore.udpSessions.find(key);
            // Closed or replaced by a newer flow of the same 4-tuple.
            if (it == self->directCore.udpSessions.end() || it->second->session != session) return;
            self->directCore.udpSessions.touch(*it->second, self->now());
            if (error) {
                ++self->directCore.udpReadFailures;
                self->recordDiagnostic("direct core UDP read failed " + key.destination() + ": " +
                                       error->description());
                self->removeDirectUDPSession(key);
                return;
            }
            std::vector<Bytes> replies;
            replies.reserve(datagrams.size());
            for (const Bytes& d : datagrams) {
                if (auto packet = DirectUDPCore::responsePacket(d.data(), d.size(), key)) {
                    replies.push_back(std::move(*packet));
                }
            }
            if (replies.empty()) return;
            self->directCore.udpResponsesWritten += static_cast<int64_t>(replies.size());
            self->packetFlow.writePackets(replies, std::vector<int>(replies.size(), 2));
        },
        DirectCoreState::kDirectUDPDatagramBatch);

    scheduleDirectUDPCleanup(key);
    return box;
}

void PacketTunnelProvider::writeDirectUDPPayload(Bytes payload, const DirectUDPKey& key,
                                                 const std::shared_ptr<DirectUDPSessionBox>& box, Instant deadline) {
    const auto it = directCore.udpSessions.find(key);
    if (it == directCore.udpSessions.end() || it->second != box) return;

    const UDPSessionState state = box->session->state();
    switch (state) {
        case UDPSessionState::waiting:
        case UDPSessionState::preparing:
            if (now() >= deadline) {
                ++directCore.udpTimeouts;
                recordDiagnostic("direct core UDP session timeout " + key.destination());
                removeDirectUDPSession(key);
                return;
            }
            // Each datagram waits on its own; none is queued in the flow.
            queue.after(Duration(DirectCoreState::kDirectUDPReadyPollInterval),
                        [weakSelf = weak_from_this(), weakBox = std::weak_ptr<DirectUDPSessionBox>(box), key,
                         payload = std::move(payload), deadline]() mutable {
                            const auto self = weakSelf.lock();
                            const auto box = weakBox.lock();
                            if (!self || !box) return;
                            self->writeDirectUDPPayload(std::move(payload), key, box, deadline);
                        });
            return;
        case UDPSessionState::ready: {
            const size_t length = payload.size();
            box->session->writeDatagram(std::move(payload), [weakSelf = weak_from_this(), key,
                                                             length](std::optional<TunnelError> error) {
                const auto self = weakSelf.lock();
                if (!self) return;
                if (!error) {
                    ++self->directCore.udpPayloadsSent;
                    self->logDNS("direct core UDP sent " + std::to_string(length) + " bytes to " + key.destination());
                    return;
                }
                ++self->directCore.udpWriteFailures;
                self->recordDiagnostic("direct core UDP write failed " + key.destination() + ": " +
                                       error->description());
                self->removeDirectUDPSession(key);
            });
            return;
        }
        case UDPSessionState::invalid:
        case UDPSessionState::failed:
        case UDPSessionState::cancelled:
            recordDiagnostic(std::string("direct core UDP session ") + udpSessionStateName(state) + " " +
                             key.destination());
            removeDirectUDPSession(key);
            return;
    }
    removeDirectUDPSession(key);
}

void PacketTunnelProvider::scheduleDirectUDPCleanup(const DirectUDPKey& key) {
    queue.after(Duration(DirectCoreState::kDirectUDPIdleLimit), [weakSelf = weak_from_this(), key] {
        const auto self = weakSelf.lock();
        if (!self) return;
        const auto it = self->directCore.udpSessions.find(key);
        if (it == self->directCore.udpSessions.end()) return;
        if (secondsBetween(it->second->lastSeen, self->now()) < DirectCoreState::kDirectUDPIdleLimit) {
            self->scheduleDirectUDPCleanup(key);
            return;
        }
        ++self->directCore.udpIdleCloses;
        self->logDNS("direct core UDP session idle closed " + key.destination());
        self->removeDirectUDPSession(key);
    });
}

void PacketTunnelProvider::removeDirectUDPSession(const DirectUDPKey& key) {
    const std::shared_ptr<DirectUDPSessionBox> box = directCore.udpSessions.take(key);
    if (box && box->session) box->session->cancel();
}

void PacketTunnelProvider::makeRoomForDirectUDPFlow() {
    const auto room =
        directCore.udpSessions.makeRoom(directCore.maxUDPFlows, [this](const DirectUDPKey& key) { removeDirectUDPSession(key); });
    directCore.udpEvictions += static_cast<int64_t>(room.evicted);
    if (room.episodeBegins) {
        recordDiagnostic("direct core UDP flow limit " + std::to_string(directCore.maxUDPFlows) +
                         " reached: the flows quiet longest are closed");
    }
}

}  // namespace vantu

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
    ++directUDPPacketsIntercepted;
    const DirectUDPKey key = datagram.key;
    std::shared_ptr<DirectUDPSessionBox> box = directUDPSessions.lookup(key);
    if (!box) box = makeDirectUDPSession(key);
    directUDPSessions.touch(*box, now());
    writeDirectUDPPayload(std::move(datagram.payload), key, box,
                          now() + toNanos(Duration(kDirectUDPReadyDeadline)));
}

std::shared_ptr<DirectUDPSessionBox> PacketTunnelProvider::makeDirectUDPSession(const DirectUDPKey& key) {
    makeRoomForDirectUDPFlow();
    auto box = std::make_shared<DirectUDPSessionBox>();
    box->session = host.createUDPSession(dottedQuad(key.destinationAddress), std::to_string(key.destinationPort));
    directUDPSessions.insert(key, box, now());
    ++directUDPSessionsOpened;
    recordDiagnostic("direct core UDP session opened " + key.description());

    box->session->setReadHandler(
        [weakSelf = weak_from_this(), weakSession = std::weak_ptr<UDPSession>(box->session), key](
            std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
            const auto self = weakSelf.lock();
            const auto session = weakSession.lock();
            if (!self || !session) return;
            const auto it = self->directUDPSessions.find(key);
            // Closed or replaced by a newer flow of the same 4-tuple.
            if (it == self->directUDPSessions.end() || it->second->session != session) return;
            self->directUDPSessions.touch(*it->second, self->now());
            if (error) {
                ++self->directUDPReadFailures;
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
            self->directUDPResponsesWritten += static_cast<int64_t>(replies.size());
            self->packetFlow.writePackets(replies, std::vector<int>(replies.size(), 2));
        },
        kDirectUDPDatagramBatch);

    scheduleDirectUDPCleanup(key);
    return box;
}

void PacketTunnelProvider::writeDirectUDPPayload(Bytes payload, const DirectUDPKey& key,
                                                 const std::shared_ptr<DirectUDPSessionBox>& box, Instant deadline) {
    const auto it = directUDPSessions.find(key);
    if (it == directUDPSessions.end() || it->second != box) return;

    const UDPSessionState state = box->session->state();
    switch (state) {
        case UDPSessionState::waiting:
        case UDPSessionState::preparing:
            if (now() >= deadline) {
                ++directUDPTimeouts;
                recordDiagnostic("direct core UDP session timeout " + key.destination());
                removeDirectUDPSession(key);
                return;
            }
            // Each datagram waits on its own; none is queued in the flow.
            queue.after(Duration(kDirectUDPReadyPollInterval),
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
                    ++self->directUDPPayloadsSent;
                    self->logDNS("direct core UDP sent " + std::to_string(length) + " bytes to " + key.destination());
                    return;
                }
                ++self->directUDPWriteFailures;
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
    queue.after(Duration(kDirectUDPIdleLimit), [weakSelf = weak_from_this(), key] {
        const auto self = weakSelf.lock();
        if (!self) return;
        const auto it = self->directUDPSessions.find(key);
        if (it == self->directUDPSessions.end()) return;
        if (secondsBetween(it->second->lastSeen, self->now()) < kDirectUDPIdleLimit) {
            self->scheduleDirectUDPCleanup(key);
            return;
        }
        ++self->directUDPIdleCloses;
        self->logDNS("direct core UDP session idle closed " + key.destination());
        self->removeDirectUDPSession(key);
    });
}

void PacketTunnelProvider::removeDirectUDPSession(const DirectUDPKey& key) {
    const std::shared_ptr<DirectUDPSessionBox> box = directUDPSessions.take(key);
    if (box && box->session) box->session->cancel();
}

void PacketTunnelProvider::makeRoomForDirectUDPFlow() {
    const auto room =
        directUDPSessions.makeRoom(maxDirectUDPFlows, [this](const DirectUDPKey& key) { removeDirectUDPSession(key); });
    directUDPEvictions += static_cast<int64_t>(room.evicted);
    if (room.episodeBegins) {
        recordDiagnostic("direct core UDP flow limit " + std::to_string(maxDirectUDPFlows) +
                         " reached: the flows quiet longest are closed");
    }
}

}  // namespace vantu

// The TCP half of the direct core. Towards the application the provider
// plays the remote host: it answers the SYN itself, acknowledges data on
// acceptance and cuts what the outside connection delivers into segments.
// Towards the outside it only opens a connection, writes and reads; the
// kernel's TCP does the rest. The path to the application is local but not
// lossless (a full TUN queue drops what we write), so what the application
// has not acknowledged is kept and sent again, and the application's window
// is honoured. The other way, the window we advertise shrinks by what the
// outside connection has not taken yet, so a slow remote end slows the
// application down instead of filling memory.

#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

namespace {

// Sequence numbers compare modulo 2^32: a is after b when it is less than
// half the number space ahead of it.
bool sequenceAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

uint32_t randomInitialSequence() {
    uint32_t value = 0;
    while (value == 0) {
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) != 1) {
            static std::mt19937 fallback{std::random_device{}()};
            value = static_cast<uint32_t>(fallback());
        }
    }
    return value;
}

const char* tcpStateName(TCPConnectionState state) {
    switch (state) {
        case TCPConnectionState::invalid: return "invalid";
        case TCPConnectionState::connecting: return "connecting";
        case TCPConnectionState::waiting: return "waiting";
        case TCPConnectionState::connected: return "connected";
        case TCPConnectionState::disconnected: return "disconnected";
        case TCPConnectionState::cancelled: return "cancelled";
    }
    return "unknown";
}

}  // namespace

void PacketTunnelProvider::handleDirectTCPSegment(DirectTCPCore::Segment segment) {
    ++directCore.tcpSegmentsIntercepted;
    const DirectTCPKey key = segment.key;
    const auto payloadLength = static_cast<uint32_t>(segment.payload.size());

    if (segment.hasRST()) {
        removeDirectTCPSession(key);
        return;
    }
    if (segment.hasSYN() && !segment.hasACK()) {
        // A repeated SYN for a connection being opened is ignored.
        if (!directCore.tcpSessions.count(key)) makeDirectTCPSession(key, segment);
        return;
    }
    const auto it = directCore.tcpSessions.find(key);
    if (it == directCore.tcpSessions.end()) {
        const bool bareAck = segment.payload.empty() && segment.hasACK() && !segment.hasSYN() && !segment.hasFIN();
        if (bareAck) return;
        // Linux takes a reset only at the exact sequence number it expects
        // next, which for a segment that acknowledges something is that
        // acknowledgement.
        const uint32_t sequence = segment.hasACK() ? segment.acknowledgement : 0;
        sendDirectTCPReset(key, sequence, segment.sequence + payloadLength);
        return;
    }
    const std::shared_ptr<DirectTCPSessionBox> box = it->second;
    directCore.tcpSessions.touch(*box, now());

    if (segment.hasACK() && !sequenceAfter(segment.acknowledgement, box->serverNextSequence) &&
        !sequenceAfter(box->clientAcknowledged, segment.acknowledgement)) {
        // A newer acknowledgement, or a window update for the same one.
        const uint32_t advanced = segment.acknowledgement - box->clientAcknowledged;
        const bool duplicate = advanced == 0 && segment.payload.empty() && !segment.hasFIN() &&
                               segment.window == box->clientWindow;
        box->clientAcknowledged = segment.acknowledgement;
        box->clientWindow = segment.window;
        if (!directTCPAcknowledged(key, box, advanced, duplicate)) return;
        if (box->connected && !box->readOutstanding) readDirectTCP(key, box);
    }

    if (!segment.payload.empty()) {
        // In order, only as much as the window we advertised still has room
        // for; what lies beyond it is dropped unacknowledged.
        size_t accepted = 0;
        if (segment.sequence == box->clientNextSequence) {
            const auto room = static_cast<int32_t>(box->windowEdge - box->clientNextSequence);
            accepted = std::min<size_t>(payloadLength, room > 0 ? static_cast<size_t>(room) : 0);
            if (accepted < payloadLength) ++directCore.tcpWindowDrops;
        }
        // What the relay may hold, for this connection and for all: beyond
        // it the payload is dropped too, and the application sends it again
        // later, as it would after a loss.
        if (accepted > 0 && (box->outsideBacklog + accepted > DirectCoreState::kDirectTCPMaxHeldBytesPerFlow ||
                             accepted > box->held.room())) {
            ++directCore.tcpHeldLimitDrops;
            accepted = 0;
        }
        if (accepted > 0) {
            segment.payload.resize(accepted);
            box->clientNextSequence = segment.sequence + static_cast<uint32_t>(accepted);
            box->outsideBacklog += accepted;
            box->held.add(accepted);
            sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box);
            writeDirectTCPPayload(std::move(segment.payload), key, box);
        } else {
            // Out of order, repeated or too much: repeat what is expected next.
            sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box);
        }
    } else if (!segment.hasFIN() && segment.sequence != box->clientNextSequence) {
        // A window probe or a keepalive (one byte before what we expect):
        // the application's stack gives up on a peer that never answers it.
        sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box);
    }
    if (segment.hasFIN()) {
        // A FIN counts only right after every byte before it: one beyond a
        // gap would acknowledge bytes that never arrived, and close the
        // outside stream short of them, a truncated stream that looks whole.
        const uint32_t finSequence = segment.sequence + payloadLength;
        if (!box->clientFinished && finSequence == box->clientNextSequence) {
            box->clientNextSequence = finSequence + 1;
            sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box);
            // A half-close, not the end: the remote end may still answer. Its
            // own close (or an error, or the idle check) ends the connection.
            box->clientFinished = true;
            if (box->connected) box->connection->closeWrite();
            // Both ends closed and everything acknowledged: done.
            if (box->retransmission.finSent && box->clientAcknowledged == box->serverNextSequence) {
                removeDirectTCPSession(key);
            }
        } else if (segment.payload.empty()) {
            // Repeated, or ahead of missing data: repeat what is expected next
            // (with payload, that was answered above).
            sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box);
        }
    }
}

int PacketTunnelProvider::directTCPMaxPayloadSize(std::optional<int> clientMSS) const {
    const int64_t mtu = std::max<int64_t>(session ? session->mtu : DataChannelState::kDefaultTunnelMTU, 576);
    const int ceiling = static_cast<int>(std::max<int64_t>(536, mtu - 40));
    if (clientMSS && *clientMSS > 0) return std::max(512, std::min(*clientMSS, ceiling));
    return ceiling;
}

void PacketTunnelProvider::makeDirectTCPSession(const DirectTCPKey& key, const DirectTCPCore::Segment& syn) {
    makeRoomForDirectTCPFlow();
    auto box = std::make_shared<DirectTCPSessionBox>(directCore.tcpHeldBytes);
    box->connection = host.createTCPConnection(dottedQuad(key.destinationAddress), std::to_string(key.destinationPort));
    box->maxPayloadSize = directTCPMaxPayloadSize(syn.maxSegmentSize);
    box->clientNextSequence = syn.sequence + 1;
    box->serverNextSequence = randomInitialSequence();
    // Our SYN-ACK carries no window-scale option, so the application's
    // windows are plain byte counts from here on.
    box->clientWindow = syn.window;
    directCore.tcpSessions.insert(key, box, now());
    ++directCore.tcpSessionsOpened;
    recordDiagnostic("direct core TCP session opened " + key.description() + " mss=" +
                     std::to_string(box->maxPayloadSize));

    // The SYN-ACK goes out before the outside connection exists: the
    // application's data is accepted and held until it does.
    sendDirectTCP(DirectTCPFlags::syn | DirectTCPFlags::ack, nullptr, 0, key, *box);
    ++box->serverNextSequence;
    box->clientAcknowledged = box->serverNextSequence;

    waitForDirectTCPReady(key, box, now() + toNanos(Duration(DirectCoreState::kDirectTCPConnectDeadline)));
    scheduleDirectTCPCleanup(key);
}

void PacketTunnelProvider::waitForDirectTCPReady(const DirectTCPKey& key,
                                                 const std::shared_ptr<DirectTCPSessionBox>& box, Instant deadline) {
    const auto it = directCore.tcpSessions.find(key);
    if (it == directCore.tcpSessions.end() || it->second != box) return;

    std::string reason;
    bool fatal = true;
    const TCPConnectionState state = box->connection->state();
    switch (state) {
        case TCPConnectionState::connecting:
        case TCPConnectionState::waiting:
            if (now() < deadline) {
                queue.after(Duration(DirectCoreState::kDirectTCPReadyPollInterval),
                            [weakSelf = weak_from_this(), weakBox = std::weak_ptr<DirectTCPSessionBox>(box), key,
                             deadline] {
                                const auto self = weakSelf.lock();
                                const auto box = weakBox.lock();
                                if (!self || !box) return;
                                self->waitForDirectTCPReady(key, box, deadline);
                            });
                return;
            }
            reason = "connect timeout " + key.destination();
            break;
        case TCPConnectionState::connected:
            logDNS("direct core TCP connected " + key.destination());
            box->connected = true;
            flushDirectTCPPendingWrites(key, box);
            if (box->clientFinished) box->connection->closeWrite();
            readDirectTCP(key, box);
            return;
        case TCPConnectionState::invalid:
        case TCPConnectionState::disconnected:
        case TCPConnectionState::cancelled:
            reason = std::string("connection ") + tcpStateName(state) + " " + key.destination();
            fatal = false;
            break;
        default:
            reason = "unknown connection state " + key.destination();
            break;
    }
    ++directCore.tcpConnectFailures;
    sendDirectTCPReset(key, box->serverNextSequence, box->clientNextSequence);
    removeDirectTCPSession(key);
    recordDirectTCPFailure(reason, fatal);
}

// At `sequence`, or at serverNextSequence when none is given.
void PacketTunnelProvider::sendDirectTCP(uint8_t flags, const uint8_t* payload, size_t length,
                                         const DirectTCPKey& key, DirectTCPSessionBox& box,
                                         std::optional<uint32_t> sequence) {
    const std::optional<int> mss =
        (flags & DirectTCPFlags::syn) ? std::optional<int>(box.maxPayloadSize) : std::nullopt;
    box.advertisedWindow = static_cast<uint16_t>(DirectCoreState::kDirectTCPWindow - std::min(DirectCoreState::kDirectTCPWindow, box.outsideBacklog));
    box.windowEdge = box.clientNextSequence + box.advertisedWindow;
    std::optional<Bytes> packet =
        DirectTCPCore::responsePacket(payload, length, flags, sequence.value_or(box.serverNextSequence),
                                      box.clientNextSequence, mss, key, box.advertisedWindow);
    if (!packet) return;
    static const std::vector<int> ipv4Protocol{2};  // AF_INET
    std::vector<Bytes> packets;
    packets.push_back(std::move(*packet));
    packetFlow.writePackets(packets, ipv4Protocol);
}

void PacketTunnelProvider::sendDirectTCPReset(const DirectTCPKey& key, uint32_t sequence, uint32_t acknowledgement) {
    std::optional<Bytes> packet = DirectTCPCore::resetPacket(sequence, acknowledgement, key);
    if (!packet) return;
    static const std::vector<int> ipv4Protocol{2};  // AF_INET
    std::vector<Bytes> packets;
    packets.push_back(std::move(*packet));
    packetFlow.writePackets(packets, ipv4Protocol);
}

void PacketTunnelProvider::writeDirectTCPPayload(Bytes data, const DirectTCPKey& key,
                                                 const std::shared_ptr<DirectTCPSessionBox>& box) {
    const auto it = directCore.tcpSessions.find(key);
    if (it == directCore.tcpSessions.end() || it->second != box) return;
    // Held until the readiness poll has seen the connection up and written
    // what came before: the connection may be up before the poll notices,
    // and data written then would overtake the held data.
    if (!box->connected || box->connection->state() != TCPConnectionState::connected) {
        box->pendingWrites.push_back(std::move(data));
        return;
    }
    const size_t length = data.size();
    box->connection->write(std::move(data), [weakSelf = weak_from_this(),
                                             weakBox = std::weak_ptr<DirectTCPSessionBox>(box), key,
                                             length](std::optional<TunnelError> error) {
        const auto self = weakSelf.lock();
        const auto box = weakBox.lock();
        if (!self || !box) return;
        const auto it = self->directCore.tcpSessions.find(key);
        if (it == self->directCore.tcpSessions.end() || it->second != box) return;
        if (!error) {
            ++self->directCore.tcpPayloadsSent;
            self->logDNS("direct core TCP wrote " + std::to_string(length) + " bytes to " + key.destination());
            box->outsideBacklog -= std::min(box->outsideBacklog, length);
            box->held.release(length);
            // The application stops at a closed window and waits for us to
            // say it opened: tell it once half the window is free again.
            const size_t window = DirectCoreState::kDirectTCPWindow - std::min(DirectCoreState::kDirectTCPWindow, box->outsideBacklog);
            if (box->advertisedWindow < DirectCoreState::kDirectTCPWindow / 2 && window >= DirectCoreState::kDirectTCPWindow / 2) {
                self->sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box);
            }
            return;
        }
        const std::string reason = "write failed " + key.destination() + ": " + error->description();
        ++self->directCore.tcpWriteFailures;
        self->sendDirectTCPReset(key, box->serverNextSequence, box->clientNextSequence);
        self->removeDirectTCPSession(key);
        self->recordDirectTCPFailure(reason, true);
    });
}

void PacketTunnelProvider::flushDirectTCPPendingWrites(const DirectTCPKey& key,
                                                       const std::shared_ptr<DirectTCPSessionBox>& box) {
    std::vector<Bytes> pending = std::move(box->pendingWrites);
    box->pendingWrites.clear();
    for (Bytes& data : pending) writeDirectTCPPayload(std::move(data), key, box);
}

void PacketTunnelProvider::readDirectTCP(const DirectTCPKey& key, const std::shared_ptr<DirectTCPSessionBox>& box) {
    const auto it = directCore.tcpSessions.find(key);
    if (it == directCore.tcpSessions.end() || it->second != box || box->readOutstanding) return;
    if (box->retransmission.finSent) return;  // the remote end's stream is over
    // Only what the application's window still has room for; when it is
    // full the next acknowledgement or window update resumes reading.
    const uint32_t unacknowledged = box->serverNextSequence - box->clientAcknowledged;
    if (unacknowledged >= box->clientWindow) {
        // A closed window with nothing outstanding: its opening could be
        // lost, so the timer probes it.
        if (unacknowledged == 0) startDirectTCPRetransmitTimer(key, box);
        return;
    }
    // One read may fill the window; it goes out as several segments. What is
    // read is kept until acknowledged, within the limit of all connections:
    // when that is reached, reading tries again shortly.
    const size_t maximum = std::min<size_t>(box->clientWindow - unacknowledged, box->held.room());
    if (maximum == 0) {
        if (box->readRetryScheduled) return;
        box->readRetryScheduled = true;
        queue.after(Duration(DirectCoreState::kDirectTCPReadyPollInterval),
                    [weakSelf = weak_from_this(), weakBox = std::weak_ptr<DirectTCPSessionBox>(box), key] {
                        const auto self = weakSelf.lock();
                        const auto box = weakBox.lock();
                        if (!self || !box) return;
                        box->readRetryScheduled = false;
                        self->readDirectTCP(key, box);
                    });
        return;
    }

    box->readOutstanding = true;
    box->connection->readMinimumLength(
        1, maximum,
        [weakSelf = weak_from_this(), weakBox = std::weak_ptr<DirectTCPSessionBox>(box), key](
            Bytes data, std::optional<TunnelError> error) {
            const auto self = weakSelf.lock();
            const auto box = weakBox.lock();
            if (!self || !box) return;
            box->readOutstanding = false;
            const auto it = self->directCore.tcpSessions.find(key);
            if (it == self->directCore.tcpSessions.end() || it->second != box) return;
            if (!error && !data.empty()) {
                self->directCore.tcpSessions.touch(*box, self->now());
                self->sendDirectTCPPayload(data, key, box);
                self->readDirectTCP(key, box);
                return;
            }
            if (error) {
                ++self->directCore.tcpReadFailures;
                self->logDNS("direct core TCP read closed " + key.destination() + ": " + error->description());
                // A broken connection must not look like a finished one: on
                // a FIN the application would take a cut-off stream for all
                // of it. The reset says what the remote end's would have said.
                self->sendDirectTCPReset(key, box->serverNextSequence, box->clientNextSequence);
                self->removeDirectTCPSession(key);
                return;
            }
            // The remote end closed: the application sees a FIN, sent again
            // until acknowledged. The connection ends once the application
            // has closed too (it may still send: the outside end reads on).
            const bool idle = box->clientAcknowledged == box->serverNextSequence;
            self->sendDirectTCP(DirectTCPFlags::fin | DirectTCPFlags::ack, nullptr, 0, key, *box);
            ++box->serverNextSequence;
            box->retransmission.finSent = true;
            if (idle) self->startDirectTCPRetransmitTimer(key, box);
        });
}

void PacketTunnelProvider::sendDirectTCPPayload(const Bytes& data, const DirectTCPKey& key,
                                                const std::shared_ptr<DirectTCPSessionBox>& box) {
    if (data.empty()) return;
    const bool idle = box->clientAcknowledged == box->serverNextSequence;
    const size_t chunk = static_cast<size_t>(box->maxPayloadSize);
    for (size_t offset = 0; offset < data.size(); offset += chunk) {
        const size_t length = std::min(chunk, data.size() - offset);
        sendDirectTCP(DirectTCPFlags::ack | DirectTCPFlags::psh, data.data() + offset, length, key, *box);
        box->serverNextSequence += static_cast<uint32_t>(length);
        ++directCore.tcpResponsesWritten;
    }
    box->retransmission.unacknowledged.append(data.data(), data.size());
    box->held.add(data.size());
    if (idle) {
        box->retransmission.timeout = DirectCoreState::kDirectTCPRetransmitTimeout;  // not the backoff of window probes
        startDirectTCPRetransmitTimer(key, box);
    }
}

// The application acknowledged `advanced` more sequence numbers (none for a
// duplicate). False when that ended the connection.
bool PacketTunnelProvider::directTCPAcknowledged(const DirectTCPKey& key,
                                                 const std::shared_ptr<DirectTCPSessionBox>& box, uint32_t advanced,
                                                 bool duplicate) {
    auto& r = box->retransmission;
    const bool outstanding = box->clientAcknowledged != box->serverNextSequence;
    if (advanced == 0) {
        // Each segment the application got after a lost one is answered
        // with the same acknowledgement: a few of them tell of the loss long
        // before the timer would. Sent again once per loss.
        if (duplicate && outstanding && !r.recovering && ++r.duplicateAcks == DirectCoreState::kDirectTCPDuplicateAcks) {
            r.recovering = true;
            r.recoveryPoint = box->serverNextSequence;
            retransmitDirectTCP(key, *box);
        }
        return true;
    }
    // Our FIN takes a sequence number of its own, and no byte.
    const bool finAcknowledged = r.finSent && !outstanding;
    const size_t bytes = advanced - (finAcknowledged ? 1 : 0);
    r.unacknowledged.consume(bytes);
    box->held.release(bytes);
    r.timeouts = 0;
    r.duplicateAcks = 0;
    r.timeout = DirectCoreState::kDirectTCPRetransmitTimeout;
    if (finAcknowledged && box->clientFinished) {
        removeDirectTCPSession(key);  // both ends closed, everything acknowledged
        return false;
    }
    if (!outstanding) {
        r.recovering = false;
        return true;
    }
    startDirectTCPRetransmitTimer(key, box);
    // Progress short of what was sent when the loss was noticed: the next
    // hole is right after it.
    if (r.recovering && sequenceAfter(r.recoveryPoint, box->clientAcknowledged)) {
        retransmitDirectTCP(key, *box);
    } else {
        r.recovering = false;
    }
    return true;
}

void PacketTunnelProvider::startDirectTCPRetransmitTimer(const DirectTCPKey& key,
                                                         const std::shared_ptr<DirectTCPSessionBox>& box) {
    auto& r = box->retransmission;
    if (r.timeout == 0) r.timeout = DirectCoreState::kDirectTCPRetransmitTimeout;
    r.deadline = now() + toNanos(Duration(r.timeout));
    armDirectTCPRetransmitTimer(key, box);
}

void PacketTunnelProvider::armDirectTCPRetransmitTimer(const DirectTCPKey& key,
                                                       const std::shared_ptr<DirectTCPSessionBox>& box) {
    // One timer per connection at a time: one that fires before a deadline
    // that moved on waits on for the rest.
    auto& r = box->retransmission;
    if (r.timerArmed) return;
    r.timerArmed = true;
    queue.after(Duration(r.deadline - now()), [weakSelf = weak_from_this(),
                                               weakBox = std::weak_ptr<DirectTCPSessionBox>(box), key] {
        const auto self = weakSelf.lock();
        const auto box = weakBox.lock();
        if (!self || !box) return;
        box->retransmission.timerArmed = false;
        if (self->directCore.tcpSessions.lookup(key) != box) return;
        if (self->now() < box->retransmission.deadline) {
            self->armDirectTCPRetransmitTimer(key, box);
            return;
        }
        self->expiredDirectTCPRetransmit(key, box);
    });
}

void PacketTunnelProvider::expiredDirectTCPRetransmit(const DirectTCPKey& key,
                                                      const std::shared_ptr<DirectTCPSessionBox>& box) {
    auto& r = box->retransmission;
    if (box->clientAcknowledged == box->serverNextSequence) {
        // Nothing outstanding. A window still closed is probed with a
        // segment one before what comes next, which the application answers
        // with its window; the probes back off and never give up (the
        // application answering them keeps the connection alive).
        if (box->clientWindow == 0 && box->connected && !r.finSent) {
            sendDirectTCP(DirectTCPFlags::ack, nullptr, 0, key, *box, box->serverNextSequence - 1);
            r.timeout = std::min(r.timeout * 2, DirectCoreState::kDirectTCPMaxRetransmitTimeout);
            startDirectTCPRetransmitTimer(key, box);
        }
        return;
    }
    if (++r.timeouts > DirectCoreState::kDirectTCPMaxRetransmitTimeouts) {
        // At what the application acknowledged last: after all this time
        // that is what its stack expects next, and takes a reset at.
        ++directCore.tcpRetransmitResets;
        sendDirectTCPReset(key, box->clientAcknowledged, box->clientNextSequence);
        removeDirectTCPSession(key);
        return;
    }
    r.timeout = std::min(r.timeout * 2, DirectCoreState::kDirectTCPMaxRetransmitTimeout);
    r.recovering = true;
    r.recoveryPoint = box->serverNextSequence;
    r.duplicateAcks = 0;
    retransmitDirectTCP(key, *box);
    startDirectTCPRetransmitTimer(key, box);
}

void PacketTunnelProvider::retransmitDirectTCP(const DirectTCPKey& key, DirectTCPSessionBox& box) {
    const auto& unacknowledged = box.retransmission.unacknowledged;
    if (!unacknowledged.empty()) {
        const size_t length = std::min(unacknowledged.size(), static_cast<size_t>(box.maxPayloadSize));
        sendDirectTCP(DirectTCPFlags::ack | DirectTCPFlags::psh, unacknowledged.at(0), length, key, box,
                      box.clientAcknowledged);
    } else if (box.retransmission.finSent) {
        sendDirectTCP(DirectTCPFlags::fin | DirectTCPFlags::ack, nullptr, 0, key, box, box.serverNextSequence - 1);
    } else {
        return;
    }
    ++directCore.tcpRetransmits;
}

void PacketTunnelProvider::scheduleDirectTCPCleanup(const DirectTCPKey& key) {
    queue.after(Duration(DirectCoreState::kDirectTCPIdleLimit), [weakSelf = weak_from_this(), key] {
        const auto self = weakSelf.lock();
        if (!self) return;
        const auto it = self->directCore.tcpSessions.find(key);
        if (it == self->directCore.tcpSessions.end()) return;
        if (secondsBetween(it->second->lastSeen, self->now()) < DirectCoreState::kDirectTCPIdleLimit) {
            self->scheduleDirectTCPCleanup(key);
            return;
        }
        ++self->directCore.tcpIdleCloses;
        self->logDNS("direct core TCP session idle closed " + key.destination());
        self->removeDirectTCPSession(key);
    });
}

void PacketTunnelProvider::recordDirectTCPFailure(const std::string& reason, bool fatal) {
    recordDiagnostic(std::string("direct core TCP ") + (fatal ? "fatal " : "") + "session failure: " + reason);
    if (!fatal || directCore.tcpDisabledForSession) return;
    // A fixed window: it opens at the first fatal failure more than 20 s
    // after the previous window opened.
    if (secondsBetween(directCore.tcpFailureWindowStartedAt, now()) > DirectCoreState::kDirectTCPFailureWindow) {
        directCore.tcpFailureWindowStartedAt = now();
        directCore.tcpFailureWindowCount = 0;
    }
    if (++directCore.tcpFailureWindowCount >= DirectCoreState::kDirectTCPFailuresToDisable) {
        disableDirectTCPForSession("repeated TCP failures: " + reason);
    }
}

void PacketTunnelProvider::disableDirectTCPForSession(const std::string& reason) {
    if (directCore.tcpDisabledForSession) return;
    directCore.tcpDisabledForSession = true;
    recordDiagnostic("direct core TCP disabled for session: " + reason);
    for (auto& box : directCore.tcpSessions.takeAll()) {
        if (box && box->connection) box->connection->cancel();
    }
}

void PacketTunnelProvider::removeDirectTCPSession(const DirectTCPKey& key) {
    const std::shared_ptr<DirectTCPSessionBox> box = directCore.tcpSessions.take(key);
    if (box && box->connection) box->connection->cancel();
}

void PacketTunnelProvider::makeRoomForDirectTCPFlow() {
    const auto room = directCore.tcpSessions.makeRoom(directCore.maxTCPFlows, [this](const DirectTCPKey& key) {
        // The application learns at once that its connection is gone.
        const std::shared_ptr<DirectTCPSessionBox> box = directCore.tcpSessions.lookup(key);
        sendDirectTCPReset(key, box->serverNextSequence, box->clientNextSequence);
        removeDirectTCPSession(key);
    });
    directCore.tcpEvictions += static_cast<int64_t>(room.evicted);
    if (room.episodeBegins) {
        recordDiagnostic("direct core TCP connection limit " + std::to_string(directCore.maxTCPFlows) +
                         " reached: the connections quiet longest are reset");
    }
}

}  // namespace vantu

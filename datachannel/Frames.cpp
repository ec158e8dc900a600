// The frame layer of the data channel: every sender (read loop, handshake and
// keepalive pings) goes through sendPlainFrame, and every unit the server
// sends comes back through decryptAndHandlePacket.

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

namespace {

// Same text as hexPrefix(frame, 16) for the frame type + payload, but
// written into the string the provider already holds: this runs for every
// packet, and a fresh 32-character string would cost a heap allocation each
// time.
void assignHexPreview(std::string& out, std::optional<uint8_t> type, const uint8_t* payload, size_t length) {
    // Both digits of every byte value, so each byte is one two-byte copy.
    static constexpr auto pairs = [] {
        constexpr char digits[] = "0123456789abcdef";
        std::array<char, 512> table{};
        for (size_t b = 0; b < 256; ++b) {
            table[2 * b] = digits[b >> 4];
            table[2 * b + 1] = digits[b & 0x0f];
        }
        return table;
    }();
    const size_t head = type ? 1 : 0;
    const size_t n = std::min<size_t>(head + length, 16);
    out.resize(n * 2);
    char* to = out.data();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = i < head ? *type : payload[i - head];
        std::memcpy(to + 2 * i, &pairs[2 * size_t{byte}], 2);
    }
}

std::string upperCased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

void PacketTunnelProvider::sendFrame(uint8_t type, const Bytes& payload) {
    if (type == DataChannelState::kFrameData) {
        ++dataChannel.tunnelPacketsOut;
        dataChannel.tunnelBytesOut += static_cast<int64_t>(payload.size());
    }
    sealAndSendFrame(type, payload.data(), payload.size());
}

void PacketTunnelProvider::sendPingFrame() {
    static const Bytes ping{DataChannelState::kFramePing, 'p', 'i', 'n', 'g'};
    sendPlainFrame(ping);
}

void PacketTunnelProvider::sendPlainFrame(const Bytes& frame) {
    if (frame.empty()) {
        sealAndSendFrame(std::nullopt, nullptr, 0);
        return;
    }
    sealAndSendFrame(frame[0], frame.data() + 1, frame.size() - 1);
}

void PacketTunnelProvider::sealAndSendFrame(std::optional<uint8_t> type, const uint8_t* payload, size_t length) {
    if (!session) return;
    // Keep the session alive for the whole send even if a synchronous
    // platform callback were to replace it.
    const std::shared_ptr<VantuSession> current = session;
    assignHexPreview(dataChannel.lastSentPlainPreview, type, payload, length);

    Bytes unit = takeSpareBuffer();
    try {
        if (type) {
            current->encryptFrameInto(*type, payload, length, unit);
        } else {
            unit = current->encrypt(Bytes{});
        }
    } catch (const std::exception& e) {
        const std::string text = e.what();
        if (current->sequenceExhausted()) {
            // The session can never seal again, so the channel is failed at
            // once, and only once: every packet the read loop or the server's
            // traffic brings would otherwise record an event (each a write to
            // the store) while a channel that cannot send stays up.
            if (dataChannel.exhaustedSendSession.lock() == current) return;
            dataChannel.exhaustedSendSession = current;
            failDataChannel(upperCased(current->transport) + " send failed: " + text);
            return;
        }
        const bool tcp = current->transport == "tcp";
        if (tcp) {
            ++dataChannel.tcpSendFailures;
            dataChannel.lastTCPSendError = text;
        }
        recordDiagnostic(upperCased(current->transport) + " send failed: " + text);
        if (tcp && !dataChannel.handshakeCompleted) {
            finishHandshake(TunnelError::fromVantu("TCP send failed: " + text));
        } else if (tcp && dataChannel.tcpSendFailures >= 3) {
            failDataChannel("TCP send failed: " + text);
        }
        return;
    }

    if (current->transport == "udp") {
        if (!dataChannel.udpSession) return;  // no carrier: the unit is dropped, its sequence number stays used
        ++dataChannel.udpSendAttempts;
        if (packetBatches.depth > 0) {
            // Units for a carrier replaced in mid-batch still go to the one
            // they were sealed for, ahead of the new carrier's.
            if (packetBatches.outboundCarrier != dataChannel.udpSession) flushOutboundUnits();
            packetBatches.outboundCarrier = dataChannel.udpSession;
            packetBatches.outboundUnits.push_back(std::move(unit));
            return;
        }
        const std::shared_ptr<UDPSession> carrier = dataChannel.udpSession;
        const size_t unitLength = unit.size();
        carrier->writeDatagram(std::move(unit),
                               [weak = weak_from_this(), written = std::weak_ptr<UDPSession>(carrier),
                                unitLength](std::optional<TunnelError> error) {
                                   if (auto self = weak.lock()) {
                                       self->handleUDPWriteCompletion(written, std::move(error), unitLength);
                                   }
                               });
        return;
    }

    // Stream transport: the unit, length-prefixed, into the write buffer.
    if (dataChannel.dataFD < 0) return;  // no socket: dropped, its sequence number stays used
    Bytes streamFrame;
    streamFrame.reserve(unit.size() + 4);
    appendBE(streamFrame, static_cast<uint32_t>(unit.size()));
    streamFrame.insert(streamFrame.end(), unit.begin(), unit.end());
    ++dataChannel.tcpSendAttempts;
    if constexpr (DiagnosticsState::packetLoggingEnabled) logPacket("TCP queued " + std::to_string(streamFrame.size()) + " bytes");
    try {
        enqueueTCPWrite(streamFrame);
    } catch (const VantuError& e) {
        const std::string text = e.what();
        dataChannel.lastTCPSendError = text;
        if (dataChannel.handshakeCompleted) {
            // A full buffer is congestion towards a slow server, not a broken
            // socket: the frame is dropped like a packet at a full queue and
            // counted, with one event per episode (each event is a store
            // write). Counting it as a send failure would end the tunnel
            // after three drops under any sustained load.
            ++dataChannel.tcpSendBufferOverflows;
            if (!dataChannel.tcpSendBufferOverflowReported) {
                dataChannel.tcpSendBufferOverflowReported = true;
                recordDiagnostic("TCP send failed: " + text);
            }
            return;
        }
        ++dataChannel.tcpSendFailures;
        recordDiagnostic("TCP send failed: " + text);
        finishHandshake(TunnelError::fromVantu("TCP send failed: " + text));
        return;
    }
    dataChannel.tcpSendBufferOverflowReported = false;
}

void PacketTunnelProvider::flushOutboundUnits() {
    if (packetBatches.outboundUnits.empty()) return;
    const std::shared_ptr<UDPSession> carrier = std::move(packetBatches.outboundCarrier);
    packetBatches.outboundCarrier.reset();
    std::vector<Bytes> units = std::move(packetBatches.outboundUnits);
    packetBatches.outboundUnits.clear();
    std::vector<size_t> lengths;
    if constexpr (DiagnosticsState::packetLoggingEnabled) {
        for (const Bytes& unit : units) lengths.push_back(unit.size());
    }
    carrier->writeDatagrams(std::move(units), [weak = weak_from_this(), written = std::weak_ptr<UDPSession>(carrier),
                                               lengths = std::move(lengths)](
                                                  const std::vector<std::optional<TunnelError>>& results,
                                                  std::vector<Bytes>& buffers) {
        const auto self = weak.lock();
        if (!self) return;
        self->keepSpareBuffers(buffers);
        const std::shared_ptr<UDPSession> target = written.lock();
        for (size_t i = 0; i < results.size(); ++i) {
            // A failure may close the channel; the rest of the batch then
            // belongs to a channel that no longer counts.
            if (!target || target != self->dataChannel.udpSession) return;
            if (results[i]) {
                self->handleUDPWriteCompletion(written, results[i], i < lengths.size() ? lengths[i] : 0);
                continue;
            }
            ++self->dataChannel.udpSendCompletions;
            if constexpr (DiagnosticsState::packetLoggingEnabled) self->logPacket("UDP sent " + std::to_string(lengths[i]) + " bytes");
        }
    });
}

void PacketTunnelProvider::flushPacketBatches() {
    flushOutboundUnits();
    if (packetBatches.streamFlushPending) {
        packetBatches.streamFlushPending = false;
        flushTCPWriteBuffer();
    }
    if (packetBatches.inboundPackets.empty()) return;
    // Taken out first: writing may run callbacks that start a new batch.
    std::vector<Bytes> packets = std::move(packetBatches.inboundPackets);
    packetBatches.inboundPackets.clear();
    packetBatches.inboundProtocols.resize(packets.size(), 2);  // AF_INET: the tunnel carries IPv4 only
    packetFlow.writePackets(packets, packetBatches.inboundProtocols);
    keepSpareBuffers(packets);
    // The list's capacity is kept for the next batch too.
    packets.clear();
    if (packetBatches.inboundPackets.empty()) packetBatches.inboundPackets = std::move(packets);
}

Bytes PacketTunnelProvider::takeSpareBuffer() {
    std::vector<Bytes>& spare = packetBatches.spareBuffers;
    if (spare.empty()) return {};
    Bytes buffer = std::move(spare.back());
    spare.pop_back();
    return buffer;
}

void PacketTunnelProvider::keepSpareBuffers(std::vector<Bytes>& buffers) {
    // A few batches' worth; beyond that buffers are simply freed.
    constexpr size_t kMaxSpareBuffers = 512;
    std::vector<Bytes>& spare = packetBatches.spareBuffers;
    for (Bytes& buffer : buffers) {
        if (spare.size() >= kMaxSpareBuffers) break;
        if (buffer.capacity() == 0) continue;
        // Not cleared: whoever takes it resizes it, and bytes that are
        // overwritten anyway need not be zeroed first.
        spare.push_back(std::move(buffer));
    }
}

void PacketTunnelProvider::handleUDPWriteCompletion(const std::weak_ptr<UDPSession>& written,
                                                    std::optional<TunnelError> error, size_t unitLength) {
    const std::shared_ptr<UDPSession> target = written.lock();
    // A completion for a channel that was closed or replaced must not count
    // against the channel that runs now.
    if (!target || target != dataChannel.udpSession) return;

    if (error) {
        const std::string text = error->description();
        ++dataChannel.udpSendFailures;
        dataChannel.lastUDPSendError = text;
        recordDiagnostic("UDP send failed: " + text);
        // Cumulative since the channel started: before the handshake one
        // failure is fatal, afterwards a few lost datagrams are tolerated.
        if (!dataChannel.handshakeCompleted || dataChannel.udpSendFailures >= 3) failDataChannel("UDP send failed: " + text);
        return;
    }
    ++dataChannel.udpSendCompletions;
    if constexpr (DiagnosticsState::packetLoggingEnabled) logPacket("UDP sent " + std::to_string(unitLength) + " bytes");
    (void)unitLength;
}

void PacketTunnelProvider::decryptAndHandlePacket(const uint8_t* unit, size_t size) {
    if (!session) return;
    if (dataChannel.serverUnitWindowSession.lock() != session) {
        dataChannel.serverUnitWindow = ReplayWindow();
        dataChannel.serverUnitWindowSession = session;
    }
    // The nonce travels in clear: session ID, sequence number, direction.
    uint32_t sequence = 0;
    if (size >= 12) {
        // One of our own units sent back at us opens under the shared key,
        // but the server never sent it.
        if (readBE32(unit + 8) == VantuSession::kClientDirection) {
            ++dataChannel.reflectedUnitsDropped;
            return;
        }
        sequence = readBE32(unit + 4);
        // Checked before spending work on opening it; committed only once it
        // authenticated, so a forged unit cannot move the window.
        if (!dataChannel.serverUnitWindow.check(sequence)) {
            ++dataChannel.replayedUnitsDropped;
            return;
        }
    }
    Bytes body = takeSpareBuffer();
    std::optional<uint8_t> type;
    try {
        type = session->decryptFrame(unit, size, body);
    } catch (const std::exception& e) {
        // Garbage or a unit of another key: note it and drop it. The channel
        // stays up, and keepalive.lastDataFrameReceivedAt stays put, so that noise
        // cannot keep the keepalive satisfied.
        dataChannel.lastDecryptError = e.what();
        ++dataChannel.decryptFailures;
        // Anyone on the path can send units that do not open, as fast as the
        // link allows; a line for each would flood the system log. Lines are
        // rate limited, and the next one says how many were left out.
        const Instant t = now();
        const double elapsed = std::max(0.0, secondsBetween(dataChannel.decryptLogRefilledAt, t));
        dataChannel.decryptLogTokens = std::min(DataChannelState::kDecryptLogBurst, dataChannel.decryptLogTokens + elapsed * DataChannelState::kDecryptLogLinesPerSecond);
        dataChannel.decryptLogRefilledAt = t;
        if (dataChannel.decryptLogTokens < 1.0) {
            ++dataChannel.decryptLogLinesSuppressed;
            return;
        }
        dataChannel.decryptLogTokens -= 1.0;
        std::string line = "decrypt failed for " + std::to_string(size) + " bytes: " + dataChannel.lastDecryptError;
        if (dataChannel.decryptLogLinesSuppressed > 0) {
            line += " (" + std::to_string(dataChannel.decryptLogLinesSuppressed) + " more not logged)";
            dataChannel.decryptLogLinesSuppressed = 0;
        }
        log(line);
        return;
    }
    dataChannel.serverUnitWindow.commit(sequence);
    if (!type) return;
    keepalive.lastDataFrameReceivedAt = now();
    assignHexPreview(dataChannel.lastReceivedPlainPreview, type, body.data(), body.size());
    handleFrame(*type, std::move(body));
}

void PacketTunnelProvider::handleFrame(const Bytes& frame) {
    if (frame.empty()) return;
    handleFrame(frame[0], Bytes(frame.begin() + 1, frame.end()));
}

void PacketTunnelProvider::handleFrame(uint8_t type, Bytes&& body) {
    switch (type) {
        case DataChannelState::kFramePong:
            log("encrypted pong received");
            finishHandshake(std::nullopt);  // no-op once the handshake is done
            return;
        case DataChannelState::kFrameServerData: {
            // Every packet passes route learning on its way to the system, so
            // that answers from the server's side of the tunnel teach direct
            // routes too; learning hands the packet on when it is done. It
            // does so before returning (learned routes are never installed in
            // the system, so there is nothing to wait for), which is why the
            // batch can live here.
            ++dataChannel.tunnelPacketsIn;
            dataChannel.tunnelBytesIn += static_cast<int64_t>(body.size());
            applyDirectRoutesFromDNS(body, [this, &body] {
                if (packetBatches.depth > 0) {
                    packetBatches.inboundPackets.push_back(std::move(body));
                    return;
                }
                static const std::vector<int> ipv4Protocol{2};  // AF_INET
                packetFlow.writePackets(std::vector<Bytes>{std::move(body)}, ipv4Protocol);
            });
            return;
        }
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(type));
            log(std::string("unknown frame 0x") + hex);
            return;
        }
    }
}

}  // namespace vantu

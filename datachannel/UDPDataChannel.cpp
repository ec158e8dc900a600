// The common data-channel start, the UDP transport and its encrypted
// handshake, and the two operations that end a handshake or a running
// channel.
//
// Every delayed piece of work carries the generation of the channel it was
// made for (and, where it has one, the UDP session it belongs to) and holds
// the provider weakly: once the channel is closed or replaced it finds a
// newer generation or another session and does nothing.

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

namespace {

Instant after(Instant from, double seconds) {
    return from + std::chrono::duration_cast<Instant::duration>(Duration(seconds));
}

}  // namespace

void PacketTunnelProvider::startDataChannel(const std::string& serverHost, std::shared_ptr<VantuSession> channelSession,
                                            HandshakeCompletion completion) {
    if (isDefaultPathUnavailable()) {
        if (completion) {
            completion(TunnelError::fromVantu("network unavailable before data channel start: " +
                                              defaultPathSummary()));
        }
        return;
    }

    const int64_t generation = ++dataChannel.dataChannelGeneration;
    dataChannel.handshakeCompleted = false;
    // A start that was still waiting is replaced, and never hears back.
    dataChannel.handshakeCompletion = std::move(completion);
    resetUDPDiagnostics();
    resetTCPDiagnostics();

    if (channelSession->transport == "tcp") {
        startTCPConnection(serverHost, std::move(channelSession), generation);
        return;
    }
    startUDPConnection(serverHost, std::move(channelSession), generation);
}

void PacketTunnelProvider::startUDPConnection(const std::string& serverHost, std::shared_ptr<VantuSession> channelSession,
                                              int64_t generation) {
    std::shared_ptr<UDPSession> udp = host.createUDPSession(serverHost, std::to_string(channelSession->dataPort));
    if (!udp) {
        // A platform that cannot even create the flow is treated like one
        // whose flow is invalid from the start.
        finishHandshake(TunnelError::fromVantu("UDP session invalid before handshake; " + udpDiagnostics()));
        return;
    }
    // A session being replaced is released with it, so its socket does not
    // linger until the object happens to be destroyed.
    if (dataChannel.udpSession && dataChannel.udpSession != udp) dataChannel.udpSession->cancel();
    dataChannel.udpSession = udp;

    const std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
    const std::weak_ptr<UDPSession> weakUDP = udp;
    udp->setReadHandler(
        [weak, weakUDP](std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
            const auto self = weak.lock();
            const auto receiver = weakUDP.lock();
            if (!self || !receiver || receiver != self->dataChannel.udpSession) return;
            if (error) {
                const std::string text = error->description();
                self->log("UDP receive failed: " + text);
                self->failDataChannel(text);
                return;
            }
            // The packets of the whole batch reach the system in one write.
            const PacketBatchScope batch(*self);
            for (const Bytes& datagram : datagrams) {
                // Nothing a frame does today closes the channel, but if a
                // later frame type does, the rest of the batch belongs to a
                // channel that no longer exists.
                if (receiver != self->dataChannel.udpSession) return;
                if (datagram.empty()) continue;
                ++self->dataChannel.udpDatagramsReceived;
                if constexpr (DiagnosticsState::packetLoggingEnabled) {
                    self->logPacket("UDP received " + std::to_string(datagram.size()) + " bytes");
                }
                self->decryptAndHandlePacket(datagram);
            }
        },
        DataChannelState::kUDPDatagramBatch);

    waitForUDPSessionReady(udp, serverHost, channelSession, generation, after(now(), DataChannelState::kUDPReadinessDeadline));

    queue.after(Duration(DataChannelState::kHandshakeTimeout), [weak, generation] {
        const auto self = weak.lock();
        if (!self || self->dataChannel.dataChannelGeneration != generation || self->dataChannel.handshakeCompleted) return;
        self->log("handshake timeout waiting for encrypted pong");
        self->finishHandshake(
            TunnelError::fromVantu("Vantu encrypted UDP handshake timed out; " + self->udpDiagnostics()));
    });
}

void PacketTunnelProvider::waitForUDPSessionReady(std::shared_ptr<UDPSession> udp, const std::string& serverHost,
                                                  std::shared_ptr<VantuSession> channelSession, int64_t generation,
                                                  Instant deadline) {
    if (udp != dataChannel.udpSession || dataChannel.dataChannelGeneration != generation || dataChannel.handshakeCompleted) return;

    const UDPSessionState state = udp->state();
    dataChannel.lastUDPSessionState = std::to_string(static_cast<int>(state));

    const auto fail = [this](const std::string& text) {
        finishHandshake(TunnelError::fromVantu(text + udpDiagnostics()));
    };
    switch (state) {
        case UDPSessionState::ready:
            dataChannel.udpReadySeen = true;
            log("UDP session ready " + serverHost + ":" + std::to_string(channelSession->dataPort));
            scheduleUDPPing(udp, generation);
            return;
        case UDPSessionState::waiting:
        case UDPSessionState::preparing: {
            if (now() >= deadline) {
                fail("UDP session did not become ready; ");
                return;
            }
            queue.after(Duration(DataChannelState::kUDPReadinessPollInterval),
                        [weak = weak_from_this(), weakUDP = std::weak_ptr<UDPSession>(udp), serverHost,
                         channelSession, generation, deadline] {
                            const auto self = weak.lock();
                            const auto polled = weakUDP.lock();
                            if (!self || !polled) return;
                            self->waitForUDPSessionReady(polled, serverHost, channelSession, generation, deadline);
                        });
            return;
        }
        case UDPSessionState::invalid:
            fail("UDP session invalid before handshake; ");
            return;
        case UDPSessionState::failed:
            fail("UDP session failed before handshake; ");
            return;
        case UDPSessionState::cancelled:
            fail("UDP session cancelled before handshake; ");
            return;
    }
    fail("UDP session entered unknown state; ");
}

void PacketTunnelProvider::scheduleUDPPing(std::shared_ptr<UDPSession> udp, int64_t generation) {
    if (udp != dataChannel.udpSession || dataChannel.dataChannelGeneration != generation || dataChannel.handshakeCompleted) return;
    sendPingFrame();
    queue.after(Duration(DataChannelState::kHandshakePingInterval),
                [weak = weak_from_this(), weakUDP = std::weak_ptr<UDPSession>(udp), generation] {
                    const auto self = weak.lock();
                    const auto pinged = weakUDP.lock();
                    if (!self || !pinged) return;
                    self->scheduleUDPPing(pinged, generation);
                });
}

void PacketTunnelProvider::finishHandshake(std::optional<TunnelError> error) {
    // A pong, the timeout and a failure may race for the same handshake;
    // whichever comes first decides it.
    if (dataChannel.handshakeCompleted) return;
    dataChannel.handshakeCompleted = true;
    std::optional<HandshakeCompletion> completion = std::move(dataChannel.handshakeCompletion);
    dataChannel.handshakeCompletion.reset();

    if (!error) {
        startKeepalive();
    } else {
        closeDataChannel();
    }
    if (completion && *completion) (*completion)(error);
}

void PacketTunnelProvider::failDataChannel(const std::string& message) {
    lifecycle.lastTunnelFailure = message;
    recordDiagnostic("data channel failed: " + message);

    if (!dataChannel.handshakeCompleted) {
        // Still starting: only that start fails; whoever started the
        // channel decides what happens next.
        finishHandshake(TunnelError::fromVantu(message));
        return;
    }
    if (isDefaultPathUnavailable()) {
        terminateTunnel("network unavailable after data channel failure: " + message + "; " + defaultPathSummary());
        return;
    }
    if (session && session->transport == "udp" && activeConfig) {
        recoverUDPDataChannel(message);
        return;
    }
    // The stream transport is not rebuilt: TCP itself already retransmits,
    // so a stream that failed means a server or path that is gone.
    closeDataChannel();
    host.cancelTunnelWithError(TunnelError::fromVantu(message));
}

}  // namespace vantu

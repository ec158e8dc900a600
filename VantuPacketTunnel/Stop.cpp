#include <unistd.h>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

std::string PacketTunnelProvider::stopReasonDescription(int reason) {
    // Indexed by the platform's stop reason code.
    static const char* const names[] = {
        "none",  // 0
        "userInitiated",  // 1
        "providerFailed",  // 2
        "noNetworkAvailable",  // 3
        "unrecoverableNetworkChange",  // 4
        "providerDisabled",  // 5
        "authenticationCanceled",  // 6
        "configurationFailed",  // 7
        "idleTimeout",  // 8
        "configurationDisabled",  // 9
        "configurationRemoved",  // 10
        "superceded",  // 11
        "userLogout",  // 12
        "userSwitch",  // 13
        "connectionFailed",  // 14
        "sleep",  // 15
        "appUpdate",  // 16
        "internalError",  // 17
    };
    constexpr int known = static_cast<int>(sizeof names / sizeof names[0]);
    const std::string prefix = "reason=" + std::to_string(reason) + " ";
    if (reason >= 0 && reason < known) return prefix + names[reason];
    return prefix + "unknown";
}

void PacketTunnelProvider::closeDataChannel() {
    // Everything still queued for the old channel now sees a stale generation.
    ++dataChannel.dataChannelGeneration;
    if (keepalive.source) {
        auto timer = std::move(keepalive.source);
        keepalive.source.reset();
        timer->cancel();
    }
    dataChannel.tcpReadBuffer.clear();
    dataChannel.tcpWriteBuffer.clear();
    dataChannel.tcpWriteOffset = 0;
    dataChannel.tcpWriteRetryScheduled = false;
    if (dataChannel.udpSession) {
        auto udp = std::move(dataChannel.udpSession);
        dataChannel.udpSession.reset();
        udp->cancel();
    }
    for (auto& [key, box] : directCore.udpSessions) {
        if (box && box->session) box->session->cancel();
    }
    directCore.udpSessions.clear();
    for (auto& [key, box] : directCore.tcpSessions) {
        if (box && box->connection) box->connection->cancel();
    }
    directCore.tcpSessions.clear();
    if (dataChannel.dataSource) {
        // The source's cancel handler owns closing the socket.
        auto source = std::move(dataChannel.dataSource);
        dataChannel.dataSource.reset();
        source->cancel();
    } else if (dataChannel.dataFD >= 0) {
        ::close(dataChannel.dataFD);
    }
    dataChannel.dataFD = -1;
}

void PacketTunnelProvider::finishDynamicRouteUpdateCompletions() {
    // Take both lists first: a completion may schedule new work that appends.
    auto waiting = std::move(learnedRoutes.updateCompletions);
    auto inFlight = std::move(learnedRoutes.inFlightUpdateCompletions);
    learnedRoutes.updateCompletions.clear();
    learnedRoutes.inFlightUpdateCompletions.clear();
    for (auto& completion : waiting) {
        if (completion) completion();
    }
    for (auto& completion : inFlight) {
        if (completion) completion();
    }
}

void PacketTunnelProvider::stopTunnel(int reason, std::function<void()> completionHandler) {
    // Held strongly: the platform waits for this completion.
    auto self = shared_from_this();
    queue.submit([self, reason, completion = std::move(completionHandler)]() {
        PacketTunnelProvider& p = *self;
        p.lifecycle.lastStopReason = stopReasonDescription(reason);
        p.recordDiagnostic("stopTunnel " + p.lifecycle.lastStopReason);
        // Taken before anything is released, so it shows the tunnel as it was.
        p.persistLastStoppedSnapshot();

        // A start or recovery still waiting for its handshake never hears back.
        p.dataChannel.handshakeCompletion.reset();
        p.dataChannel.handshakeCompleted = false;
        p.recovery.inProgress = false;

        p.closeDataChannel();
        p.session.reset();
        p.activeConfig.reset();

        // The cache in the defaults store stays for the next start.
        p.learnedRoutes.routes.clear();
        ++p.learnedRoutes.version;
        p.learnedRoutes.cacheKey.clear();

        p.directCore.udpEnabled = false;
        p.directCore.tcpEnabled = false;
        p.directCore.tcpDisabledForSession = false;
        p.directCore.tcpFailureWindowStartedAt = kDistantPast;
        p.directCore.tcpFailureWindowCount = 0;

        p.finishDynamicRouteUpdateCompletions();
        p.learnedRoutes.updateScheduled = false;
        p.learnedRoutes.updateInFlight = false;

        for (auto& [id, dns] : p.dns.sessions) {
            if (dns) dns->cancel();
        }
        p.dns.sessions.clear();
        for (auto& [key, box] : p.directCore.udpSessions) {
            if (box && box->session) box->session->cancel();
        }
        p.directCore.udpSessions.clear();
        for (auto& [key, box] : p.directCore.tcpSessions) {
            if (box && box->connection) box->connection->cancel();
        }
        p.directCore.tcpSessions.clear();

        if (completion) completion();
    });
}

void PacketTunnelProvider::terminateTunnel(const std::string& reason) {
    // Only the first unrecoverable failure counts; the stop that follows
    // the cancellation does the rest.
    if (lifecycle.isTerminatingTunnel) return;
    lifecycle.isTerminatingTunnel = true;
    lifecycle.lastTunnelFailure = reason;
    recordDiagnostic("terminating tunnel: " + reason);
    closeDataChannel();
    session.reset();
    activeConfig.reset();
    learnedRoutes.routes.clear();
    ++learnedRoutes.version;
    learnedRoutes.cacheKey.clear();
    directCore.udpEnabled = false;
    directCore.tcpEnabled = false;
    directCore.tcpDisabledForSession = false;
    recovery.inProgress = false;
    host.cancelTunnelWithError(TunnelError::fromVantu(reason));
}

}  // namespace vantu

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
    ++dataChannelGeneration;
    if (keepaliveSource) {
        auto timer = std::move(keepaliveSource);
        keepaliveSource.reset();
        timer->cancel();
    }
    tcpReadBuffer.clear();
    tcpWriteBuffer.clear();
    tcpWriteOffset = 0;
    tcpWriteRetryScheduled = false;
    if (udpSession) {
        auto udp = std::move(udpSession);
        udpSession.reset();
        udp->cancel();
    }
    for (auto& [key, box] : directUDPSessions) {
        if (box && box->session) box->session->cancel();
    }
    directUDPSessions.clear();
    for (auto& [key, box] : directTCPSessions) {
        if (box && box->connection) box->connection->cancel();
    }
    directTCPSessions.clear();
    if (dataSource) {
        // The source's cancel handler owns closing the socket.
        auto source = std::move(dataSource);
        dataSource.reset();
        source->cancel();
    } else if (dataFD >= 0) {
        ::close(dataFD);
    }
    dataFD = -1;
}

void PacketTunnelProvider::finishDynamicRouteUpdateCompletions() {
    // Take both lists first: a completion may schedule new work that appends.
    auto waiting = std::move(dynamicRouteUpdateCompletions);
    auto inFlight = std::move(inFlightDynamicRouteUpdateCompletions);
    dynamicRouteUpdateCompletions.clear();
    inFlightDynamicRouteUpdateCompletions.clear();
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
        p.lastStopReason = stopReasonDescription(reason);
        p.recordDiagnostic("stopTunnel " + p.lastStopReason);
        // Taken before anything is released, so it shows the tunnel as it was.
        p.persistLastStoppedSnapshot();

        // A start or recovery still waiting for its handshake never hears back.
        p.handshakeCompletion.reset();
        p.handshakeCompleted = false;
        p.dataRecoveryInProgress = false;

        p.closeDataChannel();
        p.session.reset();
        p.activeConfig.reset();

        // The cache in the defaults store stays for the next start.
        p.dynamicDirectRoutes.clear();
        ++p.dynamicDirectRoutesVersion;
        p.dynamicDirectRouteCacheKey.clear();

        p.clientDirectCoreEnabled = false;
        p.clientDirectTCPEnabled = false;
        p.directTCPDisabledForSession = false;
        p.directTCPFailureWindowStartedAt = kDistantPast;
        p.directTCPFailureWindowCount = 0;

        p.finishDynamicRouteUpdateCompletions();
        p.dynamicRouteUpdateScheduled = false;
        p.dynamicRouteUpdateInFlight = false;

        for (auto& [id, dns] : p.dnsSessions) {
            if (dns) dns->cancel();
        }
        p.dnsSessions.clear();
        for (auto& [key, box] : p.directUDPSessions) {
            if (box && box->session) box->session->cancel();
        }
        p.directUDPSessions.clear();
        for (auto& [key, box] : p.directTCPSessions) {
            if (box && box->connection) box->connection->cancel();
        }
        p.directTCPSessions.clear();

        if (completion) completion();
    });
}

void PacketTunnelProvider::terminateTunnel(const std::string& reason) {
    // Only the first unrecoverable failure counts; the stop that follows
    // the cancellation does the rest.
    if (isTerminatingTunnel) return;
    isTerminatingTunnel = true;
    lastTunnelFailure = reason;
    recordDiagnostic("terminating tunnel: " + reason);
    closeDataChannel();
    session.reset();
    activeConfig.reset();
    dynamicDirectRoutes.clear();
    ++dynamicDirectRoutesVersion;
    dynamicDirectRouteCacheKey.clear();
    clientDirectCoreEnabled = false;
    clientDirectTCPEnabled = false;
    directTCPDisabledForSession = false;
    dataRecoveryInProgress = false;
    host.cancelTunnelWithError(TunnelError::fromVantu(reason));
}

}  // namespace vantu

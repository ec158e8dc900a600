// Rebuilding a failed UDP data channel while the tunnel stays up: first on
// the same control session (same keys, new UDP flow, new handshake), then on
// a fresh control session to the server address already in use. Only when
// both fail is the tunnel terminated.
//
// The routes and rules of the tunnel stay in place the whole time, so the
// system keeps routing into the tunnel and traffic waits (and is dropped
// for want of a carrier) instead of leaving the machine unencrypted.

#include <exception>
#include <memory>
#include <string>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "base/Utf8.h"

namespace vantu {

void PacketTunnelProvider::recoverUDPDataChannel(const std::string& reason) {
    if (recovery.inProgress) {
        recordDiagnostic("UDP data recovery already in progress; latest reason: " + reason);
        return;
    }
    if (isDefaultPathUnavailable()) {
        terminateTunnel("network unavailable before UDP data recovery: " + reason + "; " + defaultPathSummary());
        return;
    }
    if (!activeConfig || !session || currentServerAddress.empty()) {
        closeDataChannel();
        host.cancelTunnelWithError(TunnelError::fromVantu(reason));
        return;
    }
    const VantuConfig config = *activeConfig;
    recovery.inProgress = true;
    ++recovery.attempts;
    recovery.lastError = reason;
    recordDiagnostic("UDP data recovery started attempt=" + std::to_string(recovery.attempts) + ": " + reason);
    closeDataChannel();

    // The session keeps its sequence counter: the server's replay window for
    // this session id has seen every number used so far.
    const std::shared_ptr<VantuSession> sameSession = session;
    startDataChannel(currentServerAddress, sameSession,
                     [weak = weak_from_this(), config, sameSession](std::optional<TunnelError> error) {
                         const auto self = weak.lock();
                         // A stop or termination in between ended this recovery.
                         if (!self || !self->recovery.inProgress || self->session != sameSession) return;
                         if (!error) {
                             self->recovery.inProgress = false;
                             ++self->recovery.successes;
                             self->recovery.lastError.clear();
                             self->recordDiagnostic("UDP data recovery completed on same session");
                             return;
                         }
                         const std::string text = error->description();
                         self->recordDiagnostic("UDP data recovery same-session failed: " + text);
                         self->openFreshSessionForUDPRecovery(config, text);
                     });
}

void PacketTunnelProvider::openFreshSessionForUDPRecovery(const VantuConfig& config, const std::string& reason) {
    if (isDefaultPathUnavailable()) {
        finishFailedUDPRecovery("network unavailable before fresh control session: " + reason + "; " +
                                defaultPathSummary());
        return;
    }
    // The same server as before, not a new name lookup that might pick
    // another one while the old session's routes are still in place.
    const VantuConfig controlConfig = currentServerAddress.empty() ? config : config.withHost(currentServerAddress);
    recordDiagnostic("UDP data recovery opening fresh control session host=" + controlConfig.host +
                     " after: " + reason);

    std::shared_ptr<VantuSession> fresh;
    try {
        fresh = openControlSession(controlConfig);
    } catch (const std::exception& e) {
        finishFailedUDPRecovery("fresh control session failed: " + replacingInvalidUTF8(e.what()));
        return;
    }
    if (!fresh) {
        finishFailedUDPRecovery("fresh control session failed: control session rejected");
        return;
    }
    session = fresh;

    directCore.udpEnabled = config.clientDirectCoreEnabled;
    directCore.tcpEnabled = config.clientDirectTCPEnabled;
    directCore.tcpDisabledForSession = false;
    directCore.tcpFailureWindowStartedAt = kDistantPast;
    directCore.tcpFailureWindowCount = 0;
    learnedRoutes.cacheKey = config.dynamicDirectRouteCacheKey;
    if (directCore.udpEnabled || directCore.tcpEnabled) {
        learnedRoutes.routes = loadCachedDynamicDirectRoutes(config.dynamicDirectRouteCacheKey);
    } else {
        learnedRoutes.routes.clear();
    }

    currentServerAddress = resolveIPv4(config.host).value_or(config.host);
    recordDiagnostic("UDP data recovery fresh session opened tunnelIP=" + fresh->tunnelIP +
                     " dataPort=" + std::to_string(fresh->dataPort));

    const std::string serverAddress = currentServerAddress;
    startDataChannel(serverAddress, fresh, [weak = weak_from_this(), fresh, serverAddress](std::optional<TunnelError> error) {
        const auto self = weak.lock();
        if (!self || !self->recovery.inProgress || self->session != fresh) return;
        if (error) {
            self->finishFailedUDPRecovery("fresh data channel failed: " + error->description());
            return;
        }
        const TunnelNetworkSettings settings = self->networkSettings(serverAddress, *fresh);
        // The platform delivers the settings completion on the work queue.
        self->host.setTunnelNetworkSettings(settings, [weak, fresh](std::optional<TunnelError> settingsError) {
            const auto p = weak.lock();
            // Stopped or terminated while the settings were applied: the
            // outcome belongs to no recovery any more.
            if (!p || !p->recovery.inProgress || p->session != fresh) return;
            if (settingsError) {
                p->finishFailedUDPRecovery("fresh network settings failed: " + settingsError->description());
                return;
            }
            p->recovery.inProgress = false;
            ++p->recovery.successes;
            p->recovery.lastError.clear();
            p->recordDiagnostic("UDP data recovery completed with fresh session");
        });
    });
}

void PacketTunnelProvider::finishFailedUDPRecovery(const std::string& message) {
    recovery.inProgress = false;
    ++recovery.failures;
    recovery.lastError = message;
    recordDiagnostic("UDP data recovery failed: " + message);
    terminateTunnel("UDP data recovery failed: " + message);
}

}  // namespace vantu

#include <cmath>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "VantuPacketTunnel/Text.h"
#include "VantuPacketTunnel/Utf8.h"

namespace vantu {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(const Bytes& bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const uint8_t b = bytes[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t lowest;
        uint32_t cp;
        if ((b & 0xE0) == 0xC0) {
            length = 2, lowest = 0x80, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3, lowest = 0x800, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4, lowest = 0x10000, cp = b & 0x07;
        } else {
            return false;
        }
        if (n - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            const uint8_t c = bytes[i + k];
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace

void PacketTunnelProvider::persistLastStoppedSnapshot() {
    // Without the previous stop's snapshot, so snapshots never nest.
    // The snapshot quotes peer texts (last errors, failure reasons); it is
    // stored, so it must be UTF-8 whatever they held.
    lastStoppedSnapshot = replacingInvalidUTF8(diagnosticsSnapshot(false));
    defaults.setString(kLastStoppedSnapshotKey, lastStoppedSnapshot);
}

std::string PacketTunnelProvider::formatAgeSince(Instant instant) const {
    if (isDistantPast(instant)) return "-";
    const double seconds = std::trunc(secondsBetween(instant, now()));
    return std::to_string(static_cast<int64_t>(seconds)) + "s";
}

std::string PacketTunnelProvider::diagnosticsSnapshot(bool includeLastStoppedSnapshot) {
    std::vector<std::string> lines;
    lines.reserve(20 + diagnosticsEvents.size());
    lines.push_back("vantu tunnel diagnostics");
    lines.push_back("time=" + diagnosticTimestamp());
    lines.push_back(std::string("session=") + (session ? "open" : "nil") +
                    " transport=" + (session ? session->transport : "-") +
                    " tunnelIP=" + (session ? session->tunnelIP : "-") +
                    " server=" + (currentServerAddress.empty() ? "-" : currentServerAddress));
    lines.push_back(std::string("flags serverPolicy=") + boolText(session && session->routingPolicy.has_value()) +
                    " directCoreUDP=" + boolText(clientDirectCoreEnabled) +
                    " directCoreTCP=" + boolText(clientDirectTCPEnabled));
    lines.push_back("dns servers=" + (session ? joined(session->dnsServers, ",") : std::string()) +
                    " queries=" + std::to_string(dnsQueryCount) + " responses=" + std::to_string(dnsResponseCount) +
                    " fallbacks=" + std::to_string(dnsFallbackCount) + " failures=" + std::to_string(dnsFailureCount));
    lines.push_back("routes cached=" + std::to_string(dynamicDirectRoutes.size()) + "/" +
                    std::to_string(kMaxDynamicDirectRoutes) + " applied=" +
                    std::to_string(lastAppliedDynamicRouteCount) + "/" + std::to_string(kMaxSystemDynamicDirectRoutes) +
                    " scheduled=" + boolText(dynamicRouteUpdateScheduled) +
                    " inFlight=" + boolText(dynamicRouteUpdateInFlight) +
                    " matches=" + std::to_string(dnsDirectMatchCount) +
                    " inserted=" + std::to_string(dnsDirectInsertedRoutes) +
                    " repeats=" + std::to_string(dnsDirectRepeatedMatches) +
                    " limitDrops=" + std::to_string(dnsDirectLimitDrops));
    lines.push_back("routeApply schedules=" + std::to_string(dynamicRouteApplySchedules) +
                    " attempts=" + std::to_string(dynamicRouteApplyAttempts) +
                    " ok=" + std::to_string(dynamicRouteApplySuccesses) +
                    " fail=" + std::to_string(dynamicRouteApplyFailures) +
                    " lastMs=" + std::to_string(lastDynamicRouteApplyDurationMS));
    lines.push_back("directUDP active=" + std::to_string(directUDPSessions.size()) +
                    " opened=" + std::to_string(directUDPSessionsOpened) +
                    " intercepted=" + std::to_string(directUDPPacketsIntercepted) +
                    " sent=" + std::to_string(directUDPPayloadsSent) +
                    " responses=" + std::to_string(directUDPResponsesWritten) +
                    " readFail=" + std::to_string(directUDPReadFailures) +
                    " writeFail=" + std::to_string(directUDPWriteFailures) +
                    " timeouts=" + std::to_string(directUDPTimeouts) +
                    " idleClosed=" + std::to_string(directUDPIdleCloses) +
                    " evicted=" + std::to_string(directUDPEvictions));
    lines.push_back("directTCP active=" + std::to_string(directTCPSessions.size()) +
                    " disabled=" + boolText(directTCPDisabledForSession) +
                    " failureWindow=" + std::to_string(directTCPFailureWindowCount) +
                    " opened=" + std::to_string(directTCPSessionsOpened) +
                    " intercepted=" + std::to_string(directTCPSegmentsIntercepted) +
                    " sent=" + std::to_string(directTCPPayloadsSent) +
                    " responses=" + std::to_string(directTCPResponsesWritten) +
                    " connectFail=" + std::to_string(directTCPConnectFailures) +
                    " readFail=" + std::to_string(directTCPReadFailures) +
                    " writeFail=" + std::to_string(directTCPWriteFailures) +
                    " idleClosed=" + std::to_string(directTCPIdleCloses) +
                    " evicted=" + std::to_string(directTCPEvictions) +
                    " heldDrops=" + std::to_string(directTCPHeldLimitDrops) +
                    " windowDrops=" + std::to_string(directTCPWindowDrops) +
                    " retransmits=" + std::to_string(directTCPRetransmits) +
                    " retransmitResets=" + std::to_string(directTCPRetransmitResets));
    lines.push_back(std::string("dataRecovery inProgress=") + boolText(dataRecoveryInProgress) +
                    " attempts=" + std::to_string(dataRecoveryAttempts) +
                    " ok=" + std::to_string(dataRecoverySuccesses) +
                    " fail=" + std::to_string(dataRecoveryFailures));
    lines.push_back("keepalive lastRxAge=" + formatAgeSince(lastDataFrameReceivedAt) +
                    " lastProbeAge=" + formatAgeSince(lastKeepaliveProbeAt) +
                    " timeouts=" + std::to_string(keepaliveTimeouts));
    lines.push_back("udpChannel " + udpDiagnostics());
    lines.push_back("tcpChannel " + tcpDiagnostics());

    if (!lastTunnelFailure.empty()) lines.push_back("lastTunnelFailure=" + lastTunnelFailure);
    if (!lastStopReason.empty()) lines.push_back("lastStop=" + lastStopReason);
    if (!lastDynamicRouteUpdateError.empty()) lines.push_back("lastRouteApplyError=" + lastDynamicRouteUpdateError);
    if (!lastDataRecoveryError.empty()) lines.push_back("lastDataRecoveryError=" + lastDataRecoveryError);

    // The last stop's picture only matters while no tunnel runs.
    if (includeLastStoppedSnapshot && !session && !lastStoppedSnapshot.empty()) {
        lines.push_back("last stopped snapshot:");
        lines.push_back(lastStoppedSnapshot);
    }

    lines.push_back("recent events:");
    const size_t first = diagnosticsEvents.size() > static_cast<size_t>(kMaxDiagnosticEvents)
                             ? diagnosticsEvents.size() - kMaxDiagnosticEvents
                             : 0;
    for (size_t i = first; i < diagnosticsEvents.size(); ++i) lines.push_back(diagnosticsEvents[i]);

    return joined(lines, "\n");
}

void PacketTunnelProvider::resetDiagnosticsCounters() {
    diagnosticsSequence = 0;
    diagnosticsEvents.clear();

    dnsQueryCount = dnsResponseCount = dnsFallbackCount = dnsFailureCount = 0;
    dnsDirectMatchCount = dnsDirectInsertedRoutes = dnsDirectRepeatedMatches = dnsDirectLimitDrops = 0;
    dynamicRouteApplyAttempts = dynamicRouteApplySuccesses = dynamicRouteApplyFailures = 0;
    dynamicRouteApplySchedules = 0;
    lastDynamicRouteApplyDurationMS = 0;
    directUDPPacketsIntercepted = directUDPSessionsOpened = directUDPPayloadsSent = directUDPResponsesWritten = 0;
    directUDPReadFailures = directUDPWriteFailures = directUDPTimeouts = directUDPIdleCloses = 0;
    directTCPSegmentsIntercepted = directTCPSessionsOpened = directTCPPayloadsSent = directTCPResponsesWritten = 0;
    directTCPConnectFailures = directTCPReadFailures = directTCPWriteFailures = directTCPIdleCloses = 0;
    directUDPEvictions = directTCPEvictions = directTCPHeldLimitDrops = directTCPWindowDrops = 0;
    directTCPRetransmits = directTCPRetransmitResets = 0;
    directTCPFailureWindowCount = 0;
    dataRecoveryAttempts = dataRecoverySuccesses = dataRecoveryFailures = 0;
    keepaliveTimeouts = 0;
    tunnelPacketsOut = tunnelBytesOut = tunnelPacketsIn = tunnelBytesIn = 0;

    directTCPFailureWindowStartedAt = kDistantPast;
    lastDataFrameReceivedAt = kDistantPast;
    lastKeepaliveProbeAt = kDistantPast;
    dataRecoveryInProgress = false;

    lastDataRecoveryError.clear();
    lastTunnelFailure.clear();
    lastDynamicRouteUpdateError.clear();
    lastStoppedSnapshot.clear();
    defaults.remove(kLastStoppedSnapshotKey);

    recordDiagnostic("diagnostics reset");
}

void PacketTunnelProvider::handleAppMessage(const Bytes& message,
                                            std::function<void(std::optional<Bytes>)> completionHandler) {
    std::string command = isValidUTF8(message) ? std::string(message.begin(), message.end()) : "diagnostics";
    // Held strongly: the app is waiting for the reply.
    auto self = shared_from_this();
    queue.submit([self, command = std::move(command), completion = std::move(completionHandler)]() {
        self->loadPersistedDiagnostics();
        if (command == "resetDiagnostics") self->resetDiagnosticsCounters();
        if (completion) completion(bytesOf(self->diagnosticsSnapshot(true)));
    });
}

}  // namespace vantu

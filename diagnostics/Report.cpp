#include <cmath>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "base/Text.h"
#include "base/Utf8.h"

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
    diagnostics.lastStoppedSnapshot = replacingInvalidUTF8(diagnosticsSnapshot(false));
    defaults.setString(DiagnosticsState::kLastStoppedSnapshotKey, diagnostics.lastStoppedSnapshot);
}

std::string PacketTunnelProvider::formatAgeSince(Instant instant) const {
    if (isDistantPast(instant)) return "-";
    const double seconds = std::trunc(secondsBetween(instant, now()));
    return std::to_string(static_cast<int64_t>(seconds)) + "s";
}

std::string PacketTunnelProvider::diagnosticsSnapshot(bool includeLastStoppedSnapshot) {
    std::vector<std::string> lines;
    lines.reserve(20 + diagnostics.events.size());
    lines.push_back("vantu tunnel diagnostics");
    lines.push_back("time=" + diagnosticTimestamp());
    lines.push_back(std::string("session=") + (session ? "open" : "nil") +
                    " transport=" + (session ? session->transport : "-") +
                    " tunnelIP=" + (session ? session->tunnelIP : "-") +
                    " server=" + (currentServerAddress.empty() ? "-" : currentServerAddress));
    lines.push_back(std::string("flags serverPolicy=") + boolText(session && session->routingPolicy.has_value()) +
                    " directCoreUDP=" + boolText(directCore.udpEnabled) +
                    " directCoreTCP=" + boolText(directCore.tcpEnabled));
    lines.push_back("dns servers=" + (session ? joined(session->dnsServers, ",") : std::string()) +
                    " queries=" + std::to_string(dns.queries) + " responses=" + std::to_string(dns.responses) +
                    " fallbacks=" + std::to_string(dns.fallbacks) + " failures=" + std::to_string(dns.failures));
    lines.push_back("routes cached=" + std::to_string(learnedRoutes.routes.size()) + "/" +
                    std::to_string(LearnedRoutes::kMaxDynamicDirectRoutes) + " applied=" +
                    std::to_string(learnedRoutes.lastAppliedCount) + "/" + std::to_string(LearnedRoutes::kMaxSystemDynamicDirectRoutes) +
                    " scheduled=" + boolText(learnedRoutes.updateScheduled) +
                    " inFlight=" + boolText(learnedRoutes.updateInFlight) +
                    " matches=" + std::to_string(learnedRoutes.dnsMatches) +
                    " inserted=" + std::to_string(learnedRoutes.dnsInsertedRoutes) +
                    " repeats=" + std::to_string(learnedRoutes.dnsRepeatedMatches) +
                    " limitDrops=" + std::to_string(learnedRoutes.dnsLimitDrops));
    lines.push_back("routeApply schedules=" + std::to_string(learnedRoutes.applySchedules) +
                    " attempts=" + std::to_string(learnedRoutes.applyAttempts) +
                    " ok=" + std::to_string(learnedRoutes.applySuccesses) +
                    " fail=" + std::to_string(learnedRoutes.applyFailures) +
                    " lastMs=" + std::to_string(learnedRoutes.lastApplyDurationMS));
    lines.push_back("directUDP active=" + std::to_string(directCore.udpSessions.size()) +
                    " opened=" + std::to_string(directCore.udpSessionsOpened) +
                    " intercepted=" + std::to_string(directCore.udpPacketsIntercepted) +
                    " sent=" + std::to_string(directCore.udpPayloadsSent) +
                    " responses=" + std::to_string(directCore.udpResponsesWritten) +
                    " readFail=" + std::to_string(directCore.udpReadFailures) +
                    " writeFail=" + std::to_string(directCore.udpWriteFailures) +
                    " timeouts=" + std::to_string(directCore.udpTimeouts) +
                    " idleClosed=" + std::to_string(directCore.udpIdleCloses) +
                    " evicted=" + std::to_string(directCore.udpEvictions));
    lines.push_back("directTCP active=" + std::to_string(directCore.tcpSessions.size()) +
                    " disabled=" + boolText(directCore.tcpDisabledForSession) +
                    " failureWindow=" + std::to_string(directCore.tcpFailureWindowCount) +
                    " opened=" + std::to_string(directCore.tcpSessionsOpened) +
                    " intercepted=" + std::to_string(directCore.tcpSegmentsIntercepted) +
                    " sent=" + std::to_string(directCore.tcpPayloadsSent) +
                    " responses=" + std::to_string(directCore.tcpResponsesWritten) +
                    " connectFail=" + std::to_string(directCore.tcpConnectFailures) +
                    " readFail=" + std::to_string(directCore.tcpReadFailures) +
                    " writeFail=" + std::to_string(directCore.tcpWriteFailures) +
                    " idleClosed=" + std::to_string(directCore.tcpIdleCloses) +
                    " evicted=" + std::to_string(directCore.tcpEvictions) +
                    " heldDrops=" + std::to_string(directCore.tcpHeldLimitDrops) +
                    " windowDrops=" + std::to_string(directCore.tcpWindowDrops) +
                    " retransmits=" + std::to_string(directCore.tcpRetransmits) +
                    " retransmitResets=" + std::to_string(directCore.tcpRetransmitResets));
    lines.push_back(std::string("dataRecovery inProgress=") + boolText(recovery.inProgress) +
                    " attempts=" + std::to_string(recovery.attempts) +
                    " ok=" + std::to_string(recovery.successes) +
                    " fail=" + std::to_string(recovery.failures));
    lines.push_back("keepalive lastRxAge=" + formatAgeSince(keepalive.lastDataFrameReceivedAt) +
                    " lastProbeAge=" + formatAgeSince(keepalive.lastProbeAt) +
                    " timeouts=" + std::to_string(keepalive.timeouts));
    lines.push_back("udpChannel " + udpDiagnostics());
    lines.push_back("tcpChannel " + tcpDiagnostics());

    if (!lifecycle.lastTunnelFailure.empty()) lines.push_back("lastTunnelFailure=" + lifecycle.lastTunnelFailure);
    if (!lifecycle.lastStopReason.empty()) lines.push_back("lastStop=" + lifecycle.lastStopReason);
    if (!learnedRoutes.lastUpdateError.empty()) lines.push_back("lastRouteApplyError=" + learnedRoutes.lastUpdateError);
    if (!recovery.lastError.empty()) lines.push_back("lastDataRecoveryError=" + recovery.lastError);

    // The last stop's picture only matters while no tunnel runs.
    if (includeLastStoppedSnapshot && !session && !diagnostics.lastStoppedSnapshot.empty()) {
        lines.push_back("last stopped snapshot:");
        lines.push_back(diagnostics.lastStoppedSnapshot);
    }

    lines.push_back("recent events:");
    const size_t first = diagnostics.events.size() > static_cast<size_t>(DiagnosticsState::kMaxDiagnosticEvents)
                             ? diagnostics.events.size() - DiagnosticsState::kMaxDiagnosticEvents
                             : 0;
    for (size_t i = first; i < diagnostics.events.size(); ++i) lines.push_back(diagnostics.events[i]);

    return joined(lines, "\n");
}

void PacketTunnelProvider::resetDiagnosticsCounters() {
    diagnostics.sequence = 0;
    diagnostics.events.clear();

    dns.queries = dns.responses = dns.fallbacks = dns.failures = 0;
    learnedRoutes.dnsMatches = learnedRoutes.dnsInsertedRoutes = learnedRoutes.dnsRepeatedMatches = learnedRoutes.dnsLimitDrops = 0;
    learnedRoutes.applyAttempts = learnedRoutes.applySuccesses = learnedRoutes.applyFailures = 0;
    learnedRoutes.applySchedules = 0;
    learnedRoutes.lastApplyDurationMS = 0;
    directCore.udpPacketsIntercepted = directCore.udpSessionsOpened = directCore.udpPayloadsSent = directCore.udpResponsesWritten = 0;
    directCore.udpReadFailures = directCore.udpWriteFailures = directCore.udpTimeouts = directCore.udpIdleCloses = 0;
    directCore.tcpSegmentsIntercepted = directCore.tcpSessionsOpened = directCore.tcpPayloadsSent = directCore.tcpResponsesWritten = 0;
    directCore.tcpConnectFailures = directCore.tcpReadFailures = directCore.tcpWriteFailures = directCore.tcpIdleCloses = 0;
    directCore.udpEvictions = directCore.tcpEvictions = directCore.tcpHeldLimitDrops = directCore.tcpWindowDrops = 0;
    directCore.tcpRetransmits = directCore.tcpRetransmitResets = 0;
    directCore.tcpFailureWindowCount = 0;
    recovery.attempts = recovery.successes = recovery.failures = 0;
    keepalive.timeouts = 0;
    dataChannel.tunnelPacketsOut = dataChannel.tunnelBytesOut = dataChannel.tunnelPacketsIn = dataChannel.tunnelBytesIn = 0;

    directCore.tcpFailureWindowStartedAt = kDistantPast;
    keepalive.lastDataFrameReceivedAt = kDistantPast;
    keepalive.lastProbeAt = kDistantPast;
    recovery.inProgress = false;

    recovery.lastError.clear();
    lifecycle.lastTunnelFailure.clear();
    learnedRoutes.lastUpdateError.clear();
    diagnostics.lastStoppedSnapshot.clear();
    defaults.remove(DiagnosticsState::kLastStoppedSnapshotKey);

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

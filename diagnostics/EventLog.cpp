#include <chrono>
#include <cstdio>
#include <ctime>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "base/Utf8.h"

namespace vantu {

// Messages carry texts the server or the network chose (error messages,
// names); the system log and the store take UTF-8 only, so anything else is
// repaired here rather than at every place that builds a message.
void PacketTunnelProvider::log(const std::string& message) const {
    systemLog.write("VantuPacketTunnel: " + (isValidUTF8(message) ? message : replacingInvalidUTF8(message)));
}

// Debug logs, compiled out: per-query and per-packet lines would flood the
// system log on a busy tunnel.
void PacketTunnelProvider::logDNS(const std::string& message) const {
    if constexpr (DiagnosticsState::dnsRoutingLoggingEnabled) log(message);
}

void PacketTunnelProvider::logPacket(const std::string& message) const {
    if constexpr (DiagnosticsState::packetLoggingEnabled) log(message);
}

void PacketTunnelProvider::recordDiagnostic(const std::string& rawMessage) {
    // One event with a byte that is not UTF-8 would make every later save of
    // the whole log fail, so the event is repaired before it joins the log.
    const std::string message = isValidUTF8(rawMessage) ? rawMessage : replacingInvalidUTF8(rawMessage);
    ++diagnostics.sequence;
    diagnostics.events.push_back(diagnosticTimestamp() + " #" + std::to_string(diagnostics.sequence) + " " + message);
    if (diagnostics.events.size() > static_cast<size_t>(DiagnosticsState::kMaxDiagnosticEvents)) {
        const auto excess = static_cast<std::ptrdiff_t>(diagnostics.events.size() - DiagnosticsState::kMaxDiagnosticEvents);
        diagnostics.events.erase(diagnostics.events.begin(), diagnostics.events.begin() + excess);
    }
    log(message);
    // Persisted at once, so the app can read the log even if the process dies.
    persistDiagnostics();
}

std::string PacketTunnelProvider::diagnosticTimestamp() const { return formatTimestamp(now()); }

std::string PacketTunnelProvider::formatTimestamp(Instant instant) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(instant);
    const auto millis = duration_cast<milliseconds>(instant - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.time_since_epoch().count());
    std::tm utc{};
    if (::gmtime_r(&t, &utc) == nullptr) return "";
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

void PacketTunnelProvider::loadPersistedDiagnostics() {
    // Only an empty in-memory log is restored: once events exist in this
    // process they are newer than anything stored.
    if (!diagnostics.events.empty()) return;
    diagnostics.events = defaults.stringArray(DiagnosticsState::kDiagnosticEventsKey).value_or(std::vector<std::string>{});
    diagnostics.sequence = defaults.integer(DiagnosticsState::kDiagnosticSequenceKey);
    diagnostics.lastStoppedSnapshot = defaults.string(DiagnosticsState::kLastStoppedSnapshotKey).value_or("");
}

void PacketTunnelProvider::persistDiagnostics() {
    defaults.setStringArray(DiagnosticsState::kDiagnosticEventsKey, diagnostics.events);
    defaults.setInteger(DiagnosticsState::kDiagnosticSequenceKey, diagnostics.sequence);
}

std::string PacketTunnelProvider::udpDiagnostics() {
    if (dataChannel.udpSession) dataChannel.lastUDPSessionState = std::to_string(static_cast<int>(dataChannel.udpSession->state()));
    std::string text = "udpState=" + dataChannel.lastUDPSessionState;
    text += std::string(" ready=") + (dataChannel.udpReadySeen ? "true" : "false");
    text += " sendAttempts=" + std::to_string(dataChannel.udpSendAttempts);
    text += " sendCompletions=" + std::to_string(dataChannel.udpSendCompletions);
    text += " sendFailures=" + std::to_string(dataChannel.udpSendFailures);
    text += " receivedDatagrams=" + std::to_string(dataChannel.udpDatagramsReceived);
    if (dataChannel.udpSession && dataChannel.udpSession->droppedDatagrams() > 0)
        text += " queueDrops=" + std::to_string(dataChannel.udpSession->droppedDatagrams());
    if (dataChannel.replayedUnitsDropped > 0) text += " replayedUnits=" + std::to_string(dataChannel.replayedUnitsDropped);
    if (dataChannel.reflectedUnitsDropped > 0) text += " reflectedUnits=" + std::to_string(dataChannel.reflectedUnitsDropped);
    if (!dataChannel.lastUDPSendError.empty()) text += " lastSendError=" + dataChannel.lastUDPSendError;
    return text;
}

std::string PacketTunnelProvider::tcpDiagnostics() const {
    std::string text = "sendAttempts=" + std::to_string(dataChannel.tcpSendAttempts);
    text += " sendFailures=" + std::to_string(dataChannel.tcpSendFailures);
    text += " sentBytes=" + std::to_string(dataChannel.tcpSentBytes);
    text += " receivedBytes=" + std::to_string(dataChannel.tcpReceivedBytes);
    text += " framesReceived=" + std::to_string(dataChannel.tcpFramesReceived);
    if (dataChannel.tcpSendBufferOverflows > 0) text += " bufferOverflows=" + std::to_string(dataChannel.tcpSendBufferOverflows);
    if (!dataChannel.lastTCPSendError.empty()) text += " lastSendError=" + dataChannel.lastTCPSendError;
    if (!dataChannel.lastTCPReceiveError.empty()) text += " lastReceiveError=" + dataChannel.lastTCPReceiveError;
    if (!dataChannel.lastSentPlainPreview.empty()) text += " lastSentPlain=" + dataChannel.lastSentPlainPreview;
    if (!dataChannel.lastReceivedPlainPreview.empty()) text += " lastReceivedPlain=" + dataChannel.lastReceivedPlainPreview;
    if (dataChannel.decryptFailures > 0) text += " decryptFailures=" + std::to_string(dataChannel.decryptFailures);
    if (!dataChannel.lastDecryptError.empty()) text += " lastDecryptError=" + dataChannel.lastDecryptError;
    return text;
}

void PacketTunnelProvider::resetUDPDiagnostics() {
    dataChannel.udpReadySeen = false;
    dataChannel.udpSendAttempts = 0;
    dataChannel.udpSendCompletions = 0;
    dataChannel.udpSendFailures = 0;
    dataChannel.udpDatagramsReceived = 0;
    dataChannel.lastUDPSessionState = "not-started";
    dataChannel.lastUDPSendError.clear();
}

void PacketTunnelProvider::resetTCPDiagnostics() {
    dataChannel.tcpSendAttempts = 0;
    dataChannel.tcpSendFailures = 0;
    dataChannel.tcpSentBytes = 0;
    dataChannel.tcpReceivedBytes = 0;
    dataChannel.tcpFramesReceived = 0;
    dataChannel.tcpSendBufferOverflows = 0;
    dataChannel.tcpSendBufferOverflowReported = false;
    dataChannel.lastTCPSendError.clear();
    dataChannel.lastTCPReceiveError.clear();
    dataChannel.lastSentPlainPreview.clear();
    dataChannel.lastReceivedPlainPreview.clear();
    dataChannel.lastDecryptError.clear();
    dataChannel.decryptFailures = 0;
    dataChannel.replayedUnitsDropped = 0;
    dataChannel.reflectedUnitsDropped = 0;
}

}  // namespace vantu

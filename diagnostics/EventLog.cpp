#include <chrono>
#include <cstdio>
#include <ctime>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "VantuPacketTunnel/Utf8.h"

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
    if constexpr (dnsRoutingLoggingEnabled) log(message);
}

void PacketTunnelProvider::logPacket(const std::string& message) const {
    if constexpr (packetLoggingEnabled) log(message);
}

void PacketTunnelProvider::recordDiagnostic(const std::string& rawMessage) {
    // One event with a byte that is not UTF-8 would make every later save of
    // the whole log fail, so the event is repaired before it joins the log.
    const std::string message = isValidUTF8(rawMessage) ? rawMessage : replacingInvalidUTF8(rawMessage);
    ++diagnosticsSequence;
    diagnosticsEvents.push_back(diagnosticTimestamp() + " #" + std::to_string(diagnosticsSequence) + " " + message);
    if (diagnosticsEvents.size() > static_cast<size_t>(kMaxDiagnosticEvents)) {
        const auto excess = static_cast<std::ptrdiff_t>(diagnosticsEvents.size() - kMaxDiagnosticEvents);
        diagnosticsEvents.erase(diagnosticsEvents.begin(), diagnosticsEvents.begin() + excess);
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
    if (!diagnosticsEvents.empty()) return;
    diagnosticsEvents = defaults.stringArray(kDiagnosticEventsKey).value_or(std::vector<std::string>{});
    diagnosticsSequence = defaults.integer(kDiagnosticSequenceKey);
    lastStoppedSnapshot = defaults.string(kLastStoppedSnapshotKey).value_or("");
}

void PacketTunnelProvider::persistDiagnostics() {
    defaults.setStringArray(kDiagnosticEventsKey, diagnosticsEvents);
    defaults.setInteger(kDiagnosticSequenceKey, diagnosticsSequence);
}

std::string PacketTunnelProvider::udpDiagnostics() {
    if (udpSession) lastUDPSessionState = std::to_string(static_cast<int>(udpSession->state()));
    std::string text = "udpState=" + lastUDPSessionState;
    text += std::string(" ready=") + (udpReadySeen ? "true" : "false");
    text += " sendAttempts=" + std::to_string(udpSendAttempts);
    text += " sendCompletions=" + std::to_string(udpSendCompletions);
    text += " sendFailures=" + std::to_string(udpSendFailures);
    text += " receivedDatagrams=" + std::to_string(udpDatagramsReceived);
    if (udpSession && udpSession->droppedDatagrams() > 0)
        text += " queueDrops=" + std::to_string(udpSession->droppedDatagrams());
    if (replayedUnitsDropped > 0) text += " replayedUnits=" + std::to_string(replayedUnitsDropped);
    if (reflectedUnitsDropped > 0) text += " reflectedUnits=" + std::to_string(reflectedUnitsDropped);
    if (!lastUDPSendError.empty()) text += " lastSendError=" + lastUDPSendError;
    return text;
}

std::string PacketTunnelProvider::tcpDiagnostics() const {
    std::string text = "sendAttempts=" + std::to_string(tcpSendAttempts);
    text += " sendFailures=" + std::to_string(tcpSendFailures);
    text += " sentBytes=" + std::to_string(tcpSentBytes);
    text += " receivedBytes=" + std::to_string(tcpReceivedBytes);
    text += " framesReceived=" + std::to_string(tcpFramesReceived);
    if (tcpSendBufferOverflows > 0) text += " bufferOverflows=" + std::to_string(tcpSendBufferOverflows);
    if (!lastTCPSendError.empty()) text += " lastSendError=" + lastTCPSendError;
    if (!lastTCPReceiveError.empty()) text += " lastReceiveError=" + lastTCPReceiveError;
    if (!lastSentPlainPreview.empty()) text += " lastSentPlain=" + lastSentPlainPreview;
    if (!lastReceivedPlainPreview.empty()) text += " lastReceivedPlain=" + lastReceivedPlainPreview;
    if (decryptFailures > 0) text += " decryptFailures=" + std::to_string(decryptFailures);
    if (!lastDecryptError.empty()) text += " lastDecryptError=" + lastDecryptError;
    return text;
}

void PacketTunnelProvider::resetUDPDiagnostics() {
    udpReadySeen = false;
    udpSendAttempts = 0;
    udpSendCompletions = 0;
    udpSendFailures = 0;
    udpDatagramsReceived = 0;
    lastUDPSessionState = "not-started";
    lastUDPSendError.clear();
}

void PacketTunnelProvider::resetTCPDiagnostics() {
    tcpSendAttempts = 0;
    tcpSendFailures = 0;
    tcpSentBytes = 0;
    tcpReceivedBytes = 0;
    tcpFramesReceived = 0;
    tcpSendBufferOverflows = 0;
    tcpSendBufferOverflowReported = false;
    lastTCPSendError.clear();
    lastTCPReceiveError.clear();
    lastSentPlainPreview.clear();
    lastReceivedPlainPreview.clear();
    lastDecryptError.clear();
    decryptFailures = 0;
    replayedUnitsDropped = 0;
    reflectedUnitsDropped = 0;
}

}  // namespace vantu

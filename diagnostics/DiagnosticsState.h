#pragma once

// The event log and the snapshot taken at the last stop, both persisted.

#include <cstdint>
#include <string>
#include <vector>

namespace vantu {

struct DiagnosticsState {
    static constexpr bool packetLoggingEnabled = false;
    static constexpr bool dnsRoutingLoggingEnabled = false;
    static constexpr int kMaxDiagnosticEvents = 120;
    static constexpr const char* kDiagnosticEventsKey = "vantu.diagnostics.events";
    static constexpr const char* kDiagnosticSequenceKey = "vantu.diagnostics.sequence";
    static constexpr const char* kLastStoppedSnapshotKey = "vantu.diagnostics.lastStoppedSnapshot";

    int64_t sequence = 0;
    std::vector<std::string> events;
    std::string lastStoppedSnapshot;
};

}  // namespace vantu

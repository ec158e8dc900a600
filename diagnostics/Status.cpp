#include "diagnostics/Status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

namespace {

using nlohmann::json;

json textOrNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json secondsSince(Instant instant, Instant now) {
    if (isDistantPast(instant)) return nullptr;
    return static_cast<int64_t>(std::max(0.0, std::trunc(secondsBetween(instant, now))));
}

// The fields of the report lines that the last stop's snapshot keeps.
struct SnapshotFields {
    std::string time, server, transport, failure, stopReason;
};

SnapshotFields readSnapshot(const std::string& snapshot) {
    SnapshotFields fields;
    std::istringstream in(snapshot);
    std::string line;
    auto field = [](const std::string& text, const std::string& key) -> std::string {
        const auto at = text.find(" " + key + "=");
        if (at == std::string::npos) return "";
        const auto start = at + key.size() + 2;
        const std::string value = text.substr(start, text.find(' ', start) - start);
        return value == "-" ? "" : value;
    };
    while (std::getline(in, line)) {
        // Events quote peers' texts; only the report's own lines count.
        if (line == "recent events:") break;
        if (line.rfind("time=", 0) == 0) fields.time = line.substr(5);
        if (line.rfind("session=", 0) == 0) {
            fields.server = field(line, "server");
            fields.transport = field(line, "transport");
        }
        if (line.rfind("lastTunnelFailure=", 0) == 0) fields.failure = line.substr(18);
        if (line.rfind("lastStop=", 0) == 0) {
            // "reason=1 userInitiated": the name says it.
            fields.stopReason = line.substr(9);
            const auto space = fields.stopReason.find(' ');
            if (fields.stopReason.rfind("reason=", 0) == 0 && space != std::string::npos) {
                fields.stopReason = fields.stopReason.substr(space + 1);
            }
        }
    }
    return fields;
}

json lastStopOf(const std::string& snapshot) {
    if (snapshot.empty()) return nullptr;
    const SnapshotFields fields = readSnapshot(snapshot);
    return json{{"time", textOrNull(fields.time)},
                {"reason", textOrNull(fields.stopReason)},
                {"failure", textOrNull(fields.failure)},
                {"server", textOrNull(fields.server)}};
}

json emptyStatus(const std::string& state) {
    return json{{"state", state},
                {"server", nullptr},
                {"transport", nullptr},
                {"tunnelAddress", nullptr},
                {"uptimeSeconds", nullptr},
                {"lastFrameAgeSeconds", nullptr},
                {"traffic", nullptr},
                {"dns", nullptr},
                {"directCore", nullptr},
                {"lastFailure", nullptr},
                {"lastStop", nullptr}};
}

std::string plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int64_t number(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

std::string text(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

json tunnelStatus(const PacketTunnelProvider& p) {
    const bool up = p.session && p.dataChannel.handshakeCompleted && !isDistantPast(p.lifecycle.tunnelUpSince);
    std::string state = "down";
    if (p.recovery.inProgress) {
        state = "recovering";
    } else if (up) {
        state = "up";
    } else if (p.session && !p.lifecycle.isTerminatingTunnel) {
        state = "starting";
    }
    json status = emptyStatus(state);
    const Instant now = p.now();
    if (p.session) {
        status["transport"] = p.session->transport;
        status["tunnelAddress"] = p.session->tunnelIP;
    }
    status["server"] = textOrNull(p.currentServerAddress);
    if (state == "up" || state == "recovering") {
        status["uptimeSeconds"] = secondsSince(p.lifecycle.tunnelUpSince, now);
        status["lastFrameAgeSeconds"] = secondsSince(p.keepalive.lastDataFrameReceivedAt, now);
    }
    status["traffic"] = json{{"bytesIn", p.dataChannel.tunnelBytesIn},
                             {"bytesOut", p.dataChannel.tunnelBytesOut},
                             {"packetsIn", p.dataChannel.tunnelPacketsIn},
                             {"packetsOut", p.dataChannel.tunnelPacketsOut}};
    // Queries are answered locally whenever a tunnel runs; after it the
    // counters still say what it did.
    if (p.session || p.dns.queries > 0) {
        status["dns"] = json{{"queries", p.dns.queries},
                             {"responses", p.dns.responses},
                             {"fallbacks", p.dns.fallbacks},
                             {"failures", p.dns.failures}};
    }
    if (p.directCore.udpEnabled || p.directCore.tcpEnabled) {
        json direct = json{{"udp", nullptr}, {"tcp", nullptr}};
        if (p.directCore.udpEnabled) {
            direct["udp"] = json{{"active", p.directCore.udpSessions.size()},
                                 {"opened", p.directCore.udpSessionsOpened},
                                 {"failures", p.directCore.udpReadFailures + p.directCore.udpWriteFailures}};
        }
        if (p.directCore.tcpEnabled) {
            direct["tcp"] = json{{"active", p.directCore.tcpSessions.size()},
                                 {"opened", p.directCore.tcpSessionsOpened},
                                 {"failures", p.directCore.tcpConnectFailures + p.directCore.tcpReadFailures +
                                                  p.directCore.tcpWriteFailures}};
        }
        status["directCore"] = direct;
    }
    status["lastFailure"] = textOrNull(p.lifecycle.lastTunnelFailure);
    status["lastStop"] = lastStopOf(p.diagnostics.lastStoppedSnapshot);
    return status;
}

json stoppedTunnelStatus(const std::string& lastStoppedSnapshot) {
    json status = emptyStatus("not running");
    status["lastStop"] = lastStopOf(lastStoppedSnapshot);
    if (!status["lastStop"].is_null()) status["lastFailure"] = status["lastStop"]["failure"];
    return status;
}

std::string formatByteCount(int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char out[32];
    std::snprintf(out, sizeof out, "%.1f %s", value, units[unit]);
    return out;
}

std::string formatDuration(int64_t seconds) {
    const int64_t days = seconds / 86400, hours = seconds / 3600 % 24, minutes = seconds / 60 % 60,
                  rest = seconds % 60;
    char out[64];
    if (days > 0) {
        std::snprintf(out, sizeof out, "%lldd %02lldh %02lldm", static_cast<long long>(days),
                      static_cast<long long>(hours), static_cast<long long>(minutes));
    } else if (hours > 0) {
        std::snprintf(out, sizeof out, "%lldh %02lldm %02llds", static_cast<long long>(hours),
                      static_cast<long long>(minutes), static_cast<long long>(rest));
    } else if (minutes > 0) {
        std::snprintf(out, sizeof out, "%lldm %02llds", static_cast<long long>(minutes), static_cast<long long>(rest));
    } else {
        std::snprintf(out, sizeof out, "%llds", static_cast<long long>(rest));
    }
    return out;
}

std::string formatTunnelStatus(const json& status) {
    std::ostringstream out;
    const std::string state = text(status, "state");
    auto row = [&out](const std::string& label, const std::string& value) {
        out << "  " << label << std::string(label.size() < 13 ? 13 - label.size() : 1, ' ') << value << "\n";
    };
    if (state == "not running") {
        out << "vantud is not running\n";
    } else {
        out << "tunnel " << state << "\n";
    }
    if (!text(status, "server").empty()) {
        const std::string transport = text(status, "transport");
        row("server", text(status, "server") + (transport.empty() ? "" : " over " + transport));
    }
    if (!text(status, "tunnelAddress").empty()) row("address", text(status, "tunnelAddress"));
    if (status.value("uptimeSeconds", json()).is_number_integer()) {
        row("uptime", formatDuration(number(status, "uptimeSeconds")));
    }
    if (state == "up" || state == "recovering") {
        const json age = status.value("lastFrameAgeSeconds", json());
        row("last frame", age.is_number_integer() ? formatDuration(age.get<int64_t>()) + " ago" : "none yet");
    }
    const json traffic = status.value("traffic", json());
    if (traffic.is_object()) {
        row("traffic", "in " + formatByteCount(number(traffic, "bytesIn")) + " (" +
                           plural(number(traffic, "packetsIn"), "packet", "packets") + "), out " +
                           formatByteCount(number(traffic, "bytesOut")) + " (" +
                           plural(number(traffic, "packetsOut"), "packet", "packets") + ")");
    }
    const json dns = status.value("dns", json());
    if (dns.is_object()) {
        row("dns", plural(number(dns, "queries"), "query", "queries") + ", " + std::to_string(number(dns, "responses")) +
                       " answered, " + std::to_string(number(dns, "fallbacks")) + " into the tunnel, " +
                       std::to_string(number(dns, "failures")) + " failed");
    }
    const json direct = status.value("directCore", json());
    if (direct.is_object()) {
        for (const char* kind : {"udp", "tcp"}) {
            const json flows = direct.value(kind, json());
            if (!flows.is_object()) continue;
            row(std::string("direct ") + kind, std::to_string(number(flows, "active")) + " open, " +
                                                   std::to_string(number(flows, "opened")) + " opened, " +
                                                   std::to_string(number(flows, "failures")) + " failed");
        }
    }
    if (!text(status, "lastFailure").empty()) row("last failure", text(status, "lastFailure"));
    const json stop = status.value("lastStop", json());
    if (stop.is_object() && state != "up") {
        std::string line = text(stop, "time").empty() ? std::string("at an unknown time") : text(stop, "time");
        if (!text(stop, "reason").empty()) line += " (" + text(stop, "reason") + ")";
        row("last stop", line);
    } else if (state == "not running") {
        row("last stop", "none recorded");
    }
    return out.str();
}

}  // namespace vantu

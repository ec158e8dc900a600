#pragma once

// The short status of a tunnel, for people (`vantuctl status`) and scripts
// (`vantuctl status --json`). The JSON keys are stable: a key is always
// present, null when it does not apply, so scripts never probe for keys.
//
//   state                "up", "starting", "recovering", "down" or "not running"
//   server, transport    the server's address and "udp" or "tcp"
//   tunnelAddress        this end's address inside the tunnel
//   uptimeSeconds        since the network settings of the start took
//   lastFrameAgeSeconds  since the last frame from the server
//   traffic              bytesIn, bytesOut, packetsIn, packetsOut (IP packets)
//   dns                  queries, responses, fallbacks, failures
//   directCore           udp and tcp: active, opened, failures (null when off)
//   lastFailure          the last failure that ended or failed a tunnel
//   lastStop             time, reason and failure of the last stop

#include <string>

#include <nlohmann/json.hpp>

namespace vantu {

class PacketTunnelProvider;

// The status of a provider as it stands; run it on the provider's queue.
nlohmann::json tunnelStatus(const PacketTunnelProvider& provider);

// The status when no daemon runs, from the report taken at the last stop
// (empty when there was none): state "not running" and the last stop.
nlohmann::json stoppedTunnelStatus(const std::string& lastStoppedSnapshot);

// The few lines `vantuctl status` prints for a status object.
std::string formatTunnelStatus(const nlohmann::json& status);

// "1.5 KiB", "3h 02m 07s": the units of the summary.
std::string formatByteCount(int64_t bytes);
std::string formatDuration(int64_t seconds);

}  // namespace vantu

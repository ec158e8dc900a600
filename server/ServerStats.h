#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vantu::server {

// One line of the server's log, without a trailing newline.
using Logger = std::function<void(const std::string& line)>;

// Server-wide counters, readable from any thread while the server runs.
struct ServerStats {
    // Control service.
    std::atomic<uint64_t> controlConnections{0};
    std::atomic<uint64_t> sessionsOpened{0};
    std::atomic<uint64_t> controlRejected{0};  // wrong secret
    std::atomic<uint64_t> controlErrors{0};    // malformed, unknown action, too long, pool exhausted
    std::atomic<uint64_t> controlTimeouts{0};
    std::atomic<uint64_t> controlRefused{0};         // over the total or the per-address limit
    std::atomic<uint64_t> controlAcceptFailures{0};  // accept() errors, out of descriptors above all
    // Data service, receive side.
    std::atomic<uint64_t> datagramsReceived{0};
    std::atomic<uint64_t> unitsTooShort{0};
    std::atomic<uint64_t> unitsUnknownSession{0};
    std::atomic<uint64_t> unitsWrongDirection{0};
    std::atomic<uint64_t> unitsReplayed{0};
    std::atomic<uint64_t> unitsAuthFailed{0};
    std::atomic<uint64_t> unitsAccepted{0};
    std::atomic<uint64_t> pingsAnswered{0};
    std::atomic<uint64_t> packetsDelivered{0};
    std::atomic<uint64_t> packetsRejected{0};  // not IPv4, or not from the session's tunnel address
    std::atomic<uint64_t> framesIgnored{0};
    // Data service, send side.
    std::atomic<uint64_t> packetsToClients{0};
    std::atomic<uint64_t> packetsWithoutSession{0};
    std::atomic<uint64_t> sendFailures{0};
    // Packets for clients dropped because the network thread had too many
    // waiting already (the sink produces faster than the sockets send).
    std::atomic<uint64_t> packetsToClientsDropped{0};
    // TCP data service.
    std::atomic<uint64_t> streamConnections{0};
    std::atomic<uint64_t> streamFramesInvalid{0};  // a length of 0 or above 1 MiB: connection closed
    // Units for a client whose TCP connection already had this much waiting.
    std::atomic<uint64_t> streamUnitsDropped{0};
};

}  // namespace vantu::server

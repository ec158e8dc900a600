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
};

}  // namespace vantu::server

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vantu::server {

// One line of the server's log, without a trailing newline.
using Logger = std::function<void(const std::string& line)>;

// Where the services read the time for their limits and deadlines; tests
// hand in a virtual clock. Empty means the steady clock.
using ServerClock = std::function<std::chrono::steady_clock::time_point()>;
inline ServerClock orSteadyClock(ServerClock clock) {
    if (clock) return clock;
    return [] { return std::chrono::steady_clock::now(); };
}

// Server-wide counters, readable from any thread while the server runs.
struct ServerStats {
    // Control service.
    std::atomic<uint64_t> controlConnections{0};
    std::atomic<uint64_t> sessionsOpened{0};
    std::atomic<uint64_t> controlRejected{0};   // wrong secret
    std::atomic<uint64_t> controlThrottled{0};  // refused unchecked: too many wrong ones from that address
    std::atomic<uint64_t> controlErrors{0};    // malformed, unknown action, too long, pool exhausted
    std::atomic<uint64_t> controlTimeouts{0};
    std::atomic<uint64_t> controlRefused{0};  // over the per-address limit, or all open ones answering
    std::atomic<uint64_t> controlEvicted{0};  // without a whole request, dropped to admit a newcomer
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
    // A length of 0 or above the longest valid unit: connection closed.
    std::atomic<uint64_t> streamFramesInvalid{0};
    // Connections without an authenticated unit yet: refused over the
    // per-address cap, dropped to make room when all places were taken,
    // closed when their time was up.
    std::atomic<uint64_t> streamRefused{0};
    std::atomic<uint64_t> streamEvicted{0};
    std::atomic<uint64_t> streamTimeouts{0};
    // A session's connection closed because a newer one of it authenticated,
    // or because it carried a unit of another session.
    std::atomic<uint64_t> streamReplaced{0};
    std::atomic<uint64_t> streamForeignUnits{0};
    // Units for a client whose TCP connection already had this much waiting.
    std::atomic<uint64_t> streamUnitsDropped{0};
};

}  // namespace vantu::server

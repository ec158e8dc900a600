#pragma once

// Answering the system's DNS queries: the upstream sessions in flight and
// what they counted.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/Platform.h"
#include "routing/TunnelDNSQueries.h"

namespace vantu {

struct DNSState {
    static constexpr const char* kDNSUpstreamPort = "53";
    static constexpr const char* kDefaultDNSUpstream = "1.1.1.1";
    static constexpr double kDNSReadinessDeadline = 2.0;
    static constexpr double kDNSReadinessPollInterval = 0.05;
    static constexpr double kDNSQueryTimeout = 3.0;
    static constexpr size_t kMaxDNSQueriesInFlight = 256;

    std::map<std::string, std::shared_ptr<UDPSession>> sessions;
    int64_t queries = 0, responses = 0, fallbacks = 0, failures = 0;
    bool inFlightLimitReached = false;  // logged once per episode
    // The queries sent into the tunnel by the fallback: only their answers,
    // besides the upstream's, teach direct routes.
    TunnelDNSQueries tunnelQueries;
};

}  // namespace vantu

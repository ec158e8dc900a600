#pragma once

// Where the tunnel is in its life: up since when, terminating, and why the
// last start or stop ended as it did.

#include <string>

#include "base/Time.h"

namespace vantu {

struct LifecycleState {
    bool isTerminatingTunnel = false;
    Instant tunnelUpSince = kDistantPast;  // when the network settings of the last start took
    std::string lastTunnelFailure;
    std::string lastStopReason;
};

}  // namespace vantu

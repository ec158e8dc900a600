#pragma once

// The keepalive probe and the default path it watches.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/Time.h"
#include "platform/Platform.h"

namespace vantu {

struct KeepaliveState {
    static constexpr double keepaliveInterval = 10.0;
    static constexpr double keepaliveTimeout = 35.0;

    std::shared_ptr<Cancellable> source;
    Instant lastDataFrameReceivedAt = kDistantPast;
    Instant lastProbeAt = kDistantPast;
    int64_t timeouts = 0;
    std::optional<NetworkPath> lastDefaultPath;
    std::string lastDefaultPathSummary;
};

}  // namespace vantu

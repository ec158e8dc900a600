#pragma once

// Direct routes learned from DNS answers: the set, its persisted cache, and
// the updates of the system's routes that follow it.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/Time.h"

namespace vantu {

struct LearnedRoutes {
    static constexpr int kMaxDynamicDirectRoutes = 192;
    static constexpr int kMaxSystemDynamicDirectRoutes = 128;
    static constexpr double kDynamicDirectRouteCacheTTL = 21600.0;

    std::set<std::string> routes;
    // Bumped whenever `routes` changes, so the direct gate's compiled routes
    // know when to rebuild.
    uint64_t version = 0;
    std::string cacheKey;
    bool updateScheduled = false, updateInFlight = false;
    std::vector<std::function<void()>> updateCompletions, inFlightUpdateCompletions;
    Instant lastUpdateAt = kDistantPast;
    std::string lastUpdateError;
    int64_t lastApplyDurationMS = 0, lastAppliedCount = 0;
    int64_t applyAttempts = 0, applySuccesses = 0, applyFailures = 0, applySchedules = 0;
    // What DNS answers brought: matches of direct domains, routes inserted,
    // repeats of known ones, and routes left out at the limit.
    int64_t dnsMatches = 0, dnsInsertedRoutes = 0, dnsRepeatedMatches = 0, dnsLimitDrops = 0;
};

}  // namespace vantu

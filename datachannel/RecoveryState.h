#pragma once

// Rebuilding a lost UDP data channel: whether a recovery runs, and its tally.

#include <cstdint>
#include <string>

namespace vantu {

struct RecoveryState {
    bool inProgress = false;
    int64_t attempts = 0, successes = 0, failures = 0;
    std::string lastError;
};

}  // namespace vantu

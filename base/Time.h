#pragma once

#include <chrono>
#include <limits>

namespace vantu {

// Instants are wall-clock time stamps; durations are seconds as doubles.
using Instant = std::chrono::system_clock::time_point;
using Duration = std::chrono::duration<double>;

// The initial value of every instant field: "never happened".
inline constexpr Instant kDistantPast = Instant::min();

inline bool isDistantPast(Instant t) { return t == kDistantPast; }

// Seconds from `from` to `to`; infinite when `from` never happened, so that
// "at least N seconds ago" tests hold for unset instants without overflow.
inline double secondsBetween(Instant from, Instant to) {
    if (isDistantPast(from)) return std::numeric_limits<double>::infinity();
    return std::chrono::duration<double>(to - from).count();
}

inline std::chrono::nanoseconds toNanos(Duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d);
}

}  // namespace vantu

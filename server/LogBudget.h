#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace vantu::server {

// Bounds the log lines of one kind that a peer can cause: at most `lines`
// per `window`. The first line written after some were left out says how
// many, so the log never hides that something happened, only how often.
// Pure: the caller passes the time in.
class LogBudget {
public:
    using Time = std::chrono::steady_clock::time_point;

    LogBudget(size_t lines, std::chrono::milliseconds window) : lines_(lines), window_(window) {}

    // `line` as it should be written at `now`, or nullopt when it is left out.
    std::optional<std::string> admit(const std::string& line, Time now) {
        if (written_ == 0 || now - windowStart_ >= window_) {
            windowStart_ = now;
            written_ = 0;
        }
        if (written_ >= lines_) {
            ++omitted_;
            return std::nullopt;
        }
        ++written_;
        if (omitted_ == 0) return line;
        std::string out = line + " (" + std::to_string(omitted_) + " more like it not logged)";
        omitted_ = 0;
        return out;
    }

private:
    const size_t lines_;
    const std::chrono::milliseconds window_;
    Time windowStart_{};
    size_t written_ = 0;
    uint64_t omitted_ = 0;
};

}  // namespace vantu::server

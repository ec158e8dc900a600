#pragma once

#include <stdexcept>
#include <string>

namespace vantu {

// The one error type of the tunnel: a message text. Operations that can fail
// throw it; callers that record it add their own prefix.
class VantuError : public std::runtime_error {
public:
    explicit VantuError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

// The error form handed to the platform: to the start completion, to
// cancelTunnelWithError and from platform completions back to the provider.
struct TunnelError {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
    std::string localizedFailureReason;

    static constexpr const char* kVantuDomain = "VantuPacketTunnel.VantuError";

    // A VantuError bridged to the platform's form: domain, code 1, the
    // message as both description and failure reason.
    static TunnelError fromVantu(const std::string& message) {
        return TunnelError{kVantuDomain, 1, message, message};
    }
    static TunnelError fromVantu(const VantuError& error) { return fromVantu(error.message()); }

    // An error raised by the platform itself (a failed socket, a netlink refusal).
    static TunnelError platform(std::string domain, int code, std::string description) {
        return TunnelError{std::move(domain), code, description, description};
    }

    const std::string& description() const { return localizedDescription; }
    bool operator==(const TunnelError&) const = default;
};

}  // namespace vantu

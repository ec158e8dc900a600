#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "server/ConnectionGate.h"
#include "server/ServerStats.h"

namespace vantu::server {

// Enforces a gate's deadline: while unproven connections wait, checks it
// every kInterval (at the service's clock, which may be virtual) and hands
// the expired ones to the service to close. Idle otherwise.
class GateSweep {
public:
    using OnExpired = std::function<void(const std::vector<uint64_t>& ids)>;
    static constexpr std::chrono::milliseconds kInterval{100};

    GateSweep(asio::io_context& io, ConnectionGate& gate, ServerClock now, OnExpired onExpired)
        : timer_(io), gate_(gate), now_(std::move(now)), onExpired_(std::move(onExpired)) {}

    // Call after each admission.
    void arm() {
        if (armed_ || stopped_ || gate_.unproven() == 0) return;
        armed_ = true;
        timer_.expires_after(kInterval);
        timer_.async_wait([this](const std::error_code& ec) {
            armed_ = false;
            if (ec || stopped_) return;
            const auto expired = gate_.expire(now_());
            if (!expired.empty()) onExpired_(expired);
            arm();
        });
    }
    void stop() {
        stopped_ = true;
        timer_.cancel();
    }

private:
    asio::steady_timer timer_;
    ConnectionGate& gate_;
    ServerClock now_;
    OnExpired onExpired_;
    bool armed_ = false;
    bool stopped_ = false;
};

}  // namespace vantu::server

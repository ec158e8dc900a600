#pragma once

// What vantud tells the service manager along a tunnel's life: the status
// line while it connects, READY=1 once the network settings are applied (so
// that `systemctl start vantud` returns with the tunnel up, or fails with
// it), a status line when the data channel recovers and when it is back, and
// STOPPING=1 with the reason when the stop begins.

#include <string>

#include <nlohmann/json.hpp>

#include "platform/linux/ServiceNotifier.h"

namespace vantu::daemon {

class ServiceStatus {
public:
    explicit ServiceStatus(ServiceNotifier& notifier) : notifier_(notifier) {}

    void starting(const std::string& server) { notifier_.status("Connecting to " + server); }

    // The start succeeded; `status` is tunnelStatus() at that moment.
    void up(const nlohmann::json& status, const std::string& device) {
        lastState_ = "up";
        notifier_.ready(upLine(status, device));
        device_ = device;
    }

    // Called now and then while the tunnel runs: a line only on a change
    // between up and recovering.
    void observe(const nlohmann::json& status) {
        const std::string state = status.value("state", "");
        if (state == lastState_ || (state != "up" && state != "recovering")) return;
        lastState_ = state;
        if (state == "recovering") {
            notifier_.status("Recovering the data channel to " + textOf(status, "server"));
        } else {
            notifier_.status(upLine(status, device_));
        }
    }

    void stopping(const std::string& why) { notifier_.stopping("Stopping: " + why); }
    void failed(const std::string& error) { notifier_.status("Failed: " + error); }

private:
    static std::string textOf(const nlohmann::json& status, const char* key) {
        const auto it = status.find(key);
        return it != status.end() && it->is_string() ? it->get<std::string>() : std::string("-");
    }
    static std::string upLine(const nlohmann::json& status, const std::string& device) {
        return "Tunnel up on " + device + ": " + textOf(status, "server") + " over " + textOf(status, "transport") +
               ", address " + textOf(status, "tunnelAddress");
    }

    ServiceNotifier& notifier_;
    std::string lastState_;
    std::string device_;
};

}  // namespace vantu::daemon

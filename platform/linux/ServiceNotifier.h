#pragma once

// Tells the service manager how the daemon is doing, through libsystemd's
// sd_notify: READY=1 once the tunnel's network settings are in place (so
// that `systemctl start` returns with the tunnel up), STATUS= lines for what
// `systemctl status` shows, STOPPING=1 when the stop begins. Outside a
// service (no NOTIFY_SOCKET) every call does nothing.

#include <string>
#include <vector>

namespace vantu {

class ServiceNotifier {
public:
    // Sends one notification of "KEY=value" assignments, newline-separated.
    // Returns false when no service manager listens or the send failed.
    virtual bool notify(const std::string& assignments);
    virtual ~ServiceNotifier() = default;

    bool ready(const std::string& status) { return notify("READY=1\nSTATUS=" + status); }
    bool status(const std::string& status) { return notify("STATUS=" + status); }
    bool stopping(const std::string& status) { return notify("STOPPING=1\nSTATUS=" + status); }

    // What was sent, in order, for logs and tests.
    const std::vector<std::string>& sent() const { return sent_; }

protected:
    std::vector<std::string> sent_;
};

}  // namespace vantu

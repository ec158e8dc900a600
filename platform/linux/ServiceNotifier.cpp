#include "platform/linux/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

namespace vantu {

bool ServiceNotifier::notify(const std::string& assignments) {
    sent_.push_back(assignments);
    // 0: NOTIFY_SOCKET stays set, so that later notifications reach it too.
    return sd_notify(0, assignments.c_str()) > 0;
}

}  // namespace vantu

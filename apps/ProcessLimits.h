#pragma once

// Process limits that vantud and vantu-server both raise at start.

#include <sys/resource.h>

#include <cstdint>

namespace vantu::cli {

// Raises the soft limit of open descriptors to the hard limit and returns
// the soft limit now in effect (0 when it cannot be read). Every direct flow
// and DNS query of vantud, and every connection and forwarded query of
// vantu-server, holds a descriptor: the usual soft limit of 1024 would cap
// them long before memory does.
inline uint64_t raiseDescriptorLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
    if (files.rlim_cur < files.rlim_max) {
        const rlim_t before = files.rlim_cur;
        files.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) files.rlim_cur = before;
    }
    return static_cast<uint64_t>(files.rlim_cur);
}

}  // namespace vantu::cli

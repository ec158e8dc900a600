#include "platform/linux/SystemLogs.h"

#include <syslog.h>
#include <unistd.h>

namespace vantu {

void StderrLog::write(const std::string& line) {
    std::string out = line;
    out.push_back('\n');
    std::lock_guard<std::mutex> lock(mutex_);
    // One write per line so that lines of concurrent processes do not interleave.
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

SyslogLog::SyslogLog(std::string ident, bool alsoToStderr) : ident_(std::move(ident)), alsoToStderr_(alsoToStderr) {
    ::openlog(ident_.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

SyslogLog::~SyslogLog() { ::closelog(); }

void SyslogLog::write(const std::string& line) {
    // The line is data, never a format.
    ::syslog(LOG_DAEMON | LOG_NOTICE, "%s", line.c_str());
    if (alsoToStderr_) stderr_.write(line);
}

}  // namespace vantu

#pragma once

// System log sinks for the daemon: every line goes to syslog (facility
// daemon) and to standard error, so it shows both in the journal or
// /var/log and in a terminal that runs the daemon in the foreground.

#include <mutex>
#include <string>

#include "platform/Platform.h"

namespace vantu {

// Writes each line to standard error, followed by a line feed. Thread-safe.
class StderrLog final : public SystemLog {
public:
    void write(const std::string& line) override;

private:
    std::mutex mutex_;
};

// Writes each line to syslog with the given identity (facility LOG_DAEMON,
// priority LOG_NOTICE) and, unless alsoToStderr is false, to standard error.
// openlog is process-wide: create one SyslogLog per process.
class SyslogLog final : public SystemLog {
public:
    explicit SyslogLog(std::string ident = "vantud", bool alsoToStderr = true);
    ~SyslogLog() override;
    SyslogLog(const SyslogLog&) = delete;
    SyslogLog& operator=(const SyslogLog&) = delete;

    void write(const std::string& line) override;

private:
    std::string ident_;  // openlog keeps the pointer: it must outlive the log
    bool alsoToStderr_;
    StderrLog stderr_;
};

}  // namespace vantu

#pragma once

// System log sinks for the daemon: every line goes to syslog (facility
// daemon) and to standard error, so it shows both in the journal or
// /var/log and in a terminal that runs the daemon in the foreground. Under
// systemd, standard error is itself a journal stream; the copy is then left
// out, or every line would be in the journal twice.

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

// The syslog priority of a line that comes without one: LOG_WARNING for
// lines that tell of a failure, LOG_INFO for the rest.
int logPriorityOf(const std::string& line);

// Whether `fd` is the journal stream that systemd connected it to (the
// device and inode that JOURNAL_STREAM names).
bool isJournalStream(int fd);

// Writes each line to syslog with the given identity (facility LOG_DAEMON)
// and, unless alsoToStderr is false or standard error is the journal, to
// standard error. openlog is process-wide: create one SyslogLog per process.
class SyslogLog final : public SystemLog {
public:
    explicit SyslogLog(std::string ident = "vantud", bool alsoToStderr = true);
    ~SyslogLog() override;
    SyslogLog(const SyslogLog&) = delete;
    SyslogLog& operator=(const SyslogLog&) = delete;

    // At logPriorityOf(line).
    void write(const std::string& line) override;
    // At a priority the caller knows (LOG_ERR, LOG_NOTICE, ...).
    void write(int priority, const std::string& line);

private:
    std::string ident_;  // openlog keeps the pointer: it must outlive the log
    bool alsoToStderr_;
    StderrLog stderr_;
};

}  // namespace vantu

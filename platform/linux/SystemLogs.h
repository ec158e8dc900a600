#pragma once

// System log sinks for the daemon: every line goes to syslog (facility
// daemon) and to standard error, so it shows both in the journal or
// /var/log and in a terminal that runs the daemon in the foreground. Under
// systemd, standard error is itself a journal stream; the copy is then left
// out, or every line would be in the journal twice.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

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

// Hands each line to a sink (a SyslogLog's write) on a thread of its own. syslog() blocks
// while the log daemon's socket is full and standard error blocks while
// nobody reads the pipe; a daemon that logs from its packet path must never
// wait for either. At most kMaxPendingLines wait; beyond that lines are
// dropped, and how many is said in a line of its own once there is room.
// Lines keep their order; the destructor writes everything still waiting.
class AsyncSystemLog final : public SystemLog {
public:
    static constexpr size_t kMaxPendingLines = 8192;

    using Sink = std::function<void(int priority, const std::string& line)>;
    explicit AsyncSystemLog(Sink sink);
    ~AsyncSystemLog() override;
    AsyncSystemLog(const AsyncSystemLog&) = delete;
    AsyncSystemLog& operator=(const AsyncSystemLog&) = delete;

    void write(const std::string& line) override;
    void write(int priority, const std::string& line);
    // Returns once every line written before the call has reached the sink.
    void flush();

private:
    void run();

    Sink sink_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<std::pair<int, std::string>> lines_;
    uint64_t accepted_ = 0;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace vantu

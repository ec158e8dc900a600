#include "platform/linux/SystemLogs.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
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

int logPriorityOf(const std::string& line) {
    std::string lower(line);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"fail", "error", "cannot", "timed out", "terminating", "unreachable", "refused"}) {
        if (lower.find(word) != std::string::npos) return LOG_WARNING;
    }
    return LOG_INFO;
}

bool isJournalStream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st{};
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

SyslogLog::SyslogLog(std::string ident, bool alsoToStderr)
    : ident_(std::move(ident)), alsoToStderr_(alsoToStderr && !isJournalStream(STDERR_FILENO)) {
    ::openlog(ident_.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

SyslogLog::~SyslogLog() { ::closelog(); }

void SyslogLog::write(const std::string& line) { write(logPriorityOf(line), line); }

void SyslogLog::write(int priority, const std::string& line) {
    // The line is data, never a format.
    ::syslog(LOG_DAEMON | (priority & LOG_PRIMASK), "%s", line.c_str());
    if (alsoToStderr_) stderr_.write(line);
}

AsyncSystemLog::AsyncSystemLog(Sink sink) : sink_(std::move(sink)), writer_([this] { run(); }) {}

AsyncSystemLog::~AsyncSystemLog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void AsyncSystemLog::write(const std::string& line) { write(logPriorityOf(line), line); }

void AsyncSystemLog::write(int priority, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines_.size() >= kMaxPendingLines) {
            ++dropped_;
            return;
        }
        lines_.emplace_back(priority, line);
        ++accepted_;
    }
    wake_.notify_one();
}

void AsyncSystemLog::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = accepted_;
    drained_.wait(lock, [&] { return written_ >= target; });
}

void AsyncSystemLog::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return !lines_.empty() || stopping_; });
        if (lines_.empty()) return;
        auto batch = std::move(lines_);
        lines_.clear();
        const uint64_t dropped = std::exchange(dropped_, 0);
        lock.unlock();
        for (const auto& [priority, line] : batch) sink_(priority, line);
        if (dropped > 0) {
            sink_(LOG_WARNING, std::to_string(dropped) + " log lines dropped: the system log did not keep up");
        }
        lock.lock();
        written_ += batch.size();
        drained_.notify_all();
    }
}

}  // namespace vantu

#pragma once

// The provider's serial work queue on a Linux host: one asio::io_context run by
// one thread. Everything the platform objects deliver (timers, read sources,
// socket completions, resolver results) is a handler on this context, so the
// provider never runs concurrently with itself.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "platform/Platform.h"

namespace vantu {

// Wall-clock time; the provider's instants are wall-clock time stamps.
class SystemClock final : public Clock {
public:
    Instant now() const override { return std::chrono::system_clock::now(); }
};

// Usage:
//   AsioWorkQueue queue;          // nothing runs yet
//   ... create platform objects on it ...
//   queue.startThread();          // or queue.run() on the calling thread
//   ...
//   queue.stopAndJoin();          // or queue.stop() from any thread
//
// Thread safety: submit, after, repeating, stop and Cancellable::cancel may be
// called from any thread. readSource, and everything platform objects built
// on this queue do, must happen on the queue's thread (or before it runs).
// Deadlines of delayed work follow the monotonic clock, so wall-clock jumps
// neither fire nor hold back timers.
//
// Lifetime: objects built on the queue (TunPacketFlow, marked sockets, read
// sources, Asio objects on context()) must be destroyed before the queue.
// A timer handler (after, repeating) that throws is reported on stderr and
// the queue goes on, a repeating timer included; any other handler that
// throws ends run() with that exception.
class AsioWorkQueue final : public WorkQueue {
public:
    AsioWorkQueue();
    ~AsioWorkQueue() override;
    AsioWorkQueue(const AsioWorkQueue&) = delete;
    AsioWorkQueue& operator=(const AsioWorkQueue&) = delete;

    const Clock& clock() const override { return clock_; }

    void submit(std::function<void()> work) override;
    void after(Duration delay, std::function<void()> work) override;
    std::shared_ptr<Cancellable> repeating(Duration first, Duration interval,
                                           std::function<void()> handler) override;
    // Level-triggered: onReadable runs again as long as the descriptor stays
    // readable (or at end of stream / error, where a read does not block), so
    // a handler may read only part of what is there. The queue never closes
    // the descriptor: onCancel owns that. Throws VantuError when the
    // descriptor cannot be registered with the reactor.
    std::shared_ptr<Cancellable> readSource(int fd, std::function<void()> onReadable,
                                            std::function<void()> onCancel) override;

    // Runs handlers on the calling thread until stop(). Returns at once if
    // stop() was already called.
    void run();
    // Makes run() return after the handler in progress; callable from any
    // thread and from handlers. Pending work is kept but no longer runs.
    void stop();
    bool stopped() const;
    // run() on a new thread; stopAndJoin() stops it and waits for it.
    void startThread();
    void stopAndJoin();
    // True on the thread that is running the queue right now.
    bool isQueueThread() const;

    // Runs the queue on the calling thread until done() holds (checked after
    // every handler) or `timeout` passes; returns done(). For tests and for
    // synchronous set-up steps before the queue thread starts.
    bool runUntil(const std::function<bool()>& done, Duration timeout);
    // Runs every handler that is ready now, without waiting.
    void poll();

    // The underlying context, for platform objects that own Asio I/O objects
    // (and for the daemon's own, such as an asio::signal_set).
    asio::io_context& context() { return context_; }

    // Delayed work waiting to run (timers armed with after() or repeating()).
    size_t pendingTimerCount() const;

private:
    friend class QueueRepeatingTimer;
    using TimerKey = std::pair<std::chrono::steady_clock::time_point, uint64_t>;

    TimerKey schedule(std::chrono::steady_clock::time_point deadline, std::function<void()> work);
    bool unschedule(const TimerKey& key);
    void requestRearm();
    void rearm();
    void fireDue();

    SystemClock clock_;
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    asio::steady_timer wake_;

    mutable std::mutex timerMutex_;
    std::map<TimerKey, std::function<void()>> timers_;
    uint64_t nextSequence_ = 0;
    bool rearmPosted_ = false;

    std::thread thread_;
};

}  // namespace vantu

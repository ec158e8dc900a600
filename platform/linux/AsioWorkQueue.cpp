#include "platform/linux/AsioWorkQueue.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>

namespace vantu {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A timer handler that throws is one piece of work failing; the timers due
// after it (keepalives, deadlines, the daemon's stop deadline) must still
// run, so the failure is reported and the queue goes on.
void runTimerWork(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantu: a timer handler failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "vantu: a timer handler failed with an unknown exception\n");
    }
}

SteadyClock::duration toSteady(Duration d) {
    if (!(d.count() > 0)) return SteadyClock::duration::zero();  // also catches NaN
    // Clamp absurd delays (a year) so the deadline arithmetic cannot overflow.
    const double seconds = std::min(d.count(), 365.0 * 24 * 3600);
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

// ---------------------------------------------------------------- repeating timer

class QueueRepeatingTimer final : public Cancellable, public std::enable_shared_from_this<QueueRepeatingTimer> {
public:
    QueueRepeatingTimer(AsioWorkQueue& queue, SteadyClock::duration interval, std::function<void()> handler)
        : queue_(queue), interval_(std::max(interval, SteadyClock::duration(std::chrono::milliseconds(1)))),
          handler_(std::move(handler)) {}

    void start(SteadyClock::time_point first) { scheduleAt(first); }

    void cancel() override {
        if (cancelled_.exchange(true)) return;
        std::optional<AsioWorkQueue::TimerKey> key;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            key.swap(key_);
        }
        if (key) queue_.unschedule(*key);
        // Release what the handler captures as soon as it cannot be running.
        if (queue_.isQueueThread() && !firing_) handler_ = nullptr;
    }

    bool isCancelled() const override { return cancelled_.load(); }

private:
    void scheduleAt(SteadyClock::time_point deadline) {
        deadline_ = deadline;
        auto self = shared_from_this();
        auto key = queue_.schedule(deadline, [self] { self->fire(); });
        std::unique_lock<std::mutex> lock(mutex_);
        if (cancelled_.load()) {
            lock.unlock();
            queue_.unschedule(key);
            return;
        }
        key_ = key;
    }

    void fire() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            key_.reset();
        }
        if (cancelled_.load()) return;
        firing_ = true;
        if (handler_) runTimerWork(handler_);
        firing_ = false;
        if (cancelled_.load()) {
            handler_ = nullptr;
            return;
        }
        // Fixed rate: the next firing keeps the phase of the first one; ticks
        // missed while the queue was busy are skipped, not run in a burst.
        auto next = deadline_ + interval_;
        const auto now = SteadyClock::now();
        if (next <= now) next += interval_ * ((now - next) / interval_ + 1);
        scheduleAt(next);
    }

    AsioWorkQueue& queue_;
    const SteadyClock::duration interval_;
    std::function<void()> handler_;
    SteadyClock::time_point deadline_{};
    std::atomic<bool> cancelled_{false};
    bool firing_ = false;
    std::mutex mutex_;
    std::optional<AsioWorkQueue::TimerKey> key_;
};

// ---------------------------------------------------------------- read source

class QueueReadSource final : public Cancellable, public std::enable_shared_from_this<QueueReadSource> {
public:
    QueueReadSource(AsioWorkQueue& queue, int fd, std::function<void()> onReadable, std::function<void()> onCancel)
        : queue_(queue), descriptor_(queue.context()), fd_(fd), onReadable_(std::move(onReadable)),
          onCancel_(std::move(onCancel)) {
        asio::error_code ec;
        descriptor_.assign(fd, ec);
        if (ec) throw VantuError("cannot watch descriptor " + std::to_string(fd) + ": " + ec.message());
    }

    ~QueueReadSource() override {
        // The descriptor belongs to the caller until onCancel closes it.
        if (descriptor_.is_open()) descriptor_.release();
    }

    void start() {
        auto self = shared_from_this();
        asio::post(queue_.context(), [self] { self->step(); });
    }

    void cancel() override {
        if (cancelled_.exchange(true)) return;
        auto self = shared_from_this();
        asio::dispatch(queue_.context(), [self] { self->finishCancel(); });
    }

    bool isCancelled() const override { return cancelled_.load(); }

private:
    // The reactor is edge-triggered and forgets readiness that arrived while
    // no wait was pending, so readiness is checked directly before waiting.
    // The check and the wait happen in one handler of the single queue
    // thread, so data arriving in between still wakes the wait.
    void step() {
        if (cancelled_.load()) return;
        pollfd p{fd_, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, 0);
        } while (r < 0 && errno == EINTR);
        if (r > 0 && (p.revents & POLLNVAL)) return;  // closed behind our back: nothing more to watch
        if (r > 0) {
            onReadable_();
            if (cancelled_.load()) return;
            auto self = shared_from_this();
            asio::post(queue_.context(), [self] { self->step(); });
            return;
        }
        auto self = shared_from_this();
        descriptor_.async_wait(asio::posix::descriptor_base::wait_read, [self](const asio::error_code& ec) {
            if (ec || self->cancelled_.load()) return;
            self->step();
        });
    }

    void finishCancel() {
        if (descriptor_.is_open()) descriptor_.release();  // aborts the pending wait
        auto self = shared_from_this();
        // Posted, so that a cancel from inside onReadable does not destroy the
        // running handler, and so that onCancel runs after it returned.
        asio::post(queue_.context(), [self] {
            self->onReadable_ = nullptr;
            auto onCancel = std::move(self->onCancel_);
            self->onCancel_ = nullptr;
            if (onCancel) onCancel();
        });
    }

    AsioWorkQueue& queue_;
    asio::posix::stream_descriptor descriptor_;
    const int fd_;
    std::function<void()> onReadable_;
    std::function<void()> onCancel_;
    std::atomic<bool> cancelled_{false};
};

// ---------------------------------------------------------------- queue

AsioWorkQueue::AsioWorkQueue() : guard_(asio::make_work_guard(context_)), wake_(context_) {}

AsioWorkQueue::~AsioWorkQueue() {
    stopAndJoin();
    std::lock_guard<std::mutex> lock(timerMutex_);
    timers_.clear();
}

void AsioWorkQueue::submit(std::function<void()> work) { asio::post(context_, std::move(work)); }

void AsioWorkQueue::after(Duration delay, std::function<void()> work) {
    schedule(SteadyClock::now() + toSteady(delay), std::move(work));
}

std::shared_ptr<Cancellable> AsioWorkQueue::repeating(Duration first, Duration interval,
                                                      std::function<void()> handler) {
    auto timer = std::make_shared<QueueRepeatingTimer>(*this, toSteady(interval), std::move(handler));
    timer->start(SteadyClock::now() + toSteady(first));
    return timer;
}

std::shared_ptr<Cancellable> AsioWorkQueue::readSource(int fd, std::function<void()> onReadable,
                                                       std::function<void()> onCancel) {
    auto source = std::make_shared<QueueReadSource>(*this, fd, std::move(onReadable), std::move(onCancel));
    source->start();
    return source;
}

AsioWorkQueue::TimerKey AsioWorkQueue::schedule(SteadyClock::time_point deadline, std::function<void()> work) {
    std::lock_guard<std::mutex> lock(timerMutex_);
    TimerKey key{deadline, nextSequence_++};
    timers_.emplace(key, std::move(work));
    if (timers_.begin()->first == key && !rearmPosted_) {
        rearmPosted_ = true;
        asio::post(context_, [this] { rearm(); });
    }
    return key;
}

bool AsioWorkQueue::unschedule(const TimerKey& key) {
    std::function<void()> removed;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(timerMutex_);
    auto it = timers_.find(key);
    if (it == timers_.end()) return false;
    removed = std::move(it->second);
    timers_.erase(it);
    return true;
}

void AsioWorkQueue::rearm() {
    SteadyClock::time_point earliest;
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        rearmPosted_ = false;
        if (timers_.empty()) {
            wake_.cancel();
            return;
        }
        earliest = timers_.begin()->first.first;
    }
    wake_.expires_at(earliest);  // cancels the earlier wait, if any
    wake_.async_wait([this](const asio::error_code& ec) {
        if (ec == asio::error::operation_aborted) return;
        fireDue();
    });
}

void AsioWorkQueue::fireDue() {
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> lock(timerMutex_);
            if (timers_.empty() || timers_.begin()->first.first > SteadyClock::now()) break;
            auto node = timers_.extract(timers_.begin());
            work = std::move(node.mapped());
        }
        if (work) runTimerWork(work);
        if (context_.stopped()) break;
    }
    rearm();
}

void AsioWorkQueue::run() { context_.run(); }

void AsioWorkQueue::stop() { context_.stop(); }

bool AsioWorkQueue::stopped() const { return context_.stopped(); }

void AsioWorkQueue::startThread() {
    if (thread_.joinable()) return;
    context_.restart();
    thread_ = std::thread([this] { run(); });
}

void AsioWorkQueue::stopAndJoin() {
    stop();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool AsioWorkQueue::isQueueThread() const {
    return const_cast<asio::io_context&>(context_).get_executor().running_in_this_thread();
}

bool AsioWorkQueue::runUntil(const std::function<bool()>& done, Duration timeout) {
    const auto deadline = SteadyClock::now() + toSteady(timeout);
    if (context_.stopped()) context_.restart();
    while (!done()) {
        const auto now = SteadyClock::now();
        if (now >= deadline) return false;
        context_.run_one_for(deadline - now);
        if (context_.stopped()) context_.restart();
    }
    return true;
}

void AsioWorkQueue::poll() {
    if (context_.stopped()) context_.restart();
    context_.poll();
}

size_t AsioWorkQueue::pendingTimerCount() const {
    std::lock_guard<std::mutex> lock(timerMutex_);
    return timers_.size();
}

}  // namespace vantu

#include "platform/sim/SimPlatform.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace vantu::sim {

namespace {

// Heap order of the queue: the front is the earliest deadline, ties broken
// by the order in which the work was scheduled.
const auto laterThan = [](const auto& a, const auto& b) {
    if (a.due != b.due) return a.due > b.due;
    return a.order > b.order;
};

// The error form the simulated platform hands back for scripted failures.
TunnelError simError(const std::string& description) {
    return TunnelError::platform("vantu.sim", 1, description);
}

std::chrono::nanoseconds nonNegative(Duration d) {
    auto ns = toNanos(d);
    return ns.count() < 0 ? std::chrono::nanoseconds(0) : ns;
}

}  // namespace

// ---------------------------------------------------------------- work queue

// One timer or read source. Its queued firings are tagged with the Firing
// type so that cancel() can take them off the queue at once: a cancelled
// timer then no longer counts as pending work.
struct SimWorkQueue::Source : Cancellable, std::enable_shared_from_this<SimWorkQueue::Source> {
    enum class Kind { timer, read };

    struct Firing {
        std::shared_ptr<Source> source;
        void operator()() const { source->fire(); }
    };

    Source(SimWorkQueue& queue, Kind kind) : queue(queue), kind(kind) {}

    void cancel() override {
        if (cancelled) return;
        cancelled = true;
        std::erase_if(queue.items_, [this](const Item& item) {
            const Firing* firing = item.work.target<Firing>();
            return firing != nullptr && firing->source.get() == this;
        });
        std::make_heap(queue.items_.begin(), queue.items_.end(), laterThan);
        if (kind == Kind::read) {
            auto it = queue.sources_.find(fd);
            if (it != queue.sources_.end() && it->second.lock().get() == this) queue.sources_.erase(it);
            // Like a dispatch source, the cancel handler runs later on the
            // queue, exactly once.
            if (onCancel) queue.submit(std::move(onCancel));
        }
        handler = nullptr;
    }

    bool isCancelled() const override { return cancelled; }

    void fire() {
        if (cancelled) return;
        // Keep the handler alive even if it cancels this source while running.
        auto run = handler;
        run();
        if (kind == Kind::timer && !cancelled) {
            nextDue += interval;
            queue.schedule(nextDue, Firing{shared_from_this()});
        }
    }

    SimWorkQueue& queue;
    const Kind kind;
    bool cancelled = false;
    std::function<void()> handler;  // the timer handler or onReadable
    // Timer.
    Instant nextDue{};
    std::chrono::nanoseconds interval{0};
    // Read source.
    int fd = -1;
    std::function<void()> onCancel;
};

void SimWorkQueue::schedule(Instant due, std::function<void()> work) {
    items_.push_back(Item{due, nextOrder_++, std::move(work)});
    std::push_heap(items_.begin(), items_.end(), laterThan);
}

void SimWorkQueue::submit(std::function<void()> work) { schedule(clock_.now(), std::move(work)); }

void SimWorkQueue::after(Duration delay, std::function<void()> work) {
    schedule(clock_.now() + nonNegative(delay), std::move(work));
}

std::shared_ptr<Cancellable> SimWorkQueue::repeating(Duration first, Duration interval,
                                                     std::function<void()> handler) {
    auto source = std::make_shared<Source>(*this, Source::Kind::timer);
    source->handler = std::move(handler);
    // A zero interval would make runUntilIdle spin forever at one instant.
    source->interval = std::max(nonNegative(interval), std::chrono::nanoseconds(1));
    source->nextDue = clock_.now() + nonNegative(first);
    schedule(source->nextDue, Source::Firing{source});
    return source;
}

std::shared_ptr<Cancellable> SimWorkQueue::readSource(int fd, std::function<void()> onReadable,
                                                      std::function<void()> onCancel) {
    auto source = std::make_shared<Source>(*this, Source::Kind::read);
    source->fd = fd;
    source->handler = std::move(onReadable);
    source->onCancel = std::move(onCancel);
    sources_[fd] = source;
    return source;
}

void SimWorkQueue::makeReadable(int fd) {
    auto it = sources_.find(fd);
    if (it == sources_.end()) return;
    auto source = it->second.lock();
    if (!source || source->cancelled) return;
    schedule(clock_.now(), Source::Firing{source});
}

bool SimWorkQueue::runNextDue(Instant limit) {
    if (items_.empty() || items_.front().due > limit) return false;
    std::pop_heap(items_.begin(), items_.end(), laterThan);
    Item item = std::move(items_.back());
    items_.pop_back();
    if (item.due > clock_.now()) clock_.set(item.due);
    item.work();
    return true;
}

size_t SimWorkQueue::runUntilIdle() {
    size_t count = 0;
    while (runNextDue(clock_.now())) ++count;
    return count;
}

void SimWorkQueue::advance(Duration d) { advanceTo(clock_.now() + nonNegative(d)); }

void SimWorkQueue::advanceTo(Instant t) {
    while (runNextDue(t)) {
    }
    if (t > clock_.now()) clock_.set(t);
}

size_t SimWorkQueue::pendingCount() const { return items_.size(); }

// ---------------------------------------------------------------- packet flow

void SimPacketFlow::readPackets(ReadCompletion completion) {
    ++readRequests;
    pendingRead_ = std::move(completion);
    deliverIfPossible();
}

void SimPacketFlow::writePackets(const std::vector<Bytes>& packets, const std::vector<int>& protocols) {
    ++writeCalls;
    writeCount += packets.size();
    if (!recordWrites) return;
    written.insert(written.end(), packets.begin(), packets.end());
    writtenProtocols.insert(writtenProtocols.end(), protocols.begin(), protocols.end());
}

void SimPacketFlow::inject(std::vector<Bytes> batch) {
    batches_.push_back(std::move(batch));
    deliverIfPossible();
}

void SimPacketFlow::injectCopies(const std::vector<Bytes>& batch) {
    std::vector<Bytes> copies;
    copies.reserve(batch.size());
    for (const Bytes& packet : batch) {
        if (spare_.empty()) {
            copies.push_back(packet);
            continue;
        }
        copies.push_back(std::move(spare_.back()));
        spare_.pop_back();
        copies.back().assign(packet.begin(), packet.end());
    }
    inject(std::move(copies));
}

void SimPacketFlow::recyclePackets(std::vector<Bytes>& packets) {
    for (Bytes& packet : packets) spare_.push_back(std::move(packet));
}

void SimPacketFlow::deliverIfPossible() {
    if (!pendingRead_ || batches_.empty()) return;
    auto completion = std::move(pendingRead_);
    pendingRead_ = nullptr;
    auto batch = std::move(batches_.front());
    batches_.pop_front();
    std::vector<int> protocols(batch.size(), AF_INET);
    queue_.submit([completion = std::move(completion), batch = std::move(batch),
                   protocols = std::move(protocols)]() mutable {
        completion(std::move(batch), std::move(protocols));
    });
}

// ---------------------------------------------------------------- UDP session

void SimUDPSession::setReadHandler(ReadHandler handler, size_t maxDatagrams) {
    handler_ = std::move(handler);
    this->maxDatagrams = maxDatagrams;
}

void SimUDPSession::writeDatagram(Bytes datagram, ErrorCompletion completion) {
    writes.push_back(std::move(datagram));
    if (holdWriteCompletions) {
        held_.push_back(std::move(completion));
        return;
    }
    std::optional<TunnelError> error;
    if (failWrites) error = simError(*failWrites);
    queue_.submit([completion = std::move(completion), error]() {
        if (completion) completion(error);
    });
}

void SimUDPSession::writeDatagrams(std::vector<Bytes> datagrams, BatchCompletion completion) {
    if (datagrams.empty()) return;
    ++batchWrites;
    // Held completions are released one by one, so a held batch takes the
    // per-datagram road.
    if (holdWriteCompletions) {
        UDPSession::writeDatagrams(std::move(datagrams), std::move(completion));
        return;
    }
    std::optional<TunnelError> error;
    if (failWrites) error = simError(*failWrites);
    std::vector<std::optional<TunnelError>> results(datagrams.size(), error);
    writeCount += datagrams.size();
    if (recordWrites) {
        for (Bytes& datagram : datagrams) writes.push_back(std::move(datagram));
        datagrams.clear();
    }
    queue_.submit([completion = std::move(completion), results = std::move(results),
                   buffers = std::move(datagrams)]() mutable {
        if (completion) completion(results, buffers);
    });
}

void SimUDPSession::completeHeldWrites(std::optional<std::string> error) {
    auto held = std::move(held_);
    held_.clear();
    std::optional<TunnelError> result;
    if (error) result = simError(*error);
    for (auto& completion : held) {
        queue_.submit([completion = std::move(completion), result]() {
            if (completion) completion(result);
        });
    }
}

void SimUDPSession::cancel() {
    cancelled = true;
    state_ = UDPSessionState::cancelled;
}

void SimUDPSession::deliver(std::vector<Bytes> datagrams) {
    if (!handler_ || cancelled || datagrams.empty()) return;
    // The handler sees batches no larger than it asked for.
    const size_t batch = maxDatagrams == 0 ? datagrams.size() : maxDatagrams;
    for (size_t start = 0; start < datagrams.size(); start += batch) {
        const size_t end = std::min(datagrams.size(), start + batch);
        std::vector<Bytes> part(std::make_move_iterator(datagrams.begin() + static_cast<std::ptrdiff_t>(start)),
                                std::make_move_iterator(datagrams.begin() + static_cast<std::ptrdiff_t>(end)));
        queue_.submit([handler = handler_, part = std::move(part)]() mutable { handler(std::move(part), std::nullopt); });
    }
}

void SimUDPSession::deliverError(const std::string& description) {
    if (!handler_ || cancelled) return;
    queue_.submit([handler = handler_, error = simError(description)]() { handler({}, error); });
}

// ---------------------------------------------------------------- TCP connection

void SimTCPConnection::readMinimumLength(size_t /*minimum*/, size_t maximum,
                                         std::function<void(Bytes, std::optional<TunnelError>)> completion) {
    // Whatever is buffered is handed over as soon as there is anything: the
    // simulated stream never holds bytes back to reach a minimum.
    auto read = std::move(completion);
    pendingRead_ = nullptr;
    readMaximum_ = maximum;
    if (pendingError_) {
        auto error = simError(*pendingError_);
        pendingError_.reset();
        queue_.submit([read = std::move(read), error]() { read({}, error); });
        return;
    }
    if (!buffered_.empty()) {
        const size_t n = maximum == 0 ? buffered_.size() : std::min(maximum, buffered_.size());
        Bytes chunk(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(n));
        buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(n));
        queue_.submit([read = std::move(read), chunk = std::move(chunk)]() mutable { read(std::move(chunk), std::nullopt); });
        return;
    }
    if (endOfStream_) {
        queue_.submit([read = std::move(read)]() { read({}, std::nullopt); });
        return;
    }
    pendingRead_ = std::move(read);
}

void SimTCPConnection::write(Bytes data, ErrorCompletion completion) {
    std::optional<TunnelError> error;
    if (cancelled) {
        error = simError("connection cancelled");
    } else {
        writes.push_back(std::move(data));
    }
    if (holdWriteCompletions && !error) {
        heldWrites_.push_back(std::move(completion));
        return;
    }
    queue_.submit([completion = std::move(completion), error]() {
        if (completion) completion(error);
    });
}

void SimTCPConnection::completeHeldWrites(size_t count) {
    for (; count > 0 && !heldWrites_.empty(); --count) {
        queue_.submit([completion = std::move(heldWrites_.front())]() {
            if (completion) completion(std::nullopt);
        });
        heldWrites_.pop_front();
    }
}

void SimTCPConnection::cancel() {
    cancelled = true;
    state_ = TCPConnectionState::cancelled;
    // A cancelled connection delivers nothing more.
    pendingRead_ = nullptr;
}

void SimTCPConnection::deliver(Bytes data) {
    if (cancelled) return;
    if (data.empty()) {
        endOfStream_ = true;
    } else {
        buffered_.insert(buffered_.end(), data.begin(), data.end());
    }
    if (pendingRead_) {
        auto read = std::move(pendingRead_);
        pendingRead_ = nullptr;
        readMinimumLength(1, readMaximum_, std::move(read));
    }
}

void SimTCPConnection::deliverError(const std::string& description) {
    if (cancelled) return;
    pendingError_ = description;
    if (pendingRead_) {
        auto read = std::move(pendingRead_);
        pendingRead_ = nullptr;
        readMinimumLength(1, readMaximum_, std::move(read));
    }
}

// ---------------------------------------------------------------- tunnel host

void SimTunnelHost::setTunnelNetworkSettings(std::optional<TunnelNetworkSettings> settings,
                                             ErrorCompletion completion) {
    // Every attempt is captured, the failing ones included.
    appliedSettings.push_back(std::move(settings));
    std::optional<TunnelError> error;
    if (settingsError) error = simError(*settingsError);
    queue_.submit([completion = std::move(completion), error]() {
        if (completion) completion(error);
    });
}

std::shared_ptr<UDPSession> SimTunnelHost::createUDPSession(const std::string& host, const std::string& port) {
    auto session = std::make_shared<SimUDPSession>(queue_, host, port);
    session->setState(initialUDPState);
    if (onNewUDPSession) onNewUDPSession(*session);
    udpSessions.push_back(session);
    return session;
}

std::shared_ptr<TCPConnection> SimTunnelHost::createTCPConnection(const std::string& host, const std::string& port) {
    auto connection = std::make_shared<SimTCPConnection>(queue_, host, port);
    tcpConnections.push_back(connection);
    return connection;
}

// ---------------------------------------------------------------- defaults store

std::optional<std::vector<std::string>> MemoryDefaultsStore::stringArray(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (auto value = std::get_if<std::vector<std::string>>(&it->second)) return *value;
    return std::nullopt;
}

std::optional<std::string> MemoryDefaultsStore::string(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (auto value = std::get_if<std::string>(&it->second)) return *value;
    return std::nullopt;
}

int64_t MemoryDefaultsStore::integer(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return 0;
    if (auto value = std::get_if<int64_t>(&it->second)) return *value;
    return 0;
}

std::optional<std::map<std::string, double>> MemoryDefaultsStore::dictionary(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (auto value = std::get_if<std::map<std::string, double>>(&it->second)) return *value;
    return std::nullopt;
}

void MemoryDefaultsStore::setStringArray(const std::string& key, const std::vector<std::string>& value) {
    values_[key] = value;
    ++writes;
}

void MemoryDefaultsStore::setString(const std::string& key, const std::string& value) {
    values_[key] = value;
    ++writes;
}

void MemoryDefaultsStore::setInteger(const std::string& key, int64_t value) {
    values_[key] = value;
    ++writes;
}

void MemoryDefaultsStore::setDictionary(const std::string& key, const std::map<std::string, double>& value) {
    values_[key] = value;
    ++writes;
}

void MemoryDefaultsStore::remove(const std::string& key) {
    values_.erase(key);
    ++writes;
}

// ---------------------------------------------------------------- log

bool CapturingLog::contains(const std::string& text) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

}  // namespace vantu::sim

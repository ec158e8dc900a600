#include "platform/linux/WriteBehindStore.h"

namespace vantu {

WriteBehindStore::WriteBehindStore(SqliteDefaultsStore& store) : store_(store), writer_([this] { run(); }) {}

WriteBehindStore::~WriteBehindStore() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    // The writer drains what is pending before it ends.
    writer_.join();
}

const WriteBehindStore::Value* WriteBehindStore::pending(const std::string& key) const {
    if (auto it = pending_.find(key); it != pending_.end()) return &it->second;
    if (auto it = inFlight_.find(key); it != inFlight_.end()) return &it->second;
    return nullptr;
}

// A pending value of the wanted kind is the answer; a pending value of
// another kind or a pending removal reads as absent, as the store would
// answer once it is written. No pending value: ask the store.
template <typename T>
std::optional<std::optional<T>> WriteBehindStore::pendingAs(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Value* value = pending(key);
    if (!value) return std::nullopt;
    if (const auto* typed = std::get_if<T>(value)) return std::optional<T>(*typed);
    return std::optional<T>();
}

std::optional<std::vector<std::string>> WriteBehindStore::stringArray(const std::string& key) const {
    if (auto value = pendingAs<std::vector<std::string>>(key)) return *value;
    return store_.stringArray(key);
}

std::optional<std::string> WriteBehindStore::string(const std::string& key) const {
    if (auto value = pendingAs<std::string>(key)) return *value;
    return store_.string(key);
}

int64_t WriteBehindStore::integer(const std::string& key) const {
    if (auto value = pendingAs<int64_t>(key)) return value->value_or(0);
    return store_.integer(key);
}

std::optional<std::map<std::string, double>> WriteBehindStore::dictionary(const std::string& key) const {
    if (auto value = pendingAs<std::map<std::string, double>>(key)) return *value;
    return store_.dictionary(key);
}

void WriteBehindStore::setStringArray(const std::string& key, const std::vector<std::string>& value) {
    put(key, value);
}
void WriteBehindStore::setString(const std::string& key, const std::string& value) { put(key, value); }
void WriteBehindStore::setInteger(const std::string& key, int64_t value) { put(key, value); }
void WriteBehindStore::setDictionary(const std::string& key, const std::map<std::string, double>& value) {
    put(key, value);
}
void WriteBehindStore::remove(const std::string& key) { put(key, Removed{}); }

void WriteBehindStore::put(const std::string& key, Value value) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = pending_.empty();
        // Only the newest value of a key is ever written: the event log is
        // saved whole on each event, and a burst of them costs one write.
        pending_.insert_or_assign(key, std::move(value));
        ++setCount_;
    }
    if (first) wake_.notify_one();
}

void WriteBehindStore::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = setCount_;
    flushing_ = true;
    wake_.notify_one();
    written_.wait(lock, [&] { return writtenCount_ >= target; });
    flushing_ = false;
}

uint64_t WriteBehindStore::commits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commits_;
}

void WriteBehindStore::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return !pending_.empty() || stopping_; });
        if (pending_.empty()) return;  // stopping, nothing left
        // Let the rest of a burst join this transaction, unless someone
        // waits for it.
        if (!flushing_ && !stopping_) wake_.wait_for(lock, kGatherWindow, [&] { return flushing_ || stopping_; });
        inFlight_ = std::move(pending_);
        pending_.clear();
        const uint64_t covered = setCount_;
        lock.unlock();
        writeAll(inFlight_);
        lock.lock();
        inFlight_.clear();
        writtenCount_ = covered;
        ++commits_;
        written_.notify_all();
    }
}

void WriteBehindStore::writeAll(std::map<std::string, Value>& batch) {
    // inFlight_ is only replaced by this thread, so it is read here without
    // the lock; readers take the lock and see the same values.
    store_.inTransaction([&] {
        for (const auto& [key, value] : batch) {
            std::visit(
                [&, &key = key](const auto& v) {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, Removed>) store_.remove(key);
                    else if constexpr (std::is_same_v<T, std::vector<std::string>>) store_.setStringArray(key, v);
                    else if constexpr (std::is_same_v<T, std::string>) store_.setString(key, v);
                    else if constexpr (std::is_same_v<T, int64_t>) store_.setInteger(key, v);
                    else store_.setDictionary(key, v);
                },
                value);
        }
    });
}

}  // namespace vantu

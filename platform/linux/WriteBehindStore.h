#pragma once

// A defaults store that never makes its caller wait for the disk.
//
// The provider saves its event log on every event, from its one work queue;
// a durable SQLite commit costs an fsync, and a burst of events (a thousand
// new direct flows) would hold the packet path behind them. Here a set only
// records the newest value of its key in memory and wakes a writer thread,
// which gathers what arrives over a few milliseconds and commits it in one
// transaction. Reads see the pending values first, so the caller reads its
// own writes as before. What a crash can lose is bounded by the gathering
// window plus one commit; flush() (and the destructor) waits until all that
// was set has been written.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "platform/linux/SqliteDefaultsStore.h"

namespace vantu {

class WriteBehindStore final : public DefaultsStore {
public:
    // How long the writer waits after the first pending write for others to
    // join its transaction.
    static constexpr std::chrono::milliseconds kGatherWindow{3};

    explicit WriteBehindStore(SqliteDefaultsStore& store);
    ~WriteBehindStore() override;
    WriteBehindStore(const WriteBehindStore&) = delete;
    WriteBehindStore& operator=(const WriteBehindStore&) = delete;

    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override;
    std::optional<std::string> string(const std::string& key) const override;
    int64_t integer(const std::string& key) const override;
    std::optional<std::map<std::string, double>> dictionary(const std::string& key) const override;
    void setStringArray(const std::string& key, const std::vector<std::string>& value) override;
    void setString(const std::string& key, const std::string& value) override;
    void setInteger(const std::string& key, int64_t value) override;
    void setDictionary(const std::string& key, const std::map<std::string, double>& value) override;
    void remove(const std::string& key) override;

    // Returns once everything set before the call is in the store (or its
    // write failed and was reported by the store).
    void flush();
    // Transactions committed so far; for tests and the benchmark.
    uint64_t commits() const;

private:
    struct Removed {};
    using Value = std::variant<Removed, std::vector<std::string>, std::string, int64_t, std::map<std::string, double>>;

    void put(const std::string& key, Value value);
    // The pending value of `key`, if any (mutex_ held by the caller).
    const Value* pending(const std::string& key) const;
    template <typename T>
    std::optional<std::optional<T>> pendingAs(const std::string& key) const;
    void run();
    void writeAll(std::map<std::string, Value>& batch);

    SqliteDefaultsStore& store_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::map<std::string, Value> pending_;
    // Being written by the writer right now: still what a read must see.
    std::map<std::string, Value> inFlight_;
    uint64_t setCount_ = 0;      // sets accepted
    uint64_t writtenCount_ = 0;  // sets whose batch has been committed
    uint64_t commits_ = 0;
    bool flushing_ = false;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace vantu

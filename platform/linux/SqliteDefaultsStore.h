#pragma once

// The persistent key-value defaults store on a Linux host: one SQLite file.
//
// Each value is a row (key, kind, value) where value is the JSON text of the
// value and kind says which of the four kinds it is, so a value stored as one
// kind reads as absent through the accessor of another. The database runs in
// WAL mode with synchronous=FULL and every set is its own transaction: a crash
// or power loss loses at most the write in flight, never the file.

#include <sqlite3.h>

#include <functional>
#include <mutex>
#include <string>

#include "platform/Platform.h"

namespace vantu {

class SqliteDefaultsStore final : public DefaultsStore {
public:
    // Opens (creating if needed) the database at `path`; missing parent
    // directories are created with mode 0700, the directory holding the
    // file is made 0700 (unless it is a shared, sticky one) and the file
    // and its journals 0600. A file that is not a database
    // or is damaged is renamed to "<path>.corrupt-<UTC time>" and a fresh
    // store takes its place (movedAsidePath() says where it went). Throws
    // VantuError when the file cannot be opened or initialised otherwise.
    explicit SqliteDefaultsStore(const std::string& path);
    ~SqliteDefaultsStore() override;
    SqliteDefaultsStore(const SqliteDefaultsStore&) = delete;
    SqliteDefaultsStore& operator=(const SqliteDefaultsStore&) = delete;

    std::optional<std::vector<std::string>> stringArray(const std::string& key) const override;
    std::optional<std::string> string(const std::string& key) const override;
    int64_t integer(const std::string& key) const override;
    std::optional<std::map<std::string, double>> dictionary(const std::string& key) const override;

    // Setters never throw: a write that fails (disk full) is reported on
    // stderr and through lastError(), and the previous value stays. Text
    // that is not UTF-8 is stored with the invalid bytes replaced.
    void setStringArray(const std::string& key, const std::vector<std::string>& value) override;
    void setString(const std::string& key, const std::string& value) override;
    void setInteger(const std::string& key, int64_t value) override;
    void setDictionary(const std::string& key, const std::map<std::string, double>& value) override;
    void remove(const std::string& key) override;

    // Runs `writes` (calls of the setters above) as one transaction: one
    // commit, one sync of the disk, for all of them. A commit that fails
    // (disk full) is reported like a failed write and rolled back, so every
    // key keeps its previous value.
    void inTransaction(const std::function<void()>& writes);

    // The text of the last failed operation, empty when none failed.
    std::string lastError() const;
    const std::string& path() const { return path_; }
    // Where an unreadable file found at open was moved; empty when none was.
    const std::string& movedAsidePath() const { return movedAsidePath_; }

private:
    // Opens and prepares everything; on failure closes what it opened and
    // returns the SQLite result code with `message` set.
    int open(std::string& message);
    void moveAside();
    bool exec(const char* statement);
    // Records a failure (mutex_ held) and prints it on stderr unless its
    // reason is the one printed last.
    void report(const std::string& operation, const std::string& reason) const;
    std::optional<nlohmann::json> read(const std::string& key, const char* kind) const;
    void write(const std::string& key, const char* kind, const nlohmann::json& value);

    std::string path_;
    std::string movedAsidePath_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* select_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    // The provider uses the store from its queue only; the lock keeps a
    // daemon's other threads (a control socket) safe as well.
    mutable std::mutex mutex_;
    mutable std::string lastError_;
    mutable std::string lastReportedReason_;
};

}  // namespace vantu

#include "platform/linux/SqliteDefaultsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vantu {

namespace {

constexpr const char* kKindStringArray = "stringArray";
constexpr const char* kKindString = "string";
constexpr const char* kKindInteger = "integer";
constexpr const char* kKindDictionary = "dictionary";

// mkdir -p with mode 0700 for what it creates.
void makeParentDirectories(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return;
    const std::string dir = path.substr(0, slash);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        const std::string prefix = dir.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            throw VantuError("cannot create directory " + prefix + ": " + std::strerror(errno));
    }
}

// "20261206T094553Z": the moment a damaged database was moved aside.
std::string utcStamp() {
    const std::time_t t = std::time(nullptr);
    std::tm utc{};
    char text[32] = "unknown-time";
    if (::gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// The database holds the event log and the stop snapshots, which name the
// server, the tunnel address and what failed: for root's eyes only, whatever
// mode an older version or an administrator left on the files. A shared
// directory (sticky, as /tmp) is not ours to lock down; the files still are.
void restrictAccess(const std::string& path) {
    if (path == ":memory:") return;
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        struct stat st{};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) == 0 &&
            (st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
            std::fprintf(stderr, "vantu: cannot make %s private (mode 0700): %s\n", dir.c_str(), std::strerror(errno));
        }
    }
    // Created here rather than by SQLite, which would use 0644 less the umask;
    // its journal files take the mode of the database.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) ::close(fd);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string file = path + suffix;
        struct stat st{};
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != 0600 &&
            ::chmod(file.c_str(), 0600) != 0) {
            std::fprintf(stderr, "vantu: cannot make %s private (mode 0600): %s\n", file.c_str(), std::strerror(errno));
        }
    }
}

bool fileExists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

SqliteDefaultsStore::SqliteDefaultsStore(const std::string& path) : path_(path) {
    makeParentDirectories(path);
    std::string message;
    const int rc = open(message);
    if (rc == SQLITE_OK) return;
    // A file that is not a database, or one damaged beyond reading, would
    // stop the daemon at every start, before it cleans up what a crashed
    // run left behind. The state in it is diagnostics only, so the file is
    // kept for inspection under another name and a fresh one takes its place.
    if (rc != SQLITE_NOTADB && rc != SQLITE_CORRUPT) throw VantuError(message);
    moveAside();
    std::fprintf(stderr, "vantu: %s; moved it to %s and started a fresh one\n", message.c_str(),
                 movedAsidePath_.c_str());
    if (open(message) != SQLITE_OK) throw VantuError(message);
}

int SqliteDefaultsStore::open(std::string& message) {
    const auto failed = [&](int rc, const std::string& text) {
        message = text;
        sqlite3_finalize(select_);
        sqlite3_finalize(upsert_);
        sqlite3_finalize(delete_);
        select_ = upsert_ = delete_ = nullptr;
        sqlite3_close(db_);
        db_ = nullptr;
        return rc == SQLITE_OK ? SQLITE_ERROR : rc;
    };
    restrictAccess(path_);
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr); rc != SQLITE_OK) {
        return failed(rc, "cannot open defaults store " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    }
    sqlite3_busy_timeout(db_, 2000);
    const char* setup =
        "PRAGMA journal_mode=WAL;"
        "PRAGMA synchronous=FULL;"
        "CREATE TABLE IF NOT EXISTS defaults (key TEXT PRIMARY KEY, kind TEXT NOT NULL, value TEXT NOT NULL);";
    char* error = nullptr;
    if (int rc = sqlite3_exec(db_, setup, nullptr, nullptr, &error); rc != SQLITE_OK) {
        std::string text = error ? error : "unknown error";
        sqlite3_free(error);
        return failed(rc, "cannot initialise defaults store " + path_ + ": " + text);
    }
    // A header that reads fine can still sit in front of damaged pages; the
    // store is small, so a quick check at open costs little.
    std::string check;
    const auto collect = [](void* out, int, char** values, char**) {
        if (values[0]) *static_cast<std::string*>(out) += values[0];
        return 0;
    };
    if (int rc = sqlite3_exec(db_, "PRAGMA quick_check;", collect, &check, &error); rc != SQLITE_OK || check != "ok") {
        std::string text = error ? error : check;
        sqlite3_free(error);
        return failed(rc == SQLITE_OK ? SQLITE_CORRUPT : rc, "defaults store " + path_ + " is damaged: " + text);
    }
    const char* statements[3] = {
        "SELECT kind, value FROM defaults WHERE key = ?1",
        "INSERT INTO defaults (key, kind, value) VALUES (?1, ?2, ?3) "
        "ON CONFLICT(key) DO UPDATE SET kind = excluded.kind, value = excluded.value",
        "DELETE FROM defaults WHERE key = ?1"};
    sqlite3_stmt** targets[3] = {&select_, &upsert_, &delete_};
    for (int i = 0; i < 3; ++i) {
        if (int rc = sqlite3_prepare_v3(db_, statements[i], -1, SQLITE_PREPARE_PERSISTENT, targets[i], nullptr);
            rc != SQLITE_OK) {
            return failed(rc, "cannot prepare defaults statement: " + std::string(sqlite3_errmsg(db_)));
        }
    }
    return SQLITE_OK;
}

void SqliteDefaultsStore::moveAside() {
    std::string target = path_ + ".corrupt-" + utcStamp();
    for (int n = 2; fileExists(target); ++n) target = path_ + ".corrupt-" + utcStamp() + "-" + std::to_string(n);
    if (::rename(path_.c_str(), target.c_str()) != 0) {
        throw VantuError("cannot move the damaged defaults store " + path_ + " aside: " + std::strerror(errno));
    }
    movedAsidePath_ = target;
}

SqliteDefaultsStore::~SqliteDefaultsStore() {
    sqlite3_finalize(select_);
    sqlite3_finalize(upsert_);
    sqlite3_finalize(delete_);
    sqlite3_close(db_);
}

std::optional<nlohmann::json> SqliteDefaultsStore::read(const std::string& key, const char* kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_reset(select_);
    sqlite3_bind_text(select_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    std::optional<nlohmann::json> result;
    const int rc = sqlite3_step(select_);
    if (rc == SQLITE_ROW) {
        const auto* storedKind = reinterpret_cast<const char*>(sqlite3_column_text(select_, 0));
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select_, 1));
        const int length = sqlite3_column_bytes(select_, 1);
        if (storedKind && text && std::strcmp(storedKind, kind) == 0) {
            auto parsed = nlohmann::json::parse(text, text + length, nullptr, false);
            if (!parsed.is_discarded()) result = std::move(parsed);
        }
    } else if (rc != SQLITE_DONE) {
        report("read " + key, sqlite3_errmsg(db_));
    }
    sqlite3_reset(select_);
    sqlite3_clear_bindings(select_);
    return result;
}

void SqliteDefaultsStore::write(const std::string& key, const char* kind, const nlohmann::json& value) {
    // The provider saves from its work queue; an exception from here would
    // end the operation that wanted to save (a start whose completion then
    // never runs). So nothing leaves this function: failures are reported.
    try {
        std::string text;
        try {
            text = value.dump();
        } catch (const nlohmann::json::exception& e) {
            // Text that is not UTF-8 (a peer's bytes that slipped through):
            // the value is kept with those bytes replaced rather than lost.
            text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            std::lock_guard<std::mutex> lock(mutex_);
            report("write " + key, std::string(e.what()) + "; stored with the invalid bytes replaced");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sqlite3_reset(upsert_);
        sqlite3_bind_text(upsert_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(upsert_, 2, kind, -1, SQLITE_STATIC);
        sqlite3_bind_text(upsert_, 3, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(upsert_) != SQLITE_DONE) report("write " + key, sqlite3_errmsg(db_));
        sqlite3_reset(upsert_);
        sqlite3_clear_bindings(upsert_);
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        report("write " + key, e.what());
    }
}

void SqliteDefaultsStore::report(const std::string& operation, const std::string& reason) const {
    // A full disk fails every write the same way, whatever the key: the
    // event log alone saves two keys per event, so a line per failed save
    // would flood the log. A reason is printed once, until another one
    // comes up.
    lastError_ = operation + ": " + reason;
    if (reason == lastReportedReason_) return;
    lastReportedReason_ = reason;
    std::fprintf(stderr, "vantu: defaults store %s: %s\n", path_.c_str(), lastError_.c_str());
}

std::optional<std::vector<std::string>> SqliteDefaultsStore::stringArray(const std::string& key) const {
    auto value = read(key, kKindStringArray);
    if (!value || !value->is_array()) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(value->size());
    for (const auto& item : *value) {
        if (!item.is_string()) return std::nullopt;
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::optional<std::string> SqliteDefaultsStore::string(const std::string& key) const {
    auto value = read(key, kKindString);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

int64_t SqliteDefaultsStore::integer(const std::string& key) const {
    auto value = read(key, kKindInteger);
    if (!value || !value->is_number_integer()) return 0;
    return value->get<int64_t>();
}

std::optional<std::map<std::string, double>> SqliteDefaultsStore::dictionary(const std::string& key) const {
    auto value = read(key, kKindDictionary);
    if (!value || !value->is_object()) return std::nullopt;
    std::map<std::string, double> out;
    for (auto it = value->begin(); it != value->end(); ++it) {
        if (!it.value().is_number()) return std::nullopt;
        out[it.key()] = it.value().get<double>();
    }
    return out;
}

void SqliteDefaultsStore::setStringArray(const std::string& key, const std::vector<std::string>& value) {
    write(key, kKindStringArray, nlohmann::json(value));
}

void SqliteDefaultsStore::setString(const std::string& key, const std::string& value) {
    write(key, kKindString, nlohmann::json(value));
}

void SqliteDefaultsStore::setInteger(const std::string& key, int64_t value) {
    write(key, kKindInteger, nlohmann::json(value));
}

void SqliteDefaultsStore::setDictionary(const std::string& key, const std::map<std::string, double>& value) {
    // JSON has no NaN or infinities; such entries are stored as null and the
    // dictionary would read back as absent, so they are left out instead.
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [k, v] : value)
        if (std::isfinite(v)) object[k] = v;
    write(key, kKindDictionary, object);
}

void SqliteDefaultsStore::remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_reset(delete_);
    sqlite3_bind_text(delete_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(delete_) != SQLITE_DONE) report("remove " + key, sqlite3_errmsg(db_));
    sqlite3_reset(delete_);
    sqlite3_clear_bindings(delete_);
}

bool SqliteDefaultsStore::exec(const char* statement) {
    std::lock_guard<std::mutex> lock(mutex_);
    char* error = nullptr;
    if (sqlite3_exec(db_, statement, nullptr, nullptr, &error) == SQLITE_OK) return true;
    report(statement, error ? error : sqlite3_errmsg(db_));
    sqlite3_free(error);
    return false;
}

void SqliteDefaultsStore::inTransaction(const std::function<void()>& writes) {
    // Without a transaction (BEGIN failed) each write still commits on its own.
    const bool began = exec("BEGIN IMMEDIATE");
    writes();
    if (!began || exec("COMMIT")) return;
    // A failed commit (disk full) may leave the transaction open; it is
    // rolled back quietly: the commit's failure was reported, and a second
    // reason would make the next identical failure print again.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::string SqliteDefaultsStore::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

}  // namespace vantu

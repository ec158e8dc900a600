#include "platform/linux/SqliteDefaultsStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>

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

}  // namespace

SqliteDefaultsStore::SqliteDefaultsStore(const std::string& path) : path_(path) {
    makeParentDirectories(path);
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw VantuError("cannot open defaults store " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 2000);
    const char* setup =
        "PRAGMA journal_mode=WAL;"
        "PRAGMA synchronous=FULL;"
        "CREATE TABLE IF NOT EXISTS defaults (key TEXT PRIMARY KEY, kind TEXT NOT NULL, value TEXT NOT NULL);";
    char* error = nullptr;
    if (sqlite3_exec(db_, setup, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        sqlite3_close(db_);
        db_ = nullptr;
        throw VantuError("cannot initialise defaults store " + path + ": " + message);
    }
    auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) != SQLITE_OK) {
            std::string message = sqlite3_errmsg(db_);
            sqlite3_finalize(select_);
            sqlite3_finalize(upsert_);
            sqlite3_finalize(delete_);
            sqlite3_close(db_);
            db_ = nullptr;
            throw VantuError("cannot prepare defaults statement: " + message);
        }
    };
    prepare("SELECT kind, value FROM defaults WHERE key = ?1", &select_);
    prepare("INSERT INTO defaults (key, kind, value) VALUES (?1, ?2, ?3) "
            "ON CONFLICT(key) DO UPDATE SET kind = excluded.kind, value = excluded.value",
            &upsert_);
    prepare("DELETE FROM defaults WHERE key = ?1", &delete_);
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
        lastError_ = "read " + key + ": " + sqlite3_errmsg(db_);
    }
    sqlite3_reset(select_);
    sqlite3_clear_bindings(select_);
    return result;
}

void SqliteDefaultsStore::write(const std::string& key, const char* kind, const nlohmann::json& value) {
    const std::string text = value.dump();
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_reset(upsert_);
    sqlite3_bind_text(upsert_, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(upsert_, 2, kind, -1, SQLITE_STATIC);
    sqlite3_bind_text(upsert_, 3, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(upsert_) != SQLITE_DONE) lastError_ = "write " + key + ": " + sqlite3_errmsg(db_);
    sqlite3_reset(upsert_);
    sqlite3_clear_bindings(upsert_);
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
    if (sqlite3_step(delete_) != SQLITE_DONE) lastError_ = "remove " + key + ": " + sqlite3_errmsg(db_);
    sqlite3_reset(delete_);
    sqlite3_clear_bindings(delete_);
}

std::string SqliteDefaultsStore::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

}  // namespace vantu

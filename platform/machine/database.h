// The stand-in's SQLite databases (registry hives and their list, service control manager,
// event logs, desktop, dial-up connections): how they are opened, and small owners of their
// connections, statements and transactions.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

// How long a connection waits for a lock that another process of the machine holds before it
// gives up with SQLITE_BUSY. Writers hold their locks briefly; this only bounds a stuck one.
inline constexpr int kDatabaseBusyTimeoutMs = 30000;

// Opens a connection with `flags` (SQLITE_OPEN_...) that waits out other processes' locks.
// Null when the file cannot be opened (the handle SQLite makes even then is closed).
sqlite3 *openConnection(const std::string &path, int flags);

// What a machine-wide database keeps when the process or the machine goes down.
enum class Durability {
    // Rollback journal, synchronised: what was committed survives a crash.
    durable,
    // Write-ahead log without syncs: for state that a restart of the machine discards anyway.
    untilRestart,
};

// Opens, creating it when missing, a database that every process of the machine uses, read-write
// and safe to share between the process's threads, and makes its schema: statements that may
// run again (CREATE ... IF NOT EXISTS), run under the write lock so that processes starting
// together do not race to make it. `upgrade`, when given, runs in the same transaction to bring
// a file that an earlier version made up to the schema. Null when the file cannot be opened or
// its schema cannot be made.
sqlite3 *openMachineDatabase(const std::string &path, const char *schema, Durability durability,
                             bool (*upgrade)(sqlite3 *db) = nullptr);

// A machine-wide database that a process opens once, on first use, and keeps until it exits:
// the connection (null when it could not be opened) and the lock that takes the process's
// threads through it one at a time.
struct ProcessDatabase {
    std::mutex lock;
    sqlite3 *db = nullptr;
};

// Opens a database as openMachineDatabase does, for a process to keep (never freed: its threads
// may use it until the process exits).
ProcessDatabase *openProcessDatabase(const std::string &path, const char *schema, Durability durability,
                                     bool (*upgrade)(sqlite3 *db) = nullptr);

// A connection, closed on every path out.
class DatabaseConnection {
public:
    DatabaseConnection() = default;
    explicit DatabaseConnection(sqlite3 *db) : db_(db) {}
    ~DatabaseConnection() { sqlite3_close(db_); }
    DatabaseConnection(DatabaseConnection &&other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
    DatabaseConnection &operator=(DatabaseConnection &&other) noexcept
    {
        std::swap(db_, other.db_);
        return *this;
    }
    explicit operator bool() const { return db_ != nullptr; }
    sqlite3 *get() const { return db_; }
    // Hands the connection over to a caller that keeps it open.
    sqlite3 *release() { return std::exchange(db_, nullptr); }

private:
    sqlite3 *db_ = nullptr;
};

// The parameters and the current row of a prepared statement that something else owns (a
// Statement, or a cache of statements that lives as long as its connection). A statement that
// could not be prepared is not ok(), and its steps fail with SQLITE_MISUSE.
class StatementAccess {
public:
    StatementAccess(const StatementAccess &) = delete;
    StatementAccess &operator=(const StatementAccess &) = delete;
    bool ok() const { return stmt_ != nullptr; }
    StatementAccess &bind(int index, int64_t value)
    {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    StatementAccess &bind(int index, const std::string &value)
    {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    StatementAccess &bindBlob(int index, const std::vector<uint8_t> &value)
    {
        // An empty value is still a (zero-length) blob, not NULL.
        sqlite3_bind_blob(stmt_, index, value.empty() ? "" : static_cast<const void *>(value.data()),
                          static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    StatementAccess &bindNull(int index)
    {
        sqlite3_bind_null(stmt_, index);
        return *this;
    }
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
    int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column)
    {
        const auto *p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::vector<uint8_t> blob(int column)
    {
        const auto *p = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, column));
        return p ? std::vector<uint8_t>(p, p + sqlite3_column_bytes(stmt_, column)) : std::vector<uint8_t>();
    }

protected:
    explicit StatementAccess(sqlite3_stmt *stmt) : stmt_(stmt) {}
    ~StatementAccess() = default;
    sqlite3_stmt *stmt_;
};

// One prepared statement, finalised on every path out.
class Statement : public StatementAccess {
public:
    Statement(sqlite3 *db, const char *sql) : StatementAccess(prepare(db, sql)) {}
    ~Statement() { sqlite3_finalize(stmt_); }

private:
    static sqlite3_stmt *prepare(sqlite3 *db, const char *sql)
    {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return nullptr;
        }
        return stmt;
    }
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3 *db) : db_(db)
    {
        active_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction()
    {
        if (active_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    bool active() const { return active_; }
    bool commit()
    {
        bool ok = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        active_ = !ok;
        return ok;
    }

private:
    sqlite3 *db_;
    bool active_;
};

}  // namespace winsim

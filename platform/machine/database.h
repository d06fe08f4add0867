// Small owners of SQLite statements and transactions, shared by the stand-in's databases
// (registry hives, service control manager).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

// One prepared statement, finalised on every path out.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return ok_; }
    Statement &bind(int index, int64_t value)
    {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement &bind(int index, const std::string &value)
    {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bindBlob(int index, const std::vector<uint8_t> &value)
    {
        // An empty value is still a (zero-length) blob, not NULL.
        sqlite3_bind_blob(stmt_, index, value.empty() ? "" : static_cast<const void *>(value.data()),
                          static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int step() { return sqlite3_step(stmt_); }
    int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
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

private:
    sqlite3_stmt *stmt_ = nullptr;
    bool ok_ = false;
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

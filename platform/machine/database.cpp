#include "machine/database.h"

namespace winsim {

sqlite3 *openConnection(const std::string &path, int flags)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kDatabaseBusyTimeoutMs);
    return db;
}

sqlite3 *openMachineDatabase(const std::string &path, const char *schema, Durability durability,
                             bool (*upgrade)(sqlite3 *db))
{
    DatabaseConnection connection(
        openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX));
    if (!connection)
        return nullptr;
    sqlite3 *db = connection.get();
    if (durability == Durability::untilRestart)
        sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = OFF;", nullptr, nullptr, nullptr);
    Transaction transaction(db);
    if (!transaction.active() || sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        (upgrade && !upgrade(db)) || !transaction.commit())
        return nullptr;
    return connection.release();
}

ProcessDatabase *openProcessDatabase(const std::string &path, const char *schema, Durability durability,
                                     bool (*upgrade)(sqlite3 *db))
{
    auto *opened = new ProcessDatabase;
    opened->db = openMachineDatabase(path, schema, durability, upgrade);
    return opened;
}

}  // namespace winsim

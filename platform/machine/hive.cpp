#include "machine/hive.h"

#include "machine/database.h"
#include "machine/text.h"

#include <winerror.h>
#include <winreg.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <time.h>

namespace winsim {

namespace {

// "hive" in the database header, so that a hive is told from other SQLite files.
constexpr int kHiveApplicationId = 0x68697665;
// 1: keys and values only (the first stand-in hives, application id 0, names folded to lower
// case); 2: classes, security descriptors, upper-case folding, values in the order written.
constexpr int kSchemaVersion = 2;

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS keys ("
    " id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " written INTEGER NOT NULL, class TEXT NOT NULL DEFAULT '', security BLOB, UNIQUE (parent, folded));"
    "CREATE TABLE IF NOT EXISTS key_values ("
    " key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY (key, folded));"
    "CREATE INDEX IF NOT EXISTS key_values_in_order ON key_values (key);"
    "CREATE INDEX IF NOT EXISTS subkeys_in_order ON keys (parent, folded, name, class, written);"
    "CREATE TABLE IF NOT EXISTS hive_counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO keys (id, parent, name, folded, written) VALUES (1, 0, '', '', 0);"
    "PRAGMA application_id = 1751742053;"
    "PRAGMA user_version = 2;";

const char *kUpgradeFromVersion1 =
    "ALTER TABLE keys ADD COLUMN class TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE keys ADD COLUMN security BLOB;"
    "UPDATE keys SET folded = registry_fold(name);"
    "UPDATE key_values SET folded = registry_fold(name);"
    "CREATE INDEX IF NOT EXISTS key_values_in_order ON key_values (key);"
    "CREATE INDEX IF NOT EXISTS subkeys_in_order ON keys (parent, folded, name, class, written);"
    "CREATE TABLE IF NOT EXISTS hive_counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "PRAGMA application_id = 1751742053;"
    "PRAGMA user_version = 2;";

static_assert(kHiveApplicationId == 1751742053, "the schema text names the application id");

constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

int64_t now()
{
    return static_cast<int64_t>(time(nullptr));
}

void foldFunction(sqlite3_context *context, int, sqlite3_value **arguments)
{
    const auto *text = sqlite3_value_text(arguments[0]);
    std::string folded =
        registryFoldedName(text ? std::string_view(reinterpret_cast<const char *>(text),
                                                   static_cast<size_t>(sqlite3_value_bytes(arguments[0])))
                                : std::string_view());
    sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

struct HiveCache {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<Hive>> hives;
};

HiveCache &hiveCache()
{
    static HiveCache *cache = new HiveCache;
    return *cache;
}

int singleInteger(sqlite3 *db, const char *sql, int64_t &value)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            value = sqlite3_column_int64(stmt, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    return rc;
}

// Whether the open database is a hive (either schema); never writes.
DWORD checkHiveSchema(sqlite3 *db)
{
    int64_t applicationId = 0;
    int rc = singleInteger(db, "PRAGMA application_id", applicationId);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
        return ERROR_SHARING_VIOLATION;
    if (rc != SQLITE_OK)
        return ERROR_NOT_REGISTRY_FILE;
    if (applicationId == kHiveApplicationId)
        return 0;
    if (applicationId != 0)
        return ERROR_NOT_REGISTRY_FILE;
    // The first schema had no marker: know it by its tables, columns and root key.
    int64_t columns = 0;
    rc = singleInteger(db,
                       "SELECT (SELECT count(*) FROM pragma_table_info('keys')"
                       "         WHERE name IN ('id', 'parent', 'name', 'folded', 'written'))"
                       "     + (SELECT count(*) FROM pragma_table_info('key_values')"
                       "         WHERE name IN ('key', 'name', 'folded', 'type', 'data'))",
                       columns);
    if (rc != SQLITE_OK || columns != 10)
        return ERROR_NOT_REGISTRY_FILE;
    int64_t root = 0;
    rc = singleInteger(db, "SELECT count(*) FROM keys WHERE id = 1 AND parent = 0", root);
    return rc == SQLITE_OK && root == 1 ? 0 : ERROR_NOT_REGISTRY_FILE;
}

}  // namespace

// A cached statement of the hive, reset and unbound when the query goes out of scope. The
// caller holds the hive's lock.
class HiveQuery : public StatementAccess {
public:
    HiveQuery(Hive &hive, const char *sql) : StatementAccess(hive.statement(sql)) {}
    ~HiveQuery()
    {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
};

namespace {

// The Windows error of a failed step.
DWORD readError(int rc)
{
    return rc == SQLITE_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTREAD;
}

DWORD writeError(int rc)
{
    if (rc == SQLITE_FULL)
        return ERROR_DISK_FULL;
    if (rc == SQLITE_NOMEM)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (rc == SQLITE_READONLY)
        return ERROR_ACCESS_DENIED;
    return ERROR_CANTWRITE;
}

}  // namespace

DWORD Hive::identify(const std::string &posixPath)
{
    struct stat st;
    if (stat(posixPath.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    if (!S_ISREG(st.st_mode))
        return ERROR_ACCESS_DENIED;
    char header[sizeof kSqliteMagic] = {};
    int fd = ::open(posixPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ERROR_ACCESS_DENIED;
    ssize_t n = read(fd, header, sizeof header);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof header) || memcmp(header, kSqliteMagic, sizeof header) != 0)
        return ERROR_NOT_REGISTRY_FILE;
    DatabaseConnection reader(openConnection(posixPath, SQLITE_OPEN_READONLY));
    if (!reader)
        return ERROR_NOT_REGISTRY_FILE;
    DWORD error = checkHiveSchema(reader.get());
    if (error == ERROR_NOT_REGISTRY_FILE && sqlite3_extended_errcode(reader.get()) == SQLITE_READONLY_ROLLBACK) {
        // A writer died in the middle of a transaction: only a connection that may write can
        // roll its journal back, which restores the file as it was before that transaction.
        DatabaseConnection writer(openConnection(posixPath, SQLITE_OPEN_READWRITE));
        if (!writer)
            return ERROR_NOT_REGISTRY_FILE;
        error = checkHiveSchema(writer.get());
    }
    return error;
}

std::shared_ptr<Hive> Hive::open(const std::string &posixPath, DWORD &error)
{
    HiveCache &cache = hiveCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    struct stat st;
    const bool exists = stat(posixPath.c_str(), &st) == 0;
    if (auto existing = cache.hives[posixPath].lock()) {
        if (exists && existing->device_ == st.st_dev && existing->inode_ == st.st_ino)
            return existing;
    }
    // Only a missing (or empty, never written) file becomes a new hive; anything else must
    // already be one, and is left alone when it is not.
    bool create = !exists || (S_ISREG(st.st_mode) && st.st_size == 0);
    if (!create && (error = identify(posixPath)) != 0)
        return nullptr;
    sqlite3 *db = openConnection(posixPath,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0));
    if (!db) {
        error = ERROR_CANTOPEN;
        return nullptr;
    }
    std::shared_ptr<Hive> hive(new Hive(db, posixPath));
    if ((error = hive->initialise(create)) != 0)
        return nullptr;
    if (stat(posixPath.c_str(), &st) == 0) {
        hive->device_ = st.st_dev;
        hive->inode_ = st.st_ino;
    }
    cache.hives[posixPath] = hive;
    return hive;
}

Hive::~Hive()
{
    for (auto &entry : statements_)
        sqlite3_finalize(entry.second);
    sqlite3_close(db_);
}

DWORD Hive::initialise(bool created)
{
    // Reads through a mapping of the file rather than a system call per page.
    sqlite3_exec(db_, "PRAGMA mmap_size = 268435456", nullptr, nullptr, nullptr);
    sqlite3_create_function(db_, "registry_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, foldFunction,
                            nullptr, nullptr);
    if (created) {
        // Several processes may create the same hive at once: the schema is made under the write
        // lock, by whichever comes first.
        Transaction transaction(db_);
        if (!transaction.active() || sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
            return ERROR_BADDB;
        return transaction.commit() ? 0 : ERROR_BADDB;
    }
    // A hive that has the current schema needs no write (nor its sync to disk) to be opened.
    int64_t version = 0;
    if (singleInteger(db_, "PRAGMA user_version", version) != SQLITE_OK)
        return ERROR_BADDB;
    return version >= kSchemaVersion ? 0 : upgradeSchema();
}

DWORD Hive::upgradeSchema()
{
    Transaction transaction(db_);
    if (!transaction.active())
        return ERROR_BADDB;
    int64_t version = 0;
    bool ok = singleInteger(db_, "PRAGMA user_version", version) == SQLITE_OK;
    if (ok && version < kSchemaVersion)
        ok = sqlite3_exec(db_, kUpgradeFromVersion1, nullptr, nullptr, nullptr) == SQLITE_OK;
    return ok && transaction.commit() ? 0 : ERROR_BADDB;
}

sqlite3_stmt *Hive::statement(const char *sql)
{
    auto found = statements_.find(sql);
    if (found != statements_.end())
        return found->second;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

uint64_t Hive::generation()
{
    // The version of the content that this connection's last read saw, counting the changes of
    // every connection, this one's included; asking costs no statement and no lock.
    std::lock_guard<std::recursive_mutex> guard(lock_);
    unsigned int version = 0;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version);
    return version;
}

Hive::WriteTransaction::WriteTransaction(Hive &hive) : hive_(hive), guard_(hive.lock_)
{
    if (hive_.transactionDepth_ == 0) {
        active_ = sqlite3_exec(hive_.db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        outermost_ = true;
    } else {
        active_ = sqlite3_exec(hive_.db_, "SAVEPOINT nested", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (active_)
        ++hive_.transactionDepth_;
}

Hive::WriteTransaction::~WriteTransaction()
{
    if (!active_)
        return;
    if (outermost_) {
        sqlite3_exec(hive_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
        sqlite3_exec(hive_.db_, "ROLLBACK TO nested", nullptr, nullptr, nullptr);
        sqlite3_exec(hive_.db_, "RELEASE nested", nullptr, nullptr, nullptr);
    }
    --hive_.transactionDepth_;
}

bool Hive::WriteTransaction::commit()
{
    if (!active_)
        return false;
    bool ok = sqlite3_exec(hive_.db_, outermost_ ? "COMMIT" : "RELEASE nested", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        return false;
    active_ = false;
    --hive_.transactionDepth_;
    return true;
}

DWORD Hive::findSubkey(int64_t parent, const std::string &name, int64_t &key)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery find(*this, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    if (!find.ok())
        return ERROR_BADDB;
    find.bind(1, parent).bind(2, registryFoldedName(name));
    int rc = find.step();
    if (rc == SQLITE_ROW) {
        key = find.integer(0);
        return 0;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : readError(rc);
}

DWORD Hive::openPath(int64_t parent, const std::vector<std::string> &path, int64_t &key)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (DWORD error = keyExists(parent))
        return error;
    key = parent;
    for (const std::string &name : path) {
        int64_t next = 0;
        if (DWORD error = findSubkey(key, name, next))
            return error;
        key = next;
    }
    return 0;
}

DWORD Hive::createSubkey(int64_t parent, const std::string &name, const std::string &className,
                         const std::optional<std::vector<uint8_t>> &security, int64_t &key)
{
    WriteTransaction transaction(*this);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    if (DWORD error = keyExists(parent))
        return error;
    // Ids are never reused, so a handle to a deleted key can never reach a newer one.
    int64_t next = 0;
    {
        HiveQuery counter(*this,
                          "SELECT max(coalesce((SELECT value FROM hive_counters WHERE name = 'next key'), 0),"
                          "           (SELECT max(id) FROM keys) + 1)");
        if (!counter.ok() || counter.step() != SQLITE_ROW)
            return ERROR_BADDB;
        next = counter.integer(0);
    }
    HiveQuery insert(*this,
                     "INSERT INTO keys (id, parent, name, folded, written, class, security)"
                     " VALUES (?, ?, ?, ?, ?, ?, ?)");
    if (!insert.ok())
        return ERROR_BADDB;
    insert.bind(1, next).bind(2, parent).bind(3, name).bind(4, registryFoldedName(name)).bind(5, now());
    insert.bind(6, className);
    if (security)
        insert.bindBlob(7, *security);
    else
        insert.bindNull(7);
    int rc = insert.step();
    if (rc != SQLITE_DONE)
        return rc == SQLITE_CONSTRAINT ? ERROR_ALREADY_EXISTS : writeError(rc);
    HiveQuery advance(*this, "INSERT OR REPLACE INTO hive_counters (name, value) VALUES ('next key', ?)");
    if (!advance.ok())
        return ERROR_BADDB;
    advance.bind(1, next + 1);
    if ((rc = advance.step()) != SQLITE_DONE)
        return writeError(rc);
    if (DWORD error = touchKey(parent))
        return error;
    if (!transaction.commit())
        return ERROR_CANTWRITE;
    key = next;
    return 0;
}

DWORD Hive::createPath(int64_t parent, const std::vector<std::string> &path, int64_t &key, bool &created)
{
    WriteTransaction transaction(*this);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    if (DWORD error = keyExists(parent))
        return error;
    key = parent;
    created = false;
    for (const std::string &name : path) {
        int64_t next = 0;
        DWORD error = findSubkey(key, name, next);
        if (error == ERROR_FILE_NOT_FOUND) {
            error = createSubkey(key, name, std::string(), std::nullopt, next);
            created = true;
        } else {
            created = false;
        }
        if (error)
            return error;
        key = next;
    }
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::keyExists(int64_t key)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery exists(*this, "SELECT 1 FROM keys WHERE id = ?");
    if (!exists.ok())
        return ERROR_BADDB;
    exists.bind(1, key);
    int rc = exists.step();
    if (rc == SQLITE_ROW)
        return 0;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : readError(rc);
}

DWORD Hive::rowMissing(int64_t key, int rc, DWORD missing)
{
    if (rc != SQLITE_DONE)
        return readError(rc);
    DWORD error = keyExists(key);
    return error ? error : missing;
}

DWORD Hive::touchKey(int64_t key)
{
    HiveQuery touch(*this, "UPDATE keys SET written = ? WHERE id = ?");
    if (!touch.ok())
        return ERROR_BADDB;
    touch.bind(1, now()).bind(2, key);
    int rc = touch.step();
    return rc == SQLITE_DONE ? 0 : writeError(rc);
}

DWORD Hive::keyParent(int64_t key, int64_t &parent)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, "SELECT parent FROM keys WHERE id = ?");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key);
    int rc = query.step();
    if (rc == SQLITE_ROW) {
        parent = query.integer(0);
        return 0;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : readError(rc);
}

DWORD Hive::childCount(int64_t key, int64_t &count)
{
    HiveQuery query(*this, "SELECT count(*) FROM keys WHERE parent = ? AND id <> ?");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, key);
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return readError(rc);
    count = query.integer(0);
    return 0;
}

DWORD Hive::deleteKey(int64_t key)
{
    if (key == kRootKey)
        return ERROR_ACCESS_DENIED;
    WriteTransaction transaction(*this);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    int64_t parent = 0;
    if (DWORD error = keyParent(key, parent))
        return error;
    int64_t children = 0;
    if (DWORD error = childCount(key, children))
        return error;
    if (children > 0)
        return ERROR_ACCESS_DENIED;
    HiveQuery values(*this, "DELETE FROM key_values WHERE key = ?");
    HiveQuery row(*this, "DELETE FROM keys WHERE id = ?");
    if (!values.ok() || !row.ok())
        return ERROR_BADDB;
    values.bind(1, key);
    row.bind(1, key);
    int rc;
    if ((rc = values.step()) != SQLITE_DONE || (rc = row.step()) != SQLITE_DONE)
        return writeError(rc);
    if (DWORD error = touchKey(parent))
        return error;
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::keySecurity(int64_t key, std::optional<std::vector<uint8_t>> &security)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, "SELECT security FROM keys WHERE id = ?");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key);
    int rc = query.step();
    if (rc == SQLITE_DONE)
        return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW)
        return readError(rc);
    if (query.isNull(0))
        security.reset();
    else
        security = query.blob(0);
    return 0;
}

DWORD Hive::setKeySecurity(int64_t key, const std::vector<uint8_t> &security)
{
    WriteTransaction transaction(*this);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    if (DWORD error = keyExists(key))
        return error;
    HiveQuery update(*this, "UPDATE keys SET security = ? WHERE id = ?");
    if (!update.ok())
        return ERROR_BADDB;
    update.bindBlob(1, security).bind(2, key);
    int rc = update.step();
    if (rc != SQLITE_DONE)
        return writeError(rc);
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::setValue(int64_t key, const RegistryValue &value)
{
    WriteTransaction transaction(*this);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    if (DWORD error = keyExists(key))
        return error;
    // An existing value keeps its place in the key's order, as on Windows.
    HiveQuery upsert(*this,
                     "INSERT INTO key_values (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?)"
                     " ON CONFLICT (key, folded) DO UPDATE SET name = excluded.name, type = excluded.type,"
                     " data = excluded.data");
    if (!upsert.ok())
        return ERROR_BADDB;
    upsert.bind(1, key).bind(2, value.name).bind(3, registryFoldedName(value.name));
    upsert.bind(4, static_cast<int64_t>(value.type)).bindBlob(5, value.data);
    int rc = upsert.step();
    if (rc != SQLITE_DONE)
        return writeError(rc);
    if (DWORD error = touchKey(key))
        return error;
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::queryValue(int64_t key, const std::string &name, RegistryValue &out)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, "SELECT name, type, data FROM key_values WHERE key = ? AND folded = ?");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, registryFoldedName(name));
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return rowMissing(key, rc, ERROR_FILE_NOT_FOUND);
    out.name = query.text(0);
    out.type = static_cast<DWORD>(query.integer(1));
    out.data = query.blob(2);
    return 0;
}

DWORD Hive::deleteValue(int64_t key, const std::string &name)
{
    WriteTransaction transaction(*this);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    if (DWORD error = keyExists(key))
        return error;
    HiveQuery erase(*this, "DELETE FROM key_values WHERE key = ? AND folded = ?");
    if (!erase.ok())
        return ERROR_BADDB;
    erase.bind(1, key).bind(2, registryFoldedName(name));
    int rc = erase.step();
    if (rc != SQLITE_DONE)
        return writeError(rc);
    if (sqlite3_changes(db_) == 0)
        return ERROR_FILE_NOT_FOUND;
    if (DWORD error = touchKey(key))
        return error;
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::listValues(int64_t key, std::vector<RegistryValue> &out)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (DWORD error = keyExists(key))
        return error;
    HiveQuery query(*this,
                    "SELECT name, type, data FROM key_values INDEXED BY key_values_in_order WHERE key = ?"
                    " ORDER BY rowid");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key);
    int rc;
    while ((rc = query.step()) == SQLITE_ROW)
        out.push_back(RegistryValue{query.text(0), static_cast<DWORD>(query.integer(1)), query.blob(2)});
    return rc == SQLITE_DONE ? 0 : readError(rc);
}

DWORD Hive::listSubkeys(int64_t key, std::vector<std::string> &out)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (DWORD error = keyExists(key))
        return error;
    HiveQuery query(*this, "SELECT name FROM keys WHERE parent = ? AND id <> ? ORDER BY folded");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, key);
    int rc;
    while ((rc = query.step()) == SQLITE_ROW)
        out.push_back(query.text(0));
    return rc == SQLITE_DONE ? 0 : readError(rc);
}

bool Hive::hasValue(int64_t key, const std::string &name)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, "SELECT 1 FROM key_values WHERE key = ? AND folded = ?");
    if (!query.ok())
        return false;
    query.bind(1, key).bind(2, registryFoldedName(name));
    return query.step() == SQLITE_ROW;
}

// The subkey columns read into a RegistrySubkey. A query that finds no row answers
// ERROR_NO_MORE_ITEMS, or ERROR_KEY_DELETED when the key itself is gone.
#define HIVE_SUBKEY_QUERY(condition) "SELECT id, name, folded, class, written FROM keys WHERE " condition

namespace {

RegistrySubkey subkeyOf(StatementAccess &query)
{
    return RegistrySubkey{query.integer(0), query.text(1), query.text(2), query.text(3), query.integer(4)};
}

}  // namespace

DWORD Hive::nextSubkey(int64_t key, const std::string *afterFolded, RegistrySubkey &out)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, afterFolded ? HIVE_SUBKEY_QUERY("parent = ? AND folded > ? ORDER BY folded LIMIT 1")
                                       : HIVE_SUBKEY_QUERY("parent = ? AND id <> ? ORDER BY folded LIMIT 1"));
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key);
    if (afterFolded)
        query.bind(2, *afterFolded);
    else
        query.bind(2, key);
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return rowMissing(key, rc, ERROR_NO_MORE_ITEMS);
    out = subkeyOf(query);
    return 0;
}

DWORD Hive::subkeyAtIndex(int64_t key, DWORD index, RegistrySubkey &out)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, HIVE_SUBKEY_QUERY("parent = ? AND id <> ? ORDER BY folded LIMIT 1 OFFSET ?"));
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, key).bind(3, static_cast<int64_t>(index));
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return rowMissing(key, rc, ERROR_NO_MORE_ITEMS);
    out = subkeyOf(query);
    return 0;
}

DWORD Hive::keyInformation(int64_t key, RegistrySubkey &out)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, HIVE_SUBKEY_QUERY("id = ?"));
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key);
    int rc = query.step();
    if (rc == SQLITE_ROW) {
        out = subkeyOf(query);
        return 0;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : readError(rc);
}

#undef HIVE_SUBKEY_QUERY

// The value columns, with or without the data; rows are read through the index that keeps
// each key's values in the order they were first written.
#define HIVE_VALUE_QUERY(condition)                                                                  \
    withData ? "SELECT rowid, name, type, length(data), data FROM key_values INDEXED BY key_values_in_order" \
               " WHERE " condition                                                                   \
             : "SELECT rowid, name, type, length(data) FROM key_values INDEXED BY key_values_in_order"       \
               " WHERE " condition

namespace {

DWORD takeValue(HiveQuery &query, bool withData, RegistryValue &out, size_t &dataSize, int64_t &row)
{
    row = query.integer(0);
    out.name = query.text(1);
    out.type = static_cast<DWORD>(query.integer(2));
    dataSize = static_cast<size_t>(query.integer(3));
    if (withData)
        out.data = query.blob(4);
    else
        out.data.clear();
    return 0;
}

}  // namespace

DWORD Hive::nextValue(int64_t key, int64_t afterRow, bool withData, RegistryValue &out, size_t &dataSize, int64_t &row)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, HIVE_VALUE_QUERY("key = ? AND rowid > ? ORDER BY rowid LIMIT 1"));
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, afterRow);
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return rowMissing(key, rc, ERROR_NO_MORE_ITEMS);
    return takeValue(query, withData, out, dataSize, row);
}

DWORD Hive::valueAtIndex(int64_t key, DWORD index, bool withData, RegistryValue &out, size_t &dataSize, int64_t &row)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, HIVE_VALUE_QUERY("key = ? ORDER BY rowid LIMIT 1 OFFSET ?"));
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, static_cast<int64_t>(index));
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return rowMissing(key, rc, ERROR_NO_MORE_ITEMS);
    return takeValue(query, withData, out, dataSize, row);
}

DWORD Hive::valueAtRow(int64_t key, int64_t row, bool withData, RegistryValue &out, size_t &dataSize)
{
    std::lock_guard<std::recursive_mutex> guard(lock_);
    HiveQuery query(*this, HIVE_VALUE_QUERY("key = ? AND rowid = ?"));
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, row);
    int rc = query.step();
    if (rc != SQLITE_ROW)
        return rowMissing(key, rc, ERROR_NO_MORE_ITEMS);
    int64_t found = 0;
    return takeValue(query, withData, out, dataSize, found);
}

#undef HIVE_VALUE_QUERY

namespace {

// A new file at path, written through a temporary beside it and renamed into place, so that no
// half-written hive ever carries the name.
class NewHiveFile {
public:
    explicit NewHiveFile(const std::string &path) : path_(path), temp_(path + ".new-" + std::to_string(getpid())) {}
    ~NewHiveFile()
    {
        sqlite3_close(db_);
        if (!done_) {
            unlink(temp_.c_str());
            unlink((temp_ + "-journal").c_str());
        }
    }
    DWORD open()
    {
        unlink(temp_.c_str());
        db_ = openConnection(temp_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        return db_ ? 0 : ERROR_CANTWRITE;
    }
    sqlite3 *db() const { return db_; }
    DWORD finish()
    {
        sqlite3_close(db_);
        db_ = nullptr;
        // link() refuses to replace a file that appeared meanwhile, where rename would not.
        if (link(temp_.c_str(), path_.c_str()) != 0)
            return errno == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_CANTWRITE;
        unlink(temp_.c_str());
        done_ = true;
        return 0;
    }

private:
    std::string path_;
    std::string temp_;
    sqlite3 *db_ = nullptr;
    bool done_ = false;
};

}  // namespace

DWORD Hive::saveKey(int64_t key, const std::string &posixPath)
{
    struct stat st;
    if (stat(posixPath.c_str(), &st) == 0)
        return ERROR_ALREADY_EXISTS;
    NewHiveFile file(posixPath);
    if (DWORD error = file.open())
        return error;
    sqlite3 *db = file.db();
    sqlite3_create_function(db, "registry_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, foldFunction,
                            nullptr, nullptr);
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return ERROR_CANTWRITE;
    // Read the source in one read transaction of this connection, so writers of other processes
    // cannot tear the copy.
    sqlite3_stmt *attach = nullptr;
    sqlite3_prepare_v2(db, "ATTACH DATABASE ? AS source", -1, &attach, nullptr);
    sqlite3_bind_text(attach, 1, path_.c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(attach);
    sqlite3_finalize(attach);
    if (rc != SQLITE_DONE)
        return ERROR_CANTREAD;
    const char *copy =
        "BEGIN;"
        "CREATE TEMP TABLE subtree AS WITH RECURSIVE tree(id) AS ("
        "  SELECT ?1 UNION ALL SELECT k.id FROM source.keys k JOIN tree t ON k.parent = t.id AND k.id <> k.parent)"
        "  SELECT id FROM tree;"
        "DELETE FROM main.keys;"
        "INSERT INTO main.keys (id, parent, name, folded, written, class, security)"
        "  SELECT CASE WHEN k.id = ?1 THEN 1 ELSE k.id END,"
        "         CASE WHEN k.id = ?1 THEN 0 WHEN k.parent = ?1 THEN 1 ELSE k.parent END,"
        "         CASE WHEN k.id = ?1 THEN '' ELSE k.name END,"
        "         CASE WHEN k.id = ?1 THEN '' ELSE k.folded END,"
        "         k.written, k.class, k.security"
        "  FROM source.keys k JOIN subtree s ON s.id = k.id;"
        "INSERT INTO main.key_values (key, name, folded, type, data)"
        "  SELECT CASE WHEN v.key = ?1 THEN 1 ELSE v.key END, v.name, v.folded, v.type, v.data"
        "  FROM source.key_values v JOIN subtree s ON s.id = v.key ORDER BY v.rowid;"
        "INSERT OR REPLACE INTO main.hive_counters (name, value) SELECT 'next key', max(id) + 1 FROM main.keys;"
        "COMMIT;";
    const char *tail = copy;
    while (tail && *tail) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, tail, -1, &stmt, &tail) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return ERROR_CANTWRITE;
        }
        if (!stmt)
            break;
        if (sqlite3_bind_parameter_count(stmt) >= 1)
            sqlite3_bind_int64(stmt, 1, key);
        rc = sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return rc == SQLITE_FULL ? ERROR_DISK_FULL : ERROR_CANTWRITE;
        }
    }
    sqlite3_exec(db, "DETACH DATABASE source", nullptr, nullptr, nullptr);
    return file.finish();
}

DWORD Hive::copyHive(const std::string &posixPath)
{
    struct stat st;
    if (stat(posixPath.c_str(), &st) == 0)
        return ERROR_ALREADY_EXISTS;
    NewHiveFile file(posixPath);
    if (DWORD error = file.open())
        return error;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    sqlite3_backup *backup = sqlite3_backup_init(file.db(), "main", db_, "main");
    if (!backup)
        return ERROR_CANTWRITE;
    int rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE)
        return rc == SQLITE_FULL ? ERROR_DISK_FULL : ERROR_CANTWRITE;
    return file.finish();
}

DWORD splitRegistryPath(const std::string &path, std::vector<std::string> &out)
{
    out.clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        if (end == start)
            return ERROR_BAD_PATHNAME;
        out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}

std::string registryFoldedName(std::string_view name)
{
    std::string folded(name);
    for (char &c : folded)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return folded;
}

std::string softwareHivePath(const std::string &root)
{
    return root + "/drive_c/Windows/System32/config/SOFTWARE";
}

std::string systemHivePath(const std::string &root)
{
    return root + "/drive_c/Windows/System32/config/SYSTEM";
}

std::string defaultUserHivePath(const std::string &root)
{
    return root + "/drive_c/Windows/System32/config/DEFAULT";
}

std::vector<uint8_t> registryString(const std::string &utf8, bool terminated)
{
    std::u16string wide = toUtf16(utf8);
    if (terminated)
        wide.push_back(u'\0');
    std::vector<uint8_t> out;
    out.reserve(wide.size() * 2);
    for (char16_t unit : wide) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

std::string registryStringText(const std::vector<uint8_t> &data)
{
    std::u16string wide;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    while (!wide.empty() && wide.back() == u'\0')
        wide.pop_back();
    return toUtf8(wide);
}

}  // namespace winsim

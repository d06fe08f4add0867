#include "machine/hive.h"

#include "machine/database.h"
#include "machine/text.h"

#include <winerror.h>
#include <winreg.h>

#include <sqlite3.h>

#include <map>
#include <time.h>

namespace winsim {

namespace {

constexpr int kBusyTimeoutMs = 30000;

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS keys ("
    " id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " written INTEGER NOT NULL, UNIQUE (parent, folded));"
    "CREATE TABLE IF NOT EXISTS key_values ("
    " key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL, type INTEGER NOT NULL,"
    " data BLOB NOT NULL, PRIMARY KEY (key, folded));"
    "INSERT OR IGNORE INTO keys (id, parent, name, folded, written) VALUES (1, 0, '', '', 0);";

int64_t now()
{
    return static_cast<int64_t>(time(nullptr));
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

}  // namespace

std::shared_ptr<Hive> Hive::open(const std::string &posixPath, DWORD &error)
{
    HiveCache &cache = hiveCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    if (auto existing = cache.hives[posixPath].lock())
        return existing;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(posixPath.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        error = ERROR_CANTOPEN;
        return nullptr;
    }
    std::shared_ptr<Hive> hive(new Hive(db));
    if ((error = hive->initialise()) != 0)
        return nullptr;
    cache.hives[posixPath] = hive;
    return hive;
}

Hive::~Hive()
{
    sqlite3_close(db_);
}

DWORD Hive::initialise()
{
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // A hive that has its schema needs no write (nor its sync to disk) to be opened.
    {
        Statement probe(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'key_values'");
        if (probe.ok() && probe.step() == SQLITE_ROW)
            return 0;
    }
    // Each process keeps its connection open; the schema is created once, under the write lock.
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return ERROR_BADDB;
    if (sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return ERROR_BADDB;
    }
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : ERROR_BADDB;
}

std::optional<int64_t> Hive::findSubkey(int64_t parent, const std::string &name, DWORD &error)
{
    Statement find(db_, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    if (!find.ok()) {
        error = ERROR_BADDB;
        return std::nullopt;
    }
    find.bind(1, parent).bind(2, foldedKey(name));
    int rc = find.step();
    error = rc == SQLITE_ROW || rc == SQLITE_DONE ? 0 : ERROR_CANTREAD;
    if (rc == SQLITE_ROW)
        return find.integer(0);
    return std::nullopt;
}

DWORD Hive::openPath(int64_t parent, const std::vector<std::string> &path, int64_t &key)
{
    std::lock_guard<std::mutex> guard(lock_);
    key = parent;
    for (const std::string &name : path) {
        DWORD error = 0;
        auto next = findSubkey(key, name, error);
        if (error)
            return error;
        if (!next)
            return ERROR_FILE_NOT_FOUND;
        key = *next;
    }
    return 0;
}

DWORD Hive::createPath(int64_t parent, const std::vector<std::string> &path, int64_t &key, bool &created)
{
    std::lock_guard<std::mutex> guard(lock_);
    Transaction transaction(db_);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    key = parent;
    created = false;
    for (const std::string &name : path) {
        DWORD error = 0;
        auto next = findSubkey(key, name, error);
        if (error)
            return error;
        if (next) {
            key = *next;
            created = false;
            continue;
        }
        Statement insert(db_, "INSERT INTO keys (parent, name, folded, written) VALUES (?, ?, ?, ?)");
        if (!insert.ok())
            return ERROR_BADDB;
        insert.bind(1, key).bind(2, name).bind(3, foldedKey(name)).bind(4, now());
        if (insert.step() != SQLITE_DONE)
            return ERROR_CANTWRITE;
        key = sqlite3_last_insert_rowid(db_);
        created = true;
    }
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::setValue(int64_t key, const RegistryValue &value)
{
    std::lock_guard<std::mutex> guard(lock_);
    Transaction transaction(db_);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    Statement exists(db_, "SELECT 1 FROM keys WHERE id = ?");
    exists.bind(1, key);
    if (exists.step() != SQLITE_ROW)
        return ERROR_KEY_DELETED;
    Statement upsert(db_,
                     "INSERT INTO key_values (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?)"
                     " ON CONFLICT (key, folded) DO UPDATE SET name = excluded.name, type = excluded.type,"
                     " data = excluded.data");
    if (!upsert.ok())
        return ERROR_BADDB;
    upsert.bind(1, key).bind(2, value.name).bind(3, foldedKey(value.name)).bind(4, static_cast<int64_t>(value.type));
    upsert.bindBlob(5, value.data);
    if (upsert.step() != SQLITE_DONE)
        return ERROR_CANTWRITE;
    Statement touch(db_, "UPDATE keys SET written = ? WHERE id = ?");
    touch.bind(1, now()).bind(2, key);
    if (touch.step() != SQLITE_DONE)
        return ERROR_CANTWRITE;
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD Hive::queryValue(int64_t key, const std::string &name, RegistryValue &out)
{
    std::lock_guard<std::mutex> guard(lock_);
    Statement query(db_, "SELECT name, type, data FROM key_values WHERE key = ? AND folded = ?");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, foldedKey(name));
    int rc = query.step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return ERROR_CANTREAD;
    out.name = query.text(0);
    out.type = static_cast<DWORD>(query.integer(1));
    out.data = query.blob(2);
    return 0;
}

DWORD Hive::listValues(int64_t key, std::vector<RegistryValue> &out)
{
    std::lock_guard<std::mutex> guard(lock_);
    Statement query(db_, "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY folded");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key);
    int rc;
    while ((rc = query.step()) == SQLITE_ROW)
        out.push_back(RegistryValue{query.text(0), static_cast<DWORD>(query.integer(1)), query.blob(2)});
    return rc == SQLITE_DONE ? 0 : ERROR_CANTREAD;
}

DWORD Hive::listSubkeys(int64_t key, std::vector<std::string> &out)
{
    std::lock_guard<std::mutex> guard(lock_);
    Statement query(db_, "SELECT name FROM keys WHERE parent = ? AND id <> ? ORDER BY folded");
    if (!query.ok())
        return ERROR_BADDB;
    query.bind(1, key).bind(2, key);
    int rc;
    while ((rc = query.step()) == SQLITE_ROW)
        out.push_back(query.text(0));
    return rc == SQLITE_DONE ? 0 : ERROR_CANTREAD;
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

std::string softwareHivePath(const std::string &root)
{
    return root + "/drive_c/Windows/System32/config/SOFTWARE";
}

std::string systemHivePath(const std::string &root)
{
    return root + "/drive_c/Windows/System32/config/SYSTEM";
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

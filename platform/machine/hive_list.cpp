#include "machine/hive_list.h"

#include "machine/database.h"
#include "machine/hive.h"
#include "machine/machine.h"
#include "machine/restart.h"

#include <winerror.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

namespace winsim {

namespace {

const char *kSchema =
    "CREATE TABLE IF NOT EXISTS mounts ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, root INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " file TEXT NOT NULL, kind INTEGER NOT NULL, UNIQUE (root, folded));"
    "CREATE TABLE IF NOT EXISTS replacements (file TEXT PRIMARY KEY, new_file TEXT NOT NULL);";

struct SystemHive {
    RegistryRoot root;
    const char *name;
    std::string (*path)(const std::string &root);
};

// S-1-5-18, the local system account, has the default user's hive as its own, as on Windows.
const SystemHive kSystemHives[] = {
    {RegistryRoot::machine, "SOFTWARE", softwareHivePath},
    {RegistryRoot::machine, "SYSTEM", systemHivePath},
    {RegistryRoot::users, ".DEFAULT", defaultUserHivePath},
    {RegistryRoot::users, "S-1-5-18", defaultUserHivePath},
};

std::string registryDirectory()
{
    return machineRoot() + "/registry";
}

std::string lockFile(int64_t id)
{
    return registryDirectory() + "/locks/" + std::to_string(id);
}

void makeDirectory(const std::string &path)
{
    mkdir(path.c_str(), 0755);
}

// The list's database, one connection per process.
class HiveListDatabase {
public:
    sqlite3 *db()
    {
        if (!db_) {
            makeDirectory(registryDirectory());
            makeDirectory(registryDirectory() + "/locks");
            db_ = openMachineDatabase(registryDirectory() + "/hivelist.sqlite", kSchema, Durability::durable);
        }
        return db_;
    }
    std::recursive_mutex lock;

private:
    sqlite3 *db_ = nullptr;
};

HiveListDatabase &database()
{
    static HiveListDatabase *instance = new HiveListDatabase;
    return *instance;
}

MountedHive systemMount(const SystemHive &hive)
{
    return MountedHive{hive.root, hive.name, hive.path(machineRoot()), HiveKind::system, 0};
}

std::vector<MountedHive> listedMounts(sqlite3 *db, RegistryRoot root)
{
    std::vector<MountedHive> out;
    Statement query(db, "SELECT id, name, file, kind FROM mounts WHERE root = ? ORDER BY folded");
    query.bind(1, static_cast<int64_t>(root));
    while (query.ok() && query.step() == SQLITE_ROW)
        out.push_back(MountedHive{root, query.text(1), query.text(2), static_cast<HiveKind>(query.integer(3)),
                                  query.integer(0)});
    return out;
}

std::vector<MountedHive> allMounts(sqlite3 *db)
{
    std::vector<MountedHive> all;
    for (const SystemHive &hive : kSystemHives)
        all.push_back(systemMount(hive));
    for (RegistryRoot root : {RegistryRoot::machine, RegistryRoot::users})
        for (MountedHive &hive : listedMounts(db, root))
            all.push_back(std::move(hive));
    return all;
}

bool sameFile(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool mountedFile(sqlite3 *db, const std::string &file)
{
    for (const MountedHive &hive : allMounts(db))
        if (sameFile(hive.file, file))
            return true;
    return false;
}

bool lockRange(int fd, short type, bool wait)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) == 0;
}

struct LeaseCache {
    std::mutex lock;
    std::map<int64_t, std::weak_ptr<HiveLease>> leases;
};

LeaseCache &leaseCache()
{
    static LeaseCache *cache = new LeaseCache;
    return *cache;
}

bool rowExists(sqlite3 *db, int64_t id)
{
    Statement query(db, "SELECT 1 FROM mounts WHERE id = ?");
    query.bind(1, id);
    return query.ok() && query.step() == SQLITE_ROW;
}

}  // namespace

std::vector<MountedHive> mountedHives(RegistryRoot root)
{
    std::vector<MountedHive> out;
    for (const SystemHive &hive : kSystemHives)
        if (hive.root == root)
            out.push_back(systemMount(hive));
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    if (sqlite3 *db = list.db())
        for (MountedHive &hive : listedMounts(db, root))
            out.push_back(std::move(hive));
    return out;
}

DWORD findMountedHive(RegistryRoot root, const std::string &name, MountedHive &out)
{
    const std::string folded = registryFoldedName(name);
    for (const SystemHive &hive : kSystemHives) {
        if (hive.root == root && registryFoldedName(hive.name) == folded) {
            out = systemMount(hive);
            return 0;
        }
    }
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    sqlite3 *db = list.db();
    if (!db)
        return ERROR_CANTOPEN;
    Statement query(db, "SELECT id, name, file, kind FROM mounts WHERE root = ? AND folded = ?");
    query.bind(1, static_cast<int64_t>(root)).bind(2, folded);
    int rc = query.ok() ? query.step() : SQLITE_ERROR;
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return ERROR_CANTREAD;
    out = MountedHive{root, query.text(1), query.text(2), static_cast<HiveKind>(query.integer(3)), query.integer(0)};
    return 0;
}

DWORD mountHive(RegistryRoot root, const std::string &name, const std::string &file, HiveKind kind, MountedHive &out)
{
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    sqlite3 *db = list.db();
    if (!db)
        return ERROR_CANTOPEN;
    Transaction transaction(db);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    MountedHive existing;
    if (findMountedHive(root, name, existing) == 0)
        return ERROR_ALREADY_EXISTS;
    if (mountedFile(db, file))
        return ERROR_SHARING_VIOLATION;
    Statement insert(db, "INSERT INTO mounts (root, name, folded, file, kind) VALUES (?, ?, ?, ?, ?)");
    insert.bind(1, static_cast<int64_t>(root)).bind(2, name).bind(3, registryFoldedName(name)).bind(4, file);
    insert.bind(5, static_cast<int64_t>(kind));
    if (!insert.ok() || insert.step() != SQLITE_DONE)
        return ERROR_CANTWRITE;
    out = MountedHive{root, name, file, kind, sqlite3_last_insert_rowid(db)};
    return transaction.commit() ? 0 : ERROR_CANTWRITE;
}

DWORD unmountHive(RegistryRoot root, const std::string &name)
{
    MountedHive hive;
    if (DWORD error = findMountedHive(root, name, hive))
        return error;
    if (hive.kind != HiveKind::loaded)
        return ERROR_ACCESS_DENIED;
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    sqlite3 *db = list.db();
    if (!db)
        return ERROR_CANTOPEN;
    const std::string lock = lockFile(hive.id);
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return ERROR_ACCESS_DENIED;
    // Any process holding a key of the hive holds a shared lock; this one must get it alone.
    DWORD error = 0;
    if (!lockRange(fd, F_WRLCK, false)) {
        error = ERROR_ACCESS_DENIED;
    } else {
        Statement erase(db, "DELETE FROM mounts WHERE id = ?");
        erase.bind(1, hive.id);
        if (!erase.ok() || erase.step() != SQLITE_DONE)
            error = ERROR_CANTWRITE;
        else
            unlink(lock.c_str());
    }
    close(fd);
    return error;
}

HiveLease::~HiveLease()
{
    close(fd_);
}

DWORD leaseHive(const MountedHive &hive, std::shared_ptr<HiveLease> &out)
{
    if (hive.kind != HiveKind::loaded) {
        out.reset();
        return 0;
    }
    LeaseCache &cache = leaseCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    if ((out = cache.leases[hive.id].lock()))
        return 0;
    int fd = ::open(lockFile(hive.id).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return ERROR_FILE_NOT_FOUND;
    std::shared_ptr<HiveLease> lease(new HiveLease(fd, hive.id));
    if (!lockRange(fd, F_RDLCK, true))
        return ERROR_FILE_NOT_FOUND;
    // The hive may have been unloaded between finding it and locking it.
    {
        HiveListDatabase &list = database();
        std::lock_guard<std::recursive_mutex> listGuard(list.lock);
        sqlite3 *db = list.db();
        if (!db || !rowExists(db, hive.id))
            return ERROR_FILE_NOT_FOUND;
    }
    cache.leases[hive.id] = lease;
    out = lease;
    return 0;
}

bool isMountedHiveFile(const std::string &file)
{
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    sqlite3 *db = list.db();
    return db && mountedFile(db, file);
}

DWORD scheduleHiveReplacement(const std::string &hiveFile, const std::string &newFile)
{
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    sqlite3 *db = list.db();
    if (!db)
        return ERROR_CANTOPEN;
    Statement insert(db, "INSERT OR REPLACE INTO replacements (file, new_file) VALUES (?, ?)");
    insert.bind(1, hiveFile).bind(2, newFile);
    return insert.ok() && insert.step() == SQLITE_DONE ? 0 : ERROR_CANTWRITE;
}

RegistryFreeze::RegistryFreeze(const std::string &volumeRoot)
{
    char resolved[PATH_MAX];
    std::string volume = realpath(volumeRoot.c_str(), resolved) ? resolved : volumeRoot;
    std::vector<MountedHive> hives;
    {
        HiveListDatabase &list = database();
        std::lock_guard<std::recursive_mutex> guard(list.lock);
        if (sqlite3 *db = list.db())
            hives = allMounts(db);
    }
    std::vector<std::string> frozen;
    for (const MountedHive &hive : hives) {
        if (!realpath(hive.file.c_str(), resolved))
            continue;
        std::string file = resolved;
        if (file.compare(0, volume.size() + 1, volume + "/") != 0)
            continue;
        bool seen = false;
        for (const std::string &other : frozen)
            seen = seen || other == file;
        if (seen)
            continue;
        sqlite3 *db = openConnection(file, SQLITE_OPEN_READWRITE);
        if (!db)
            continue;
        // A read transaction holds SQLite's shared lock: writers wait until it ends, and any
        // transaction that a dead writer left has been rolled back before it starts.
        if (sqlite3_exec(db, "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            continue;
        }
        readers_.push_back(db);
        frozen.push_back(file);
    }
}

RegistryFreeze::~RegistryFreeze()
{
    for (sqlite3 *db : readers_) {
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
}

namespace {

// A new machine has its hives from the start, and the key that HKEY_CLASSES_ROOT shows.
void createSystemHives(const std::string &root)
{
    DWORD error = 0;
    if (auto software = Hive::open(softwareHivePath(root), error)) {
        int64_t classes = 0;
        bool created = false;
        software->createPath(Hive::kRootKey, {"Classes"}, classes, created);
    }
    Hive::open(systemHivePath(root), error);
    Hive::open(defaultUserHivePath(root), error);
}

const MachineSetupRegistration systemHivesSetup(100, createSystemHives);

// At the start of the machine the hives that RegReplaceKey replaced take their new content, and
// the hives loaded in the last session are gone.
StartupStep replaceHives()
{
    StartupStep step;
    HiveListDatabase &list = database();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    sqlite3 *db = list.db();
    if (!db) {
        step.error = ERROR_CANTOPEN;
        step.message = "the hive list cannot be opened";
        return step;
    }
    std::vector<std::pair<std::string, std::string>> replacements;
    {
        Statement query(db, "SELECT file, new_file FROM replacements ORDER BY file");
        while (query.ok() && query.step() == SQLITE_ROW)
            replacements.emplace_back(query.text(0), query.text(1));
    }
    for (const auto &[file, newFile] : replacements) {
        std::string line;
        if (DWORD error = Hive::identify(newFile)) {
            // The old hive stays; Windows too starts with it when the new file is unusable.
            step.error = error;
            line = "not replaced: " + newFile + " is not a hive";
        } else {
            // A journal left by the old content must never be applied to the new one.
            unlink((file + "-journal").c_str());
            if (rename(newFile.c_str(), file.c_str()) == 0) {
                line = "replaced " + file + " with " + newFile;
            } else {
                step.error = ERROR_CANTWRITE;
                line = "not replaced: " + file;
            }
        }
        step.message += (step.message.empty() ? "" : "; ") + line;
    }
    sqlite3_exec(db, "DELETE FROM replacements", nullptr, nullptr, nullptr);
    for (RegistryRoot root : {RegistryRoot::machine, RegistryRoot::users})
        for (const MountedHive &hive : listedMounts(db, root))
            unlink(lockFile(hive.id).c_str());
    sqlite3_exec(db, "DELETE FROM mounts", nullptr, nullptr, nullptr);
    return step;
}

const StartupTaskRegistration hiveReplacementTask(kStartupReplaceHives, "hives", replaceHives);

}  // namespace

}  // namespace winsim

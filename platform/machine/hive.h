// Registry hives: each hive is one SQLite database file, as the machine's own hives live in
// files under C:\Windows\System32\config. Several processes share a hive through SQLite's
// locking; every change is one transaction, so a process killed in the middle of a write leaves
// the hive as it was before or after that write.
//
// A hive holds keys (name, class, security descriptor, time of the last write) and their values
// (name, type, data kept byte for byte). Subkeys are ordered as Windows orders them, by their
// names compared case-insensitively in upper case; values keep the order in which they were
// first written.
#pragma once

#include <windef.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace winsim {

struct RegistryValue {
    std::string name;  // UTF-8
    DWORD type = 0;
    std::vector<uint8_t> data;  // as Windows keeps it: strings in UTF-16LE
};

struct RegistrySubkey {
    int64_t id = 0;
    std::string name;       // UTF-8
    std::string folded;     // the name as the hive orders it
    std::string className;  // UTF-8, empty when the key has none
    int64_t written = 0;    // last write, in seconds since 1970
};

class Hive {
public:
    // The hive in the file at posixPath, created empty when the file is missing; one connection
    // per file and process. Null with a Windows error when the file cannot be opened as a hive; a
    // file that is not a hive is left untouched (ERROR_NOT_REGISTRY_FILE).
    static std::shared_ptr<Hive> open(const std::string &posixPath, DWORD &error);

    // Whether the file at posixPath holds a hive, read without changing it: 0, ERROR_FILE_NOT_FOUND,
    // ERROR_NOT_REGISTRY_FILE, or another Windows error when it cannot be read.
    static DWORD identify(const std::string &posixPath);

    ~Hive();
    Hive(const Hive &) = delete;
    Hive &operator=(const Hive &) = delete;

    const std::string &path() const { return path_; }

    static constexpr int64_t kRootKey = 1;

    // One write transaction for several changes (a key and the keys on its path, a batch of
    // imports). Writes made while one is open on this thread join it. Holding it blocks the
    // hive's other writers, in this process and in others.
    class WriteTransaction {
    public:
        explicit WriteTransaction(Hive &hive);
        ~WriteTransaction();
        WriteTransaction(const WriteTransaction &) = delete;
        WriteTransaction &operator=(const WriteTransaction &) = delete;
        bool active() const { return active_; }
        bool commit();

    private:
        Hive &hive_;
        std::unique_lock<std::recursive_mutex> guard_;
        bool active_ = false;
        bool outermost_ = false;
    };

    // The key named name (one component) under parent: 0 or ERROR_FILE_NOT_FOUND.
    DWORD findSubkey(int64_t parent, const std::string &name, int64_t &key);
    // Opens each component of path under parent (ERROR_FILE_NOT_FOUND when one is missing).
    DWORD openPath(int64_t parent, const std::vector<std::string> &path, int64_t &key);
    // Opens or creates each component of path under parent, the new keys with no descriptor of
    // their own (they inherit their parent's). created says whether the last one is new.
    DWORD createPath(int64_t parent, const std::vector<std::string> &path, int64_t &key, bool &created);
    // Creates the key name under parent, which must exist and not have it (in a transaction of
    // the caller's when it creates several).
    DWORD createSubkey(int64_t parent, const std::string &name, const std::string &className,
                       const std::optional<std::vector<uint8_t>> &security, int64_t &key);
    // 0 when the key exists, ERROR_KEY_DELETED when it was deleted.
    DWORD keyExists(int64_t key);
    DWORD keyParent(int64_t key, int64_t &parent);
    // Refuses a key with subkeys (ERROR_ACCESS_DENIED), as Windows does, and the root.
    DWORD deleteKey(int64_t key);

    // The key's own descriptor; none when it inherits its parent's (keys made by the machine's
    // setup, and hives of the older schema).
    DWORD keySecurity(int64_t key, std::optional<std::vector<uint8_t>> &security);
    DWORD setKeySecurity(int64_t key, const std::vector<uint8_t> &security);

    DWORD setValue(int64_t key, const RegistryValue &value);
    // ERROR_FILE_NOT_FOUND when the key has no value of that name.
    DWORD queryValue(int64_t key, const std::string &name, RegistryValue &out);
    DWORD deleteValue(int64_t key, const std::string &name);
    DWORD listValues(int64_t key, std::vector<RegistryValue> &out);
    DWORD listSubkeys(int64_t key, std::vector<std::string> &out);

    bool hasValue(int64_t key, const std::string &name);

    // Enumeration in the key's order, each step from the last (a cost independent of the number
    // of items) or from the start: the subkey after a folded name (the first for null), the value
    // after a row (the first for 0), the one at an index. ERROR_NO_MORE_ITEMS after the last. The
    // value's data is read only withData; dataSize is its size in either case.
    DWORD nextSubkey(int64_t key, const std::string *afterFolded, RegistrySubkey &out);
    DWORD subkeyAtIndex(int64_t key, DWORD index, RegistrySubkey &out);
    DWORD nextValue(int64_t key, int64_t afterRow, bool withData, RegistryValue &out, size_t &dataSize, int64_t &row);
    DWORD valueAtIndex(int64_t key, DWORD index, bool withData, RegistryValue &out, size_t &dataSize, int64_t &row);
    DWORD valueAtRow(int64_t key, int64_t row, bool withData, RegistryValue &out, size_t &dataSize);
    DWORD keyInformation(int64_t key, RegistrySubkey &out);

    // Writes the key, its subtree and values into a new hive file (which must not exist) as its
    // root, consistently with concurrent writers.
    DWORD saveKey(int64_t key, const std::string &posixPath);
    // A consistent copy of the whole hive in a new file.
    DWORD copyHive(const std::string &posixPath);

    // The version of the hive's content as this process last read it: it changes whenever the
    // hive changes, by this process or another, between two reads.
    uint64_t generation();

private:
    Hive(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
    DWORD initialise(bool created);
    DWORD upgradeSchema();
    sqlite3_stmt *statement(const char *sql);
    DWORD childCount(int64_t key, int64_t &count);
    // Marks the key as written now, as a change of its subkeys or values does.
    DWORD touchKey(int64_t key);
    // The answer to a query about the key that found no row (rc SQLITE_DONE) or failed: the
    // read's error, the key's own error when it is gone, or `missing`.
    DWORD rowMissing(int64_t key, int rc, DWORD missing);

    friend class HiveQuery;

    std::recursive_mutex lock_;
    sqlite3 *db_;
    std::string path_;
    // The file's identity when it was opened: a file replaced since (by a restart of the
    // machine that RegReplaceKey prepared) is opened afresh.
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
    std::unordered_map<const char *, sqlite3_stmt *> statements_;
    int transactionDepth_ = 0;
};

// Splits a registry path at its backslashes. A trailing backslash is allowed; an empty name
// elsewhere is refused with ERROR_BAD_PATHNAME.
DWORD splitRegistryPath(const std::string &path, std::vector<std::string> &out);

// The key under which the hive orders and finds a name: upper case, as Windows sorts subkeys.
std::string registryFoldedName(std::string_view name);

// The hive files of the machine at root.
std::string softwareHivePath(const std::string &root);
std::string systemHivePath(const std::string &root);
std::string defaultUserHivePath(const std::string &root);

// UTF-16LE bytes of UTF-8 text and back; the registry keeps strings in UTF-16.
std::vector<uint8_t> registryString(const std::string &utf8, bool terminated = true);
std::string registryStringText(const std::vector<uint8_t> &data);

}  // namespace winsim

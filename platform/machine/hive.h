// Registry hives: each hive is one SQLite database file, as the machine's own hives live in
// files under C:\Windows\System32\config. Several processes share a hive through SQLite's
// locking; every change is one transaction.
#pragma once

#include <windef.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace winsim {

struct RegistryValue {
    std::string name;  // UTF-8
    DWORD type = 0;
    std::vector<uint8_t> data;  // as Windows keeps it: strings in UTF-16LE
};

class Hive {
public:
    // The hive in the file at posixPath, created empty when missing; one connection per file and
    // process. Null with a Windows error when the file cannot be opened as a hive.
    static std::shared_ptr<Hive> open(const std::string &posixPath, DWORD &error);
    ~Hive();
    Hive(const Hive &) = delete;
    Hive &operator=(const Hive &) = delete;

    static constexpr int64_t kRootKey = 1;

    // The key named name (one component) under parent, or nothing.
    std::optional<int64_t> findSubkey(int64_t parent, const std::string &name, DWORD &error);
    // Opens or creates each component of path (split at backslashes) under parent. created says
    // whether the last one is new. Returns 0 or a Windows error.
    DWORD createPath(int64_t parent, const std::vector<std::string> &path, int64_t &key, bool &created);
    DWORD openPath(int64_t parent, const std::vector<std::string> &path, int64_t &key);

    DWORD setValue(int64_t key, const RegistryValue &value);
    // ERROR_FILE_NOT_FOUND when the key has no value of that name.
    DWORD queryValue(int64_t key, const std::string &name, RegistryValue &out);
    DWORD listValues(int64_t key, std::vector<RegistryValue> &out);
    DWORD listSubkeys(int64_t key, std::vector<std::string> &out);

private:
    explicit Hive(sqlite3 *db) : db_(db) {}
    DWORD initialise();

    std::mutex lock_;
    sqlite3 *db_;
};

// Splits a registry path at its backslashes. A trailing backslash is allowed; an empty name
// elsewhere is refused with ERROR_BAD_PATHNAME.
DWORD splitRegistryPath(const std::string &path, std::vector<std::string> &out);

// The hive files of the machine at root.
std::string softwareHivePath(const std::string &root);
std::string systemHivePath(const std::string &root);

// UTF-16LE bytes of UTF-8 text and back; the registry keeps strings in UTF-16.
std::vector<uint8_t> registryString(const std::string &utf8, bool terminated = true);
std::string registryStringText(const std::vector<uint8_t> &data);

}  // namespace winsim

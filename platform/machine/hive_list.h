// The hives mounted in the registry of the machine, as Windows lists them under
// HKLM\SYSTEM\CurrentControlSet\Control\hivelist: the machine's own (SOFTWARE and SYSTEM under
// HKEY_LOCAL_MACHINE, .DEFAULT under HKEY_USERS), the users' hives loaded on first use, and
// those that RegLoadKey loaded. The list is machine-wide (<root>/registry/hivelist.sqlite), so
// every process of the machine sees the same hives, and a hive cannot be unloaded while any
// process holds a key of it open: each process that does holds a lease, a shared lock on the
// hive's lock file, which the unloader must lock exclusively.
//
// The list also keeps the replacements that RegReplaceKey leaves for the next start of the
// machine, and holds the hives still while a shadow copy is taken.
#pragma once

#include <windef.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace winsim {

enum class RegistryRoot { machine, users };  // HKEY_LOCAL_MACHINE, HKEY_USERS

enum class HiveKind {
    system,   // the machine's own hives, always there
    profile,  // a user's hive, loaded when that user's key is first used
    loaded,   // loaded by RegLoadKey, until RegUnLoadKey or the next start
};

struct MountedHive {
    RegistryRoot root = RegistryRoot::machine;
    std::string name;  // as it shows under the root
    std::string file;  // POSIX path of the hive file
    HiveKind kind = HiveKind::system;
    int64_t id = 0;  // row in the list; 0 for the machine's own hives
};

// The hives under a root, the machine's own first.
std::vector<MountedHive> mountedHives(RegistryRoot root);
// The hive mounted under root as name (case-insensitive): 0 or ERROR_FILE_NOT_FOUND.
DWORD findMountedHive(RegistryRoot root, const std::string &name, MountedHive &out);

// Mounts the hive file under root as name: ERROR_ALREADY_EXISTS when the name is taken,
// ERROR_SHARING_VIOLATION when the file is mounted already (under any name) or is one of the
// machine's own hive files. The file is not checked here.
DWORD mountHive(RegistryRoot root, const std::string &name, const std::string &file, HiveKind kind,
                MountedHive &out);
// Unmounts a hive that RegLoadKey loaded: ERROR_ACCESS_DENIED while a process of the machine
// holds a lease on it, or for the machine's and users' own hives.
DWORD unmountHive(RegistryRoot root, const std::string &name);

// Kept while handles into a loaded hive are open, by every process; shared by the handles of
// one process.
class HiveLease {
public:
    ~HiveLease();
    HiveLease(const HiveLease &) = delete;
    HiveLease &operator=(const HiveLease &) = delete;

private:
    friend DWORD leaseHive(const MountedHive &hive, std::shared_ptr<HiveLease> &out);
    HiveLease(int fd, int64_t id) : fd_(fd), id_(id) {}
    int fd_;
    int64_t id_;
};

// A lease on a loaded hive (none is needed for the others): ERROR_FILE_NOT_FOUND when it was
// unloaded meanwhile.
DWORD leaseHive(const MountedHive &hive, std::shared_ptr<HiveLease> &out);

// Whether the file holds a mounted hive (compared by identity, not by name).
bool isMountedHiveFile(const std::string &file);

// Leaves the replacement of a hive file by newFile to the next start of the machine; a later
// call for the same hive replaces the earlier.
DWORD scheduleHiveReplacement(const std::string &hiveFile, const std::string &newFile);

// Holds every mounted hive whose file lies under volumeRoot still (no process can commit a write
// to it) while it lives, so that a copy of the volume holds each hive in a consistent state, as
// Windows holds the registry still while a shadow copy is made.
class RegistryFreeze {
public:
    explicit RegistryFreeze(const std::string &volumeRoot);
    ~RegistryFreeze();
    RegistryFreeze(const RegistryFreeze &) = delete;
    RegistryFreeze &operator=(const RegistryFreeze &) = delete;

private:
    std::vector<sqlite3 *> readers_;
};

}  // namespace winsim

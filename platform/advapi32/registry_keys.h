// The key objects behind HKEY handles and the predefined keys, shared by the registry's sources.
//
// HKEY_LOCAL_MACHINE and HKEY_USERS are the roots of the mounted hives (machine/hive_list.h);
// HKEY_CURRENT_USER is the root of the token user's hive, mounted under HKEY_USERS on first use;
// HKEY_CLASSES_ROOT is the merged view of HKLM\SOFTWARE\Classes and the user's
// HKCU\Software\Classes, where a key or value of the user's hides the machine's.
#pragma once

#include "kernel32/handles.h"
#include "machine/hive.h"
#include "machine/hive_list.h"
#include "machine/security_descriptor.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim {

// A key of a mounted hive.
struct HiveKey {
    std::shared_ptr<Hive> hive;
    int64_t id = 0;
    std::shared_ptr<HiveLease> lease;  // for hives that RegLoadKey loaded
    HiveKind kind = HiveKind::system;  // of the hive: picks the root's default descriptor
    std::string hiveName;              // as mounted (a user's SID for profile hives)
    explicit operator bool() const { return hive != nullptr; }
};

enum class KeyKind {
    hive,         // a key of a hive, or of the classes view
    machineRoot,  // HKEY_LOCAL_MACHINE
    usersRoot,    // HKEY_USERS
};

// Where a handle's enumeration by index stands: the index last asked for, what was found there,
// and the hive's version then, so that asking for the same or the next index continues from there.
struct KeyEnumeration {
    bool valid = false;
    uint64_t generation = 0;
    DWORD index = 0;
    std::string folded;           // subkeys: the folded name at index
    RegistrySubkey lastSubkey;    // subkeys: the one at index
    bool userPhase = true;        // values of the classes view: the user's come first
    int64_t row = 0;              // values: the row at index
};

struct RegistryKeyObject : KernelObject {
    KeyKind kind = KeyKind::hive;
    HiveKey key;           // hive keys; in the classes view the machine's side, if it has one
    HiveKey user;          // the classes view: the user's side, if it has one
    bool classes = false;  // a key of HKEY_CLASSES_ROOT
    ACCESS_MASK access = 0;

    std::mutex enumeration;  // guards the two cursors
    KeyEnumeration subkeys;
    KeyEnumeration values;

    // The side that values are read from and written to: the user's when it has the key.
    const HiveKey &valueSide() const { return user ? user : key; }
};

// Registry names are limited to these many UTF-16 units, as on Windows.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;
// A tree is at most this deep, and one call creates at most this many levels.
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxLevelsCreatedAtOnce = 32;

// The object of a handle or predefined key, or null (ERROR_INVALID_HANDLE).
std::shared_ptr<RegistryKeyObject> registryKey(HKEY key, DWORD &error);

// Splits and checks a subkey path (UTF-8): ERROR_BAD_PATHNAME for an empty name inside it,
// ERROR_INVALID_PARAMETER for a name longer than Windows allows.
DWORD parseSubkeyPath(const std::string &subKey, std::vector<std::string> &path);

// Opens the key at path under base with the access asked for (after the access check of the
// key's descriptor); with create, missing keys are made, each with the descriptor inherited from
// its parent (or `security` for the last one) and the class for the last one.
struct OpenRequest {
    ACCESS_MASK desired = 0;
    DWORD options = 0;
    bool create = false;
    std::string className;
    const SecurityDescriptor *security = nullptr;
};
DWORD openRegistryKey(const RegistryKeyObject &base, const std::vector<std::string> &path, const OpenRequest &request,
                      std::shared_ptr<RegistryKeyObject> &out, bool &created);

// The subkey or value at index in the key's order (ERROR_NO_MORE_ITEMS past the last); asking
// for the index after the last one asked costs the same whatever the number of items.
DWORD registrySubkeyAt(RegistryKeyObject &object, DWORD index, RegistrySubkey &out);
DWORD registryValueAt(RegistryKeyObject &object, DWORD index, bool withData, RegistryValue &out, size_t &size);

// The security of keys: the token's identity, the access check, inheritance (registry_security.cpp).
struct TokenIdentity {
    Bytes user;
    std::vector<Bytes> groups;
    Bytes defaultOwner;
    Bytes primaryGroup;
};
TokenIdentity currentTokenIdentity();

// The rights a handle gets for `desired` on a key with descriptor sd: 0 or ERROR_ACCESS_DENIED,
// ERROR_PRIVILEGE_NOT_HELD (the system access list asked for without the security privilege).
// REG_OPTION_BACKUP_RESTORE grants what the enabled backup and restore privileges grant instead.
DWORD checkKeyAccess(const SecurityDescriptor &sd, ACCESS_MASK desired, DWORD options, ACCESS_MASK &granted);

// The descriptor that a key gets: its own, or the one inherited from its parents, and at the
// root the default of its hive's kind.
DWORD effectiveKeySecurity(const HiveKey &key, SecurityDescriptor &out);
// The descriptor of a new key made by this process under parent.
SecurityDescriptor newKeySecurity(const SecurityDescriptor &parent, const TokenIdentity &creator);
// The descriptor that a user's new hive gets at its root.
SecurityDescriptor profileHiveSecurity(const Bytes &userSid);
// The descriptor shown for HKEY_LOCAL_MACHINE and HKEY_USERS themselves.
SecurityDescriptor registryRootSecurity();

// The key of the current user's hive root (mounted on first use) and of a user's classes.
DWORD currentUserHive(HiveKey &out);

}  // namespace winsim

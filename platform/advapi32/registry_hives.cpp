// Hive files: RegLoadKey and RegUnLoadKey mount and unmount a hive under HKEY_LOCAL_MACHINE or
// HKEY_USERS for every process of the machine, RegSaveKey writes a key's tree into a new hive
// file, RegReplaceKey leaves a hive's new file for the next start of the machine.
#include "advapi32/registry_keys.h"
#include "advapi32/token.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <windows.h>

namespace winsim {

namespace {

// The name of a hive at the top of a root: one key name.
DWORD hiveName(LPCWSTR subKey, std::string &name)
{
    if (!subKey || !*subKey)
        return ERROR_INVALID_PARAMETER;
    std::u16string_view wide(subKey, wideLength(subKey));
    if (wide.find(u'\\') != std::u16string_view::npos || wide.size() > kMaxKeyNameLength)
        return ERROR_INVALID_PARAMETER;
    name = toUtf8(wide);
    return 0;
}

// The POSIX path of a hive file named by the caller; files on a shadow copy cannot hold a live
// hive, which Windows writes to.
DWORD hiveFile(LPCWSTR file, std::string &posix, bool writable)
{
    if (!file || !*file)
        return ERROR_INVALID_PARAMETER;
    MappedPath mapped;
    if (DWORD error = mapWindowsPath(std::u16string_view(file, wideLength(file)), mapped))
        return error;
    if (writable && mapped.readOnly)
        return ERROR_WRITE_PROTECT;
    posix = mapped.posix;
    return 0;
}

// The root that RegLoadKey and RegUnLoadKey work under, for a caller that holds the backup and
// restore privileges: 0, or the error for any other key or a caller without them.
DWORD loadingRoot(HKEY key, RegistryRoot &root)
{
    DWORD error = 0;
    auto object = registryKey(key, error);
    if (!object)
        return error;
    if (object->kind == KeyKind::hive)
        return ERROR_INVALID_PARAMETER;
    root = object->kind == KeyKind::machineRoot ? RegistryRoot::machine : RegistryRoot::users;
    if (!isPrivilegeEnabled(kSeBackupPrivilege) || !isPrivilegeEnabled(kSeRestorePrivilege))
        return ERROR_PRIVILEGE_NOT_HELD;
    return 0;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

LONG WINAPI RegLoadKeyW(HKEY key, LPCWSTR subKey, LPCWSTR file)
{
    RegistryRoot root;
    if (DWORD error = loadingRoot(key, root))
        return static_cast<LONG>(error);
    std::string name, posix;
    if (DWORD error = hiveName(subKey, name))
        return static_cast<LONG>(error);
    if (DWORD error = hiveFile(file, posix, true))
        return static_cast<LONG>(error);
    MountedHive existing;
    if (findMountedHive(root, name, existing) == 0)
        return ERROR_ALREADY_EXISTS;
    if (isMountedHiveFile(posix))
        return ERROR_SHARING_VIOLATION;
    // A missing file becomes a new, empty hive; anything that is not a hive is refused untouched.
    DWORD error = Hive::identify(posix);
    if (error && error != ERROR_FILE_NOT_FOUND)
        return static_cast<LONG>(error);
    MountedHive mounted;
    if ((error = mountHive(root, name, posix, HiveKind::loaded, mounted)))
        return static_cast<LONG>(error);
    // Opened once here, so that a hive of the older schema is brought up to date while nobody
    // else holds it.
    if (!Hive::open(posix, error)) {
        unmountHive(root, name);
        return static_cast<LONG>(error);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegUnLoadKeyW(HKEY key, LPCWSTR subKey)
{
    RegistryRoot root;
    if (DWORD error = loadingRoot(key, root))
        return static_cast<LONG>(error);
    std::string name;
    if (DWORD error = hiveName(subKey, name))
        return static_cast<LONG>(error);
    return static_cast<LONG>(unmountHive(root, name));
}

LONG WINAPI RegSaveKeyW(HKEY key, LPCWSTR file, const LPSECURITY_ATTRIBUTES)
{
    DWORD error = 0;
    auto object = registryKey(key, error);
    if (!object)
        return static_cast<LONG>(error);
    if (!isPrivilegeEnabled(kSeBackupPrivilege))
        return ERROR_PRIVILEGE_NOT_HELD;
    if (object->kind != KeyKind::hive)
        return ERROR_ACCESS_DENIED;
    std::string posix;
    if ((error = hiveFile(file, posix, true)))
        return static_cast<LONG>(error);
    const HiveKey &side = object->valueSide();
    return static_cast<LONG>(side.hive->saveKey(side.id, posix));
}

LONG WINAPI RegReplaceKeyW(HKEY key, LPCWSTR subKey, LPCWSTR newFile, LPCWSTR oldFile)
{
    DWORD error = 0;
    auto base = registryKey(key, error);
    if (!base)
        return static_cast<LONG>(error);
    if (!isPrivilegeEnabled(kSeRestorePrivilege))
        return ERROR_PRIVILEGE_NOT_HELD;
    std::vector<std::string> path;
    if (subKey && (error = parseSubkeyPath(toUtf8(std::u16string_view(subKey, wideLength(subKey))), path)))
        return static_cast<LONG>(error);
    OpenRequest request;
    request.desired = KEY_QUERY_VALUE;
    request.options = REG_OPTION_BACKUP_RESTORE;
    std::shared_ptr<RegistryKeyObject> target;
    bool created = false;
    if ((error = openRegistryKey(*base, path, request, target, created)))
        return static_cast<LONG>(error);
    // Only a whole hive is replaced: the key must be the root of one.
    if (target->kind != KeyKind::hive || target->classes || target->key.id != Hive::kRootKey)
        return ERROR_INVALID_PARAMETER;
    std::string newPosix, oldPosix;
    if ((error = hiveFile(newFile, newPosix, false)) || (error = hiveFile(oldFile, oldPosix, true)))
        return static_cast<LONG>(error);
    if ((error = Hive::identify(newPosix)))
        return static_cast<LONG>(error);
    // The old file receives the hive as it is now; the new one takes its place at the next start.
    if ((error = target->key.hive->copyHive(oldPosix)))
        return static_cast<LONG>(error);
    return static_cast<LONG>(scheduleHiveReplacement(target->key.hive->path(), newPosix));
}

}  // extern "C"

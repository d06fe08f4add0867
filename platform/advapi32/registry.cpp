// The registry functions on keys and values, wide and narrow. HKEY_LOCAL_MACHINE and HKEY_USERS
// hold the mounted hives (SQLite files shared by every process of the machine, the machine's own
// under C:\Windows\System32\config); see registry_keys.h for the predefined keys.
#include "advapi32/registry.h"

#include "advapi32/registry_keys.h"
#include "advapi32/token.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace winsim {

namespace {

constexpr ACCESS_MASK kStripped = KEY_WOW64_32KEY | KEY_WOW64_64KEY;
constexpr DWORD kKnownOptions =
    REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;

// The profile of the POSIX user the process runs as: C:\Users\<name>.
std::string profileDirectory()
{
    std::string name;
    if (const passwd *entry = getpwuid(getuid()); entry && entry->pw_name && *entry->pw_name)
        name = entry->pw_name;
    else
        name = "user" + std::to_string(getuid());
    return machineRoot() + "/drive_c/Users/" + name;
}

DWORD openMountedHive(const MountedHive &mounted, HiveKey &out)
{
    HiveKey key;
    if (DWORD error = leaseHive(mounted, key.lease))
        return error;
    DWORD error = 0;
    key.hive = Hive::open(mounted.file, error);
    if (!key.hive)
        return error;
    key.id = Hive::kRootKey;
    key.kind = mounted.kind;
    key.hiveName = mounted.name;
    out = std::move(key);
    return 0;
}

// The hive of a user, mounted under HKEY_USERS when it is first used, as Windows loads a
// profile's hive at logon.
DWORD mountUserHive(const std::string &sid, HiveKey &out)
{
    MountedHive mounted;
    DWORD error = findMountedHive(RegistryRoot::users, sid, mounted);
    if (error == ERROR_FILE_NOT_FOUND) {
        const std::string directory = profileDirectory();
        mkdir(directory.c_str(), 0755);
        error = mountHive(RegistryRoot::users, sid, directory + "/NTUSER.DAT", HiveKind::profile, mounted);
        if (error == ERROR_ALREADY_EXISTS)  // another process was first
            error = findMountedHive(RegistryRoot::users, sid, mounted);
    }
    if (error)
        return error;
    if ((error = openMountedHive(mounted, out)))
        return error;
    std::optional<Bytes> rootSecurity;
    if (mounted.kind == HiveKind::profile && out.hive->keySecurity(Hive::kRootKey, rootSecurity) == 0 &&
        !rootSecurity) {
        Bytes sid;
        if (parseSidString(mounted.name, sid))
            out.hive->setKeySecurity(Hive::kRootKey,
                                     buildSecurityDescriptor(profileHiveSecurity(sid),
                                                             OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                                 DACL_SECURITY_INFORMATION));
    }
    return 0;
}

// The key name under a hive key, or an empty key when it does not exist.
HiveKey childKey(const HiveKey &parent, const std::string &name)
{
    HiveKey child;
    int64_t id = 0;
    if (parent && parent.hive->findSubkey(parent.id, name, id) == 0) {
        child = parent;
        child.id = id;
    }
    return child;
}

struct PredefinedKeys {
    std::mutex lock;
    std::shared_ptr<RegistryKeyObject> machine;
    std::shared_ptr<RegistryKeyObject> users;
    std::shared_ptr<RegistryKeyObject> currentUser;
    std::shared_ptr<RegistryKeyObject> classes;
};

PredefinedKeys &predefinedKeys()
{
    static PredefinedKeys *keys = new PredefinedKeys;
    return *keys;
}

ACCESS_MASK maximumAccess(const RegistryKeyObject &object)
{
    SecurityDescriptor sd;
    if (object.kind != KeyKind::hive)
        sd = registryRootSecurity();
    else if (effectiveKeySecurity(object.valueSide(), sd) != 0)
        return 0;
    ACCESS_MASK granted = 0;
    return checkKeyAccess(sd, MAXIMUM_ALLOWED, 0, granted) == 0 ? granted : 0;
}

// The objects of the predefined keys live as long as the process, so that enumerating them by
// index keeps its place. An object is never changed once handed out: when what it stands for
// changes (the user's classes appear, the process's rights change) it is replaced.
std::shared_ptr<RegistryKeyObject> predefinedKey(HKEY key, DWORD &error)
{
    PredefinedKeys &keys = predefinedKeys();
    std::lock_guard<std::mutex> guard(keys.lock);
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS) {
        auto &slot = key == HKEY_LOCAL_MACHINE ? keys.machine : keys.users;
        if (!slot) {
            slot = std::make_shared<RegistryKeyObject>();
            slot->kind = key == HKEY_LOCAL_MACHINE ? KeyKind::machineRoot : KeyKind::usersRoot;
            slot->access = KEY_READ;
        }
        return slot;
    }
    if (key == HKEY_CURRENT_USER) {
        if (!keys.currentUser) {
            auto object = std::make_shared<RegistryKeyObject>();
            if ((error = currentUserHive(object->key)))
                return nullptr;
            object->access = maximumAccess(*object);
            keys.currentUser = object;
        }
        return keys.currentUser;
    }
    if (key == HKEY_CLASSES_ROOT) {
        HiveKey machine;
        MountedHive software;
        if ((error = findMountedHive(RegistryRoot::machine, "SOFTWARE", software)) ||
            (error = openMountedHive(software, machine)))
            return nullptr;
        // Machines made before the key was part of a new machine get it on first use.
        bool created = false;
        if (machine.hive->findSubkey(Hive::kRootKey, "Classes", machine.id) != 0 &&
            (error = machine.hive->createPath(Hive::kRootKey, {"Classes"}, machine.id, created)))
            return nullptr;
        HiveKey user;
        if (currentUserHive(user) == 0)
            user = childKey(childKey(user, "Software"), "Classes");
        auto &current = keys.classes;
        if (!current || current->key.hive != machine.hive || current->key.id != machine.id ||
            current->user.hive != user.hive || current->user.id != user.id) {
            auto object = std::make_shared<RegistryKeyObject>();
            object->classes = true;
            object->key = machine;
            object->user = user;
            object->access = maximumAccess(*object);
            current = object;
        } else {
            ACCESS_MASK access = maximumAccess(*current);
            if (access != current->access) {
                auto object = std::make_shared<RegistryKeyObject>();
                object->classes = true;
                object->key = current->key;
                object->user = current->user;
                object->access = access;
                current = object;
            }
        }
        return current;
    }
    error = ERROR_INVALID_HANDLE;
    return nullptr;
}

bool isPredefined(HKEY key)
{
    return key == HKEY_LOCAL_MACHINE || key == HKEY_USERS || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT;
}

size_t utf16Length(const std::string &utf8)
{
    return toUtf16(utf8).size();
}

// How far the path exists below start: `found` components, the last of them `deepest`.
DWORD walk(const HiveKey &start, const std::vector<std::string> &path, size_t &found, HiveKey &deepest)
{
    found = 0;
    deepest = start;
    if (!start)
        return 0;
    if (DWORD error = start.hive->keyExists(start.id))
        return error;
    for (const std::string &name : path) {
        int64_t next = 0;
        DWORD error = start.hive->findSubkey(deepest.id, name, next);
        if (error == ERROR_FILE_NOT_FOUND)
            return 0;
        if (error)
            return error;
        deepest.id = next;
        ++found;
    }
    return 0;
}

DWORD keyDepth(const HiveKey &key, size_t &depth)
{
    depth = 0;
    int64_t id = key.id;
    while (id != Hive::kRootKey && depth <= kMaxKeyDepth) {
        if (DWORD error = key.hive->keyParent(id, id))
            return error;
        ++depth;
    }
    return 0;
}

// Creates the rest of path below deepest (where `found` components exist) in one transaction,
// each new key checked for the right to create it under its parent.
DWORD createRest(HiveKey &deepest, const std::vector<std::string> &path, size_t found, const OpenRequest &request,
                 SecurityDescriptor &lastSecurity, ACCESS_MASK &granted)
{
    if (path.size() - found > kMaxLevelsCreatedAtOnce)
        return ERROR_INVALID_PARAMETER;
    size_t depth = 0;
    if (DWORD error = keyDepth(deepest, depth))
        return error;
    if (depth + (path.size() - found) > kMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    Hive::WriteTransaction transaction(*deepest.hive);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    SecurityDescriptor parentSecurity;
    if (DWORD error = effectiveKeySecurity(deepest, parentSecurity))
        return error;
    const TokenIdentity creator = currentTokenIdentity();
    for (size_t i = found; i < path.size(); ++i) {
        ACCESS_MASK mayCreate = 0;
        if (DWORD error = checkKeyAccess(parentSecurity, KEY_CREATE_SUB_KEY, request.options, mayCreate))
            return error;
        if (!(mayCreate & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        const bool last = i + 1 == path.size();
        SecurityDescriptor security = newKeySecurity(parentSecurity, creator);
        if (last && request.security)
            mergeSecurityDescriptor(security, *request.security, partsPresent(*request.security));
        int64_t id = 0;
        if (DWORD error = deepest.hive->createSubkey(
                deepest.id, path[i], last ? request.className : std::string(),
                buildSecurityDescriptor(security, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                      DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
                id))
            return error;
        deepest.id = id;
        parentSecurity = std::move(security);
    }
    // The creator is refused the new key only when its own descriptor keeps it out.
    if (DWORD error = checkKeyAccess(parentSecurity, request.desired, request.options, granted))
        return error;
    if (!transaction.commit())
        return ERROR_CANTWRITE;
    lastSecurity = std::move(parentSecurity);
    return 0;
}

DWORD grantExisting(const HiveKey &key, const OpenRequest &request, ACCESS_MASK &granted)
{
    SecurityDescriptor sd;
    if (DWORD error = effectiveKeySecurity(key, sd))
        return error;
    return checkKeyAccess(sd, request.desired, request.options, granted);
}

// Opens (or creates) path below one side: a key of one hive.
DWORD openInHive(const HiveKey &start, const std::vector<std::string> &path, const OpenRequest &request, HiveKey &out,
                 ACCESS_MASK &granted, bool &created)
{
    created = false;
    size_t found = 0;
    HiveKey deepest;
    if (DWORD error = walk(start, path, found, deepest))
        return error;
    if (found == path.size()) {
        out = deepest;
        return grantExisting(deepest, request, granted);
    }
    if (!request.create)
        return ERROR_FILE_NOT_FOUND;
    // Another process may create the same keys meanwhile: walk again under the write lock.
    Hive::WriteTransaction transaction(*start.hive);
    if (!transaction.active())
        return ERROR_CANTWRITE;
    if (DWORD error = walk(start, path, found, deepest))
        return error;
    if (found == path.size()) {
        out = deepest;
        return grantExisting(deepest, request, granted);
    }
    SecurityDescriptor security;
    if (DWORD error = createRest(deepest, path, found, request, security, granted))
        return error;
    if (!transaction.commit())
        return ERROR_CANTWRITE;
    out = deepest;
    created = true;
    return 0;
}

DWORD openRootChild(KeyKind kind, const std::vector<std::string> &path, HiveKey &start)
{
    const RegistryRoot root = kind == KeyKind::machineRoot ? RegistryRoot::machine : RegistryRoot::users;
    MountedHive mounted;
    DWORD error = findMountedHive(root, path.front(), mounted);
    if (error == ERROR_FILE_NOT_FOUND && root == RegistryRoot::users &&
        registryFoldedName(path.front()) == registryFoldedName(sidToString(tokenUserSid())))
        return mountUserHive(path.front(), start);
    if (error)
        return error;
    return openMountedHive(mounted, start);
}

DWORD checkRequest(const OpenRequest &request)
{
    if (request.options & ~kKnownOptions)
        return ERROR_INVALID_PARAMETER;
    return 0;
}

}  // namespace

DWORD currentUserHive(HiveKey &out)
{
    static std::mutex lock;
    static HiveKey cached;
    std::lock_guard<std::mutex> guard(lock);
    if (!cached) {
        HiveKey key;
        if (DWORD error = mountUserHive(sidToString(tokenUserSid()), key))
            return error;
        cached = std::move(key);
    }
    out = cached;
    return 0;
}

std::shared_ptr<RegistryKeyObject> registryKey(HKEY key, DWORD &error)
{
    error = 0;
    if (isPredefined(key))
        return predefinedKey(key, error);
    auto object = lookupHandleAs<RegistryKeyObject>(reinterpret_cast<HANDLE>(key));
    if (!object)
        error = ERROR_INVALID_HANDLE;
    return object;
}

DWORD parseSubkeyPath(const std::string &subKey, std::vector<std::string> &path)
{
    if (DWORD error = splitRegistryPath(subKey, path))
        return error;
    if (path.size() > kMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    for (const std::string &name : path)
        if (name.size() > kMaxKeyNameLength && utf16Length(name) > kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
    return 0;
}

DWORD openRegistryKey(const RegistryKeyObject &base, const std::vector<std::string> &path, const OpenRequest &request,
                      std::shared_ptr<RegistryKeyObject> &out, bool &created)
{
    created = false;
    if (DWORD error = checkRequest(request))
        return error;
    auto object = std::make_shared<RegistryKeyObject>();
    if (base.kind != KeyKind::hive) {
        if (path.empty()) {
            object->kind = base.kind;
            if (DWORD error = checkKeyAccess(registryRootSecurity(), request.desired, request.options, object->access))
                return error;
            out = object;
            return 0;
        }
        HiveKey start;
        DWORD error = openRootChild(base.kind, path, start);
        if (error == ERROR_FILE_NOT_FOUND && request.create)
            return ERROR_ACCESS_DENIED;  // nothing but hives lives at the top
        if (error)
            return error;
        std::vector<std::string> rest(path.begin() + 1, path.end());
        if ((error = openInHive(start, rest, request, object->key, object->access, created)))
            return error;
        out = object;
        return 0;
    }
    if (!base.classes) {
        if (DWORD error = openInHive(base.key, path, request, object->key, object->access, created))
            return error;
        out = object;
        return 0;
    }

    // The classes view: each side opened as far as it goes; the key exists when either has it.
    object->classes = true;
    size_t machineFound = 0, userFound = 0;
    HiveKey machine, user;
    if (DWORD error = walk(base.key, path, machineFound, machine))
        return error;
    if (DWORD error = walk(base.user, path, userFound, user))
        return error;
    const bool onMachine = base.key && machineFound == path.size();
    const bool onUser = base.user && userFound == path.size();
    if (!onMachine && !onUser) {
        if (!request.create)
            return ERROR_FILE_NOT_FOUND;
        // New keys go to the machine's classes, unless only the user has the key they go under.
        const HiveKey &side = base.key ? base.key : base.user;
        HiveKey made;
        if (DWORD error = openInHive(side, path, request, made, object->access, created))
            return error;
        (base.key ? object->key : object->user) = made;
        if (base.key && base.user && userFound == path.size())
            object->user = user;
        out = object;
        return 0;
    }
    // A side whose descriptor keeps the caller out is left aside, as long as the other lets it in.
    ACCESS_MASK machineAccess = 0, userAccess = 0;
    DWORD machineError = onMachine ? grantExisting(machine, request, machineAccess) : ERROR_FILE_NOT_FOUND;
    DWORD userError = onUser ? grantExisting(user, request, userAccess) : ERROR_FILE_NOT_FOUND;
    if (machineError && userError)
        return onUser ? userError : machineError;
    if (!machineError)
        object->key = machine;
    if (!userError)
        object->user = user;
    object->access = !userError ? userAccess : machineAccess;
    out = object;
    return 0;
}

namespace {

// The object of a handle, with the rights an operation needs checked.
std::shared_ptr<RegistryKeyObject> keyWithAccess(HKEY key, ACCESS_MASK needed, DWORD &error)
{
    auto object = registryKey(key, error);
    if (object && (object->access & needed) != needed) {
        error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return object;
}

uint64_t generationOf(const RegistryKeyObject &object)
{
    uint64_t generation = object.key ? object.key.hive->generation() : 0;
    if (object.user)
        generation = generation * 1000003u ^ object.user.hive->generation();
    return generation;
}

bool before(const RegistrySubkey &a, const RegistrySubkey &b)
{
    return a.folded < b.folded;
}

// The next subkey of the key after a folded name (the first for null), of both sides in the
// classes view (the user's hiding the machine's of the same name).
DWORD nextSubkeyOf(const RegistryKeyObject &object, const std::string *after, RegistrySubkey &out)
{
    RegistrySubkey machine, user;
    DWORD machineError = object.key ? object.key.hive->nextSubkey(object.key.id, after, machine) : ERROR_NO_MORE_ITEMS;
    DWORD userError = object.user ? object.user.hive->nextSubkey(object.user.id, after, user) : ERROR_NO_MORE_ITEMS;
    if (machineError && machineError != ERROR_NO_MORE_ITEMS)
        return machineError;
    if (userError && userError != ERROR_NO_MORE_ITEMS)
        return userError;
    if (machineError && userError)
        return ERROR_NO_MORE_ITEMS;
    if (userError)
        out = std::move(machine);
    else if (machineError || !before(machine, user))
        out = std::move(user);
    else
        out = std::move(machine);
    return 0;
}

struct ValueEntry {
    RegistryValue value;
    size_t size = 0;
    bool userPhase = false;
    int64_t row = 0;
};

// The next value after a position: the user's values in their order, then the machine's that
// the user's do not hide.
DWORD nextValueOf(const RegistryKeyObject &object, bool userPhase, int64_t afterRow, bool withData, ValueEntry &out)
{
    if (userPhase && object.user) {
        DWORD error = object.user.hive->nextValue(object.user.id, afterRow, withData, out.value, out.size, out.row);
        if (error != ERROR_NO_MORE_ITEMS) {
            out.userPhase = true;
            return error;
        }
        afterRow = 0;
    } else if (userPhase) {
        afterRow = 0;
    }
    if (!object.key)
        return ERROR_NO_MORE_ITEMS;
    for (;;) {
        DWORD error = object.key.hive->nextValue(object.key.id, afterRow, withData, out.value, out.size, out.row);
        if (error)
            return error;
        out.userPhase = false;
        if (!object.user || !object.user.hive->hasValue(object.user.id, out.value.name))
            return 0;
        afterRow = out.row;
    }
}

DWORD rootSubkeyAt(const RegistryKeyObject &object, DWORD index, RegistrySubkey &out)
{
    std::vector<MountedHive> hives =
        mountedHives(object.kind == KeyKind::machineRoot ? RegistryRoot::machine : RegistryRoot::users);
    std::vector<RegistrySubkey> names;
    for (const MountedHive &hive : hives) {
        RegistrySubkey entry;
        entry.name = hive.name;
        entry.folded = registryFoldedName(hive.name);
        names.push_back(std::move(entry));
    }
    std::sort(names.begin(), names.end(), before);
    names.erase(std::unique(names.begin(), names.end(),
                            [](const RegistrySubkey &a, const RegistrySubkey &b) { return a.folded == b.folded; }),
                names.end());
    if (index >= names.size())
        return ERROR_NO_MORE_ITEMS;
    out = names[index];
    return 0;
}

}  // namespace

namespace {

DWORD subkeyFromStart(const RegistryKeyObject &object, DWORD index, RegistrySubkey &out)
{
    if (!object.classes)
        return object.key.hive->subkeyAtIndex(object.key.id, index, out);
    DWORD error = 0;
    const std::string *after = nullptr;
    std::string current;
    for (DWORD at = 0; !(error = nextSubkeyOf(object, after, out)) && at < index; ++at) {
        current = out.folded;
        after = &current;
    }
    return error;
}

DWORD valueFromStart(const RegistryKeyObject &object, DWORD index, bool withData, ValueEntry &entry)
{
    if (!object.classes) {
        entry.userPhase = false;
        return object.key.hive->valueAtIndex(object.key.id, index, withData, entry.value, entry.size, entry.row);
    }
    DWORD error = 0;
    bool userPhase = true;
    int64_t row = 0;
    for (DWORD at = 0; !(error = nextValueOf(object, userPhase, row, withData, entry)) && at < index; ++at) {
        userPhase = entry.userPhase;
        row = entry.row;
    }
    return error;
}

// Enumeration by index continues from where the last call of the handle stood when the index
// is the same (`again`) or the next one (`next`), in one query; the hive's version after that
// query tells whether anything changed since, in which case the index is counted again from
// the start (`fromStart`). On success the cursor stands at the index; the caller adds where the
// item lies.
template <typename Again, typename Next, typename FromStart>
DWORD enumerateAt(const RegistryKeyObject &object, KeyEnumeration &cursor, DWORD index, Again again, Next next,
                  FromStart fromStart)
{
    DWORD error = ERROR_INVALID_DATA;
    uint64_t generation = 0;
    if (cursor.valid && (index == cursor.index || index == cursor.index + 1)) {
        error = index == cursor.index ? again() : next();
        generation = generationOf(object);
        if (generation != cursor.generation)
            error = ERROR_INVALID_DATA;  // changed meanwhile
    }
    if (error == ERROR_INVALID_DATA || (error && index == cursor.index)) {
        error = fromStart();
        generation = generationOf(object);
    }
    if (error) {
        cursor.valid = false;
        return error;
    }
    cursor.valid = true;
    cursor.generation = generation;
    cursor.index = index;
    return 0;
}

}  // namespace

DWORD registrySubkeyAt(RegistryKeyObject &object, DWORD index, RegistrySubkey &out)
{
    if (object.kind != KeyKind::hive)
        return rootSubkeyAt(object, index, out);
    std::lock_guard<std::mutex> guard(object.enumeration);
    KeyEnumeration &cursor = object.subkeys;
    auto again = [&]() -> DWORD {
        // The classes view merges two hives: the subkey is the one remembered.
        if (object.classes) {
            out = cursor.lastSubkey;
            return 0;
        }
        return object.key.hive->keyInformation(cursor.lastSubkey.id, out);
    };
    auto next = [&] { return nextSubkeyOf(object, &cursor.folded, out); };
    auto fromStart = [&] { return subkeyFromStart(object, index, out); };
    if (DWORD error = enumerateAt(object, cursor, index, again, next, fromStart))
        return error;
    cursor.folded = out.folded;
    cursor.lastSubkey = out;
    return 0;
}

DWORD registryValueAt(RegistryKeyObject &object, DWORD index, bool withData, RegistryValue &out, size_t &size)
{
    if (object.kind != KeyKind::hive)
        return ERROR_NO_MORE_ITEMS;
    std::lock_guard<std::mutex> guard(object.enumeration);
    KeyEnumeration &cursor = object.values;
    ValueEntry entry;
    auto again = [&] {
        const HiveKey &side = cursor.userPhase ? object.user : object.key;
        entry.userPhase = cursor.userPhase;
        entry.row = cursor.row;
        return side.hive->valueAtRow(side.id, cursor.row, withData, entry.value, entry.size);
    };
    auto next = [&] { return nextValueOf(object, cursor.userPhase, cursor.row, withData, entry); };
    auto fromStart = [&] { return valueFromStart(object, index, withData, entry); };
    if (DWORD error = enumerateAt(object, cursor, index, again, next, fromStart))
        return error;
    cursor.userPhase = entry.userPhase;
    cursor.row = entry.row;
    out = std::move(entry.value);
    size = entry.size;
    return 0;
}

LONG registryKeyContents(HKEY key, std::vector<std::string> &subkeys, std::vector<RegistryValue> &values)
{
    DWORD error = 0;
    auto object = registryKey(key, error);
    if (!object)
        return static_cast<LONG>(error);
    RegistrySubkey subkey;
    for (DWORD i = 0; !(error = registrySubkeyAt(*object, i, subkey)); ++i)
        subkeys.push_back(subkey.name);
    if (error != ERROR_NO_MORE_ITEMS)
        return static_cast<LONG>(error);
    RegistryValue value;
    size_t size = 0;
    for (DWORD i = 0; !(error = registryValueAt(*object, i, true, value, size)); ++i)
        values.push_back(value);
    return error == ERROR_NO_MORE_ITEMS ? 0 : static_cast<LONG>(error);
}

RegistryBatch::~RegistryBatch()
{
    // Uncommitted transactions roll back, newest first.
    while (!transactions_.empty())
        transactions_.pop_back();
}

LONG RegistryBatch::join(HKEY key)
{
    DWORD error = 0;
    auto object = registryKey(key, error);
    if (!object)
        return static_cast<LONG>(error);
    for (const HiveKey *side : {&object->key, &object->user}) {
        if (!*side)
            continue;
        bool joined = false;
        for (const auto &entry : transactions_)
            joined = joined || entry.first == side->hive;
        if (joined)
            continue;
        auto transaction = std::make_unique<Hive::WriteTransaction>(*side->hive);
        if (!transaction->active())
            return ERROR_CANTWRITE;
        transactions_.emplace_back(side->hive, std::move(transaction));
    }
    return 0;
}

LONG RegistryBatch::commit()
{
    LONG result = 0;
    for (auto &entry : transactions_)
        if (!entry.second->commit())
            result = ERROR_CANTWRITE;
    transactions_.clear();
    return result;
}

}  // namespace winsim

using namespace winsim;

namespace {

std::string utf8Of(LPCWSTR text)
{
    return text ? toUtf8(std::u16string_view(text, wideLength(text))) : std::string();
}

std::string utf8Of(LPCSTR text)
{
    return text ? std::string(text) : std::string();
}

bool isStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

template <typename Char>
LONG openOrCreate(HKEY parent, const Char *subKey, DWORD options, REGSAM sam, bool create, const Char *className,
                  const SECURITY_ATTRIBUTES *attributes, PHKEY result, LPDWORD disposition)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    auto base = registryKey(parent, error);
    if (!base)
        return static_cast<LONG>(error);
    std::vector<std::string> path;
    if ((error = parseSubkeyPath(utf8Of(subKey), path)))
        return static_cast<LONG>(error);
    // The predefined key itself, asked for with no subkey, is handed back as it is.
    if (path.empty() && isPredefined(parent) && !create) {
        *result = parent;
        return ERROR_SUCCESS;
    }
    OpenRequest request;
    request.desired = sam & ~kStripped;
    request.options = options;
    request.create = create;
    request.className = utf8Of(className);
    SecurityDescriptor given;
    if (attributes && attributes->lpSecurityDescriptor) {
        const auto *bytes = static_cast<const uint8_t *>(attributes->lpSecurityDescriptor);
        // Its parts lie within the first 64 KB; the parser checks each against that bound.
        if ((error = parseSecurityDescriptor(bytes, 0x10000, given)))
            return static_cast<LONG>(error);
        request.security = &given;
    }
    std::shared_ptr<RegistryKeyObject> opened;
    bool created = false;
    if ((error = openRegistryKey(*base, path, request, opened, created)))
        return static_cast<LONG>(error);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = reinterpret_cast<HKEY>(insertHandle(opened));
    return ERROR_SUCCESS;
}

LONG queryValue(HKEY key, const std::string &name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize,
                bool narrow)
{
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    auto object = keyWithAccess(key, KEY_QUERY_VALUE, error);
    if (!object)
        return static_cast<LONG>(error);
    RegistryValue value;
    error = ERROR_FILE_NOT_FOUND;
    if (object->kind == KeyKind::hive) {
        if (object->user)
            error = object->user.hive->queryValue(object->user.id, name, value);
        if (error == ERROR_FILE_NOT_FOUND && object->key)
            error = object->key.hive->queryValue(object->key.id, name, value);
    }
    if (error) {
        if (error == ERROR_FILE_NOT_FOUND && !data && dataSize)
            *dataSize = 0;
        return static_cast<LONG>(error);
    }
    std::vector<uint8_t> bytes = std::move(value.data);
    if (narrow && isStringType(value.type)) {
        // The narrow form of a stored UTF-16 string, its terminators kept as stored.
        std::u16string wide;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            wide.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        std::string text = toUtf8(wide);
        bytes.assign(text.begin(), text.end());
    }
    if (type)
        *type = value.type;
    if (!dataSize)
        return ERROR_SUCCESS;
    DWORD available = *dataSize;
    *dataSize = static_cast<DWORD>(bytes.size());
    if (!data)
        return ERROR_SUCCESS;
    if (available < bytes.size())
        return ERROR_MORE_DATA;
    if (!bytes.empty())
        memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LONG setValue(HKEY key, const std::string &name, size_t nameLength, DWORD reserved, DWORD type, const BYTE *data,
              DWORD size, bool narrow)
{
    if (reserved != 0 || (!data && size))
        return ERROR_INVALID_PARAMETER;
    if (nameLength > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    auto object = keyWithAccess(key, KEY_SET_VALUE, error);
    if (!object)
        return static_cast<LONG>(error);
    if (object->kind != KeyKind::hive)
        return ERROR_ACCESS_DENIED;
    RegistryValue value;
    value.name = name;
    value.type = type;
    if (narrow && isStringType(type)) {
        // The narrow functions store UTF-16, ending the text with a NUL when the caller did not.
        std::string text(reinterpret_cast<const char *>(data), size);
        value.data = registryString(text, size > 0 && text.back() != '\0');
    } else if (size) {
        value.data.assign(data, data + size);
    }
    const HiveKey &side = object->valueSide();
    return static_cast<LONG>(side.hive->setValue(side.id, value));
}

LONG deleteValue(HKEY key, const std::string &name)
{
    DWORD error = 0;
    auto object = keyWithAccess(key, KEY_SET_VALUE, error);
    if (!object)
        return static_cast<LONG>(error);
    if (object->kind != KeyKind::hive)
        return ERROR_FILE_NOT_FOUND;
    const HiveKey &side = object->valueSide();
    return static_cast<LONG>(side.hive->deleteValue(side.id, name));
}

LONG deleteKey(HKEY key, const std::string &subKey, bool given)
{
    if (!given)
        return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    auto base = registryKey(key, error);
    if (!base)
        return static_cast<LONG>(error);
    std::vector<std::string> path;
    if ((error = parseSubkeyPath(subKey, path)))
        return static_cast<LONG>(error);
    OpenRequest request;
    request.desired = DELETE;
    std::shared_ptr<RegistryKeyObject> target;
    bool created = false;
    if ((error = openRegistryKey(*base, path, request, target, created)))
        return static_cast<LONG>(error);
    if (target->kind != KeyKind::hive)
        return ERROR_ACCESS_DENIED;
    const HiveKey &side = target->valueSide();
    if (side.id == Hive::kRootKey)
        return ERROR_ACCESS_DENIED;  // a hive goes with RegUnLoadKey, not RegDeleteKey
    return static_cast<LONG>(side.hive->deleteKey(side.id));
}

FILETIME fileTimeOf(int64_t seconds)
{
    // 100-ns intervals since 1601.
    uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

template <typename Char>
std::basic_string<Char> encodeName(const std::string &utf8);

template <>
std::basic_string<char> encodeName<char>(const std::string &utf8)
{
    return utf8;
}

template <>
std::basic_string<char16_t> encodeName<char16_t>(const std::string &utf8)
{
    return toUtf16(utf8);
}

template <typename Char>
LONG enumKey(HKEY key, DWORD index, Char *name, LPDWORD nameLength, LPDWORD reserved, Char *className,
             LPDWORD classLength, PFILETIME lastWrite)
{
    if (!name || !nameLength || reserved)
        return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    auto object = keyWithAccess(key, KEY_ENUMERATE_SUB_KEYS, error);
    if (!object)
        return static_cast<LONG>(error);
    RegistrySubkey entry;
    if ((error = registrySubkeyAt(*object, index, entry)))
        return static_cast<LONG>(error);
    std::basic_string<Char> encoded = encodeName<Char>(entry.name);
    if (*nameLength <= encoded.size())
        return ERROR_MORE_DATA;
    if (className && classLength) {
        std::basic_string<Char> encodedClass = encodeName<Char>(entry.className);
        if (*classLength <= encodedClass.size())
            return ERROR_MORE_DATA;
        std::copy(encodedClass.begin(), encodedClass.end(), className);
        className[encodedClass.size()] = 0;
        *classLength = static_cast<DWORD>(encodedClass.size());
    }
    std::copy(encoded.begin(), encoded.end(), name);
    name[encoded.size()] = 0;
    *nameLength = static_cast<DWORD>(encoded.size());
    if (lastWrite)
        *lastWrite = fileTimeOf(entry.written);
    return ERROR_SUCCESS;
}

template <typename Char>
LONG enumValue(HKEY key, DWORD index, Char *name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type, LPBYTE data,
               LPDWORD dataSize)
{
    constexpr bool narrow = sizeof(Char) == 1;
    if (!name || !nameLength || reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    auto object = keyWithAccess(key, KEY_QUERY_VALUE, error);
    if (!object)
        return static_cast<LONG>(error);
    RegistryValue value;
    size_t size = 0;
    // The narrow form of a string is known only from the data.
    const bool withData = data || (narrow && dataSize);
    if ((error = registryValueAt(*object, index, withData, value, size)))
        return static_cast<LONG>(error);
    if (narrow && isStringType(value.type)) {
        std::u16string wide;
        for (size_t i = 0; i + 1 < value.data.size(); i += 2)
            wide.push_back(static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8)));
        std::string text = toUtf8(wide);
        value.data.assign(text.begin(), text.end());
        size = value.data.size();
    }
    if (type)
        *type = value.type;
    std::basic_string<Char> encoded = encodeName<Char>(value.name);
    if (*nameLength <= encoded.size()) {
        if (dataSize)
            *dataSize = static_cast<DWORD>(size);
        return ERROR_MORE_DATA;
    }
    if (data && *dataSize < size) {
        std::copy(encoded.begin(), encoded.end(), name);
        name[encoded.size()] = 0;
        *nameLength = static_cast<DWORD>(encoded.size());
        *dataSize = static_cast<DWORD>(size);
        return ERROR_MORE_DATA;
    }
    std::copy(encoded.begin(), encoded.end(), name);
    name[encoded.size()] = 0;
    *nameLength = static_cast<DWORD>(encoded.size());
    if (dataSize)
        *dataSize = static_cast<DWORD>(size);
    if (data && size)
        memcpy(data, value.data.data(), size);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options, REGSAM sam,
                            const LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition)
{
    if (reserved != 0 || !subKey)
        return ERROR_INVALID_PARAMETER;
    return openOrCreate<char>(key, subKey, options, sam, true, className, attributes, result, disposition);
}

LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM sam,
                            const LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition)
{
    if (reserved != 0 || !subKey)
        return ERROR_INVALID_PARAMETER;
    return openOrCreate<char16_t>(key, subKey, options, sam, true, className, attributes, result, disposition);
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result)
{
    return openOrCreate<char>(key, subKey, options, sam, false, nullptr, nullptr, result, nullptr);
}

LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result)
{
    return openOrCreate<char16_t>(key, subKey, options, sam, false, nullptr, nullptr, result, nullptr);
}

LONG WINAPI RegCloseKey(HKEY key)
{
    if (isPredefined(key))
        return ERROR_SUCCESS;
    if (!lookupHandleAs<RegistryKeyObject>(reinterpret_cast<HANDLE>(key)))
        return ERROR_INVALID_HANDLE;
    removeHandle(reinterpret_cast<HANDLE>(key));
    return ERROR_SUCCESS;
}

LONG WINAPI RegFlushKey(HKEY key)
{
    // Every change is committed to the hive file before the function that made it returns.
    DWORD error = 0;
    return registryKey(key, error) ? ERROR_SUCCESS : static_cast<LONG>(error);
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize)
{
    return queryValue(key, utf8Of(valueName), reserved, type, data, dataSize, true);
}

LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize)
{
    return queryValue(key, utf8Of(valueName), reserved, type, data, dataSize, false);
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    std::string name = utf8Of(valueName);
    return setValue(key, name, utf16Length(name), reserved, type, data, size, true);
}

LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    return setValue(key, utf8Of(valueName), valueName ? wideLength(valueName) : 0, reserved, type, data, size, false);
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName)
{
    return deleteValue(key, utf8Of(valueName));
}

LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    return deleteValue(key, utf8Of(valueName));
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    return deleteKey(key, utf8Of(subKey), subKey != nullptr);
}

LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    return deleteKey(key, utf8Of(subKey), subKey != nullptr);
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPSTR className,
                          LPDWORD classLength, PFILETIME lastWrite)
{
    return enumKey<char>(key, index, name, nameLength, reserved, className, classLength, lastWrite);
}

LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR className,
                          LPDWORD classLength, PFILETIME lastWrite)
{
    return enumKey<char16_t>(key, index, name, nameLength, reserved, className, classLength, lastWrite);
}

LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                          LPBYTE data, LPDWORD dataSize)
{
    return enumValue<char>(key, index, name, nameLength, reserved, type, data, dataSize);
}

LONG WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                          LPBYTE data, LPDWORD dataSize)
{
    return enumValue<char16_t>(key, index, name, nameLength, reserved, type, data, dataSize);
}

}  // extern "C"

// Security of registry keys: every key has a descriptor, its own or the one it inherits from its
// parent, checked when a key is opened and read or replaced with RegGetKeySecurity and
// RegSetKeySecurity as Windows does.
#include "advapi32/registry_keys.h"
#include "advapi32/token.h"

#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace winsim {

namespace {

// ACE flags beyond the two the SDK header of the stand-in names.
constexpr uint8_t kNoPropagateInherit = 0x04;
constexpr uint8_t kInheritOnly = 0x08;
constexpr uint8_t kInherited = 0x10;

constexpr DWORD kSeTakeOwnershipPrivilege = 9;

constexpr ACCESS_MASK kKeyReadRights = KEY_READ;
constexpr ACCESS_MASK kKeyWriteRights = KEY_WRITE | DELETE;

const Bytes &systemSid()
{
    static const Bytes sid = makeSid(5, {18});
    return sid;
}

const Bytes &administratorsSid()
{
    static const Bytes sid = makeSid(5, {32, 544});
    return sid;
}

const Bytes &usersSid()
{
    static const Bytes sid = makeSid(5, {32, 545});
    return sid;
}

const Bytes &creatorOwnerSid()
{
    static const Bytes sid = makeSid(3, {0});
    return sid;
}

ACCESS_MASK mapGenericKeyRights(ACCESS_MASK mask)
{
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & (GENERIC_READ | GENERIC_EXECUTE))
        mapped |= KEY_READ;
    if (mask & GENERIC_WRITE)
        mapped |= KEY_WRITE;
    if (mask & GENERIC_ALL)
        mapped |= KEY_ALL_ACCESS;
    return mapped;
}

struct Ace {
    uint8_t type = 0;
    uint8_t flags = 0;
    ACCESS_MASK mask = 0;
    Bytes sid;
};

bool parseAce(const Bytes &raw, Ace &out)
{
    if (raw.size() < 16)
        return false;
    out.type = raw[0];
    out.flags = raw[1];
    out.mask = static_cast<ACCESS_MASK>(raw[4] | (raw[5] << 8) | (raw[6] << 16) | (static_cast<uint32_t>(raw[7]) << 24));
    out.sid.assign(raw.begin() + 8, raw.end());
    return true;
}

bool tokenHas(const TokenIdentity &token, const Bytes &sid)
{
    if (sid == token.user)
        return true;
    for (const Bytes &group : token.groups)
        if (group == sid)
            return true;
    return false;
}

// The entries of a parent's list that a new key (a container) inherits, as Windows computes them.
std::optional<Acl> inheritAcl(const std::optional<Acl> &parent, const Bytes &owner, bool &any)
{
    any = false;
    if (!parent)
        return std::nullopt;
    Acl inherited;
    inherited.revision = parent->revision;
    for (const Bytes &raw : parent->aces) {
        Ace ace;
        if (!parseAce(raw, ace) || !(ace.flags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE)))
            continue;
        const bool noPropagate = ace.flags & kNoPropagateInherit;
        if (!(ace.flags & CONTAINER_INHERIT_ACE)) {
            // Meant for objects below, which keys never are; it passes on unapplied.
            if (!noPropagate)
                inherited.aces.push_back(makeAce(ace.type, ace.flags | kInheritOnly | kInherited, ace.mask, ace.sid));
            any = true;
            continue;
        }
        if (ace.sid == creatorOwnerSid()) {
            // Applied to the creator, and passed on as it is for the keys below.
            inherited.aces.push_back(makeAce(ace.type, kInherited, mapGenericKeyRights(ace.mask), owner));
            if (!noPropagate)
                inherited.aces.push_back(makeAce(ace.type, ace.flags | kInheritOnly | kInherited, ace.mask, ace.sid));
        } else {
            uint8_t flags = static_cast<uint8_t>((ace.flags & ~kInheritOnly) | kInherited);
            if (noPropagate)
                flags &= static_cast<uint8_t>(~(CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE | kNoPropagateInherit));
            inherited.aces.push_back(makeAce(ace.type, flags, ace.mask, ace.sid));
        }
        any = true;
    }
    return inherited;
}

SecurityDescriptor machineHiveSecurity()
{
    SecurityDescriptor sd;
    sd.owner = administratorsSid();
    sd.group = systemSid();
    sd.daclPresent = true;
    Acl acl;
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, systemSid()));
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, administratorsSid()));
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ, usersSid()));
    acl.aces.push_back(
        makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | kInheritOnly, GENERIC_ALL, creatorOwnerSid()));
    sd.dacl = std::move(acl);
    return sd;
}

// A key whose stored descriptor cannot be read (written by another program) is treated as the
// machine's default rather than as open to everyone.
SecurityDescriptor parsedOrDefault(const Bytes &stored)
{
    SecurityDescriptor sd;
    if (parseSecurityDescriptor(stored.data(), stored.size(), sd) != 0)
        return machineHiveSecurity();
    return sd;
}

SecurityDescriptor hiveRootSecurity(const HiveKey &key)
{
    Bytes sid;
    if (key.kind == HiveKind::profile && parseSidString(key.hiveName, sid))
        return profileHiveSecurity(sid);
    return machineHiveSecurity();
}

// The descriptor of a key that has none of its own: its parent's owner and group, the entries
// its parent passes on.
SecurityDescriptor inheritedSecurity(const SecurityDescriptor &parent)
{
    SecurityDescriptor sd;
    sd.owner = parent.owner;
    sd.group = parent.group;
    bool any = false;
    sd.daclPresent = parent.daclPresent;
    if (parent.daclPresent)
        sd.dacl = parent.dacl ? inheritAcl(parent.dacl, parent.owner ? *parent.owner : Bytes(), any) : std::nullopt;
    if (parent.saclPresent && parent.sacl) {
        sd.sacl = inheritAcl(parent.sacl, parent.owner ? *parent.owner : Bytes(), any);
        sd.saclPresent = any;
        if (!any)
            sd.sacl.reset();
    }
    return sd;
}

}  // namespace

TokenIdentity currentTokenIdentity()
{
    TokenIdentity token;
    token.user = tokenUserSid();
    token.groups.push_back(makeSid(1, {0}));   // Everyone
    token.groups.push_back(makeSid(5, {11}));  // Authenticated Users
    if (runningAsService()) {
        token.groups.push_back(administratorsSid());
        token.defaultOwner = systemSid();
        token.primaryGroup = systemSid();
        return token;
    }
    token.groups.push_back(makeSid(5, {4}));  // Interactive
    token.groups.push_back(usersSid());
    token.primaryGroup = makeSid(22, {2, static_cast<uint32_t>(getgid())});
    if (hasAdministrativeRights()) {
        // An elevated administrator's new objects belong to the Administrators group.
        token.groups.push_back(administratorsSid());
        token.defaultOwner = administratorsSid();
    } else {
        token.defaultOwner = token.user;
    }
    return token;
}

DWORD checkKeyAccess(const SecurityDescriptor &sd, ACCESS_MASK desired, DWORD options, ACCESS_MASK &granted)
{
    desired = mapGenericKeyRights(desired);
    const ACCESS_MASK systemSecurity = desired & ACCESS_SYSTEM_SECURITY;
    if (systemSecurity && !isPrivilegeEnabled(kSeSecurityPrivilege))
        return ERROR_PRIVILEGE_NOT_HELD;

    if (options & REG_OPTION_BACKUP_RESTORE) {
        // The rights asked for do not count: the enabled privileges decide.
        granted = 0;
        if (isPrivilegeEnabled(kSeBackupPrivilege))
            granted |= kKeyReadRights | ACCESS_SYSTEM_SECURITY;
        if (isPrivilegeEnabled(kSeRestorePrivilege))
            granted |= kKeyWriteRights | WRITE_DAC | WRITE_OWNER | ACCESS_SYSTEM_SECURITY;
        return granted ? 0 : ERROR_ACCESS_DENIED;
    }

    const bool maximum = desired & MAXIMUM_ALLOWED;
    desired &= ~(MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY);
    const TokenIdentity token = currentTokenIdentity();
    ACCESS_MASK allowed = 0;
    if (!sd.daclPresent || !sd.dacl) {
        allowed = KEY_ALL_ACCESS;  // no list, or a null one, keeps nobody out
    } else {
        ACCESS_MASK denied = 0;
        for (const Bytes &raw : sd.dacl->aces) {
            Ace ace;
            if (!parseAce(raw, ace) || (ace.flags & kInheritOnly) || !tokenHas(token, ace.sid))
                continue;
            ACCESS_MASK mask = mapGenericKeyRights(ace.mask);
            if (ace.type == ACCESS_ALLOWED_ACE_TYPE)
                allowed |= mask & ~denied;
            else if (ace.type == ACCESS_DENIED_ACE_TYPE)
                denied |= mask & ~allowed;
        }
    }
    // The owner may always read and change the list, whatever it says.
    if (sd.owner && tokenHas(token, *sd.owner))
        allowed |= READ_CONTROL | WRITE_DAC;
    if (isPrivilegeEnabled(kSeTakeOwnershipPrivilege))
        allowed |= WRITE_OWNER;
    if (maximum) {
        granted = (allowed & KEY_ALL_ACCESS) | desired;
        if ((desired & ~allowed) || !(granted & ~ACCESS_SYSTEM_SECURITY))
            return ERROR_ACCESS_DENIED;
    } else {
        if (desired & ~allowed)
            return ERROR_ACCESS_DENIED;
        granted = desired;
    }
    granted |= systemSecurity;
    return 0;
}

DWORD effectiveKeySecurity(const HiveKey &key, SecurityDescriptor &out)
{
    // Walk up to the nearest key with a descriptor of its own, then inherit down again.
    std::vector<int64_t> chain;
    int64_t id = key.id;
    std::optional<Bytes> stored;
    for (;;) {
        if (DWORD error = key.hive->keySecurity(id, stored))
            return error;
        if (stored || id == Hive::kRootKey || chain.size() > kMaxKeyDepth)
            break;
        chain.push_back(id);
        int64_t parent = 0;
        if (DWORD error = key.hive->keyParent(id, parent))
            return error;
        id = parent;
    }
    SecurityDescriptor sd = stored ? parsedOrDefault(*stored) : hiveRootSecurity(key);
    for (size_t i = chain.size(); i-- > 0;)
        sd = inheritedSecurity(sd);
    out = std::move(sd);
    return 0;
}

SecurityDescriptor newKeySecurity(const SecurityDescriptor &parent, const TokenIdentity &creator)
{
    SecurityDescriptor sd;
    sd.owner = creator.defaultOwner;
    sd.group = creator.primaryGroup;
    sd.daclPresent = true;
    bool any = false;
    if (parent.daclPresent && !parent.dacl) {
        sd.dacl.reset();  // below a null list, a null list
    } else {
        sd.dacl = inheritAcl(parent.dacl, creator.defaultOwner, any);
        if (!any) {
            // Nothing to inherit: the token's default list, as Windows gives.
            Acl acl;
            acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, systemSid()));
            acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, creator.defaultOwner));
            sd.dacl = std::move(acl);
        }
    }
    if (parent.saclPresent && parent.sacl) {
        sd.sacl = inheritAcl(parent.sacl, creator.defaultOwner, any);
        sd.saclPresent = any;
        if (!any)
            sd.sacl.reset();
    }
    return sd;
}

SecurityDescriptor profileHiveSecurity(const Bytes &userSid)
{
    SecurityDescriptor sd;
    sd.owner = userSid;
    sd.group = systemSid();
    sd.daclPresent = true;
    Acl acl;
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, userSid));
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, systemSid()));
    acl.aces.push_back(makeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, administratorsSid()));
    sd.dacl = std::move(acl);
    return sd;
}

SecurityDescriptor registryRootSecurity()
{
    SecurityDescriptor sd = machineHiveSecurity();
    sd.owner = systemSid();
    return sd;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                              LPDWORD size)
{
    DWORD error = 0;
    auto key = registryKey(hKey, error);
    if (!key)
        return static_cast<LONG>(error);
    if (!size)
        return ERROR_NOACCESS;
    const SECURITY_INFORMATION known =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if ((information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) &&
        !(key->access & READ_CONTROL))
        return ERROR_ACCESS_DENIED;
    if ((information & SACL_SECURITY_INFORMATION) && !(key->access & ACCESS_SYSTEM_SECURITY))
        return ERROR_ACCESS_DENIED;
    SecurityDescriptor sd;
    if (key->kind != KeyKind::hive)
        sd = registryRootSecurity();
    else if ((error = effectiveKeySecurity(key->valueSide(), sd)))
        return static_cast<LONG>(error);
    Bytes built = buildSecurityDescriptor(sd, information & known);
    DWORD available = *size;
    *size = static_cast<DWORD>(built.size());
    if (!descriptor || available < built.size())
        return ERROR_INSUFFICIENT_BUFFER;
    memcpy(descriptor, built.data(), built.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    DWORD error = 0;
    auto key = registryKey(hKey, error);
    if (!key)
        return static_cast<LONG>(error);
    if (!descriptor)
        return ERROR_INVALID_PARAMETER;
    if (((information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) && !(key->access & WRITE_OWNER)) ||
        ((information & DACL_SECURITY_INFORMATION) && !(key->access & WRITE_DAC)) ||
        ((information & SACL_SECURITY_INFORMATION) && !(key->access & ACCESS_SYSTEM_SECURITY)))
        return ERROR_ACCESS_DENIED;
    if (key->kind != KeyKind::hive)
        return ERROR_ACCESS_DENIED;
    // A self-relative descriptor is walked within its own bounds: its size is that of its parts.
    const auto *bytes = static_cast<const uint8_t *>(descriptor);
    size_t length = 20;
    for (int part = 0; part < 4; ++part) {
        uint32_t offset = bytes[4 + 4 * part] | (bytes[5 + 4 * part] << 8) | (bytes[6 + 4 * part] << 16) |
                          (static_cast<uint32_t>(bytes[7 + 4 * part]) << 24);
        if (!offset)
            continue;
        if (offset > 0x10000)
            return ERROR_INVALID_SECURITY_DESCR;
        size_t partLength;
        if (part < 2) {
            partLength = 8 + 4 * static_cast<size_t>(bytes[offset + 1]);
        } else {
            partLength = static_cast<size_t>(bytes[offset + 2] | (bytes[offset + 3] << 8));
        }
        length = std::max(length, offset + partLength);
    }
    SecurityDescriptor given;
    if ((error = parseSecurityDescriptor(bytes, length, given)))
        return static_cast<LONG>(error);
    if ((information & OWNER_SECURITY_INFORMATION) && !given.owner)
        return ERROR_INVALID_OWNER;
    if ((information & OWNER_SECURITY_INFORMATION) && !isPrivilegeEnabled(kSeRestorePrivilege)) {
        // Without the restore privilege the owner can only be the caller or a group it may own by.
        TokenIdentity token = currentTokenIdentity();
        if (*given.owner != token.user && !(hasAdministrativeRights() && *given.owner == administratorsSid()))
            return ERROR_INVALID_OWNER;
    }
    const HiveKey &side = key->valueSide();
    SecurityDescriptor current;
    if ((error = effectiveKeySecurity(side, current)))
        return static_cast<LONG>(error);
    mergeSecurityDescriptor(current, given, information);
    return static_cast<LONG>(side.hive->setKeySecurity(
        side.id, buildSecurityDescriptor(current, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                      DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)));
}

}  // extern "C"

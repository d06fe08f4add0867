// The process token and its privileges.
#include "advapi32/token.h"

#include "kernel32/handles.h"
#include "machine/machine.h"
#include "machine/text.h"

#include <windows.h>

#include <map>
#include <mutex>

namespace winsim {

namespace {

struct PrivilegeName {
    const char16_t *name;
    DWORD luid;
};

const PrivilegeName kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14},
    {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},
    {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},
    {u"SeTrustedCredManAccessPrivilege", 31},
    {u"SeRelabelPrivilege", 32},
    {u"SeIncreaseWorkingSetPrivilege", 33},
    {u"SeTimeZonePrivilege", 34},
    {u"SeCreateSymbolicLinkPrivilege", 35},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36},
};

// What an elevated administrator's token holds, and what a standard user's holds; the ones
// enabled from the start carry SE_PRIVILEGE_ENABLED.
const std::map<DWORD, DWORD> kAdministratorPrivileges = {
    {5, 0},  {8, 0},  {9, 0},  {10, 0}, {11, 0}, {12, 0}, {13, 0}, {14, 0}, {15, 0}, {17, 0}, {18, 0}, {19, 0},
    {20, 0}, {22, 0}, {23, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT},
    {24, 0}, {25, 0}, {28, 0}, {29, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT},
    {30, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT}, {33, 0}, {34, 0}, {35, 0}, {36, 0},
};
const std::map<DWORD, DWORD> kStandardUserPrivileges = {
    {19, 0}, {23, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT}, {25, 0}, {33, 0}, {34, 0},
};

struct ProcessToken {
    std::mutex lock;
    std::map<DWORD, DWORD> privileges;
};

ProcessToken &processToken()
{
    static ProcessToken *token = [] {
        auto *t = new ProcessToken;
        t->privileges = hasAdministrativeRights() ? kAdministratorPrivileges : kStandardUserPrivileges;
        return t;
    }();
    return *token;
}

}  // namespace

bool isPrivilegeEnabled(DWORD privilege)
{
    ProcessToken &token = processToken();
    std::lock_guard<std::mutex> guard(token.lock);
    auto it = token.privileges.find(privilege);
    return it != token.privileges.end() && (it->second & SE_PRIVILEGE_ENABLED);
}

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE tokenHandle)
{
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!tokenHandle) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto token = std::make_shared<TokenObject>();
    token->access = (desiredAccess & (MAXIMUM_ALLOWED | GENERIC_ALL)) ? TOKEN_ALL_ACCESS : desiredAccess;
    if (desiredAccess & GENERIC_READ)
        token->access |= TOKEN_QUERY | READ_CONTROL;
    if (desiredAccess & GENERIC_WRITE)
        token->access |= TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
    processToken();
    *tokenHandle = insertHandle(token);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid)
{
    if (systemName && *systemName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (name && luid) {
        for (const PrivilegeName &privilege : kPrivileges) {
            if (equalsIgnoreCase(std::u16string_view(name), std::u16string_view(privilege.name))) {
                luid->LowPart = privilege.luid;
                luid->HighPart = 0;
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE tokenHandle, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState, PDWORD returnLength)
{
    auto token = lookupHandleAs<TokenObject>(tokenHandle);
    if (!token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(token->access & TOKEN_ADJUST_PRIVILEGES) || (previousState && !(token->access & TOKEN_QUERY))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!disableAll && !newState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProcessToken &process = processToken();
    std::lock_guard<std::mutex> guard(process.lock);

    std::map<DWORD, DWORD> changed;
    bool allAssigned = true;
    if (disableAll) {
        for (auto &[id, attributes] : process.privileges)
            if (attributes & SE_PRIVILEGE_ENABLED)
                changed[id] = attributes;
    } else {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID &luid = newState->Privileges[i].Luid;
            auto it = luid.HighPart == 0 ? process.privileges.find(luid.LowPart) : process.privileges.end();
            if (it == process.privileges.end())
                allAssigned = false;
            else
                changed.emplace(it->first, it->second);
        }
    }
    if (previousState) {
        DWORD needed = static_cast<DWORD>(sizeof(DWORD) + changed.size() * sizeof(LUID_AND_ATTRIBUTES));
        if (returnLength)
            *returnLength = needed;
        if (bufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        previousState->PrivilegeCount = static_cast<DWORD>(changed.size());
        DWORD i = 0;
        for (const auto &[id, attributes] : changed)
            previousState->Privileges[i++] = LUID_AND_ATTRIBUTES{LUID{id, 0}, attributes};
    }
    if (disableAll) {
        for (const auto &entry : changed)
            process.privileges[entry.first] &= ~SE_PRIVILEGE_ENABLED;
    } else {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES &entry = newState->Privileges[i];
            auto it = entry.Luid.HighPart == 0 ? process.privileges.find(entry.Luid.LowPart) : process.privileges.end();
            if (it == process.privileges.end())
                continue;
            if (entry.Attributes & SE_PRIVILEGE_REMOVED)
                process.privileges.erase(it);
            else if (entry.Attributes & SE_PRIVILEGE_ENABLED)
                it->second |= SE_PRIVILEGE_ENABLED;
            else
                it->second &= ~SE_PRIVILEGE_ENABLED;
        }
    }
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

}  // extern "C"

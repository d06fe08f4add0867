// The process token: its user and its privileges, with the state that AdjustTokenPrivileges
// changes.
#pragma once

#include "kernel32/handles.h"

#include <windef.h>
#include <winnt.h>

#include <cstdint>
#include <string>
#include <vector>

namespace winsim {

struct TokenObject : KernelObject {
    ACCESS_MASK access = 0;
};

// The process runs as a service that the service control manager started; it then runs as the
// local system account, whatever the machine's interactive user may do.
bool runningAsService();

// Administrators and the local system hold administrative rights; the machine setting
// "administrator" says whether the interactive user is one.
bool hasAdministrativeRights();

// The SID of the token's user: S-1-5-18 for the local system, otherwise the POSIX user in
// Samba's form S-1-22-1-<uid>, as file owners are shown.
std::vector<uint8_t> tokenUserSid();

// LUID low parts of the privileges the stand-in itself checks.
inline constexpr DWORD kSeSecurityPrivilege = 8;
inline constexpr DWORD kSeBackupPrivilege = 17;
inline constexpr DWORD kSeRestorePrivilege = 18;

bool isPrivilegeEnabled(DWORD privilege);

}  // namespace winsim
